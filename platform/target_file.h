// How a restore reaches a target's folder and writes the target there.
//
// A target is written under a temporary name beside its final one and
// renamed over it only once it is whole, so the older file of that name is
// either replaced by a complete copy or left exactly as it was. A rename
// also replaces whatever stood there (a hard link to a file elsewhere, a
// FIFO, a device) instead of opening it and writing through it.
//
// Folders below a restore folder are reached one component at a time from
// an open handle, never through a symbolic link, so a folder swapped for a
// link while the run goes on cannot lead a later file outside.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/path_guard.h"

namespace kelmora::platform {

// An open folder, closed with the object.
class FolderHandle {
 public:
  FolderHandle() = default;
  explicit FolderHandle(NativeHandle Handle) : handle_(Handle) {}
  ~FolderHandle();
  FolderHandle(FolderHandle&& Other) noexcept
      : handle_(Other.handle_), error_(Other.error_), made_(Other.made_) {
    Other.handle_ = kNoHandle;
  }
  FolderHandle& operator=(FolderHandle&& Other) noexcept;
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  // A handle that failed to open for the error number Error.
  static FolderHandle Failure(int Error);

  bool Valid() const { return handle_ != kNoHandle; }
  NativeHandle Get() const { return handle_; }
  // Why it is not valid, when a call that opens folders failed.
  int LastError() const { return error_; }
  // A second handle on the same folder; invalid on failure.
  FolderHandle Duplicate() const;
  // The call that opened the folder made it: it was empty then.
  bool Made() const { return made_; }
  void SetMade() { made_ = true; }

 private:
  void Close();  // each system's own; nothing when not valid

  NativeHandle handle_ = kNoHandle;
  int error_ = 0;
  bool made_ = false;
};

// Opens Path as a folder, links followed as in any path the user names.
// With Create, missing folders (parents included) are made first.
// Invalid on failure.
FolderHandle OpenFolder(const std::string& Path, bool Create);

// Walks Relative ("a/b", "/" between components, empty and "." components
// ignored, ".." refused) below Base, making every missing folder. A
// component that is a symbolic link or no folder fails the walk. Invalid on
// failure, with the reason; a Relative without components gives a second
// handle on Base. Made() tells whether the last component was made here.
FolderHandle OpenFolderBeneath(const FolderHandle& Base, const std::string& Relative);

// What stands at Name in Folder; a final symbolic link is reported as Link.
PathInfo InspectAt(const FolderHandle& Folder, const std::string& Name);

// A file as the file system knows it, whatever names lead to it.
struct FileIdentity {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
// False when the handle or name cannot be examined (Name: a final link is
// not followed, so a link never shares the identity of its file).
bool IdentityOf(const File& Open, FileIdentity& Identity);
bool IdentityOf(const FolderHandle& Folder, FileIdentity& Identity);
bool IdentityOfPath(const std::string& Path, FileIdentity& Identity);  // links followed
bool IdentityAt(const FolderHandle& Folder, const std::string& Name, FileIdentity& Identity);

// A hidden name, distinct from any name a user gives and short enough for
// any folder, for a file while it is written (IsTemporaryName tells it).
std::string TemporaryName();

// A new file in a folder under a temporary hidden name, put in place under
// a name of that folder only on request. One that never is, is removed.
// The folder's handle is shared: the many files of one folder are written
// through one handle, not a copy each.
class PendingFile {
 public:
  // Creates the file, 0666 less the umask. Check Valid().
  explicit PendingFile(std::shared_ptr<const FolderHandle> Folder);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool Valid() const { return file_.Valid(); }
  // Why the file could not be created or put in place.
  int LastError() const { return error_; }
  // The open file, read and write, at offset 0; the caller owns it from
  // then on and closes it before PutInPlace. Only once, on a valid file.
  File ReleaseFile();
  const std::shared_ptr<const FolderHandle>& Folder() const { return folder_; }
  // Gives the file the permissions (and, where allowed, the owner) of the
  // regular file at Name in its folder, which it is to replace: a private
  // file must not come back readable by all. Nothing when there is none.
  void TakeOverModeOf(const std::string& Name);
  // Renames the file over Name in its folder. False when that fails; the
  // file then stays pending and is removed with the object.
  bool PutInPlace(const std::string& Name);

 private:
  std::shared_ptr<const FolderHandle> folder_;
  std::string temporaryName_;
  File file_;
  // Keeps the file locked from its creation until it is renamed or
  // removed, so no clean-up takes it for a cut run's leftover.
  NativeHandle lock_ = kNoHandle;
  bool pending_ = false;  // a temporary name exists that is ours to remove
  int error_ = 0;
};

// Writes everything the file system holding Folder has cached to its disk:
// 0, or the error number.
int SyncFileSystem(const FolderHandle& Folder);

}  // namespace kelmora::platform
