// Restore: decides file by file whether to write what the archive walk
// reads (engine/archive_walk.h: records, volumes, damage) and where.
//
// Safety guards, all of them visible here:
//   - a stored name that is empty, holds a NUL or a ".." component is never
//     written anywhere (restore::TargetName refuses it);
//   - with a restore folder, every target must lie lexically inside it and
//     its folders are reached from the restore folder's handle one component
//     at a time, never through a symbolic link; a link standing where the
//     target file goes is refused;
//   - every target is written under a temporary name in its folder and
//     renamed over its own name only when it is whole, so a stopped, failed
//     or cancelled run leaves the older file as it was, and a hard link,
//     FIFO or device in the target's place is replaced, never written into;
//   - a target that is one of the archive's own volumes is refused;
//   - two different stored names that land on one target never overwrite
//     each other: the later one is refused and reported (OnNameClash);
//   - a volume chain must count upwards, so a damaged archive cannot send
//     the run round in circles;
//   - a damaged file never takes its own name: it is kept as NAME.damaged
//     on request, or not at all, and the run ends with code 6.
// A refused entry is stepped over and the run ends with code 1.
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/archive_walk.h"
#include "engine/busy_scope.h"
#include "engine/restore_target.h"
#include "engine/run_state.h"
#include "engine/target_writer.h"
#include "kelmora/backup_file.h"
#include "platform/names.h"
#include "platform/path_guard.h"
#include "platform/platform.h"
#include "platform/target_file.h"

