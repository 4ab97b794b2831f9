// SPDX-License-Identifier: GPL-3.0-or-later
//
// TBackupFile: the archive engine. One object backs a list of files up into
// an archive, restores an archive, and lists an archive's title and
// file-ID list. It never prints and never opens a window: whatever must
// reach the user goes through its events or the hooks its owner sets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelmora/streams.h"

namespace kelmora {

enum TBackupMode : uint8_t { bmAll = 0, bmIncremental = 1 };
// The ordinals are not in the order of the zlib levels.
enum TCompressionLevel : uint8_t { clFastest = 0, clNone = 1, clDefault = 2, clMax = 3 };
enum TRestoreMode : uint8_t {
  rmAll = 0,
  rmNoOverwrite = 1,
  rmNewer = 2,
  rmExisting = 3,
  rmExistingNewer = 4
};
using TPercentage = uint8_t;  // 0 to 100
using TStringList = std::vector<std::string>;

class TBackupFile;
class RunState;

using TProgressEvent = std::function<void(TBackupFile& Sender, const std::string& Filename,
                                          TPercentage Percent, bool& Continue)>;
using TNeedDiskEvent = std::function<void(TBackupFile& Sender, uint16_t DiskID, bool& Continue)>;
using TRestoreFileEvent =
    std::function<void(TBackupFile& Sender, std::string& Filename, int32_t FA, bool& DoRestore)>;
using TFileRestoredEvent = std::function<void(TBackupFile& Sender, std::string& Filename,
                                              std::unique_ptr<TFileStream>& Stream)>;
using TBackupErrorEvent =
    std::function<void(TBackupFile& Sender, int32_t Error, const std::string& ErrString)>;
// Stored is not restored because Earlier, another stored name, was already
// restored to Target in this run.
using TNameClashEvent = std::function<void(TBackupFile& Sender, const std::string& Stored,
                                           const std::string& Earlier, const std::string& Target)>;

// One file entry of an archive as a listing sees it, its data unread.
struct TArchiveEntry {
  std::string Name;     // the stored name
  int32_t Stamp = 0;    // packed last-write time
  uint16_t Volume = 1;  // the volume its record starts in
  int32_t Chunks = 0;
  int64_t Packed = 0;  // bytes its chunks take in the archive
  // The file's own size: known from the file-ID list, or when every chunk
  // is stored uncompressed; -1 otherwise, since only inflating tells.
  int64_t Size = -1;
};
using TListEntryEvent = std::function<void(TBackupFile& Sender, const TArchiveEntry& Entry)>;

// One place where an archive could not be read as it was written.
struct TDamage {
  // The stored name of the file the damage falls in; empty when it falls in
  // none (the header, a volume-change entry, the end of the archive) or the
  // name itself could not be read.
  std::string Filename;
  uint16_t Volume = 1;  // 1 for the first volume and for a caller's stream
  int64_t Offset = 0;   // bytes from the start of that volume (or stream)
  std::string Reason;
};
using TDamageEvent = std::function<void(TBackupFile& Sender, const TDamage& Damage)>;
struct TFailure;
// A restore left a file out for what stood in its own way (a folder it may
// not write to, a name the system cannot hold): Refusal names the target
// and the reason. The run goes on and ends with code 1.
using TFileRefusedEvent = std::function<void(TBackupFile& Sender, const TFailure& Refusal)>;

// The companion file beside a file archive (CompanionFileName): the
// archive's index, what each file, folder and link was (mode, owner, time
// in UTC to the nanosecond, link text), a checksum of every block of every
// volume and, on request, a recovery record. What a run made of it:
enum TCompanionState : uint8_t {
  csNone = 0,        // none looked for: a stream, or a run without one
  csSound = 1,       // read, and it belongs to the archive
  csMissing = 2,     // no file of its name
  csDamaged = 3,     // it cannot be read, or fails its own checksums
  csMismatched = 4,  // it belongs to another archive, or the archive was rewritten
  csNewer = 5,       // written by a later version, in a form this one does not read
};
struct TCompanionNote {
  TCompanionState State = csNone;
  std::string FileName;  // the companion's
  std::string Reason;    // what was wrong, for a damaged or mismatched one
};
using TCompanionEvent = std::function<void(TBackupFile& Sender, const TCompanionNote& Note)>;

// A restore choice whose default depends on who runs it.
enum TChoice : uint8_t { chDefault = 0, chOn = 1, chOff = 2 };

// What a repair found and did.
enum TRepairOutcome : uint8_t {
  roSound = 0,         // nothing damaged: nothing changed
  roRepaired = 1,      // every damaged block rebuilt and the volumes put in place
  roRepairable = 2,    // a dry run: everything damaged could be rebuilt
  roUnrepairable = 3,  // more damage than the record can rebuild: nothing changed
  roNoRecord = 4,      // the companion holds no usable recovery record
  roUnusable = 5,      // no companion, or one that cannot be used
  roStopped = 6,       // stopped before the end: nothing changed
  roFailed = 7,        // the repaired copies could not be written: nothing changed
};
struct TDamagedStretch {
  uint16_t Volume = 1;
  int64_t Offset = 0;
  int64_t Length = 0;
};
struct TRepairReport {
  TRepairOutcome Outcome = roUnusable;
  std::string Problem;  // why the companion or its record cannot be used
  uint32_t BlockSize = 0;
  uint64_t DamagedBlocks = 0;
  uint64_t RepairedBlocks = 0;
  uint64_t UnrepairableBlocks = 0;
  // Volumes missing, or of another size than written, when the repair began.
  std::vector<uint16_t> MissingVolumes;
  std::vector<uint16_t> ResizedVolumes;
  // What could not be rebuilt, as runs of bytes (at most 1,024 runs).
  std::vector<TDamagedStretch> Unrepairable;
};

// Error codes of an operation. Their texts live in one table (ErrorMessage).
enum TBackupError : int32_t {
  beNone = 0,
  beCannotReadFile = 1,
  beOverwriteFailed = 2,
  beCannotReadArchive = 3,
  beCannotWriteArchive = 4,
  beInvalidArchive = 5,
  beCompression = 6,
  beTempFile = 7,
  // Not a failure: the archive is complete, but a file kept changing
  // while it was read, so its stored copy may mix old and new contents.
  // The run returns true; ChangedFiles names the files.
  beFileChanged = 8,
  // The archive is complete except for files or folders that could not be
  // read, left out because SkipUnreadable was set. The run returns true;
  // Unreadable names each with its reason.
  beFilesLeftOut = 9,
  // A source named a folder and no file of it was selected, though it is
  // not empty (its files lie only in hidden folders, or it was named
  // without a pattern): nothing was written.
  beNothingSelected = 10,
};
// The message of a code; "" for 0 and for unknown codes.
const char* ErrorMessage(int32_t Code);

// A failure as it was recorded where it happened.
struct TFailure {
  TBackupError Code = beNone;
  // The file or archive it concerns (kStreamArchiveName for a caller's
  // stream); "" when it concerns none.
  std::string Subject;
  // Why, in the system's words where the system gave any ("No space left
  // on device"); "" when there is nothing to add to the code's message.
  std::string Reason;
};
// "Cannot write to archive: /b/x.bkp: No space left on device"; the parts
// that are empty are left out.
std::string DescribeFailure(const TFailure& Failure);

// What the engine needs from the application around it. The window sets
// these to message boxes and its event loop, the command line to standard
// error and a terminal prompt. Unset hooks never block and the engine
// prints nothing itself: an error is only recorded (Failure), a question is
// answered Cancel.
struct TUserHooks {
  // Modal box with the error icon and one OK button; Text describes the
  // failure with what it concerns (DescribeFailure).
  std::function<void(const std::string& Caption, const std::string& Text)> ShowError;
  // Modal box with the information icon, OK and Cancel; true for OK.
  std::function<bool(const std::string& Caption, const std::string& Text)> AskOkCancel;
  // Let the application process its pending messages.
  std::function<void()> ProcessMessages;
};

inline constexpr const char* kStreamArchiveName = ":STREAM";
inline constexpr const char* kNeedDiskText = "Please insert disk %s and click OK to continue.";

class TBackupFile {
 public:
  TBackupFile();
  ~TBackupFile();
  TBackupFile(const TBackupFile&) = delete;
  TBackupFile& operator=(const TBackupFile&) = delete;

