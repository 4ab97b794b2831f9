// SPDX-License-Identifier: GPL-3.0-or-later
//
// A restore run: decides file by file whether to write what the archive
// walk reads (engine/archive_walk.h: records, volumes, damage) and where.
// restore.cpp runs it and decides each file, with the decisions that look
// into no folder in restore_decisions.cpp (mode, clashes, filter);
// restore_place.cpp looks at what stands where, reaches folders and puts
// files in place; restore_metadata.cpp gives back what the companion holds.
//
// Safety guards, all of them in these files:
//   - a stored name that is empty, holds a NUL or a ".." component is never
//     written anywhere (restore::TargetName refuses it);
//   - with a restore folder, every target must lie lexically inside it and
//     its folders are reached from the restore folder's handle one component
//     at a time, never through a symbolic link; a link standing where the
//     target file goes is refused;
//   - the one exception: with the root of the file system as the restore
//     folder (files back where they were), a link on the way to a target
//     is followed, as tar does, when it was there before the run began and
//     it and the folder it stands in belong to root or to the user running
//     the restore (/bin on merged-/usr systems, a /home kept elsewhere). A
//     link made or moved during the run, by anyone, this run's own events
//     included, is never followed, nor is a link anyone else owns; what a
//     followed link leads to is walked by the same rule;
//   - a folder kept open for the next file, or holding a file being
//     written, is used only while the way from the restore folder still
//     leads to it: moved out (or swapped for a link) meanwhile, the files
//     still to come, and the one being written, go where the way leads now,
//     made again when missing, never after the moved folder;
//   - every target is written under a temporary name in its folder and
//     renamed over its own name only when it is whole and its data on the
//     disk (engine/target_writer.h), so a stopped, failed
//     or cancelled run leaves the older file as it was, and a hard link,
//     FIFO or device in the target's place is replaced, never written into;
//   - a target that is one of the archive's own volumes is refused;
//   - two different stored names that land on one target never overwrite
//     each other: the later one is refused and reported (OnNameClash);
//   - a volume chain must count upwards, so a damaged archive cannot send
//     the run round in circles;
//   - a damaged file never takes its own name: it is kept as NAME.damaged
//     on request, or not at all, and the run ends with code 6. The copy
//     takes the first free name of NAME.damaged, NAME.damaged.1, ...: never
//     one a file has (the archive's among them), nor one this run restored
//     to, whatever the mode, and it is claimed like a restored file.
// A refused entry is stepped over and the run ends with code 1.
//
// With a companion that belongs to the archive (engine/archive_companion.h)
// a restore also gives back what the archive's layout cannot hold
// (restore_metadata.cpp): each file's owner, mode and time to the
// nanosecond, symbolic links as links, empty folders, and folders' own
// modes and times, last and deepest first. Folder and link records pass
// the stored names' guards above; a link's text is written as it is and
// never followed. A volume the companion does not recognise is damage and
// is not read, and the companion itself is never written over. With a
// filter the index takes the run straight to the entries it lets through.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/archive_companion.h"
#include "engine/archive_walk.h"
#include "engine/restore_decisions.h"
#include "engine/restore_target.h"
#include "engine/run_state.h"
#include "engine/target_writer.h"
#include "kelmora/backup_file.h"
#include "platform/path_guard.h"
#include "platform/target_file.h"

namespace kelmora {

class RestoreRun : public EntryConsumer {
 public:
  RestoreRun(TBackupFile& Engine, const std::string& ArchiveName, const std::string& Folder)
      : e_(Engine),
        run_(Engine),
        s_(run_.State()),
        archiveName_(ArchiveName),
        folder_(restore::NormaliseFolder(Folder)),
        fromStream_(ArchiveName == kStreamArchiveName),
        filtered_(Engine.RestoreFilter) {}

  bool Run();

  Plan BeginFile(const std::string& Name, int32_t Stamp) override;
  void EndFile(Ending How) override;
  void VolumeOpened(TStream& Volume) override;
  // Records the later volumes present beside the first one.
  void NoteLaterVolumes();

 private:
  using Folder = std::shared_ptr<const platform::FolderHandle>;

  // ---- the companion (restore_metadata.cpp)

