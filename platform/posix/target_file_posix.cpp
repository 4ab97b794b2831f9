#include <fcntl.h>
#include <sys/stat.h>
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
  return FolderHandle(Valid() ? ::fcntl(static_cast<int>(handle_), F_DUPFD_CLOEXEC, 0) : -1);
}

FolderHandle OpenFolder(const std::string& Path, bool Create) {
  if (Path.empty()) return FolderHandle::Failure(ENOENT);
  if (Create && !ForceDirectories(Path)) return FolderHandle::Failure(errno);
  const int fd = OpenRetrying(AT_FDCWD, Path.c_str(), kFolderFlags);
  return fd >= 0 ? FolderHandle(fd) : FolderHandle::Failure(errno);
}

FolderHandle OpenFolderBeneath(const FolderHandle& Base, const std::string& Relative) {
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
    // ENOTDIR) instead of being followed; a missing one is made first.
    int fd = OpenRetrying(current.Get(), part.c_str(), kFolderFlags | O_NOFOLLOW);
    made = false;
    if (fd < 0 && errno == ENOENT) {
      made = ::mkdirat(current.Get(), part.c_str(), 0777) == 0;
      if (!made && errno != EEXIST) return FolderHandle::Failure(errno);
      fd = OpenRetrying(current.Get(), part.c_str(), kFolderFlags | O_NOFOLLOW);
    }
    current = fd >= 0 ? FolderHandle(fd) : FolderHandle::Failure(errno);
  }
  if (made && current.Valid()) current.SetMade();
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

bool PendingFile::PutInPlace(const std::string& Name) {
  if (!pending_ || Name.empty() || Name.find('/') != std::string::npos) {
    error_ = EINVAL;
    return false;
  }
  if (::renameat(folder_->Get(), temporaryName_.c_str(), folder_->Get(), Name.c_str()) != 0) {
    error_ = errno;
    return false;
  }
  pending_ = false;
  if (lock_ != kNoHandle) ::close(static_cast<int>(lock_));
  lock_ = kNoHandle;
  return true;
}

int SyncFileSystem(const FolderHandle& Folder) {
  if (!Folder.Valid()) return EBADF;
  return ::syncfs(static_cast<int>(Folder.Get())) == 0 ? 0 : errno;
}

}  // namespace kelmora::platform
