// SPDX-License-Identifier: GPL-3.0-or-later
//
// The platform layer on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/long_path.h"
#include "platform/stamp_fields.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

// Lists a directory's entries other than "." and "..", sorted by name so
// that an archive's order does not depend on the file system's hashing.
struct Listed {
  std::string name;
  unsigned char type;  // d_type: DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN...
};

// The folder stays open as long as its listing, so that its files can be
// looked at through its descriptor rather than by their whole paths, which
// may be longer than the system takes.
class Directory {
 public:
  explicit Directory(const std::string& folder) {
    const ShortPath at(folder.empty() ? "." : folder);
    if (!at.Valid()) {
      error_ = at.Error();
      return;
    }
    const int fd = ::openat(at.Folder(), at.Name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      error_ = errno;
      return;
    }
    dir_ = ::fdopendir(fd);
    if (!dir_) {
      error_ = errno;
      ::close(fd);
      return;
    }
    // readdir tells an error from the end only through errno.
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(dir_);
      if (e == nullptr) {
        error_ = errno;
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      entries_.push_back(Listed{e->d_name, e->d_type});
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const Listed& a, const Listed& b) { return a.name < b.name; });
  }
  ~Directory() {
    if (dir_) ::closedir(dir_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  const std::vector<Listed>& Entries() const { return entries_; }
  int Handle() const { return ::dirfd(dir_); }
  // 0, or why the folder could not be (wholly) listed.
  int Error() const { return error_; }

 private:
  DIR* dir_ = nullptr;
  std::vector<Listed> entries_;
  int error_ = 0;
};

constexpr const char* kArchivedAttribute = "user.kelmora.archived";

std::string ArchivedRecord(int64_t Size, int64_t ModifiedNs) {
  return std::to_string(static_cast<long long>(ModifiedNs)) + " " +
         std::to_string(static_cast<long long>(Size));
}

std::string ArchivedRecord(const struct stat& st) {
  const long long ns =
      static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return ArchivedRecord(st.st_size, ns);
}

// A file whose path is longer than the calls that take a name accept,
// opened to be asked through its descriptor; -1 when it cannot be.
int OpenLong(const std::string& Path) {
  const ShortPath at(Path);
  if (!at.Valid()) return -1;
  return ::openat(at.Folder(), at.Name(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

bool IsLong(const std::string& Path) {
  return Path.size() >= PATH_MAX;
}

bool MakeTimes(int32_t stamp, struct timespec times[2]) {
  std::time_t t;
  if (!UnpackTime(stamp, t)) return false;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays as it is
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return true;
}

}  // namespace

std::string FullPath(const std::string& Path) {
  std::string input = Path;
  if (input.empty() || input[0] != '/') {
    char cwd[PATH_MAX];
    const std::string base = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    input = base + "/" + input;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('/', start);
    if (end == std::string::npos) end = input.size();
    const std::string part = input.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

namespace {

// A regular file, or a link to one (dangling links never count), measured
// as opening it would: the backup counts it from this and opens it once,
// to read it. Error is left with the system's reason when the entry could
// not be looked at (a folder that may be listed but not searched), and
// stays as it was for an entry that simply is no regular file.
bool FindFile(const Directory& Dir, const Listed& e, SearchEntry& Found, int* Error = nullptr) {
  if (e.type != DT_REG && e.type != DT_LNK && e.type != DT_UNKNOWN) return false;
  struct stat st;
  if (::fstatat(Dir.Handle(), e.name.c_str(), &st, 0) != 0) {
    // A dangling link, or a file gone since the listing, is no file.
    if (Error != nullptr && errno != ENOENT && errno != ENOTDIR && errno != ELOOP) *Error = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) return false;
  Found.Name = e.name;
  Found.Hidden = e.name[0] == '.';
  Found.Measure.Known = true;
  Found.Measure.Readable = ::faccessat(Dir.Handle(), e.name.c_str(), R_OK, AT_EACCESS) == 0;
  Found.Measure.Size = st.st_size;
  Found.Measure.Stamp = PackTime(st.st_mtim.tv_sec);
  Found.Measure.Device = static_cast<uint64_t>(st.st_dev);
  Found.Measure.Inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool IsLink(const Directory& Dir, const Listed& e) {
  if (e.type != DT_UNKNOWN) return e.type == DT_LNK;
  struct stat st;
  return ::fstatat(Dir.Handle(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

// A real sub-directory, hidden or not; a link to one is never entered, so
// no loops.
bool IsDirectory(const Directory& Dir, const Listed& e) {
  if (e.type != DT_UNKNOWN) return e.type == DT_DIR;
  struct stat st;
  return ::fstatat(Dir.Handle(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(st.st_mode);
}

bool IsHidden(const Listed& e) {
  return e.name[0] == '.';
}

bool IsSearchDirectory(const Directory& Dir, const Listed& e) {
  return !IsHidden(e) && IsDirectory(Dir, e);  // hidden folders are not entered
}

}  // namespace

void SearchFiles(const std::string& Folder, const std::string& Pattern,
                 const std::function<void(const SearchEntry&)>& Found, int* Error) {
  const Directory dir(Folder);
  SearchEntry found;
  for (const Listed& e : dir.Entries()) {
    if (MatchWildcard(Pattern, e.name) && FindFile(dir, e, found)) Found(found);
  }
  if (Error != nullptr) *Error = dir.Error();
}

void SearchDirectories(const std::string& Folder,
                       const std::function<void(const SearchEntry&)>& Found) {
  const Directory dir(Folder);
  for (const Listed& e : dir.Entries()) {
    if (IsSearchDirectory(dir, e)) Found(SearchEntry{e.name, false, {}});
  }
}

FolderListing ListFolder(const std::string& Folder, const std::string& Pattern,
                         bool IncludeHidden) {
  FolderListing listing;
  const Directory dir(Folder);
  // A folder that is not there holds nothing to account for.
  if (dir.Error() != ENOENT && dir.Error() != ENOTDIR) listing.Error = dir.Error();
  SearchEntry found;
  for (const Listed& e : dir.Entries()) {
    if (IsDirectory(dir, e)) {
      if (IsHidden(e) && !IncludeHidden)
        ++listing.HiddenDirectories;
      else
        listing.Directories.push_back(SearchEntry{e.name, IsHidden(e), {}});
      continue;
    }
    if (!MatchWildcard(Pattern, e.name)) continue;
    const bool link = IsLink(dir, e);
    if (FindFile(dir, e, found, link ? &listing.LinkError : &listing.Error)) {
      found.Link = link;
      listing.Files.push_back(found);
    }
    if (link) listing.Links.push_back(SearchEntry{e.name, e.name[0] == '.', {}, true});
  }
  return listing;
}

bool FileExists(const std::string& Path) {
  const ShortPath at(Path);
  struct stat st;
  return at.Valid() && ::fstatat(at.Folder(), at.Name(), &st, 0) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& Path) {
  struct stat st;
  return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& Path) {
  return RemoveFile(Path) == 0;
}

int RemoveFile(const std::string& Path) {
  if (::unlink(Path.c_str()) != 0) return errno;
  ReleaseTemporary(Path);
  return 0;
}

bool ForceDirectories(const std::string& Path) {
  if (Path.empty()) return false;
  if (DirectoryExists(Path)) return true;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = Path.find('/', pos + 1);
    const std::string prefix = Path.substr(0, pos);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return DirectoryExists(Path);
}

std::string TempFolder() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? base : "/tmp";
}

std::string CreateTempFile(const std::string& Prefix, int* Error) {
  const std::string folder = TempFolder();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string templ = folder + "/" + Prefix + "XXXXXX";
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) {
      if (Error != nullptr) *Error = errno;
      return {};
    }
    // Held from before anyone could take it for a killed run's leftover;
    // false when a clean-up removed it first, and another name is tried.
    const bool held = HoldTemporary(templ, fd);
    ::close(fd);
    if (held) return templ;
  }
  if (Error != nullptr) *Error = EEXIST;
  return {};
}

int32_t PackTime(std::time_t Time) {
  struct tm tm;
  if (!::localtime_r(&Time, &tm)) return -1;
  const int year = tm.tm_year + 1900;
  if (year < 1980 || year > 2107) return -1;
  const uint32_t date = static_cast<uint32_t>(year - 1980) << 9 |
                        static_cast<uint32_t>(tm.tm_mon + 1) << 5 |
                        static_cast<uint32_t>(tm.tm_mday);
  const uint32_t time = static_cast<uint32_t>(tm.tm_hour) << 11 |
                        static_cast<uint32_t>(tm.tm_min) << 5 |
                        static_cast<uint32_t>(tm.tm_sec / 2);
  return static_cast<int32_t>(date << 16 | time);
}

bool UnpackTime(int32_t Stamp, std::time_t& Time) {
  StampFields f;
  if (!SplitStamp(Stamp, f)) return false;
  struct tm tm {};
  tm.tm_year = f.Year - 1900;
  tm.tm_mon = f.Month - 1;
  tm.tm_mday = f.Day;
  tm.tm_hour = f.Hour;
  tm.tm_min = f.Minute;
  tm.tm_sec = f.Second;
  // The local offset comes from localtime_r, which keeps the loaded zone;
  // mktime would re-read the zone file for every restored file.
  const std::time_t asUtc = ::timegm(&tm);
  std::time_t t = asUtc;
  for (int round = 0; round < 2; ++round) {
    struct tm local;
    if (!::localtime_r(&t, &local)) return false;
    t = asUtc - local.tm_gmtoff;
  }
  Time = t;
  return true;
}

int32_t FileTimeOfPath(const std::string& Path) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0) return -1;
  return PackTime(st.st_mtim.tv_sec);
}

bool SetFileTimeOfPath(const std::string& Path, int32_t Stamp) {
  struct timespec times[2];
  return MakeTimes(Stamp, times) && ::utimensat(AT_FDCWD, Path.c_str(), times, 0) == 0;
}

bool HasArchiveAttribute(const std::string& Path) {
  struct stat st;
  char value[64];
  ssize_t n;
  if (IsLong(Path)) {
    const int fd = OpenLong(Path);
    if (fd < 0) return true;
    const bool known = ::fstat(fd, &st) == 0;
    n = known ? ::fgetxattr(fd, kArchivedAttribute, value, sizeof value) : -1;
    ::close(fd);
    if (!known) return true;
  } else {
    if (::stat(Path.c_str(), &st) != 0) return true;
    n = ::getxattr(Path.c_str(), kArchivedAttribute, value, sizeof value);
  }
  if (n <= 0) return true;  // never cleared, or no user attributes here
  return std::string(value, static_cast<size_t>(n)) != ArchivedRecord(st);
}

void ClearArchiveAttribute(const std::string& Path) {
  struct stat st;
  if (::stat(Path.c_str(), &st) != 0) return;
  const std::string record = ArchivedRecord(st);
  // Failure (no user attributes on this file system) leaves the file
  // counting as changed, so it is simply backed up again next time.
  ::setxattr(Path.c_str(), kArchivedAttribute, record.data(), record.size(), 0);
}

void ClearArchiveAttribute(const std::string& Path, int64_t Size, int64_t ModifiedNs) {
  const std::string record = ArchivedRecord(Size, ModifiedNs);
  if (!IsLong(Path)) {
    ::setxattr(Path.c_str(), kArchivedAttribute, record.data(), record.size(), 0);
    return;
  }
  const int fd = OpenLong(Path);
  if (fd < 0) return;
  ::fsetxattr(fd, kArchivedAttribute, record.data(), record.size(), 0);
  ::close(fd);
}

}  // namespace kelmora::platform
