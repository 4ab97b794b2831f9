// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "platform/assertions.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

int OpenRetrying(int At, const char* Name, int Flags, mode_t Mode = 0) {
  int fd;
  do {
    fd = ::openat(At, Name, Flags, Mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

void FolderHandle::Close() {
  if (Valid()) ::close(static_cast<int>(handle_));
}

FolderHandle FolderHandle::Duplicate() const {
  FolderHandle copy(Valid() ? ::fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0) : -1);
  copy.identity_ = identity_;
  return copy;
}

namespace {

void NoteIdentity(FolderHandle& Folder) {
  struct stat st;
  if (::fstat(static_cast<int>(Folder.Get()), &st) == 0)
    Folder.SetIdentity({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
}

}  // namespace

FolderHandle OpenFolder(const std::string& Path, bool Create) {
  if (Path.empty()) return FolderHandle::Failure(ENOENT);
  if (Create && !ForceDirectories(Path)) return FolderHandle::Failure(errno);
  const int fd = OpenRetrying(AT_FDCWD, Path.c_str(), kFolderFlags);
  if (fd < 0) return FolderHandle::Failure(errno);
  FolderHandle folder(fd);
  NoteIdentity(folder);
  return folder;
}

LinkTrust TrustLinksMadeBeforeNow() {
  // The coarse clock is the one file times are taken from: a link made
  // after this moment never carries an earlier time.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return {static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec};
}

bool IsSystemRoot(const FolderHandle& Folder) {
  FileIdentity folder, root;
  return IdentityOf(Folder, folder) && IdentityOfPath("/", root) && folder == root;
}

namespace {

// Links followed on the way to one folder, as the kernel allows.
constexpr int kMaxLinks = 40;

int OpenComponent(int At, const std::string& Name, const LinkTrust& Trust, int& Links);

// The folder the link Name in At leads to, opened, when Trust follows it:
// a descriptor, or -1 with errno (ELOOP for a link not followed).
int FollowLink(int At, const std::string& Name, const LinkTrust& Trust, int& Links) {
  struct stat link, folder;
  if (::fstatat(At, Name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (!S_ISLNK(link.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  const uid_t user = ::geteuid();
  const int64_t changed =
      static_cast<int64_t>(link.st_ctim.tv_sec) * 1000000000 + link.st_ctim.tv_nsec;
  if (Trust.Before == 0 || --Links < 0 || (link.st_uid != 0 && link.st_uid != user) ||
      changed >= Trust.Before || ::fstat(At, &folder) != 0 ||
      (folder.st_uid != 0 && folder.st_uid != user)) {
    errno = ELOOP;
    return -1;
  }
  std::string target(static_cast<size_t>(link.st_size) + 1, '\0');
  const ssize_t length = ::readlinkat(At, Name.c_str(), target.data(), target.size());
  if (length < 0) return -1;
  if (static_cast<size_t>(length) >= target.size()) {
    errno = ELOOP;  // changed while it was read
    return -1;
  }
  target.resize(static_cast<size_t>(length));
  int current = target.front() == '/' ? OpenRetrying(AT_FDCWD, "/", kFolderFlags)
                                      : ::fcntl(At, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  while (current >= 0 && start < target.size()) {
    size_t end = target.find('/', start);
    if (end == std::string::npos) end = target.size();
    const std::string part = target.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    const int next = OpenComponent(current, part, Trust, Links);
    const int error = errno;
    ::close(current);
    current = next;
    errno = error;
  }
  return current;
}

// The folder Name in At: a folder, or a link Trust follows.
int OpenComponent(int At, const std::string& Name, const LinkTrust& Trust, int& Links) {
  const int fd = OpenRetrying(At, Name.c_str(), kFolderFlags | O_NOFOLLOW);
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR) || Trust.Before == 0) return fd;
  const int error = errno;
  const int followed = FollowLink(At, Name, Trust, Links);
  if (followed < 0 && errno == ENOTDIR) errno = error;
  return followed;
}

}  // namespace

FolderHandle OpenFolderBeneath(const FolderHandle& Base, const std::string& Relative, bool Create,
                               const LinkTrust& Trust) {
  int links = kMaxLinks;
  FolderHandle current = Base.Duplicate();
  bool made = false;
  size_t start = 0;
  while (current.Valid() && start < Relative.size()) {
    size_t end = Relative.find('/', start);
    if (end == std::string::npos) end = Relative.size();
    const std::string part = Relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return FolderHandle::Failure(EINVAL);
    // O_NOFOLLOW makes a link in the component's place fail (ELOOP or
    // ENOTDIR) unless Trust follows it; a missing one is made first.
    int fd = OpenComponent(current.Get(), part, Trust, links);
    made = false;
    if (fd < 0 && errno == ENOENT && Create) {
      made = ::mkdirat(current.Get(), part.c_str(), 0777) == 0;
      if (!made && errno != EEXIST) return FolderHandle::Failure(errno);
      fd = OpenRetrying(current.Get(), part.c_str(), kFolderFlags | O_NOFOLLOW);
    }
    current = fd >= 0 ? FolderHandle(fd) : FolderHandle::Failure(errno);
  }
  if (made && current.Valid()) current.SetMade();
  if (current.Valid() && current.KnownIdentity() == FileIdentity{}) NoteIdentity(current);
  return current;
}

namespace {

bool IdentityOfDescriptor(NativeHandle Handle, FileIdentity& Identity) {
  struct stat st;
  if (Handle == kNoHandle || ::fstat(static_cast<int>(Handle), &st) != 0) return false;
  Identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

}  // namespace

bool IdentityOf(const File& Open, FileIdentity& Identity) {
  return IdentityOfDescriptor(Open.Native(), Identity);
}

bool IdentityOf(const FolderHandle& Folder, FileIdentity& Identity) {
  if (Folder.Valid() && Folder.KnownIdentity() != FileIdentity{}) {
    Identity = Folder.KnownIdentity();
    return true;
  }
  return IdentityOfDescriptor(Folder.Get(), Identity);
}

bool IdentityOfPath(const std::string& Path, FileIdentity& Identity) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0) return false;
  Identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool IdentityAt(const FolderHandle& Folder, const std::string& Name, FileIdentity& Identity) {
  struct stat st;
  if (::fstatat(Folder.Get(), Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  Identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

bool FolderStillBeneath(const FolderHandle& Base, const std::string& Relative,
                        const FolderHandle& Folder, const LinkTrust& Trust) {
  FileIdentity held;
  if (!IdentityOf(Folder, held)) return false;
  const size_t first = Relative.find_first_not_of('/');
  const std::string path = first == std::string::npos ? std::string(".") : Relative.substr(first);
  // One call where the kernel can refuse every link on the way itself;
  // the walk, a call or two a level, where it cannot.
  struct open_how how {};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = ::syscall(SYS_openat2, Base.Get(), path.c_str(), &how, sizeof how);
  FileIdentity found;
  if (fd >= 0) {
    const FolderHandle there(static_cast<NativeHandle>(fd));
    return IdentityOf(there, found) && found == held;
  }
  if (errno == ENOENT || errno == ENOTDIR) return false;
  const FolderHandle walked = OpenFolderBeneath(Base, Relative, false, Trust);
  return walked.Valid() && IdentityOf(walked, found) && found == held;
}

PendingFile::PendingFile(std::shared_ptr<const FolderHandle> Folder) : folder_(std::move(Folder)) {
  if (!folder_ || !folder_->Valid()) {
    error_ = folder_ ? folder_->LastError() : EBADF;
    return;
  }
  // O_EXCL: a name that someone else took meanwhile is never opened.
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporaryName_ = TemporaryName();
    fd = OpenRetrying(folder_->Get(), temporaryName_.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
    if (fd >= 0 && !LockNewTemporary(fd)) {
      ::close(fd);  // a clean-up took the name first
      fd = -1;
      errno = EEXIST;
    }
  }
  if (fd >= 0) {
    file_ = File::AdoptCreated(fd);
    lock_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  }
  if (fd < 0) error_ = errno;
  pending_ = fd >= 0;
}

PendingFile::~PendingFile() {
  file_.Close();
  if (pending_) ::unlinkat(folder_->Get(), temporaryName_.c_str(), 0);
  if (lock_ != kNoHandle) ::close(static_cast<int>(lock_));
}

File PendingFile::ReleaseFile() {
  KELMORA_ASSERT(file_.Valid());
  return std::move(file_);
}

void PendingFile::TakeOverModeOf(const std::string& Name) {
  struct stat st;
  if (!file_.Valid() || ::fstatat(folder_->Get(), Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return;
  const int handle = static_cast<int>(file_.Native());
  // The owner first: changing it clears set-user-ID bits. Only a
  // privileged run may give a file away; a file that stays the runner's
  // does not get the older one's set-ID bits.
  const bool owned = ::fchown(handle, st.st_uid, st.st_gid) == 0;
  ::fchmod(handle, st.st_mode & (owned ? 07777 : 0777));
}

namespace {

// A rename that fails with EEXIST where To is taken, by anything.
int RenameNoReplace(int FromFolder, const char* From, int ToFolder, const char* To) {
  if (::renameat2(FromFolder, From, ToFolder, To, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  // A file system that cannot refuse in the rename itself: a second name
  // is only ever made where there is none.
  if (::linkat(FromFolder, From, ToFolder, To, 0) != 0) return -1;
  ::unlinkat(FromFolder, From, 0);
  return 0;
}

}  // namespace

bool PendingFile::PutInPlace(const std::string& Name, Placing How, const FolderHandle* Into) {
  if (!pending_ || Name.empty() || Name.find('/') != std::string::npos) {
    error_ = EINVAL;
    return false;
  }
  const int from = folder_->Get(), to = Into != nullptr ? Into->Get() : from;
  const int placed = How == Placing::Replace
                         ? ::renameat(from, temporaryName_.c_str(), to, Name.c_str())
                         : RenameNoReplace(from, temporaryName_.c_str(), to, Name.c_str());
  if (placed != 0) {
    error_ = errno;
    return false;
  }
  pending_ = false;
  if (lock_ != kNoHandle) ::close(static_cast<int>(lock_));
  lock_ = kNoHandle;
  return true;
}

int PendingFile::SyncData() {
  if (!pending_) return EBADF;
  // The second descriptor that holds the lock reaches the same file after
  // the first is closed.
  int fd = static_cast<int>(lock_);
  const bool own = lock_ == kNoHandle;
  if (own)
    fd = OpenRetrying(folder_->Get(), temporaryName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return errno;
  int result;
  do {
    result = ::fdatasync(fd);
  } while (result != 0 && errno == EINTR);
  const int error = result == 0 ? 0 : errno;
  if (own) ::close(fd);
  return error;
}

int RenameKeeping(const FolderHandle& Folder, const std::string& Name, const std::string& To) {
  return RenameNoReplace(Folder.Get(), Name.c_str(), Folder.Get(), To.c_str()) == 0 ? 0 : errno;
}

int SyncFileSystem(const FolderHandle& Folder) {
  if (!Folder.Valid()) return EBADF;
  return ::syncfs(static_cast<int>(Folder.Get())) == 0 ? 0 : errno;
}

}  // namespace kelmora::platform
