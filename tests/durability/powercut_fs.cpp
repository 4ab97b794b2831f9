// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-powercut-fs: the power-cut harness's file system, mounted with
// FUSE over the model in powercut_model.h.
//
//   kelmora-powercut-fs --image DIR --out DIR [--cut-at N] [--seed S]
//                       [--journal-samples K] [--log FILE] MOUNTPOINT
//
// It starts with the tree under --image, all of it durable, and counts
// every request that changes something (writes, truncations, names, modes,
// times, syncs). The request numbered --cut-at is the cut: it and every
// request after it fail with EIO, and the durable state is written to
// OUT/strict and OUT/journal-1 ... OUT/journal-K (see CutMode), then
// OUT/cut is made holding the number. Without a cut, unmounting writes the
// durable state to OUT/final and the live one to OUT/live. --log writes a
// line per counted request: its number, its kind and its path.
//
// FUSE passes no syncfs(2) to a file system; the harness preloads a shim
// into the program under test that follows each syncfs with a setxattr of
// kSyncAllName, which syncs everything here.
#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "powercut_model.h"

namespace {

using kelmora::powercut::CutMode;
using kelmora::powercut::Ino;
using kelmora::powercut::Model;

constexpr const char* kSyncAllName = "user.powercut.syncfs";

struct Settings {
  std::string Image, Out, Log;
  unsigned long long CutAt = 0;  // 0: never
  unsigned long long Seed = 1;
  int JournalSamples = 2;
};

Settings settings;
Model model;
FILE* requestLog = nullptr;
unsigned long long counted = 0;
bool frozen = false;

void WriteNote(const std::string& Path, const std::string& Text) {
  const std::string temporary = Path + ".new";
  if (FILE* f = std::fopen(temporary.c_str(), "w")) {
    std::fputs(Text.c_str(), f);
    std::fclose(f);
    std::rename(temporary.c_str(), Path.c_str());
  }
}

void WriteCutStates() {
  std::mt19937_64 random(settings.Seed);
  bool ok = model.Dump(settings.Out + "/strict", CutMode::Strict, random);
  for (int i = 1; i <= settings.JournalSamples; ++i) {
    std::mt19937_64 sample(settings.Seed * 1000003ULL + static_cast<unsigned>(i));
    ok = model.Dump(settings.Out + "/journal-" + std::to_string(i), CutMode::Journal, sample) && ok;
  }
  if (requestLog != nullptr) std::fflush(requestLog);
  WriteNote(settings.Out + "/cut", ok ? std::to_string(counted) + "\n" : "failed\n");
}

// Counts a change; true when it falls on or after the cut and must fail.
bool Cut(const char* Kind, const char* Path, Ino Node = 0) {
  if (frozen) return true;
  ++counted;
  if (requestLog != nullptr) {
    if (Path != nullptr)
      std::fprintf(requestLog, "%llu %s %s\n", counted, Kind, Path);
    else
      std::fprintf(requestLog, "%llu %s node %llu\n", counted, Kind,
                   static_cast<unsigned long long>(Node));
  }
  if (counted != settings.CutAt) return false;
  frozen = true;
  WriteCutStates();
  return true;
}

// The node a request is about: its open file when it has one, else its path.
int NodeOf(const char* Path, fuse_file_info* Info, Ino& Node) {
  if (Info != nullptr) {
    Node = Info->fh;
    return 0;
  }
  if (Path == nullptr) return -EBADF;
  return model.Resolve(Path, Node);
}

#define FROZEN_FAILS \
  if (frozen) return -EIO
#define COUNTED(Kind, Path) \
  if (Cut(Kind, Path)) return -EIO
#define COUNTED_ON(Kind, Path, Node) \
  if (Cut(Kind, Path, Node)) return -EIO

void* Init(fuse_conn_info* Connection, fuse_config* Config) {
  // Writes arrive in pieces of at most 64 KiB, so a cut can fall inside
  // a large one as it can inside a disk's write-back.
  Connection->max_write = 64 * 1024;
  Config->use_ino = 1;
  Config->hard_remove = 1;
  Config->nullpath_ok = 1;
  Config->direct_io = 1;
  Config->entry_timeout = 0;
  Config->attr_timeout = 0;
  Config->negative_timeout = 0;
  return nullptr;
}

void Destroy(void*) {
  if (!frozen) {
    std::mt19937_64 unused(0);
    const bool ok = model.Dump(settings.Out + "/final", CutMode::Strict, unused) &&
                    model.DumpLive(settings.Out + "/live");
    WriteNote(settings.Out + "/ended", ok ? std::to_string(counted) + "\n" : "failed\n");
  }
  if (requestLog != nullptr) std::fclose(requestLog);
  requestLog = nullptr;
}

int GetAttr(const char* Path, struct stat* St, fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = NodeOf(Path, Info, node); error != 0) return error;
  return model.Stat(node, *St);
}

