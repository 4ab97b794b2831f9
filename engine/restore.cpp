// Restore: the run from end to end and the decision on each file; where
// its target goes and how it is put there is in restore_place.cpp.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/busy_scope.h"
#include "engine/restore_run.h"
#include "kelmora/helpers.h"
#include "platform/names.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// Whole files waiting for the writer thread: each holds a descriptor and a
// stream buffer, so this bounds both.
constexpr size_t kWriterSlots = 64;

}  // namespace

bool RestoreRun::Run() {
  run_.ClearFailure();
  s_.FilesDone = 0;
  s_.Continue = true;
  ArchiveClaim claim;
  if (!claim.Take(run_, archiveName_, false)) {
    e_.MessageError(s_.Failure.Code);
    return false;
  }
  if (!fromStream_ && !platform::FileExists(archiveName_)) return false;
  ArchiveWalk walk(run_, *this, archiveName_);
  walk.Open();
  if (!fromStream_) {
    NoteLaterVolumes();
    OpenCompanion(walk);
  }
  std::vector<ArchiveWalk::Stretch> stretches;
  const bool stretched = FilteredStretches(stretches);
  BusyScope busy(s_.Busy);
  // On one thread the batch waits on the run's own thread, so a handler
  // asked about the next file would find the files before it not in place
  // yet: they are then put in place one by one, each synced on its own.
  const bool threads = e_.ThreadCount() > 1;
  if (e_.RestoreMode == rmAll && !e_.OnFileRestored && (threads || !e_.OnRestoreFile))
    writer_ = std::make_unique<TargetWriter>(kWriterSlots, threads);
  try {
    if (stretched)
      walk.RunStretches(stretches);
    else
      walk.Run();
  } catch (...) {
    FinishTarget(false);
    Drain();
    throw;
  }
  FinishTarget(false);
  Drain();
  GiveBackFoldersAndLinks();
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
  // The question for this volume may have let anything happen meanwhile.
  folderVouched_ = false;
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
    platform::FileIdentity identity;
    if (!platform::IdentityOfPath(VolumeFileName(archiveName_, number), identity)) break;
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
      if (e_.RestoreMode == rmAll && !claimed_.Contains(platform::ComparableName(Target)) &&
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
  storedName_ = Name;
  record_ = nullptr;
  const bool isFileList = format::IsFileListName(Name);
  const std::string target =
      restore::TargetName(Name, folder_, e_.RestoreFullPath, e_.RestoreBaseFolder);
  s_.CurrentFile = target.empty() ? Name : target;

  if (writer_) {
    if (!target.empty() && MayMeetQueuedFile(target)) Drain();
    if (TakeWriterOutcome()) return {};
  }
  if (isFileList || (e_.RestoreFilter && !Filtered(Name))) {
    decision_ = false;
  } else if (target.empty()) {
    Refuse("its stored name is not one to restore (empty, a NUL or a \"..\" component)");
  } else if (Clashes(Name, target)) {
    // Checked before the mode decides, so a clash is never passed off as an
    // existing file the mode keeps.
  } else {
    platform::PathInfo existing = Inspect(target);
    decision_ = DecideByMode(existing);
    if (e_.OnRestoreFile) {
      folderVouched_ = false;
      e_.OnRestoreFile(e_, s_.CurrentFile, stamp_, decision_);
    }
    if (decision_ && s_.CurrentFile != target) {
      // The handler sent the file elsewhere, maybe where a queued file goes.
      Drain();
      existing = Inspect(s_.CurrentFile);
    }
    if (decision_ && existing.Kind == platform::PathKind::Link)
      Refuse("a symbolic link stands in its place");
    if (decision_ && s_.CurrentFile != target && Clashes(Name, s_.CurrentFile)) decision_ = false;
    if (decision_) decision_ = BeginTarget(existing);
    if (decision_) {
      claimed_.Set(platform::ComparableName(s_.CurrentFile), Name);
      record_ = FileRecord(Name);
    }
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
      // the one of the file that failed. A target that could not be
      // written says why (a full disk).
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
  const std::string name = platform::ComparableName(Target);
  const std::optional<std::string> earlier = claimed_.Find(name);
  // The same stored name twice is one file backed up twice: the later copy
  // replaces the earlier as it always did.
  if (!earlier || *earlier == Stored) return false;
  // A damaged copy kept aside makes way for a stored file of its name.
  if (MoveKeptCopy(name)) return false;
  // Told through OnNameClash alone.
  decision_ = false;
  NoteRefusal(s_.CurrentFile, *earlier + " was already restored there");
  if (e_.OnNameClash) {
    folderVouched_ = false;
    e_.OnNameClash(e_, Stored, *earlier, Target);
  }
  return true;
}

bool RestoreRun::MayMeetQueuedFile(const std::string& Target) {
  if (claimed_.Contains(platform::ComparableName(Target))) return true;
  // The files of one folder come one after another: its folders are
  // looked at once.
  std::string above = restore::FolderOf(Target);
  if (above == checkedFolder_) return false;
  checkedFolder_ = above;
  for (;;) {
    if (claimed_.Contains(platform::ComparableName(above))) return true;
    std::string up = restore::FolderOf(above);
    if (up.empty() || up == above) return false;
    above = std::move(up);
  }
}

bool RestoreRun::TakeWriterOutcome() {
  const TargetWriter::Outcome outcome = writer_->Collect();
  s_.FilesDone += outcome.Placed;
  for (const auto& [name, why] : outcome.Refused) RefuseFile(name, why);
  if (outcome.Failed) FailTarget(outcome.Name, outcome.Why);
  return outcome.Failed;
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