  // Looks for the companion and, when it belongs to the archive, makes the
  // walk pass over volumes that are not the archive's.
  void OpenCompanion(ArchiveWalk& Walk);
  // With a filter and an index that fits every volume: the stretches of
  // entries it lets through. False when the whole archive is to be read.
  bool FilteredStretches(std::vector<ArchiveWalk::Stretch>& Stretches);
  // The system's reason a read of the companion failed, or that it changed.
  std::string WhyCompanionUnreadable() const;
  // What the companion recorded of a file entry; empty when nothing.
  // Refuses Target, which is restored without them, when the record of
  // Stored cannot be read again from the companion.
  std::optional<companion::MetadataRecord> FileRecord(const std::string& Stored,
                                                      const std::string& Target);
  // After the files: the recorded folders made (empty ones too), the links
  // made, then the folders' own modes and times, deepest first.
  void GiveBackFoldersAndLinks();
  // Makes or replaces the link of Record; true when it was made.
  bool MakeLink(const companion::MetadataRecord& Record);
  // The folder Target names, opened (and made, with Create); invalid, with
  // the reason in Why, when it may not or cannot be had.
  platform::FolderHandle OpenPlace(const std::string& Target, bool Create, std::string& Why);
  // The restore folder's handle, opened (and made) on first need.
  bool OpenRoot(std::string& Why);

  // The target being written: a file under a temporary name that becomes
  // the target only when FinishTarget puts it in place.
  // Its name is held here from the moment it is begun: CurrentFile is the
  // progress field that OnFileRestored is handed and may rewrite.
  struct OpenTarget {
    std::unique_ptr<platform::PendingFile> file;
    std::unique_ptr<TFileStream> stream;
    std::string name;    // the target, as decided when it was begun
    std::string leaf;    // its own name within its folder
    std::string folder;  // the folder's path, as LocateTarget reached it
    std::string below;   // with a restore folder: the folder's way from it
  };

  bool DecideByMode(const platform::PathInfo& Existing) const {
    return restore::ModeWrites(e_.RestoreMode, stamp_, Existing);
  }
  // What stands at Target, looked at through the folder handle kept open
  // when Target lies in that folder, by its name otherwise.
  platform::PathInfo Inspect(const std::string& Target);
  // Opens the folder Target goes into and names the file within it, with
  // the folder's way from the restore folder when there is one; false (and
  // the entry refused) when it must not or cannot be had. Throws for a
  // target without any folder part.
  bool LocateTarget(const std::string& Target, Folder& Into, std::string& Below, std::string& Leaf,
                    std::string& Why);
  // Opens a target's folder: Path by its name at stored paths, Below the
  // restore folder's handle otherwise.
  Folder OpenTargetFolder(const std::string& Path, const std::string& Below);
  // With a restore folder: the target's name stays inside it.
  bool LexicallyInFolder(const std::string& Target) const;
  // Creates the temporary file of Target, which Inspect last saw as
  // Existing; false when the entry is refused, left out or the run failed.
  bool BeginTarget(const std::string& Target, const platform::PathInfo& Existing);
  // Ends the open target. With Put: OnFileRestored, then flushed, stamped,
  // closed and renamed over its own name in its folder, here or by the
  // writer thread; a failure there is code 1. Without, or when it fails,
  // the temporary file is removed and whatever had the name keeps it.
  void FinishTarget(bool Put);
  // The open target, whole, to be put in place. With a restore folder it
  // goes where the way from it to the target's folder leads then: the
  // folder it was begun in may have been moved out meanwhile.
  FinishedTarget TakeOpenTarget();
  // A damaged target never takes its own name. On request it is kept
  // beside it as NAME.damaged, stamped like a restored file.
  void SetDamagedAside();
  // Puts Kept, written and closed, under the first free name of NAME.damaged,
  // NAME.damaged.1, ...: one no file has and this run has not restored to.
  // Not at all when there is none.
  void KeepAside(FinishedTarget& Kept);
  // Gives Try the names NAME.damaged, NAME.damaged.1, ... of Leaf in the
  // folder Folder (as the run names it, with its separator) that this run
  // has not claimed, until Try returns other than EEXIST; the name it took
  // (as claimed_ holds it), or "" when none.
  std::string TakeKeptName(const std::string& Folder, const std::string& Leaf,
                           const std::function<int(const std::string&)>& Try);
  // A stored file restored where a damaged copy was kept aside: the copy
  // moves on to the next free name, and true. False when it cannot.
  bool MoveKeptCopy(const std::string& Claimed);
  // Waits for the writer thread, when there is one, and takes in what it
  // did: the files it put in place, and a failure, which ends the run.
  void Drain() {
    if (!writer_) return;
    writer_->Drain();
    TakeWriterOutcome();
  }
  // True when it brought a failure.
  bool TakeWriterOutcome();
  void NoteWrittenFolder();
  void SyncWrittenFileSystems();
  // The entry is stepped over; code 1 is reported once at the end and
  // names the last entry refused.
  void Refuse(const std::string& Target, const std::string& Why) {
    decision_ = false;
    RefuseFile(Target, Why);
  }
  // Raises OnFileRefused, so each file left out is named as it is met.
  void RefuseFile(const std::string& Target, const std::string& Why) {
    NoteRefusal(Target, Why);
    if (e_.OnFileRefused) {
      folderVouched_ = false;
      e_.OnFileRefused(e_, TFailure{beCannotReadFile, Target, Why});
    }
  }
  void NoteRefusal(const std::string& Target, const std::string& Why) {
    run_.NoteFailure(beCannotReadFile, Target, Why);
    failedFile_ = Target;
  }
  void FailTarget(const std::string& Target, const std::string& Why) {
    run_.Fail(beCannotReadFile, Target, Why);
    failedFile_ = Target;
  }
  // True when another stored name was restored to Target in this run; the
  // entry is then refused and the clash reported.
  bool Clashes(const std::string& Stored, const std::string& Target);

