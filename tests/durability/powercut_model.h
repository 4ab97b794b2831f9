// SPDX-License-Identifier: GPL-3.0-or-later
//
// The file system of the power-cut harness, in memory, without FUSE.
//
// It serves the program under test a live file system and keeps beside it
// what would survive a power failure: the durable contents of every file
// (those its last fsync or fdatasync saw) and the durable name space (the
// names whose folder was last synced). Every change to a name (create,
// link, unlink, rename, mkdir, rmdir) waits in one ordered list until an
// fsync of a folder it touches, or a sync of the whole file system, makes
// it durable.
//
// A cut turns that into the folder a machine would find after the power
// came back, in one of two ways:
//   Strict   every change not made durable is lost: the strictest reading
//            of what POSIX promises.
//   Journal  a random prefix of the waiting name changes survives, in the
//            order they were made, as a journalling file system may commit
//            them on its own; each file whose data was not synced keeps
//            its durable data, all of its new data, or a torn mixture.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace kelmora::powercut {

using Ino = uint64_t;
inline constexpr Ino kRoot = 1;

enum class CutMode { Strict, Journal };

struct Node {
  mode_t Mode = 0;   // type and permission bits
  std::string Data;  // contents, or a symbolic link's target
  timespec Mtime{};
  timespec Ctime{};
  std::map<std::string, Ino> Entries;  // a folder's names, live
  std::map<std::string, std::string> Xattrs;
  nlink_t Links = 0;
  // What survives a cut of the contents and times.
  std::string DurableData;
  timespec DurableMtime{};
  mode_t DurableMode = 0;
  bool Dirty = false;  // contents, times or mode differ from the durable ones

  bool IsDir() const { return S_ISDIR(Mode); }
};

// One change to the name space, as the live file system made it.
struct NameChange {
  enum Kind { Link, Unlink, Rename } What = Link;
  Ino From = 0;  // the folder (Link, Unlink) or the folder renamed from
  std::string FromName;
  Ino To = 0;  // the folder renamed into
  std::string ToName;
  Ino Node = 0;
};

// Folder -> name -> node.
using NameSpace = std::map<Ino, std::map<std::string, Ino>>;

class Model {
 public:
  Model();

  // Takes the tree under Folder as the file system's durable contents.
  // False when it cannot be read.
  bool Load(const std::string& Folder);

  // ---- the live file system; 0 or a negative error number, as FUSE wants
  int Resolve(const char* Path, Ino& Found) const;
  int Stat(Ino Node, struct stat& St) const;
  int Create(const char* Path, mode_t Mode, Ino& Made);  // a file, folder or link
  int Symlink(const char* Target, const char* Path);
  int Unlink(const char* Path, bool Folder);
  int Rename(const char* From, const char* To, unsigned Flags);
  int HardLink(const char* From, const char* To);
  int Read(Ino Node, char* Buffer, size_t Size, off_t Offset, size_t& Done) const;
  int Write(Ino Node, const char* Buffer, size_t Size, off_t Offset);
  int Truncate(Ino Node, off_t Size);
  int Chmod(Ino Node, mode_t Mode);
  int SetTimes(Ino Node, const timespec Times[2]);
  int Names(Ino Folder, std::vector<std::string>& Names) const;
  Node* Find(Ino Node);
  const Node* Find(Ino Node) const;

  // ---- durability
  void SyncData(Ino Node);      // fsync, fdatasync of a file
  void SyncFolder(Ino Folder);  // fsync of a folder
  void SyncAll();               // sync, syncfs
  size_t WaitingChanges() const { return waiting_.size(); }

  // Writes to Folder (which must not exist yet) what a cut now leaves:
  // the live tree when Live, else the durable one as Mode reads it, with
  // Random's choices. False when the folder cannot be written.
  bool Dump(const std::string& Folder, CutMode Mode, std::mt19937_64& Random) const;
  bool DumpLive(const std::string& Folder) const;

 private:
  struct Image {
    NameSpace Names;
    std::map<Ino, std::string> Data;  // the contents each node comes back with
    std::map<Ino, timespec> Mtime;
    std::map<Ino, mode_t> Mode;
  };
  Ino NewNode(mode_t Mode);
  int Parent(const char* Path, Ino& Folder, std::string& Leaf) const;
  void Touch(Node& N);
  static void Apply(NameSpace& Names, const NameChange& Change);
  Image DurableImage(CutMode Mode, std::mt19937_64& Random) const;
  bool Write(const std::string& Folder, const Image& Made) const;

  std::map<Ino, Node> nodes_;
  Ino next_ = kRoot + 1;
  NameSpace durable_;
  std::vector<NameChange> waiting_;  // in the order they were made
};

}  // namespace kelmora::powercut
