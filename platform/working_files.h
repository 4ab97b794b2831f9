// SPDX-License-Identifier: GPL-3.0-or-later
//
// Kelmora's own working files: the temporary files that become archive
// volumes and restored files, and the lock beside an archive.
//
// A run that is cut short by a power failure or a kill leaves its
// temporary files behind. They carry one pattern of names, and each is
// locked by the run writing it until it is renamed into place or removed,
// so the next run in that folder can tell an abandoned one (no lock) from
// one that a run still under way is writing (locked), and removes only the
// former. The locks are the kernel's: they die with the process.
//
// Two runs on one archive must not interleave: one may be renaming its
// volumes while the other reads them. Each run takes the lock beside the
// archive, shared to read it and exclusive to replace it.
//
// An archive whose files are replaced in more than one step has a record
// of the replacement beside it while the steps are made (the engine's
// engine/replacement.h). The temporaries it names belong to it: no
// clean-up touches the temporaries of a folder that holds such a record.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace kelmora::platform {

class FolderHandle;

// Whether Leaf (a name without a folder) is one of Kelmora's temporary
// files: ".kelmora-", ten lower-case letters or digits, ".part".
bool IsTemporaryName(std::string_view Leaf);
// Whether Leaf is the name of a lock beside an archive.
bool IsLockName(std::string_view Leaf);
// Whether Leaf is the name of the record of an unfinished replacement.
bool IsJournalName(std::string_view Leaf);
// Any of them: a name a backup never selects.
inline bool IsWorkingFileName(std::string_view Leaf) {
  return !Leaf.empty() && Leaf[0] == '.' &&
         (IsTemporaryName(Leaf) || IsLockName(Leaf) || IsJournalName(Leaf));
}
// The lock of Archive: a hidden file beside it, ".NAME.kelmora-lock".
std::string LockPathOf(const std::string& Archive);
// The record of a replacement of Archive's files: ".NAME.kelmora-commit".
std::string JournalPathOf(const std::string& Archive);

// Removes from Folder every temporary file of Kelmora's that no process
// holds; what cannot be removed stays for a later run. Nothing at all while
// the folder holds the record of an unfinished replacement. Returns how
// many were removed.
int RemoveLeftovers(const FolderHandle& Folder);
// The same in the folder Path lies in.
int RemoveLeftoversBeside(const std::string& Path);

// Removes from the folder CreateTempFile uses the files it made with Prefix
// that no process holds any more (a run killed before it removed its own),
// when Looks accepts their first bytes (at most 4 KiB; none for an empty
// file), and only files of this user. Returns how many were removed.
int RemoveAbandonedTempFiles(const std::string& Prefix,
                             const std::function<bool(std::string_view Head)>& Looks);

// Locks a temporary file just created and still open through Handle. False
// when a clean-up removed its name before the lock was taken; the caller
// then tries another name.
bool LockNewTemporary(NativeHandle Handle);
// Locks the temporary file just created as Path through Handle, and keeps
// it locked after Handle is closed, until ReleaseTemporary: a volume is
// closed before it is synced and renamed, and must not look abandoned
// meanwhile. False as for LockNewTemporary.
bool HoldTemporary(const std::string& Path, NativeHandle Handle);
// Ends the hold on Path, after it was renamed or removed; nothing when
// none is held.
void ReleaseTemporary(const std::string& Path);

// The lock beside an archive, held for as long as the object lives or
// until Release. Released by the system when the process dies.
class RunLock {
 public:
  enum class Mode { Shared, Exclusive };

  RunLock() = default;
  ~RunLock() { Release(); }
  RunLock(RunLock&& Other) noexcept;
  RunLock& operator=(RunLock&& Other) noexcept;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock of Archive, waiting up to WaitMilliseconds while
  // another run holds it in a way that excludes How. 0, EWOULDBLOCK when
  // it is still held by then, or the error number of creating the lock.
  int Take(const std::string& Archive, Mode How, int WaitMilliseconds);
  // Gives the lock up; a holder that no one waits on removes the file.
  void Release();
  bool Held() const { return handle_ != kNoHandle; }

 private:
  NativeHandle handle_ = kNoHandle;
  std::string path_;
};

}  // namespace kelmora::platform
