// SPDX-License-Identifier: GPL-3.0-or-later
//
// Modes, owners, times and links on POSIX systems, read without following
// a final link and applied through open handles or a folder's handle, so
// that nothing swapped in meanwhile is reached by a name.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/target_file.h"

namespace kelmora::platform {

namespace {

// Owner names are asked of the name service once per id: it may be a
// directory server, and a tree holds few owners.
class NameCache {
 public:
  std::string User(uint32_t Id) { return Find(users_, Id, true); }
  std::string Group(uint32_t Id) { return Find(groups_, Id, false); }

 private:
  std::string Find(std::map<uint32_t, std::string>& Known, uint32_t Id, bool User) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto hit = Known.find(Id);
    if (hit != Known.end()) return hit->second;
    std::vector<char> buffer(16384);
    std::string name;
    if (User) {
      struct passwd entry;
      struct passwd* found = nullptr;
      if (::getpwuid_r(Id, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        name = found->pw_name;
    } else {
      struct group entry;
      struct group* found = nullptr;
      if (::getgrgid_r(Id, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        name = found->gr_name;
    }
    Known[Id] = name;
    return name;
  }
  std::mutex mutex_;
  std::map<uint32_t, std::string> users_;
  std::map<uint32_t, std::string> groups_;
};

NameCache& Names() {
  static NameCache cache;
  return cache;
}

// The ids of owner names here, asked once per name for the same reason.
class IdCache {
 public:
  bool User(const std::string& Name, uid_t& Id) { return Find(users_, Name, true, Id); }
  bool Group(const std::string& Name, gid_t& Id) {
    uid_t id = 0;
    if (!Find(groups_, Name, false, id)) return false;
    Id = static_cast<gid_t>(id);
    return true;
  }

 private:
  bool Find(std::map<std::string, std::pair<bool, uid_t>>& Known, const std::string& Name,
            bool User, uid_t& Id) {
    if (Name.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto hit = Known.find(Name);
    if (hit == Known.end()) {
      std::vector<char> buffer(16384);
      std::pair<bool, uid_t> found{false, 0};
      if (User) {
        struct passwd entry;
        struct passwd* p = nullptr;
        if (::getpwnam_r(Name.c_str(), &entry, buffer.data(), buffer.size(), &p) == 0 && p)
          found = {true, p->pw_uid};
      } else {
        struct group entry;
        struct group* g = nullptr;
        if (::getgrnam_r(Name.c_str(), &entry, buffer.data(), buffer.size(), &g) == 0 && g)
          found = {true, static_cast<uid_t>(g->gr_gid)};
      }
      hit = Known.emplace(Name, found).first;
    }
    if (hit->second.first) Id = hit->second.second;
    return hit->second.first;
  }
  std::mutex mutex_;
  std::map<std::string, std::pair<bool, uid_t>> users_;
  std::map<std::string, std::pair<bool, uid_t>> groups_;
};

IdCache& Ids() {
  static IdCache cache;
  return cache;
}

// The owner the rules ask for: the recorded name's id here, else the
// recorded id.
void WantedOwner(const PathMetadata& M, const MetadataRules& Rules, uid_t& User, gid_t& Group) {
  User = M.UserId;
  Group = M.GroupId;
  if (Rules.NumericOwner) return;
  Ids().User(M.UserName, User);
  Ids().Group(M.GroupName, Group);
}

// The mode to give a file now owned by User and Group.
mode_t ModeFor(const PathMetadata& M, const MetadataRules& Rules, const PathMetadata& Wanted,
               uid_t User, gid_t Group) {
  mode_t mode = M.Mode & 07777;
  if (!Rules.ExactMode) mode &= ~(Rules.Umask & 0777);
  // A set-ID bit grants its owner's rights: never to someone else.
  if (User != static_cast<uid_t>(Wanted.UserId)) mode &= ~S_ISUID;
  if (Group != static_cast<gid_t>(Wanted.GroupId)) mode &= ~S_ISGID;
  return mode;
}

// The recorded owner's ids as they are here, for the set-ID check.
PathMetadata Resolved(const PathMetadata& M, const MetadataRules& Rules) {
  PathMetadata r = M;
  uid_t user;
  gid_t group;
  WantedOwner(M, Rules, user, group);
  r.UserId = user;
  r.GroupId = group;
  return r;
}

struct timespec ModifiedTime(const PathMetadata& M) {
  struct timespec t;
  t.tv_sec = static_cast<time_t>(M.ModifiedSeconds);
  t.tv_nsec = static_cast<long>(M.ModifiedNanoseconds);
  return t;
}

// Owner, mode and time through a descriptor.
MetadataResult ApplyToDescriptor(int Fd, const PathMetadata& M, const MetadataRules& Rules) {
  MetadataResult result;
  struct stat st;
  if (::fstat(Fd, &st) != 0) {
    result.Owner = result.Mode = result.Time = errno;
    return result;
  }
  const PathMetadata wanted = Resolved(M, Rules);
  uid_t user = st.st_uid;
  gid_t group = st.st_gid;
  if (M.HasMode && Rules.Owner) {
    if (::fchown(Fd, wanted.UserId, wanted.GroupId) == 0) {
      user = wanted.UserId;
      group = wanted.GroupId;
    } else {
      result.Owner = errno;
    }
  }
  if (M.HasMode && ::fchmod(Fd, ModeFor(M, Rules, wanted, user, group)) != 0) result.Mode = errno;
  const struct timespec times[2] = {{0, UTIME_OMIT}, ModifiedTime(M)};
  if (::futimens(Fd, times) != 0) result.Time = errno;
  return result;
}

void FromStat(const struct stat& st, PathMetadata& M) {
  if (S_ISREG(st.st_mode))
    M.Kind = PathKind::File;
  else if (S_ISDIR(st.st_mode))
    M.Kind = PathKind::Directory;
  else if (S_ISLNK(st.st_mode))
    M.Kind = PathKind::Link;
  else
    M.Kind = PathKind::Other;
  M.HasMode = M.HasNames = true;
  M.Mode = st.st_mode & 07777;
  M.UserId = st.st_uid;
  M.GroupId = st.st_gid;
  M.UserName = Names().User(st.st_uid);
  M.GroupName = Names().Group(st.st_gid);
  M.ModifiedSeconds = st.st_mtim.tv_sec;
  M.ModifiedNanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  M.Size = static_cast<int64_t>(st.st_size);
  M.Device = st.st_dev;
  M.Inode = st.st_ino;
  M.Links = static_cast<uint32_t>(st.st_nlink);
}

}  // namespace

int ReadOpenMetadata(File& Open, PathMetadata& M) {
  M = PathMetadata();
  struct stat st;
  if (::fstat(static_cast<int>(Open.Native()), &st) != 0) return errno;
  FromStat(st, M);
  return 0;
}

int ReadPathMetadata(const std::string& Path, PathMetadata& M) {
  M = PathMetadata();
  struct stat st;
  if (::lstat(Path.c_str(), &st) != 0) return errno;
  FromStat(st, M);
  if (M.Kind == PathKind::Link) {
    // The size lstat gives is the target's length, except on file systems
    // that report 0; a link changed meanwhile shows as a full buffer.
    std::vector<char> target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096);
    while (true) {
      const ssize_t n = ::readlink(Path.c_str(), target.data(), target.size());
      if (n < 0) return errno;
      if (static_cast<size_t>(n) < target.size()) {
        M.LinkTarget.assign(target.data(), static_cast<size_t>(n));
        break;
      }
      if (target.size() >= (size_t{1} << 20)) return ENAMETOOLONG;
      target.resize(target.size() * 2);
    }
  }
  return 0;
}

uint32_t ProcessUmask() {
  // Linux shows the mask without changing it; elsewhere it is set and put
  // back at once.
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    unsigned mask = 0;
    if (std::sscanf(line.c_str(), "Umask: %o", &mask) == 1) return mask;
  }
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

bool MayChangeOwner() {
  return ::geteuid() == 0;
}

MetadataResult ApplyMetadata(File& Open, const PathMetadata& M, const MetadataRules& Rules) {
  return ApplyToDescriptor(static_cast<int>(Open.Native()), M, Rules);
}

MetadataResult ApplyMetadata(const FolderHandle& Folder, const PathMetadata& M,
                             const MetadataRules& Rules) {
  return ApplyToDescriptor(static_cast<int>(Folder.Get()), M, Rules);
}

int MakeSymbolicLink(const FolderHandle& Folder, const std::string& Name, const std::string& Target,
                     bool Replace) {
  const int at = static_cast<int>(Folder.Get());
  if (Name.empty() || Name.find('/') != std::string::npos || Target.empty() ||
      Target.find('\0') != std::string::npos)
    return EINVAL;
  if (!Replace) return ::symlinkat(Target.c_str(), at, Name.c_str()) == 0 ? 0 : errno;
  // Made under a name of its own, then renamed over Name: what stood there
  // is replaced in one step, and nothing is ever written through it.
  std::string temporary;
  int error = EEXIST;
  for (int attempt = 0; attempt < 16 && error == EEXIST; ++attempt) {
    temporary = TemporaryName();
    error = ::symlinkat(Target.c_str(), at, temporary.c_str()) == 0 ? 0 : errno;
  }
  if (error != 0) return error;
  struct stat st;
  if (::fstatat(at, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
    error = EISDIR;
  else if (::renameat(at, temporary.c_str(), at, Name.c_str()) != 0)
    error = errno;
  if (error != 0) ::unlinkat(at, temporary.c_str(), 0);
  return error;
}

MetadataResult ApplyLinkMetadata(const FolderHandle& Folder, const std::string& Name,
                                 const PathMetadata& M, const MetadataRules& Rules) {
  MetadataResult result;
  const int at = static_cast<int>(Folder.Get());
  struct stat st;
  if (::fstatat(at, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) {
    result.Owner = result.Time = errno != 0 ? errno : EINVAL;
    return result;
  }
  if (M.HasMode && Rules.Owner) {
    const PathMetadata wanted = Resolved(M, Rules);
    if (::fchownat(at, Name.c_str(), wanted.UserId, wanted.GroupId, AT_SYMLINK_NOFOLLOW) != 0)
      result.Owner = errno;
  }
  // A link's own mode means nothing on Linux and cannot be set.
  const struct timespec times[2] = {{0, UTIME_OMIT}, ModifiedTime(M)};
  if (::utimensat(at, Name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) result.Time = errno;
  return result;
}

int MakeHardLink(const FolderHandle& From, const std::string& FromName, const FolderHandle& To,
                 const std::string& ToName) {
  return ::linkat(static_cast<int>(From.Get()), FromName.c_str(), static_cast<int>(To.Get()),
                  ToName.c_str(), 0) == 0
             ? 0
             : errno;
}

}  // namespace kelmora::platform
