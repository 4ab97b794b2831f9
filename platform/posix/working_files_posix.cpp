// SPDX-License-Identifier: GPL-3.0-or-later
//
// Kelmora's working files on POSIX systems: flock(2) marks a temporary
// file as held and guards an archive. Its locks belong to the open file,
// so they pass with a duplicated descriptor and end when the last
// descriptor closes, the process's death included.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

// Some file systems (certain network ones) have no flock: there the lock
// guards nothing, but a run must not be refused for it.
bool LocksUnsupported(int Error) {
  return Error == ENOLCK || Error == EOPNOTSUPP || Error == ENOSYS || Error == EINVAL;
}

bool SameFile(const struct stat& A, const struct stat& B) {
  return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

std::string FolderOf(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

// The temporaries this process created by name and holds until they are
// renamed or removed: name -> a descriptor that keeps the lock.
struct HeldTemporaries {
  std::mutex mutex;
  std::unordered_map<std::string, int> held;
};

HeldTemporaries& Held() {
  static HeldTemporaries registry;
  return registry;
}

// The first bytes of the open file at Fd, at most 4 KiB, as Looks sees them.
bool HeadLooks(int Fd, const std::function<bool(std::string_view)>& Looks) {
  char head[4096];
  ssize_t n;
  do {
    n = ::pread(Fd, head, sizeof head, 0);
  } while (n < 0 && errno == EINTR);
  return n >= 0 && Looks(std::string_view(head, static_cast<size_t>(n)));
}

// Removes Name from Folder when it is a regular file no one holds; with
// Looks, only one of this user's whose first bytes it accepts.
bool RemoveIfAbandoned(int Folder, const char* Name,
                       const std::function<bool(std::string_view)>* Looks = nullptr) {
  int fd;
  do {
    fd = ::openat(Folder, Name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool removed = false;
  struct stat open, named;
  if (::fstat(fd, &open) == 0 && S_ISREG(open.st_mode) &&
      (Looks == nullptr || open.st_uid == ::geteuid()) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      (Looks == nullptr || HeadLooks(fd, *Looks)) &&
      ::fstatat(Folder, Name, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(open, named))
    removed = ::unlinkat(Folder, Name, 0) == 0;
  ::close(fd);
  return removed;
}

// Whether Leaf is a name mkstemp gives Prefix + "XXXXXX": six letters or
// digits.
bool IsMadeWith(std::string_view Leaf, std::string_view Prefix) {
  if (Leaf.size() != Prefix.size() + 6 || Leaf.substr(0, Prefix.size()) != Prefix) return false;
  for (const char c : Leaf.substr(Prefix.size()))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  return true;
}

}  // namespace

bool LockNewTemporary(NativeHandle Handle) {
  const int fd = static_cast<int>(Handle);
  // Waits only while a clean-up looks at the file, which is brief.
  int result;
  do {
    result = ::flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return LocksUnsupported(errno);
  struct stat st;
  return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

bool HoldTemporary(const std::string& Path, NativeHandle Handle) {
  if (!LockNewTemporary(Handle)) return false;
  const int keep = ::fcntl(static_cast<int>(Handle), F_DUPFD_CLOEXEC, 0);
  if (keep < 0) return true;  // it stays locked while the caller keeps it open
  HeldTemporaries& registry = Held();
  std::lock_guard<std::mutex> lock(registry.mutex);
  int& slot = registry.held[Path];
  if (slot > 0) ::close(slot);
  slot = keep;
  return true;
}

void ReleaseTemporary(const std::string& Path) {
  HeldTemporaries& registry = Held();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto it = registry.held.find(Path);
  if (it == registry.held.end()) return;
  ::close(it->second);
  registry.held.erase(it);
}

int RemoveLeftovers(const FolderHandle& Folder) {
  if (!Folder.Valid()) return 0;
  const int listing = ::fcntl(static_cast<int>(Folder.Get()), F_DUPFD_CLOEXEC, 0);
  if (listing < 0) return 0;
  DIR* dir = ::fdopendir(listing);
  if (dir == nullptr) {
    ::close(listing);
    return 0;
  }
  std::vector<std::string> temporaries;
  bool recorded = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') continue;
    if (IsTemporaryName(entry->d_name)) temporaries.emplace_back(entry->d_name);
    // The temporaries may be the new files of an unfinished replacement,
    // which the next run on its archive puts in place.
    recorded = recorded || IsJournalName(entry->d_name);
  }
  ::closedir(dir);
  if (recorded) return 0;
  int removed = 0;
  for (const std::string& name : temporaries)
    if (RemoveIfAbandoned(static_cast<int>(Folder.Get()), name.c_str())) ++removed;
  return removed;
}

int RemoveLeftoversBeside(const std::string& Path) {
  return RemoveLeftovers(OpenFolder(FolderOf(Path), false));
}

int RemoveAbandonedTempFiles(const std::string& Prefix,
                             const std::function<bool(std::string_view Head)>& Looks) {
  const FolderHandle folder = OpenFolder(TempFolder(), false);
  if (!folder.Valid()) return 0;
  const int listing = ::fcntl(static_cast<int>(folder.Get()), F_DUPFD_CLOEXEC, 0);
  if (listing < 0) return 0;
  DIR* dir = ::fdopendir(listing);
  if (dir == nullptr) {
    ::close(listing);
    return 0;
  }
  std::vector<std::string> candidates;
  while (const dirent* entry = ::readdir(dir))
    if (IsMadeWith(entry->d_name, Prefix)) candidates.emplace_back(entry->d_name);
  ::closedir(dir);
  int removed = 0;
  for (const std::string& name : candidates)
    if (RemoveIfAbandoned(static_cast<int>(folder.Get()), name.c_str(), &Looks)) ++removed;
  return removed;
}

int RunLock::Take(const std::string& Archive, Mode How, int WaitMilliseconds) {
  Release();
  path_ = LockPathOf(Archive);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMilliseconds);
  for (;;) {
    // Read access is all flock needs, and all a reader may have of a lock
    // another user's backup made.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (::flock(fd, (How == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
      // The last holder may have removed the file between our open and our
      // lock; a lock on a removed file guards nothing.
      struct stat open, named;
      if (::fstat(fd, &open) == 0 && ::stat(path_.c_str(), &named) == 0 && SameFile(open, named)) {
        handle_ = fd;
        return 0;
      }
      ::close(fd);
      continue;
    }
    const int error = errno;
    if (LocksUnsupported(error)) {
      handle_ = fd;
      return 0;
    }
    ::close(fd);
    if (error != EWOULDBLOCK && error != EINTR) return error;
    if (std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void RunLock::Release() {
  if (handle_ == kNoHandle) return;
  const int fd = static_cast<int>(handle_);
  handle_ = kNoHandle;
  // A holder that can have the file to itself removes it, so no lock is
  // left lying beside the archive; one that waits is sent to a new file
  // by the check in Take.
  struct stat open, named;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &open) == 0 &&
      ::stat(path_.c_str(), &named) == 0 && SameFile(open, named))
    ::unlink(path_.c_str());
  ::close(fd);
}

}  // namespace kelmora::platform