int ReadLink(const char* Path, char* Buffer, size_t Size) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  const std::string& target = model.Find(node)->Data;
  if (Size == 0) return -EINVAL;
  const size_t n = std::min(Size - 1, target.size());
  std::memcpy(Buffer, target.data(), n);
  Buffer[n] = '\0';
  return 0;
}

int MakeNode(const char* Path, mode_t Mode, dev_t) {
  FROZEN_FAILS;
  if (!S_ISREG(Mode)) return -EPERM;
  COUNTED("create", Path);
  Ino made;
  return model.Create(Path, Mode, made);
}

int MakeDir(const char* Path, mode_t Mode) {
  FROZEN_FAILS;
  COUNTED("mkdir", Path);
  Ino made;
  return model.Create(Path, S_IFDIR | (Mode & 07777), made);
}

int Unlink(const char* Path) {
  FROZEN_FAILS;
  COUNTED("unlink", Path);
  return model.Unlink(Path, false);
}

int RemoveDir(const char* Path) {
  FROZEN_FAILS;
  COUNTED("rmdir", Path);
  return model.Unlink(Path, true);
}

int Symlink(const char* Target, const char* Path) {
  FROZEN_FAILS;
  COUNTED("symlink", Path);
  return model.Symlink(Target, Path);
}

int Rename(const char* From, const char* To, unsigned Flags) {
  FROZEN_FAILS;
  COUNTED("rename", To);
  return model.Rename(From, To, Flags);
}

int Link(const char* From, const char* To) {
  FROZEN_FAILS;
  COUNTED("link", To);
  return model.HardLink(From, To);
}

int Chmod(const char* Path, mode_t Mode, fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = NodeOf(Path, Info, node); error != 0) return error;
  COUNTED_ON("chmod", Path, node);
  return model.Chmod(node, Mode);
}

int Chown(const char* Path, uid_t, gid_t, fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = NodeOf(Path, Info, node); error != 0) return error;
  COUNTED_ON("chown", Path, node);
  return 0;  // every file belongs to the one user who mounted
}

int Truncate(const char* Path, off_t Size, fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = NodeOf(Path, Info, node); error != 0) return error;
  COUNTED_ON("truncate", Path, node);
  return model.Truncate(node, Size);
}

int Open(const char* Path, fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  if (model.Find(node)->IsDir()) return -EISDIR;
  if ((Info->flags & O_TRUNC) != 0) {
    COUNTED_ON("truncate", Path, node);
    model.Truncate(node, 0);
  }
  Info->fh = node;
  Info->direct_io = 1;
  return 0;
}

int Create(const char* Path, mode_t Mode, fuse_file_info* Info) {
  FROZEN_FAILS;
  COUNTED("create", Path);
  Ino made;
  if (const int error = model.Create(Path, S_IFREG | (Mode & 07777), made); error != 0)
    return error;
  Info->fh = made;
  Info->direct_io = 1;
  return 0;
}