  // ---- properties
  std::string GetVersion() const { return "5.00"; }
  void SetVersion(const std::string&) {}
  std::string BackupTitle;
  TBackupMode GetBackupMode() const { return backupMode_; }
  // Switching to incremental turns SetArchiveFlag on first.
  void SetBackupMode(TBackupMode Mode);
  TCompressionLevel CompressionLevel = clFastest;
  TRestoreMode RestoreMode = rmAll;
  int32_t MaxSize = 0;  // bytes per volume; 0 = one volume of any size
  bool SetArchiveFlag = false;
  TProgressEvent OnProgress;
  TNeedDiskEvent OnNeedDisk;
  TRestoreFileEvent OnRestoreFile;
  TFileRestoredEvent OnFileRestored;
  TBackupErrorEvent OnError;
  // Raised once for every damaged file, and for damage outside any file,
  // as a restore or test meets it.
  TDamageEvent OnDamage;
  bool RestoreFullPath = false;
  // A damaged file is never put in place under its name. With this set it
  // is kept beside it as NAME.damaged, every sound piece in place and zeros
  // for the damaged ones; without, it is not kept at all.
  bool KeepDamaged = false;
  bool SaveFileID = false;
  // A backup enters hidden folders (names beginning with "."), which it
  // leaves out by default; HiddenFolders() counts those left out.
  bool IncludeHidden = false;
  // A file or folder that cannot be read ends a backup with code 1 before
  // anything is replaced. With this set it is left out instead, the
  // archive is completed without it, and the run ends with code 9
  // (beFilesLeftOut); Unreadable() names each with the system's reason.
  bool SkipUnreadable = false;
  // Before a backup's new volumes take the older archive's place, they are
  // read back as Test reads an archive, every chunk inflated and checked.
  // Damage there ends the run with code 4: the new volumes are removed and
  // the older archive stays as it was; what was found is in Damages() and
  // was raised through OnDamage. A stop while they are read leaves the
  // older archive too.
  bool VerifyBeforeCommit = false;
  // Threads that compress during a backup and inflate during a restore or
  // test, the caller's included: 1 keeps all the work on the caller's
  // thread, 0 takes one per processor. The archive is the same byte for
  // byte whatever the count, and so are a restore's files and events.
  unsigned Threads = 1;
  // With RestoreFullPath and a restore folder: a leading folder of the
  // stored paths, without its root ("home/ann/docs"), left out of targets.
  std::string RestoreBaseFolder;
  // When set, only entries whose stored name it accepts are restored; the
  // rest are stepped over without inflating. Asked once for each entry.
  std::function<bool(const std::string& Stored)> RestoreFilter;
  // Which folders and symbolic links the companion recorded are given
  // back. Unset, they follow RestoreFilter (all of them when that is unset
  // too): a link is asked for by its name, a folder by a name inside it
  // (its name, "/" and the character 0x01), so that a pattern that takes
  // the folder's files takes the folder.
  std::function<bool(const std::string& Stored)> RestoreRecordFilter;
  // Two stored names never overwrite each other in one restore: the later
  // one is left out, reported here, and the run ends with code 1.
  TNameClashEvent OnNameClash;
  // Raised for each file a restore leaves out for what stands in its own
  // way, as it is met; code 1 at the end names only the last.
  TFileRefusedEvent OnFileRefused;
  // An OnNeedDisk handler that finds the volume asked for somewhere else
  // than beside the volume before it (picked from another folder) names
  // its file here; the volumes after it are then looked for beside that
  // file. Cleared before every question, read after it.
  std::string NeededVolumeFile;

