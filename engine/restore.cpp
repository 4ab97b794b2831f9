// SPDX-License-Identifier: GPL-3.0-or-later
//
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
#include "engine/volume_chain.h"
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
  if (!fromStream_ && !run_.ArchiveThere(archiveName_)) return false;
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
  const VolumeChain chain(archiveName_);
  for (int number = 2; number <= format::kMaxVolumes; ++number) {
    platform::FileIdentity identity;
    if (!platform::IdentityOfPath(chain.Name(number), identity)) break;
    volumes_.push_back(identity);
  }
}

EntryConsumer::Plan RestoreRun::BeginFile(const std::string& Name, int32_t Stamp) {
  stamp_ = Stamp;
  storedName_ = Name;
  record_.reset();
  const bool isFileList = format::IsFileListName(Name);
  const std::string target =
      restore::TargetName(Name, folder_, e_.RestoreFullPath, e_.RestoreBaseFolder);
  s_.CurrentFile = target.empty() ? Name : target;

  if (writer_) {
    if (!target.empty() && claimed_.MayMeet(target)) Drain();
    if (TakeWriterOutcome()) return {};
  }
  if (isFileList || !filtered_.Lets(Name)) {
    decision_ = false;
  } else if (target.empty()) {
    Refuse(Name, "its stored name is not one to restore (empty, a NUL or a \"..\" component)");
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
    // What the handler left there is the target from here on.
    const std::string chosen = s_.CurrentFile;
    if (decision_ && chosen != target) {
      // The handler sent the file elsewhere, maybe where a queued file goes.
      Drain();
      existing = Inspect(chosen);
    }
    if (decision_ && existing.Kind == platform::PathKind::Link)
      Refuse(chosen, "a symbolic link stands in its place");
    if (decision_ && chosen != target && Clashes(Name, chosen)) decision_ = false;
    if (decision_) decision_ = BeginTarget(chosen, existing);
    if (decision_) {
      claimed_.Claim(chosen, Name);
      record_ = FileRecord(Name, chosen);
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
        FailTarget(target_.name, target_.stream && target_.stream->OpenFile().LastError() != 0
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
  const std::optional<std::string> earlier = claimed_.Clash(Target, Stored);
  if (!earlier) return false;
  // A damaged copy kept aside makes way for a stored file of its name.
  if (MoveKeptCopy(platform::ComparableName(Target))) return false;
  // Told through OnNameClash alone. A copy: the handler may restore nothing
  // but may still call on the engine.
  const std::string before = *earlier;
  decision_ = false;
  NoteRefusal(Target, before + " was already restored there");
  if (e_.OnNameClash) {
    folderVouched_ = false;
    e_.OnNameClash(e_, Stored, before, Target);
  }
  return true;
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
  } catch (const std::exception& e) {
    // A file archive's reader throws this to its caller; a stream's keeps
    // it as the run's failure, reported once like any other.
    RunContext run(*this, RunContext::Start::Current);
    if (run.ErrorCode() == beNone) run.NoteUnreadable(kStreamArchiveName, e);
    MessageError(run.ErrorCode());
    return false;
  }
}

}  // namespace kelmora