  TBackupFile& e_;
  RunContext run_;  // a fresh state for this run, published on the engine
  RunState& s_;
  std::string archiveName_;
  const std::string folder_;
  const bool fromStream_;
  bool decision_ = false;
  std::string storedName_;  // of the file begun last
  int32_t stamp_ = 0;
  OpenTarget target_;
  Folder root_;  // the restore folder, once opened
  // The links on the way to a target that were there before the run began
  // (startTrust_) are followed below the root of the file system only.
  const platform::LinkTrust startTrust_ = platform::TrustLinksMadeBeforeNow();
  platform::LinkTrust trust_;
  std::vector<platform::FileIdentity> volumes_;       // every archive volume read so far
  std::vector<std::pair<uint64_t, Folder>> written_;  // one folder per device
  std::string lastWritten_;  // the folder of the file NoteWrittenFolder saw last
  // The folder the last target went into. An archive holds a folder's
  // files one after another, and reaching a folder component by component
  // costs two system calls a level. A handle kept open leads to that
  // folder wherever it has been moved meanwhile, so it is used only while
  // the way from the restore folder still leads to it (one call).
  std::string lastFolderPath_;
  Folder lastFolder_;
  bool reusedFolder_ = false;  // the current target's folder is lastFolder_
  // lastFolder_ was found still in its place when the file before was put
  // in place, and no event has been raised since.
  bool folderVouched_ = false;
  size_t damagesWhenVouched_ = 0;
  Folder inspectedIn_;      // the folder Inspect last looked in by handle
  std::string failedFile_;  // the file the last code 1 concerns
  restore::TargetClaims claimed_;
  // The damaged copies kept aside, by their claimed names.
  struct KeptCopy {
    Folder folder;
    std::string folderName;  // as the run names it, with its separator
    std::string leaf;        // the damaged file's own name
    std::string keptAs;      // its name in the folder now
  };
  std::unordered_map<std::string, KeptCopy> kept_;
  // Puts whole files in place in batches, each synced once before its
  // renames, on a thread of its own when the run has threads; only where
  // the files and events stay exactly those of a run that puts each file
  // in place at once: in mode all (whether a target exists then decides
  // nothing a file still queued could change) and without an OnFileRestored
  // handler (which may write to the open file). Elsewhere each file's data
  // is synced on its own before its rename.
  std::unique_ptr<TargetWriter> writer_;
  std::string writerFolder_;  // the folder of the file handed to it last
  uint64_t writerFolderNumber_ = 0;
  // Folders below the restore folder that this run made and that hold no
  // folder: nothing stands in them but this run's own files.
  std::unordered_set<std::string> emptyMade_;
  // The companion, while it belongs to the archive; its file records.
  std::unique_ptr<ArchiveCompanion> companion_;
  const companion::MetadataByName* metadata_ = nullptr;
  platform::MetadataRules rules_;
  std::optional<companion::MetadataRecord> record_;  // of the target begun last
  restore::FilterAnswers filtered_;
};

}  // namespace kelmora