  // ---- the companion file
  // A backup to a file writes its companion beside it, in the same commit
  // as its volumes: synced, and renamed into place before the first volume.
  // The front ends turn it on for every backup to a file; a stream or a
  // device never has one.
  bool WriteCompanion = false;
  // Share of the archive's size, 0 to 100, given to the companion's
  // recovery record; 0 writes none.
  uint8_t RecoveryPercent = 0;
  // With a companion, a symbolic link is stored as a link (its text, in the
  // companion) and its file is not read. Dereference stores the file a link
  // leads to instead, as a backup without a companion always does. A link
  // to a folder is never entered either way.
  bool Dereference = false;
  // Restore gives files their recorded owners: chDefault only where the run
  // may give files away (root), chOn tries it for anyone.
  TChoice SameOwner = chDefault;
  // Restore gives modes exactly as recorded (chOn) or less the process's
  // umask (chOff); chDefault exactly for root, less the umask for others.
  TChoice SamePermissions = chDefault;
  // Raised once by a run that looks for the archive's companion and cannot
  // use it; the run goes on as it would without one.
  TCompanionEvent OnCompanion;

  TUserHooks Hooks;

  // ---- operations
  bool Backup(const TStringList& Files, const std::string& ArchiveName);
  bool BackupToStream(const TStringList& Files, TStream* Stream);
  bool Restore(const std::string& ArchiveName, const std::string& Folder);
  bool RestoreFromStream(TStream* Stream, const std::string& Folder);
  // Reads the archive exactly as Restore does, every chunk inflated and
  // checked, and writes nothing. True when every part of it is sound;
  // damage is raised through OnDamage and ends the run with code 6.
  // With Inflate false only the layout is followed (chunks are stepped over
  // unread): enough to find a cut or incomplete archive, quickly.
  bool Test(const std::string& ArchiveName, bool Inflate = true);
  bool TestFromStream(TStream* Stream);
  // List may be null ("holds no list"); the file-ID list replaces its lines.
  std::string GetArchiveTitle(const std::string& ArchiveName, TStringList* List);
  std::string GetArchiveTitleFromStream(TStream* Stream, TStringList* List);
  // Walks the archive's records, following its volumes, and raises Each for
  // every file entry; data sections are stepped over, never inflated (only
  // the file-ID list is read). Throws on an archive it cannot read to its
  // end marker; false when the archive is missing or the run was stopped.
  bool ListArchive(const std::string& ArchiveName, const TListEntryEvent& Each);
  bool ListArchiveFromStream(TStream* Stream, const TListEntryEvent& Each);
  // Reads one data section from Source into Target, or steps over it.
  void DeCompress(TStream& Source, TStream* Target, bool Decompress);
  // Writes the companion of an existing file archive, replacing one that
  // is there: its index (with every file's size), block checksums and a
  // recovery record of RecoveryPercent. The archive is read as Test reads
  // it first; a damaged or incomplete one is refused (code 6), since a
  // companion made of it would take the damage for its contents.
  bool Protect(const std::string& ArchiveName);
  // Rebuilds damaged blocks and missing volumes of a file archive from its
  // companion's recovery record. Repaired volumes are written beside the
  // others, checked against the block checksums, and only then put in
  // place; a repair beyond the record, a stop or a failure changes nothing.
  // With DryRun only finds what could be done. True when the archive is
  // sound or was repaired (or could be, on a dry run); see RepairResult.
  bool Repair(const std::string& ArchiveName, bool DryRun = false);

