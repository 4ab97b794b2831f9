// SPDX-License-Identifier: GPL-3.0-or-later
//
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

// A file as the file system knows it, whatever names lead to it.
struct FileIdentity {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// An open folder, closed with the object.
class FolderHandle {
 public:
  FolderHandle() = default;
  explicit FolderHandle(NativeHandle Handle) : handle_(Handle) {}
  ~FolderHandle();
  FolderHandle(FolderHandle&& Other) noexcept
      : handle_(Other.handle_),
        error_(Other.error_),
        made_(Other.made_),
        identity_(Other.identity_) {
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
  // The folder's identity as the call that opened it found it, so that a
  // folder held for many files is not examined for each (IdentityOf).
  const FileIdentity& KnownIdentity() const { return identity_; }
  void SetIdentity(const FileIdentity& Identity) { identity_ = Identity; }

 private:
  void Close();  // each system's own; nothing when not valid

  NativeHandle handle_ = kNoHandle;
  int error_ = 0;
  bool made_ = false;
  FileIdentity identity_;  // all zero while unknown
};

// Opens Path as a folder, links followed as in any path the user names.
// With Create, missing folders (parents included) are made first.
// Invalid on failure.
FolderHandle OpenFolder(const std::string& Path, bool Create);

// Which symbolic links a walk below a folder follows: by default none.
// With Before set, a link is followed when it and the folder it stands in
// belong to the administrator or to the user the process runs as, and it
// was last changed (made, moved, given another owner) before Before: such
// a link was there before the run and no one else could have put it
// there. One made or moved since is never followed, whoever made it. What
// the link leads to is walked the same way, links in it included.
struct LinkTrust {
  int64_t Before = 0;  // nanoseconds since 1970; 0 follows no link
};
// Trusts the links last changed before this moment, where links can be
// told apart so; trusts none elsewhere.
LinkTrust TrustLinksMadeBeforeNow();
// Whether Folder is the root of the file system as this process sees it.
bool IsSystemRoot(const FolderHandle& Folder);

// Walks Relative ("a/b", "/" between components, empty and "." components
// ignored, ".." refused) below Base, making every missing folder when
// Create is set. A component that is a symbolic link Trust does not follow
// (any, by default), or no folder, fails the walk. Invalid on failure, with
// the reason; a Relative without components gives a second handle on Base.
// Made() tells whether the last component was made here.
FolderHandle OpenFolderBeneath(const FolderHandle& Base, const std::string& Relative,
                               bool Create = true, const LinkTrust& Trust = LinkTrust());

// What stands at Name in Folder; a final symbolic link is reported as Link.
PathInfo InspectAt(const FolderHandle& Folder, const std::string& Name);

// False when the handle or name cannot be examined (Name: a final link is
// not followed, so a link never shares the identity of its file).
bool IdentityOf(const File& Open, FileIdentity& Identity);
bool IdentityOf(const FolderHandle& Folder, FileIdentity& Identity);
bool IdentityOfPath(const std::string& Path, FileIdentity& Identity);  // links followed
bool IdentityAt(const FolderHandle& Folder, const std::string& Name, FileIdentity& Identity);

// Whether the folder Folder is still the one the walk to Relative below
// Base reaches (OpenFolderBeneath, nothing made, links followed as Trust
// says): a folder held open may
// have been moved elsewhere, or another put in its place, since it was
// opened.
bool FolderStillBeneath(const FolderHandle& Base, const std::string& Relative,
                        const FolderHandle& Folder, const LinkTrust& Trust = LinkTrust());

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
  enum class Placing {
    Replace,       // whatever has the name is replaced
    KeepExisting,  // a name that is taken stays its file's: EEXIST
  };
  // Pushes the data written to the file, closed by now, to the device: 0,
  // or the error number. Its name is left to the folder's own sync.
  int SyncData();
  // Renames the file to Name in its folder, or in Into, a folder on the
  // same file system, when given. False when that fails; the file then
  // stays pending and is removed with the object.
  bool PutInPlace(const std::string& Name, Placing How = Placing::Replace,
                  const FolderHandle* Into = nullptr);

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

// Gives the file Name in Folder the name To, which must be free: 0, or the
// error number (EEXIST when To is taken, by anything).
int RenameKeeping(const FolderHandle& Folder, const std::string& Name, const std::string& To);

// ---- what a restore gives back beside the contents

struct PathMetadata;

// How recorded modes and owners are applied, as tar applies them.
struct MetadataRules {
  // Give the owner back (only a run that MayChangeOwner can): by name
  // where the name is known here, else by number.
  bool Owner = false;
  bool NumericOwner = false;  // by number only
  // The mode exactly as recorded; otherwise less Umask, as for any file the
  // user makes.
  bool ExactMode = false;
  uint32_t Umask = 022;
};

// What could not be applied: 0 for each part done or not asked for, else
// the error number (ENOTSUP where the system has no such thing). Set-user-ID
// and set-group-ID bits are kept only where the owner (group) is the one
// they were set for.
struct MetadataResult {
  int Owner = 0;
  int Mode = 0;
  int Time = 0;
  bool Done() const { return Owner == 0 && Mode == 0 && Time == 0; }
};

// A restored file through its open handle, after its last write and before
// it is put in place: owner, mode, then the modification time.
MetadataResult ApplyMetadata(File& Open, const PathMetadata& Metadata, const MetadataRules& Rules);
// A folder itself, once everything inside it is restored (a new entry
// changes its time, and a mode without write permission would bar them).
MetadataResult ApplyMetadata(const FolderHandle& Folder, const PathMetadata& Metadata,
                             const MetadataRules& Rules);
// Makes Name in Folder a symbolic link holding Target, which is text: it is
// never followed, checked or resolved. With Replace, whatever file or link
// stands at Name is replaced in one step (a folder is not); without, an
// existing Name fails with EEXIST. 0, or the error number.
int MakeSymbolicLink(const FolderHandle& Folder, const std::string& Name, const std::string& Target,
                     bool Replace);
// The owner and time of the link at Name itself, never of what it leads to.
MetadataResult ApplyLinkMetadata(const FolderHandle& Folder, const std::string& Name,
                                 const PathMetadata& Metadata, const MetadataRules& Rules);
// A second name ToName in To for the file FromName in From (a link there
// is not followed): 0, or the error number.
int MakeHardLink(const FolderHandle& From, const std::string& FromName, const FolderHandle& To,
                 const std::string& ToName);

// Writes everything the file system holding Folder has cached to its disk:
// 0, or the error number.
int SyncFileSystem(const FolderHandle& Folder);

}  // namespace kelmora::platform