int Read(const char*, char* Buffer, size_t Size, off_t Offset, fuse_file_info* Info) {
  FROZEN_FAILS;
  size_t done = 0;
  if (const int error = model.Read(Info->fh, Buffer, Size, Offset, done); error != 0) return error;
  return static_cast<int>(done);
}

int Write(const char* Path, const char* Buffer, size_t Size, off_t Offset, fuse_file_info* Info) {
  FROZEN_FAILS;
  COUNTED_ON("write", Path, Info->fh);
  if (const int error = model.Write(Info->fh, Buffer, Size, Offset); error != 0) return error;
  return static_cast<int>(Size);
}

int StatFs(const char*, struct statvfs* St) {
  FROZEN_FAILS;
  std::memset(St, 0, sizeof *St);
  St->f_bsize = St->f_frsize = 4096;
  St->f_blocks = 1u << 24;
  St->f_bfree = St->f_bavail = 1u << 23;
  St->f_files = 1u << 20;
  St->f_ffree = St->f_favail = 1u << 19;
  St->f_namemax = 255;
  return 0;
}

int Release(const char*, fuse_file_info*) {
  return 0;
}

int Fsync(const char* Path, int, fuse_file_info* Info) {
  FROZEN_FAILS;
  COUNTED_ON("fsync", Path, Info->fh);
  model.SyncData(Info->fh);
  return 0;
}

int SetXattr(const char* Path, const char* Name, const char* Value, size_t Size, int Flags) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  if (std::strcmp(Name, kSyncAllName) == 0) {
    COUNTED("syncfs", Path);
    model.SyncAll();
    return 0;
  }
  auto& xattrs = model.Find(node)->Xattrs;
  const bool exists = xattrs.count(Name) != 0;
  if ((Flags & XATTR_CREATE) != 0 && exists) return -EEXIST;
  if ((Flags & XATTR_REPLACE) != 0 && !exists) return -ENODATA;
  COUNTED("setxattr", Path);
  xattrs[Name] = std::string(Value, Size);
  return 0;
}

int GetXattr(const char* Path, const char* Name, char* Value, size_t Size) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  const auto& xattrs = model.Find(node)->Xattrs;
  const auto it = xattrs.find(Name);
  if (it == xattrs.end()) return -ENODATA;
  if (Size == 0) return static_cast<int>(it->second.size());
  if (Size < it->second.size()) return -ERANGE;
  std::memcpy(Value, it->second.data(), it->second.size());
  return static_cast<int>(it->second.size());
}

int ListXattr(const char* Path, char* List, size_t Size) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  std::string names;
  for (const auto& entry : model.Find(node)->Xattrs) names += entry.first + '\0';
  if (Size == 0) return static_cast<int>(names.size());
  if (Size < names.size()) return -ERANGE;
  std::memcpy(List, names.data(), names.size());
  return static_cast<int>(names.size());
}

int RemoveXattr(const char* Path, const char* Name) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  auto& xattrs = model.Find(node)->Xattrs;
  if (xattrs.count(Name) == 0) return -ENODATA;
  COUNTED("removexattr", Path);
  xattrs.erase(Name);
  return 0;
}

int OpenDir(const char* Path, fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = model.Resolve(Path, node); error != 0) return error;
  if (!model.Find(node)->IsDir()) return -ENOTDIR;
  Info->fh = node;
  return 0;
}