  int32_t CompressionRate() const;
  // Threads as a count: 0 resolved to the processors there are, and
  // bounded so that a wild value cannot exhaust the machine.
  unsigned ThreadCount() const;
  bool Busy() const;
  void Stop();
  // Reports Code through OnError (with the code's message), else through
  // Hooks.ShowError (with the recorded failure when it is Code's).
  void MessageError(int32_t Code);

  // ---- run state, readable: the run under way, or else the last one
  int32_t FileCount() const;
  int64_t TotalSize() const;
  int32_t FilesDone() const;
  int64_t BytesDone() const;
  int64_t ArchiveBytes() const;
  const std::string& CurrentFile() const;
  int32_t ErrorCode() const;
  // The last run's failure: its code, what it concerns and why.
  TFailure Failure() const;
  // Why the last failure happened when the system said so ("No space
  // left on device"); "" otherwise.
  const std::string& ErrorReason() const;
  // The files of the last backup stored while they changed (code 8).
  const TStringList& ChangedFiles() const;
  // The files and folders (a folder's name ends in a separator) the last
  // backup could not read, each with the system's reason; left out of the
  // archive with SkipUnreadable, the reason the run failed without it.
  const std::vector<TFailure>& Unreadable() const;
  // The hidden folders the last backup's selection left out.
  int32_t HiddenFolders() const;
  // What the last restore, test or listing found damaged, in archive order.
  const std::vector<TDamage>& Damages() const;
  // The last restore or test found no end marker: the archive was cut, or
  // its backup stopped before it was finished.
  bool Incomplete() const;
  // What the last run made of the archive's companion.
  TCompanionState CompanionState() const;
  // What the last Repair found and did.
  const TRepairReport& RepairResult() const;
  TStream* SourceStream() const { return sourceStream_; }
  TStream* TargetStream() const { return targetStream_; }

 private:
  // The one way in for a run: it publishes the run's state here.
  friend class RunContext;

  TBackupMode backupMode_ = bmAll;
  std::shared_ptr<RunState> state_;
  TStream* sourceStream_ = nullptr;
  TStream* targetStream_ = nullptr;
};

// Whole percentage of Done against Total, clamped to 0..100; a total of 0
// (nothing measured) reads 100 once anything was done, else 0.
TPercentage PercentOf(int64_t Done, int64_t Total);

// 100 - ArchiveBytes * 100 / TotalSize with a 64-bit product, truncated
// toward zero; 0 when nothing was measured. Negative for data that grew.
int32_t CompressionRateOf(int64_t ArchiveBytes, int64_t TotalSize);

}  // namespace kelmora
