// SPDX-License-Identifier: GPL-3.0-or-later
//
// Backup, the companion file: what each entry is and where it lies, noted
// as it is written, and the file made of that once the volumes are
// complete, committed with them (engine/backup_run.h).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/backup_run.h"
#include "engine/companion/builder.h"
#include "engine/companion/container.h"
#include "engine/companion/volume_source.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// Whether the file at Path begins as a companion does: only such a file
// is ever taken for the older archive's companion and removed.
bool IsCompanionFile(const std::string& Path) {
  platform::File file = platform::File::Open(Path, platform::OpenMode::Read, false);
  unsigned char head[sizeof companion::kMagic];
  return file.Valid() && file.Read(head, sizeof head) == static_cast<int64_t>(sizeof head) &&
         std::memcmp(head, companion::kMagic, sizeof head) == 0;
}

}  // namespace

TStringList BackupRun::ArchiveFiles() const {
  // A caller's stream is no file of a folder.
  if (toStream_) return {};
  TStringList files = older_ ? older_->Files() : TStringList{archiveName_};
  // Stored, it would describe the archive before the one holding it.
  files.push_back(CompanionFileName(archiveName_));
  return files;
}

void BackupRun::NoteEntry(size_t Index, const Mark& Where) {
  if (!companion_) return;
  const bool isFileList = IsFileList(Index);
  companion::IndexEntry entry;
  entry.Name = StoredName(Index);
  entry.Volume = static_cast<uint16_t>(Where.Volume + 1);
  entry.Flags = isFileList ? companion::kFileListEntry : 0;
  entry.Offset = Where.Position;
  entry.Size = entryBytes_;
  entry.Packed = entryPacked_;
  entry.Chunks = entryChunks_;
  entry.Stamp = source_ != nullptr ? source_->Stamp() : -1;
  index_.Add(entry);
  if (isFileList || source_ == nullptr) return;
  platform::PathMetadata metadata;
  companion::MetadataRecord record;
  if (source_->ReadMetadata(metadata) != 0) return;
  // The time the stored bytes were read at, not one the file took since.
  metadata.ModifiedSeconds = source_->ModifiedNs() / 1000000000;
  metadata.ModifiedNanoseconds = static_cast<uint32_t>(source_->ModifiedNs() % 1000000000);
  if (!companion::RecordOf(selected_[Index], metadata, record)) return;
  record.HardLinkGroup = hardLinks_.GroupOf(metadata);
  records_.Add(record);
}

bool BackupRun::WriteCompanionFile() {
  const std::vector<std::string> names = volumes_.Names();
  companion::FileVolumes source(names);
  const std::string final = CompanionFileName(archiveName_);
  std::string temp;
  platform::File file = platform::CreateFileBeside(final, temp);
  if (!file.Valid()) {
    run_.Fail(beCannotWriteArchive, final, platform::ErrorText(file.LastError()));
    return false;
  }
  companionFile_ = {final, temp};
  companion::BuildOptions options;
  options.RecoveryPercent = std::min<unsigned>(owner_.RecoveryPercent, 100);
  options.Threads = owner_.ThreadCount();
  // The archive's bytes are all counted already: the window stays live
  // and a stop is heard while the volumes are read once more.
  options.Progress = [this](int64_t, int64_t) {
    run_.ProcessMessages();
    return s_.Continue;
  };
  try {
    THandleStream out(std::move(file));
    const companion::BuildResult built = companion::BuildCompanionOfBodies(
        source, static_cast<unsigned>(names.size()), index_, records_, options, out);
    if (!built.Done) {
      if (built.Stopped) return false;
      const int error = source.LastError();
      run_.Fail(beCannotWriteArchive, built.Volume > 0 ? names[built.Volume - 1] : final,
                "it cannot be read back" +
                    (error != 0 ? ": " + platform::ErrorText(error) : std::string()));
      return false;
    }
    out.Close();
  } catch (const EStreamError& e) {
    run_.Fail(beCannotWriteArchive, final, backup::ReasonOf(e));
    return false;
  }
  return true;
}

int BackupRun::SyncCompanion() const {
  return companionFile_.Temp.empty() ? 0 : platform::SyncFile(companionFile_.Temp);
}

std::string BackupRun::StaleCompanion() const {
  if (companion_ || toStream_ || direct_) return {};
  std::string stale = CompanionFileName(archiveName_);
  return IsCompanionFile(stale) ? stale : std::string();
}

void BackupRun::DiscardCompanion() {
  if (!companionFile_.Temp.empty()) platform::DeleteFile(companionFile_.Temp);
  companionFile_ = VolumeWriter::Volume();
}

}  // namespace kelmora