int ReadDir(const char*, void* Buffer, fuse_fill_dir_t Fill, off_t, fuse_file_info* Info,
            fuse_readdir_flags) {
  FROZEN_FAILS;
  std::vector<std::string> names;
  if (const int error = model.Names(Info->fh, names); error != 0) return error;
  Fill(Buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  Fill(Buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const std::string& name : names)
    Fill(Buffer, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int ReleaseDir(const char*, fuse_file_info*) {
  return 0;
}

int FsyncDir(const char* Path, int, fuse_file_info* Info) {
  FROZEN_FAILS;
  COUNTED_ON("fsyncdir", Path, Info->fh);
  model.SyncFolder(Info->fh);
  return 0;
}

int Access(const char* Path, int) {
  FROZEN_FAILS;
  Ino node;
  return model.Resolve(Path, node);
}

int SetTimes(const char* Path, const timespec Times[2], fuse_file_info* Info) {
  FROZEN_FAILS;
  Ino node;
  if (const int error = NodeOf(Path, Info, node); error != 0) return error;
  COUNTED_ON("utimens", Path, node);
  return model.SetTimes(node, Times);
}

int Allocate(const char* Path, int Mode, off_t Offset, off_t Length, fuse_file_info* Info) {
  FROZEN_FAILS;
  if (Mode != 0) return -EOPNOTSUPP;
  COUNTED_ON("fallocate", Path, Info->fh);
  const auto* n = model.Find(Info->fh);
  if (n == nullptr) return -EBADF;
  const off_t end = Offset + Length;
  return static_cast<off_t>(n->Data.size()) < end ? model.Truncate(Info->fh, end) : 0;
}

bool TakeOption(std::vector<char*>& Args, size_t& I, const char* Name, std::string& Value) {
  if (std::strcmp(Args[I], Name) != 0 || I + 1 >= Args.size()) return false;
  Value = Args[I + 1];
  Args.erase(Args.begin() + static_cast<long>(I), Args.begin() + static_cast<long>(I) + 2);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  for (size_t i = 1; i < args.size();) {
    std::string value;
    if (TakeOption(args, i, "--image", settings.Image) ||
        TakeOption(args, i, "--out", settings.Out) || TakeOption(args, i, "--log", settings.Log))
      continue;
    if (TakeOption(args, i, "--cut-at", value)) {
      settings.CutAt = std::strtoull(value.c_str(), nullptr, 10);
    } else if (TakeOption(args, i, "--seed", value)) {
      settings.Seed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (TakeOption(args, i, "--journal-samples", value)) {
      settings.JournalSamples = std::atoi(value.c_str());
    } else {
      ++i;
    }
  }
  if (settings.Image.empty() || settings.Out.empty() || args.size() < 2) {
    std::fprintf(stderr,
                 "usage: %s --image DIR --out DIR [--cut-at N] [--seed S] "
                 "[--journal-samples K] [--log FILE] MOUNTPOINT\n",
                 argv[0]);
    return 2;
  }
  if (!model.Load(settings.Image)) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], settings.Image.c_str());
    return 1;
  }
  if (!settings.Log.empty()) requestLog = std::fopen(settings.Log.c_str(), "w");

  fuse_operations ops{};
  ops.init = Init;
  ops.destroy = Destroy;
  ops.getattr = GetAttr;
  ops.readlink = ReadLink;
  ops.mknod = MakeNode;
  ops.mkdir = MakeDir;
  ops.unlink = Unlink;
  ops.rmdir = RemoveDir;
  ops.symlink = Symlink;
  ops.rename = Rename;
  ops.link = Link;
  ops.chmod = Chmod;
  ops.chown = Chown;
  ops.truncate = Truncate;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.statfs = StatFs;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.setxattr = SetXattr;
  ops.getxattr = GetXattr;
  ops.listxattr = ListXattr;
  ops.removexattr = RemoveXattr;
  ops.opendir = OpenDir;
  ops.readdir = ReadDir;
  ops.releasedir = ReleaseDir;
  ops.fsyncdir = FsyncDir;
  ops.access = Access;
  ops.utimens = SetTimes;
  ops.fallocate = Allocate;

  // In the foreground, one request at a time: the order of requests is the
  // order of the model's changes.
  std::vector<char*> fuseArgs{args[0], const_cast<char*>("-f"), const_cast<char*>("-s"),
                              const_cast<char*>("-o"),
                              const_cast<char*>("fsname=kelmora-powercut,subtype=powercut")};
  for (size_t i = 1; i < args.size(); ++i) fuseArgs.push_back(args[i]);
  return fuse_main(static_cast<int>(fuseArgs.size()), fuseArgs.data(), &ops, nullptr);
}