namespace kelmora {

namespace {

constexpr const char* kCannotCreateFolder = "Cannot create folder";
// Whole files waiting for the writer thread: each holds a descriptor and a
// stream buffer, so this bounds both.
constexpr size_t kWriterSlots = 64;

bool HasParentComponent(const std::string& Path) {
  size_t start = 0;
  while (start <= Path.size()) {
    size_t end = Path.find_first_of(platform::kSeparators, start);
    if (end == std::string::npos) end = Path.size();
    if (Path.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

class RestoreRun : public EntryConsumer {
 public:
  RestoreRun(TBackupFile& Engine, const std::string& ArchiveName, const std::string& Folder)
      : e_(Engine),
        run_(Engine),
        s_(run_.State()),
        archiveName_(ArchiveName),
        folder_(restore::NormaliseFolder(Folder)),
        fromStream_(ArchiveName == kStreamArchiveName) {}

  bool Run();

  Plan BeginFile(const std::string& Name, int32_t Stamp) override;
  void EndFile(Ending How) override;
  void VolumeOpened(TStream& Volume) override;
  // Records the later volumes present beside the first one.
  void NoteLaterVolumes();

 private:
  using Folder = std::shared_ptr<const platform::FolderHandle>;

  // The target being written: a file under a temporary name that becomes
  // the target only when FinishTarget puts it in place.
  struct OpenTarget {
    std::unique_ptr<platform::PendingFile> file;
    std::unique_ptr<TFileStream> stream;
    std::string leaf;    // its own name within its folder
    std::string folder;  // the folder's path, as LocateTarget reached it
  };

  bool DecideByMode(const platform::PathInfo& Existing) const;
  // What stands at Target, looked at through the folder handle kept open
  // when Target lies in that folder, by its name otherwise.
  platform::PathInfo Inspect(const std::string& Target);
  // Opens the folder CurrentFile goes into and names the file within it;
  // false (and the entry refused) when it must not or cannot be had.
  // Throws for a target without any folder part.
  bool LocateTarget(Folder& Into, std::string& Leaf, std::string& Why);
  // Opens a target's folder: Path by its name at stored paths, Below the
  // restore folder's handle otherwise.
  Folder OpenTargetFolder(const std::string& Path, const std::string& Below);
  // With a restore folder: the target's name stays inside it.
  bool LexicallyInFolder(const std::string& Target) const;
  // Creates the temporary file of CurrentFile, which Inspect last saw as
  // Existing; false when the entry is refused, left out or the run failed.
  bool BeginTarget(const platform::PathInfo& Existing);
  // Ends the open target. With Put: OnFileRestored, then flushed, stamped,
  // closed and renamed over its own name in its folder, here or by the
  // writer thread; a failure there is code 1. Without, or when it fails,
  // the temporary file is removed and whatever had the name keeps it.
  void FinishTarget(bool Put);
  // A damaged target never takes its own name. On request it is kept
  // beside it as NAME.damaged, stamped like a restored file.
  void SetDamagedAside();
  // Waits for the writer thread, when there is one, and takes in what it
  // did: the files it put in place, and a failure, which ends the run.
  void Drain() {
    if (!writer_) return;
    writer_->Drain();
    TakeWriterOutcome();
  }
  // True when it brought a failure.
  bool TakeWriterOutcome();
  // Whether a file the writer may still hold could change what the run
  // finds at Target: the same name restored before, or a file restored
  // where one of its folders goes.
  bool MayMeetQueuedFile(const std::string& Target);
  void NoteWrittenFolder();
  void SyncWrittenFileSystems();
  // The entry is stepped over; code 1 is reported once at the end and
  // names the last entry refused.
  void Refuse(const std::string& Why) {
    decision_ = false;
    run_.NoteFailure(beCannotReadFile, s_.CurrentFile, Why);
    failedFile_ = s_.CurrentFile;
  }
  void FailTarget(const std::string& Why) { FailTarget(s_.CurrentFile, Why); }
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
  int32_t stamp_ = 0;
  OpenTarget target_;
  platform::FolderHandle root_;                  // the restore folder, once opened
  std::vector<platform::FileIdentity> volumes_;  // every archive volume read so far
  std::vector<std::pair<uint64_t, Folder>> written_;  // one folder per device
  std::string lastWritten_;  // the folder of the file NoteWrittenFolder saw last
  // The folder the last target went into. An archive holds a folder's
  // files one after another, and reaching a folder component by component
  // costs two system calls a level. A handle kept open still leads to the
  // folder that was checked, whatever is linked in its place meanwhile;
  // only someone who may write both where it was and where it goes can
  // move it, and its files then land where that one could put them anyway.
  std::string lastFolderPath_;
  Folder lastFolder_;
  bool reusedFolder_ = false;  // the current target's folder is lastFolder_
  Folder inspectedIn_;         // the folder Inspect last looked in by handle
  std::string failedFile_;     // the file the last code 1 concerns
  // Target, as this system compares names -> its stored name.
  std::unordered_map<std::string, std::string> claimed_;
  // Puts whole files in place while the run reads on; only with threads,
  // and only where the one-thread run's files and events stay exactly the
  // same: in mode all (whether a target exists then decides nothing a file
  // still queued could change) and without an OnFileRestored handler
  // (which may write to the open file).
  std::unique_ptr<TargetWriter> writer_;
  std::string writerFolder_;  // the folder of the file handed to it last
  uint64_t writerFolderNumber_ = 0;
  std::string checkedFolder_;  // the folder MayMeetQueuedFile checked last
  // Folders below the restore folder that this run made and that hold no
  // folder: nothing stands in them but this run's own files.
  std::unordered_set<std::string> emptyMade_;
};

bool RestoreRun::Run() {
  run_.ClearFailure();
  s_.FilesDone = 0;
  s_.Continue = true;
  if (!fromStream_ && !platform::FileExists(archiveName_)) return false;
  ArchiveClaim claim;
  if (!claim.Take(run_, archiveName_, false)) {
    e_.MessageError(s_.Failure.Code);
    return false;
  }
  ArchiveWalk walk(run_, *this, archiveName_);
  walk.Open();
  if (!fromStream_) NoteLaterVolumes();
  BusyScope busy(s_.Busy);
  if (e_.ThreadCount() > 1 && e_.RestoreMode == rmAll && !e_.OnFileRestored)
    writer_ = std::make_unique<TargetWriter>(kWriterSlots);
  try {
    walk.Run();
  } catch (...) {
    FinishTarget(false);
    Drain();
    throw;
  }
  FinishTarget(false);
  Drain();
  // What was put in place is on disk before the run calls itself done.
  SyncWrittenFileSystems();
  // However much was damaged, every sound file is in place; the run still
  // must not end as a success.
  if (!s_.Damages.empty() && s_.Failure.Code == beNone)
    run_.NoteFailure(beCompression, archiveName_, "the archive is damaged");

  const bool result = s_.Failure.Code == beNone && s_.Continue;
  // Code 1 names the file it concerns, not whichever the run reached last.
  if (s_.Failure.Code == beCannotReadFile && !failedFile_.empty()) s_.CurrentFile = failedFile_;
  run_.ReportProgress(std::string(), 100);
  busy.End();
  if (s_.Failure.Code != beNone) e_.MessageError(s_.Failure.Code);
  return result;
}

void RestoreRun::VolumeOpened(TStream& Volume) {
  // A caller's stream may be a file too (standard input redirected from
  // the archive), which a target must not replace either.
  const auto* handle = dynamic_cast<THandleStream*>(&Volume);
  platform::FileIdentity identity;
  if (handle != nullptr && platform::IdentityOf(handle->OpenFile(), identity))
    volumes_.push_back(identity);
}

void RestoreRun::NoteLaterVolumes() {
  // The later volumes already there are the archive too: a target that
  // replaced one would destroy it before the run reads it.
  for (unsigned number = 2; number <= static_cast<unsigned>(format::kMaxVolumes); ++number) {
    const std::string digits = format::VolumeDigits(format::VolumeChangeName(number));
    platform::FileIdentity identity;
    if (!platform::IdentityOfPath(format::NextVolumeName(archiveName_, digits), identity)) break;
    volumes_.push_back(identity);
  }
}

platform::PathInfo RestoreRun::Inspect(const std::string& Target) {
  inspectedIn_.reset();
  // Most files go into the folder of the file before them; its handle
  // spares a walk down the whole path.
  if (!folder_.empty() && lastFolder_ && LexicallyInFolder(Target)) {
    const std::string below = restore::FolderOf(Target.substr(folder_.size() - 1));
    if (folder_ + below == lastFolderPath_) {
      inspectedIn_ = lastFolder_;
      // In mode all only a link, a folder, or a file of this run's could
      // tell there, and a folder this run made holds none of them.
      if (e_.RestoreMode == rmAll &&
          claimed_.count(platform::ComparableName(Target)) == 0 &&
          emptyMade_.count(platform::ComparableName(below)) != 0)
        return platform::PathInfo{};
      return platform::InspectAt(*lastFolder_,
                                 Target.substr(Target.find_last_of(platform::kSeparators) + 1));
    }
  }
  // Inside a restore folder a link in the target's place is itself the
  // fact that matters; at stored paths links are followed as usual.
  return platform::InspectPath(Target, folder_.empty());
}

bool RestoreRun::DecideByMode(const platform::PathInfo& Existing) const {
  const bool exists = Existing.Kind == platform::PathKind::File;
  const bool storedIsNewer = exists && restore::StoredIsNewer(stamp_, Existing.Stamp);
  switch (e_.RestoreMode) {
    case rmAll:
      return true;
    case rmNoOverwrite:
      return !exists;
    case rmNewer:
      return !exists || storedIsNewer;
    case rmExisting:
      return exists;
    case rmExistingNewer:
      return storedIsNewer;
  }
  return false;
}

EntryConsumer::Plan RestoreRun::BeginFile(const std::string& Name, int32_t Stamp) {
  stamp_ = Stamp;
  const bool isFileList = format::IsFileListName(Name);
  const std::string target =
      restore::TargetName(Name, folder_, e_.RestoreFullPath, e_.RestoreBaseFolder);
  s_.CurrentFile = target.empty() ? Name : target;

  if (writer_) {
    if (!target.empty() && MayMeetQueuedFile(target)) Drain();
    if (TakeWriterOutcome()) return {};
  }
  if (isFileList || (e_.RestoreFilter && !e_.RestoreFilter(Name))) {
    decision_ = false;
  } else if (target.empty()) {
    Refuse("its stored name is not one to restore (empty, a NUL or a \"..\" component)");
  } else if (Clashes(Name, target)) {
    // Checked before the mode decides, so a clash is never passed off as an
    // existing file the mode keeps.
  } else {
    platform::PathInfo existing = Inspect(target);
    decision_ = DecideByMode(existing);
    if (e_.OnRestoreFile) e_.OnRestoreFile(e_, s_.CurrentFile, stamp_, decision_);
    if (decision_ && s_.CurrentFile != target) {
      // The handler sent the file elsewhere, maybe where a queued file goes.
      Drain();
      existing = Inspect(s_.CurrentFile);
    }
    if (decision_ && existing.Kind == platform::PathKind::Link)
      Refuse("a symbolic link stands in its place");
    if (decision_ && s_.CurrentFile != target && Clashes(Name, s_.CurrentFile)) decision_ = false;
    if (decision_) decision_ = BeginTarget(existing);
    if (decision_) claimed_[platform::ComparableName(s_.CurrentFile)] = Name;
  }
  // The file-ID list is never restored, but it is checked like any file.
  if (isFileList) return {nullptr, true, false};
  if (!decision_) return {};
  return {target_.stream.get(), true, true};
}

void RestoreRun::EndFile(Ending How) {
  switch (How) {
    case Ending::Sound:
      FinishTarget(true);
      return;
    case Ending::Damaged:
      SetDamagedAside();
      return;
    case Ending::Failed:
      // A file begun after the run failed ends so too; the failure stays
      // the one of the file that failed.
      // A target that could not be written says why (a full disk).
      if (target_.file && s_.Continue)
        FailTarget(target_.stream && target_.stream->OpenFile().LastError() != 0
                       ? platform::ErrorText(target_.stream->OpenFile().LastError())
                       : std::string());
      FinishTarget(false);
      return;
    case Ending::Stopped:
      FinishTarget(false);
      return;
  }
}

bool RestoreRun::Clashes(const std::string& Stored, const std::string& Target) {
  // Where case does not tell names apart, "A.txt" and "a.txt" are one file.
  const auto earlier = claimed_.find(platform::ComparableName(Target));
  // The same stored name twice is one file backed up twice: the later copy
  // replaces the earlier as it always did.
  if (earlier == claimed_.end() || earlier->second == Stored) return false;
  Refuse(earlier->second + " was already restored there");
  if (e_.OnNameClash) e_.OnNameClash(e_, Stored, earlier->second, Target);
  return true;
}

bool RestoreRun::LexicallyInFolder(const std::string& Target) const {
  // Compared as the system compares names: on Windows "C:\Out\a" lies in
  // c:/out/.
  return Target.size() >= folder_.size() &&
         platform::ComparablePath(Target.substr(0, folder_.size())) ==
             platform::ComparablePath(folder_) &&
         !HasParentComponent(Target.substr(folder_.size()));
}

bool RestoreRun::LocateTarget(Folder& Into, std::string& Leaf, std::string& Why) {
  std::string target = s_.CurrentFile;
  if (restore::FolderOf(target).empty()) throw Exception(kCannotCreateFolder);
  if (folder_.empty()) {
    // At stored paths a link is followed as it always is there: the file
    // it leads to is replaced and the link stays.
    if (platform::InspectPath(target, false).Kind == platform::PathKind::Link) {
      // The link may lead where a file still queued goes.
      Drain();
      const std::string resolved = platform::ResolvedPath(target);
      if (!resolved.empty()) target = resolved;
    }
    Into = OpenTargetFolder(restore::FolderOf(target), std::string());
  } else {
    if (!LexicallyInFolder(target)) {
      Why = "it lies outside the restore folder";
      return false;
    }
    if (!root_.Valid()) {
      // The restore folder itself may still have to be made.
      root_ = platform::OpenFolder(
          folder_.size() > 1 ? folder_.substr(0, folder_.size() - 1) : folder_, true);
      if (!root_.Valid()) {
        Why = std::string(kCannotCreateFolder) + " " + folder_ + ": " +
              platform::ErrorText(root_.LastError());
        return false;
      }
    }
    const std::string below = restore::FolderOf(target.substr(folder_.size() - 1));
    Into = OpenTargetFolder(folder_ + below, below);
  }
  Leaf = target.substr(target.find_last_of(platform::kSeparators) + 1);
  if (!Into->Valid()) {
    Why = std::string(kCannotCreateFolder) + " " + restore::FolderOf(target) + ": " +
          platform::ErrorText(Into->LastError());
  }
  return Into->Valid() && !Leaf.empty();
}

RestoreRun::Folder RestoreRun::OpenTargetFolder(const std::string& Path,
                                                const std::string& Below) {
  reusedFolder_ = lastFolder_ && Path == lastFolderPath_;
  if (reusedFolder_) return lastFolder_;
  Folder folder = std::make_shared<const platform::FolderHandle>(
      folder_.empty() ? platform::OpenFolder(Path, true)
                      : platform::OpenFolderBeneath(root_, Below));
  lastFolder_ = folder->Valid() ? folder : nullptr;
  // What a run cut short left in a folder is removed by the next run there.
  if (lastFolder_ && !folder->Made()) platform::RemoveLeftovers(*folder);
  lastFolderPath_ = lastFolder_ ? Path : std::string();
  if (folder->Made()) {
    // Its folder holds a folder now, which a file may not replace.
    emptyMade_.erase(platform::ComparableName(restore::FolderOf(Below)));
    emptyMade_.insert(platform::ComparableName(Below));
  }
  return folder;
}

bool RestoreRun::BeginTarget(const platform::PathInfo& Existing) {
  // A second try when the folder kept open turns out removed meanwhile: it
  // is reached (and made) afresh, and what stands there is looked at anew.
  for (int attempt = 0;; ++attempt) {
    Folder folder;
    std::string leaf;
    std::string why;
    // A file left out because its folder cannot be had, or lies outside,
    // is stepped over, and the run must not end as a complete one.
    if (!LocateTarget(folder, leaf, why)) {
      Refuse(why);
      return false;
    }
    // Inspect looked through this very handle already; any other way to
    // the folder is looked at again, since the path may have led elsewhere.
    const platform::PathInfo there =
        attempt == 0 && folder == inspectedIn_ ? Existing : platform::InspectAt(*folder, leaf);
    // The mode decided on what stood in the removed folder; in the one made
    // afresh it decides again.
    if (attempt > 0 && !DecideByMode(there)) return false;
    if (!folder_.empty() && there.Kind == platform::PathKind::Link) {
      Refuse("a symbolic link stands in its place");
      return false;
    }
    platform::FileIdentity identity;
    if (there.Kind != platform::PathKind::Missing &&
        platform::IdentityAt(*folder, leaf, identity)) {
      for (const platform::FileIdentity& volume : volumes_) {
        if (identity == volume) {
          Refuse("it is a volume of the archive being read");
          return false;
        }
      }
    }
    auto file = std::make_unique<platform::PendingFile>(folder);
    if (!file->Valid() && reusedFolder_ && attempt == 0) {
      lastFolder_.reset();
      lastFolderPath_.clear();
      continue;
    }
    if (there.Kind == platform::PathKind::Directory) {
      FailTarget("a folder stands in its place");
      return false;
    }
    if (!file->Valid()) {
      FailTarget(platform::ErrorText(file->LastError()));
      return false;
    }
    if (there.Kind == platform::PathKind::File) file->TakeOverModeOf(leaf);
    target_.stream = std::make_unique<TFileStream>(file->ReleaseFile(), s_.CurrentFile);
    // A sparse file comes back sparse, not as gigabytes of written zeros.
    target_.stream->WriteZerosAsHoles(true);
    target_.file = std::move(file);
    target_.leaf = leaf;
    target_.folder = lastFolderPath_;
    return true;
  }
}

void RestoreRun::FinishTarget(bool Put) {
  if (!target_.file) return;
  if (Put) {
    if (e_.OnFileRestored) e_.OnFileRestored(e_, s_.CurrentFile, target_.stream);
    // Noted before it is in place: a file system written to is synced,
    // whether the rename then succeeds or not.
    NoteWrittenFolder();
    FinishedTarget whole{std::move(target_.file), std::move(target_.stream), target_.leaf,
                         s_.CurrentFile, stamp_};
    if (writer_) {
      std::string folder = restore::FolderOf(s_.CurrentFile);
      if (folder != writerFolder_) {
        writerFolder_ = std::move(folder);
        ++writerFolderNumber_;
      }
      writer_->Hand(std::move(whole), writerFolderNumber_);
      TakeWriterOutcome();
    } else if (const std::string why = PutInPlace(whole); why.empty()) {
      ++s_.FilesDone;
    } else {
      FailTarget(why);
    }
  }
  target_ = OpenTarget{};
}

void RestoreRun::SetDamagedAside() {
  if (target_.file && e_.KeepDamaged) {
    // What cannot be kept is only a copy of damage; the run ends with code
    // 6 either way.
    Drain();
    NoteWrittenFolder();
    FinishedTarget kept{std::move(target_.file), std::move(target_.stream),
                        target_.leaf + ".damaged", s_.CurrentFile, stamp_};
    PutInPlace(kept);
  }
  target_ = OpenTarget{};
}

bool RestoreRun::MayMeetQueuedFile(const std::string& Target) {
  if (claimed_.count(platform::ComparableName(Target)) != 0) return true;
  // The files of one folder come one after another: its folders are
  // looked at once.
  std::string above = restore::FolderOf(Target);
  if (above == checkedFolder_) return false;
  checkedFolder_ = above;
  for (;;) {
    if (claimed_.count(platform::ComparableName(above)) != 0) return true;
    std::string up = restore::FolderOf(above);
    if (up.empty() || up == above) return false;
    above = std::move(up);
  }
}

bool RestoreRun::TakeWriterOutcome() {
  const TargetWriter::Outcome outcome = writer_->Collect();
  s_.FilesDone += outcome.Placed;
  if (outcome.Failed) FailTarget(outcome.Name, outcome.Why);
  return outcome.Failed;
}

void RestoreRun::NoteWrittenFolder() {
  // Only the device matters, and the files of one folder share it.
  if (!target_.folder.empty() && target_.folder == lastWritten_) return;
  lastWritten_ = target_.folder;
  platform::FileIdentity folder;
  if (!platform::IdentityOf(*target_.file->Folder(), folder)) return;
  for (const auto& written : written_)
    if (written.first == folder.Device) return;
  written_.emplace_back(folder.Device, target_.file->Folder());
}

void RestoreRun::SyncWrittenFileSystems() {
  for (const auto& written : written_) {
    if (const int error = platform::SyncFileSystem(*written.second); error != 0)
      run_.NoteFailure(beCannotReadFile, folder_,
                       "the restored files could not be synced: " + platform::ErrorText(error));
  }
}

bool TBackupFile::Restore(const std::string& ArchiveName, const std::string& Folder) {
  return RestoreRun(*this, ArchiveName, Folder).Run();
}

bool TBackupFile::RestoreFromStream(TStream* Stream, const std::string& Folder) {
  if (Stream == nullptr) return false;
  sourceStream_ = Stream;
  try {
    return Restore(kStreamArchiveName, Folder);
  } catch (...) {
    return false;
  }
}

}  // namespace kelmora
