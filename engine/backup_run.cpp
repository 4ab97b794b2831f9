// SPDX-License-Identifier: GPL-3.0-or-later
//
// Backup: the run, and what is settled before the archive is begun: what
// may be written where, the selection, the measuring and the file-ID list
// (engine/backup_run.h).
#include "engine/backup_run.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/archive_format.h"
#include "engine/busy_scope.h"
#include "engine/selection.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "platform/platform.h"
#include "platform/working_files.h"

namespace kelmora {

namespace {

// Written beside a link's target and renamed there, the link stays a link
// and the archive it leads to is the one replaced.
ArchiveTarget ThroughLink(const ArchiveTarget& Target) {
  if (Target.ToStream()) return Target;
  return ArchiveTarget::File(platform::LinkTarget(Target.Name()), Target.MaxSize());
}

}  // namespace

BackupRun::BackupRun(TBackupFile& Owner, const ArchiveTarget& Target)
    : owner_(Owner),
      run_(Owner),
      s_(run_.State()),
      target_(ThroughLink(Target)),
      archiveName_(target_.Name()),
      toStream_(target_.ToStream()),
      // A device or a FIFO is written to, as a stream is: it has no
      // folder entry to replace, and renaming a file over it would
      // destroy it.
      direct_(toStream_ || platform::IsSpecialFile(archiveName_)),
      volumes_(target_, direct_),
      // A stream or a device has no folder entry to put a file beside.
      companion_(Owner.WriteCompanion && !direct_),
      // Stored pieces cost next to nothing; threads would only add work.
      pipeline_(Owner.CompressionLevel,
                Owner.CompressionLevel == clNone ? 0 : Owner.ThreadCount() - 1) {}

BackupRun::~BackupRun() {
  pipeline_.Reset();
  DiscardVolumes();
}

bool BackupRun::Execute(const TStringList& Files) {
  run_.ClearFailure();
  s_.ChangedFiles.clear();
  BusyScope busy(s_.Busy);

  if (!CheckArchiveFiles(Files)) {
    busy.End();
    owner_.MessageError(s_.Failure.Code);
    return false;
  }

  // Set before the walk, so that a Stop pressed while it goes is kept.
  s_.Continue = true;
  if (!SelectFiles(Files)) {
    busy.End();
    owner_.MessageError(s_.Failure.Code);
    return false;
  }
  run_.ReportProgress("", 0);

  MeasureFiles();
  if (owner_.SaveFileID && s_.Continue) SaveFileIdList();
  WriteHeader();
  WriteEntries();
  const bool result = Finish();
  // The archive is whole and usable; the result still must not read as
  // a plain success when files were left out or some stored copy may be
  // inconsistent. Files left out weigh more.
  if (result && !s_.Unreadable.empty()) {
    run_.NoteFailure(beFilesLeftOut, s_.Unreadable.front().Subject, s_.Unreadable.front().Reason);
  } else if (result && !s_.ChangedFiles.empty()) {
    run_.NoteFailure(beFileChanged, s_.ChangedFiles.front());
  }

  run_.ReportProgress("", 100);
  busy.End();
  if (s_.Failure.Code != 0) owner_.MessageError(s_.Failure.Code);
  return result;
}

// ---- before the archive

bool BackupRun::CheckArchiveFiles(const TStringList& Files) {
  // Selection would quietly leave the archive out and the run would then
  // replace the very file the user asked to save.
  if (!toStream_ && NamesFile(Files, archiveName_)) {
    run_.Fail(beCannotWriteArchive, archiveName_, "it is one of the files to back up");
    return false;
  }
  if (toStream_) return true;
  // Held before the older archive is read: another run may be replacing it.
  if (!claim_.Take(run_, archiveName_, true)) return false;
  if (direct_) return true;
  older_.emplace(archiveName_);
  // A split archive would replace the files named like its later volumes;
  // only the older archive's own may go. Found before anything is written.
  if (target_.MaxSize() > 0) {
    const std::string foreign = FindForeignVolume(archiveName_, *older_);
    // An older archive the disk failed to give proves none of its volumes.
    if (!foreign.empty() && older_->ReadError() != 0) {
      run_.Fail(
          beCannotWriteArchive, older_->UnreadVolume(),
          "the archive being replaced cannot be read: " + platform::ErrorText(older_->ReadError()));
      return false;
    }
    if (!foreign.empty()) {
      run_.Fail(beCannotWriteArchive, foreign,
                "it is no volume of the archive being replaced; two archives whose names differ "
                "only after the last dot cannot both be split in one folder");
      return false;
    }
  }
  return true;
}

bool BackupRun::SelectFiles(const TStringList& Files) {
  SelectionOptions options;
  options.IncludeHidden = owner_.IncludeHidden;
  options.KeepGoing = [this] {
    // What a window may show meanwhile: the files found so far.
    s_.FileCount = static_cast<int32_t>(selected_.size());
    return KeepGoing();
  };
  // Links are kept as links only where the companion can hold them.
  SelectionCapture capture(!owner_.Dereference);
  if (companion_) options.Capture = &capture;
  SelectionReport report;
  SelectSourceFiles(Files, ArchiveFiles(), owner_.GetBackupMode(), selected_, &measures_, options,
                    report);
  if (companion_) {
    // Beside the archive, as its volumes: a temporary folder may be held
    // in memory, which is what spilling is to spare.
    const auto spill = [this](std::string& Name) {
      return platform::CreateFileBeside(archiveName_, Name);
    };
    index_.SpillWith(spill);
    records_.SpillWith(spill);
  }
  for (const companion::MetadataRecord& record : capture.Records()) records_.Add(record);
  capture.Records() = {};
  s_.HiddenFolders = report.HiddenFolders;
  s_.Unreadable = std::move(report.Unreadable);
  if (!report.Unselected.empty()) {
    const TFailure& first = report.Unselected.front();
    run_.Fail(first.Code, first.Subject, first.Reason);
    return false;
  }
  // As an unreadable file does, before any archive is begun.
  if (!s_.Unreadable.empty() && !owner_.SkipUnreadable) {
    const TFailure& first = s_.Unreadable.front();
    run_.Fail(beCannotReadFile, first.Subject, first.Reason);
    return false;
  }
  return true;
}

bool BackupRun::KeepGoing() {
  run_.ProcessMessages();
  return s_.Continue;
}

void BackupRun::MeasureFiles() {
  constexpr size_t kFilesBetweenMessages = 1024;
  s_.TotalSize = 0;
  s_.FilesDone = 0;
  std::vector<bool> leftOut;
  for (size_t i = 0; i < selected_.size(); ++i) {
    // Measuring counts every file, as a stopped run reports it; after a
    // stop it only opens no file any more.
    if (i % kFilesBetweenMessages == 0) run_.ProcessMessages();
    const std::string& path = selected_[i];
    // Counted as the search saw it: opening every file here as well as
    // when it is read would cost each file two opens.
    const SelectedMeasure& seen = measures_[i];
    int64_t size = seen.Size;
    int32_t stamp = seen.Stamp;
    if ((!seen.Known || !seen.Readable) && s_.Continue) {
      // A file that exists but cannot be opened is the caller's to hear
      // about: "Cannot open file <name>: <reason>" leaves Backup as it is,
      // unless such files are to be left out.
      std::unique_ptr<SourceFile> source;
      try {
        source = backup::OpenSelected(path);
      } catch (const EFOpenError& e) {
        s_.Unreadable.push_back({beCannotReadFile, path, backup::ReasonOf(e)});
        if (!owner_.SkipUnreadable) throw;
        leftOut.resize(selected_.size());
        leftOut[i] = true;
        continue;
      }
      if (!source) continue;
      size = source->Size();
      stamp = source->Stamp();
    }
    s_.TotalSize += size;
    if (owner_.SaveFileID) fileIds_.Add(path, stamp, size);
  }
  measures_ = {};
  if (!leftOut.empty()) selected_.Remove(leftOut);
}

void BackupRun::SaveFileIdList() {
  size_t written = 0;
  try {
    written = fileIds_.Save();
  } catch (const EStreamError& e) {
    run_.Fail(beTempFile, fileIds_.FileName(), backup::ReasonOf(e));
    return;
  }
  selected_.push_front(fileIds_.FileName());
  hasFileList_ = true;
  s_.TotalSize += static_cast<int64_t>(written);
}

std::string BackupRun::StoredName(size_t Index) const {
  return IsFileList(Index) ? std::string(format::kFileListName) : selected_[Index];
}

bool BackupRun::RecordsFit() {
  const int64_t maxSize = target_.MaxSize();
  if (maxSize == 0) return true;
  const std::string limit = " in a volume of " + std::to_string(maxSize) + " bytes";
  // A later volume opens with the empty continuation of the file before.
  for (size_t i = 0; i < selected_.size(); ++i) {
    const std::string name = StoredName(i);
    if (backup::kEmptySectionBytes + backup::EntryRoom(name) > maxSize) {
      run_.Fail(beCannotWriteArchive, selected_[i],
                "its name of " + std::to_string(name.size()) + " bytes does not fit" + limit);
      return false;
    }
  }
  // Readers look for the file-ID list right after the header.
  const int64_t header = 4 + static_cast<int64_t>(owner_.BackupTitle.size()) + 8;
  if (header + (selected_.empty() ? 4 : backup::EntryRoom(StoredName(0))) > maxSize) {
    FailWriting(0, "the title of " + std::to_string(owner_.BackupTitle.size()) +
                       " bytes leaves no room for the first entry" + limit);
    return false;
  }
  return true;
}

// ---- the calls

bool TBackupFile::Backup(const TStringList& Files, const std::string& ArchiveName) {
  // The reserved name stands for the stream BackupToStream was given last,
  // with whatever volume limit is set.
  BackupRun run(*this, ArchiveName == kStreamArchiveName
                           ? ArchiveTarget::Stream(targetStream_, MaxSize)
                           : ArchiveTarget::File(ArchiveName, MaxSize));
  return run.Execute(Files);
}

bool TBackupFile::BackupToStream(const TStringList& Files, TStream* Stream) {
  if (Stream == nullptr) return false;
  targetStream_ = Stream;
  // Callers have always read the limit back as 0 after a stream backup;
  // the run itself takes its one volume from its target.
  MaxSize = 0;
  try {
    BackupRun run(*this, ArchiveTarget::Stream(Stream));
    return run.Execute(Files);
  } catch (...) {
    return false;
  }
}

}  // namespace kelmora
