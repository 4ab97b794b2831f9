// SPDX-License-Identifier: GPL-3.0-or-later
//
// The operating system behind one small interface. The engine calls only
// this; a Windows implementation can stand beside posix/ later.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/path_guard.h"

namespace kelmora::platform {

// ---- names and wildcards

// "*" any run (dots included), "?" one character, ASCII case ignored.
// "*.*" matches every name, with or without a dot.
bool MatchWildcard(const std::string& Pattern, const std::string& Name);

// Absolute form of Path: resolved against the current directory, "." and
// ".." components removed lexically (symbolic links are not followed).
std::string FullPath(const std::string& Path);

// ---- directory search

// A file as the search found it, measured through its folder's handle
// (links followed), the way opening it would see it then.
struct FileMeasure {
  bool Known = false;     // set for every file a search yields
  bool Readable = false;  // it could be opened for reading
  int64_t Size = 0;
  int32_t Stamp = -1;  // packed last-write time
  // The file's device and inode, as FileIdentity holds them; both 0 where
  // the search cannot tell them (Windows).
  uint64_t Device = 0;
  uint64_t Inode = 0;
};

struct SearchEntry {
  std::string Name;  // name within the folder searched
  bool Hidden;       // the name begins with "."
  FileMeasure Measure;
  bool Link = false;  // the name is a symbolic link (ListFolder tells)
};

// Calls Found for every regular file in Folder (a symbolic link counts when
// it leads to a regular file) whose name matches Pattern, in the order the
// system lists them. FIFOs, sockets, devices and dangling links never
// appear. Folder "" means the current directory; a folder that is missing
// or closed to the user yields nothing. A folder the system fails to list
// (a disk error, no memory) yields what could be listed, and its error
// number goes to *Error when it is given; a file it fails to look at is
// left out the same way. A folder deeper than the system's longest path
// is searched all the same (FileExists and File::Open reach its files too).
void SearchFiles(const std::string& Folder, const std::string& Pattern,
                 const std::function<void(const SearchEntry&)>& Found, int* Error = nullptr);

// Calls Found for every real sub-directory of Folder ("." and "..", hidden
// ones and symbolic links to directories left out), in listing order.
void SearchDirectories(const std::string& Folder,
                       const std::function<void(const SearchEntry&)>& Found);

// Both searches above from one listing of Folder, for a walk that needs
// the sub-directories and the matching files of every folder it enters.
// Unlike them it tells what it could not list and what it left out, so
// that a walk can account for every folder it did not take.
struct FolderListing {
  std::vector<SearchEntry> Directories;  // as SearchDirectories yields them
  std::vector<SearchEntry> Files;        // as SearchFiles yields them, links marked
  // Every symbolic link whose name matches Pattern, whatever it leads to
  // (a file, a folder, nothing), in listing order. Windows: none.
  std::vector<SearchEntry> Links;
  // Hidden sub-directories left out (none when they were asked for).
  size_t HiddenDirectories = 0;
  // The system's error number when the folder, or an entry in it, could
  // not be read (EACCES, EIO); what was listed before it stays. A folder
  // that does not exist (ENOENT, ENOTDIR) yields nothing and 0: a pattern
  // may name a folder that is not there.
  int Error = 0;
  // The same for the first matching link whose file could not be reached
  // (a link that leads nowhere is none): an error only to a caller that
  // follows links.
  int LinkError = 0;
};
FolderListing ListFolder(const std::string& Folder, const std::string& Pattern,
                         bool IncludeHidden = false);

// ---- files and folders

bool FileExists(const std::string& Path);       // a regular file, links followed
bool DirectoryExists(const std::string& Path);  // a directory, links followed
bool DeleteFile(const std::string& Path);
int RemoveFile(const std::string& Path);  // DeleteFile: 0, or the error number
// Creates Path with every missing parent (0777 less the umask); true when
// the folder exists afterwards.
bool ForceDirectories(const std::string& Path);
// The folder for temporary files: $TMPDIR, else /tmp (Windows: its own
// when TMPDIR is unset); "" when there is none.
std::string TempFolder();
// Creates an empty file with a unique name that begins with Prefix in
// TempFolder(); returns its path, or "" on failure with the error number in
// *Error when it is given. The file is held (platform/working_files.h)
// until DeleteFile removes it, so no clean-up takes it meanwhile.
std::string CreateTempFile(const std::string& Prefix, int* Error = nullptr);

// ---- packed time stamps (FAT date and time of the local time)

// -1 for times before 1980 or after 2107; seconds rounded down to even.
int32_t PackTime(std::time_t Time);
// False when the stamp holds no valid date and time.
bool UnpackTime(int32_t Stamp, std::time_t& Time);

// Last-write time of a path, packed; -1 on failure (File::Stamp for an
// open file).
int32_t FileTimeOfPath(const std::string& Path);
// Sets the last-write time only; the access time is left alone.
bool SetFileTimeOfPath(const std::string& Path, int32_t Stamp);

// ---- the archive attribute, emulated with user.kelmora.archived

// Set when the file changed since a backup last cleared it (or never was).
bool HasArchiveAttribute(const std::string& Path);
// Records the file's current time and size; contents and time untouched.
void ClearArchiveAttribute(const std::string& Path);
// Records the given state (size, modification time in nanoseconds since
// the epoch) rather than the current one: the state a backup stored. A
// file changed since then keeps counting as changed.
void ClearArchiveAttribute(const std::string& Path, int64_t Size, int64_t ModifiedNs);

// ---- what a path is, beyond its contents

// A file, folder or link as the system describes it, its final link not
// followed. Windows gives the kind and the time only.
struct PathMetadata {
  PathKind Kind = PathKind::Missing;
  bool HasMode = false;   // Mode, UserId and GroupId are the system's
  bool HasNames = false;  // UserName and GroupName too
  uint32_t Mode = 0;      // permission bits with set-ID and sticky (07777)
  uint32_t UserId = 0;
  uint32_t GroupId = 0;
  std::string UserName;  // "" when the id has no name here
  std::string GroupName;
  int64_t ModifiedSeconds = 0;  // since the epoch, UTC
  uint32_t ModifiedNanoseconds = 0;
  int64_t Size = 0;        // in bytes; of a link, what the system says of it
  std::string LinkTarget;  // a link's text, as it is
  // One file under several names shares device and inode; Links counts its
  // names.
  uint64_t Device = 0;
  uint64_t Inode = 0;
  uint32_t Links = 1;
};

// 0, or the error number.
int ReadPathMetadata(const std::string& Path, PathMetadata& Metadata);
// The same of an open file, as it is now (whatever link led to it): the
// file a backup reads, described without asking its name again.
int ReadOpenMetadata(File& Open, PathMetadata& Metadata);

// The process's file-creation mask (022 for most users); 0 where the
// system has none.
uint32_t ProcessUmask();
// The run may give files to other owners (root on Linux).
bool MayChangeOwner();

// ---- files that replace others only once they are complete

// Creates a new empty file in Final's folder (as Final spells it) under a
// temporary name of Kelmora's pattern (platform/working_files.h) that no
// other file has, 0666 less the umask, for writing, held until it is
// renamed or removed. Returns it open and its name in Name; on failure the File is
// not valid and holds the error number.
File CreateFileBeside(const std::string& Final, std::string& Name);
// Pushes the file's data to the device: 0, or the error number.
int SyncFile(const std::string& Path);
// Puts From in To's place in one step, replacing To: 0, or the error number.
int RenameFile(const std::string& From, const std::string& To);
// Makes the names created, renamed and removed in Path's folder durable:
// 0, or the error number.
int SyncFolderOf(const std::string& Path);
// True when Path leads to a device, FIFO or socket: something to write
// to, not a file that could be replaced.
bool IsSpecialFile(const std::string& Path);
// True when both names lead to one existing file (device and inode).
bool SameFile(const std::string& A, const std::string& B);
// Where a file written at Path really lands: Path itself, or, when its
// last component is a symbolic link, the end of that chain of links (which
// need not exist yet), relative links taken from their own folders. A
// chain that does not end (a loop) gives Path. Windows: Path.
std::string LinkTarget(const std::string& Path);

}  // namespace kelmora::platform
