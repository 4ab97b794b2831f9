// SPDX-License-Identifier: GPL-3.0-or-later
//
// One backup: selection, measuring, the file-ID list, the header, then every
// file as data sections of independently compressed chunks, split into
// volumes when MaxSize is set. A BackupRun holds the working data of one
// call and is gone when the call returns, whichever way it returns.
//
// Volumes are written under temporary names beside their final ones and
// take the older archive's place only once the whole run has succeeded
// (and, on request, read back sound) and their bytes are on the device: a
// full disk, a stop or a cancelled volume must never cost the user the
// backup made last time. Only the older archive's own volumes are ever
// replaced or removed (engine/older_archive.h).
//
// The run and what comes before the archive are in backup_run.cpp, the
// writing of entries in backup_writer.cpp, the wind-down (count, check,
// commit) in backup_commit.cpp, the companion file in backup_companion.cpp.
// The volumes themselves are a VolumeWriter's (engine/volume_writer.h), the
// file-ID list a FileIdListWriter's (engine/file_id_list.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/archive_target.h"
#include "engine/chunk_pipeline.h"
#include "engine/companion/metadata.h"
#include "engine/companion/sections.h"
#include "engine/file_id_list.h"
#include "engine/older_archive.h"
#include "engine/run_state.h"
#include "engine/selected_files.h"
#include "engine/source_file.h"
#include "engine/volume_writer.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

namespace backup {

// A volume-change entry: its name length and "NEXT:DISKnnn".
inline constexpr int64_t kVolumeChangeBytes = 4 + format::kVolumeChangeNameLength;
// An empty data section: a signature and a terminator.
inline constexpr int64_t kEmptySectionBytes = 8;

// What an entry's head needs in its volume: its name record, time stamp
// and an empty section, and room after it to end the volume with a
// volume-change entry should its data not fit.
inline int64_t EntryRoom(const std::string& StoredName) {
  return 4 + static_cast<int64_t>(StoredName.size()) + 4 + kEmptySectionBytes + kVolumeChangeBytes;
}

// A selected file, open; null when it no longer exists, which skips it
// without a word. One that exists but cannot be opened throws EFOpenError.
// Opening first and asking afterwards saves a look-up per file.
inline std::unique_ptr<SourceFile> OpenSelected(const std::string& Path) {
  try {
    return std::make_unique<SourceFile>(Path);
  } catch (const EFOpenError&) {
    if (!platform::FileExists(Path)) return nullptr;
    throw;
  }
}

// The system's words for a stream failure, else the failure's own.
inline std::string ReasonOf(const EStreamError& Error) {
  return Error.SystemError() != 0 ? platform::ErrorText(Error.SystemError()) : Error.what();
}

}  // namespace backup

class BackupRun {
 public:
  BackupRun(TBackupFile& Owner, const ArchiveTarget& Target);
  // An exception passing out still closes every file this run opened and
  // removes every temporary file, the unfinished volumes included.
  ~BackupRun();
  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;

  bool Execute(const TStringList& Files);

 private:
  // Where an entry starts, to go back to when its file is read again.
  struct Mark {
    size_t Volume = 0;  // index in volumes_
    int64_t Position = 0;
    int64_t ArchiveBytes = 0;
    int64_t BytesDone = 0;
    int32_t FilesDone = 0;
  };

  // A file stored whole and unchanged, whose archive attribute is cleared
  // once the archive holding it has taken the older one's place.
  struct Stored {
    std::string Path;
    int64_t Size = 0;
    int64_t ModifiedNs = 0;
  };

  // ---- before the archive (backup_run.cpp)

  // The archive's name and the files beside it: false, the run refused,
  // when writing it would destroy what is not the older archive's.
  bool CheckArchiveFiles(const TStringList& Files);
  // The selection, answering the window as it goes; false, the run
  // failed before anything was written, when a folder could not be read
  // (without SkipUnreadable) or a folder named gave no file.
  bool SelectFiles(const TStringList& Files);
  // Lets the application process its messages; false once the run was stopped.
  bool KeepGoing();
  void MeasureFiles();
  void SaveFileIdList();
  // The name entry Index is stored under.
  std::string StoredName(size_t Index) const;
  // False, the run refused, when a record could not keep the volume limit.
  bool RecordsFit();

  // ---- the archive (backup_writer.cpp)

  // A failure to write the volume being written.
  void FailWriting(int SystemError, const std::string& Why = std::string());
  void WriteHeader();
  void WriteEntries();
  bool EnterSource(size_t Index);
  void WriteEntry(size_t Index);
  bool WriteEntryOnce(size_t Index);
  // With SkipUnreadable: takes back the entry of a file that could not be
  // read to its end, from Where on, and names it among the unreadable.
  void LeaveOut(size_t Index, const Mark& Where);
  // Ends the volume before an entry whose head would not fit in it.
  void MakeRoomForEntry(size_t Index);
  Mark MarkArchive() const;
  bool RewindTo(const Mark& Where);
  void WriteSection();
  bool RoomForChunk() const;
  void WriteChunk();
  void ChangeVolume();
  // Runs Write, taking any failure in it for a failure to write the archive.
  template <typename Step>
  void Guarded(Step Write);

  // ---- the companion (backup_companion.cpp)

  // The archive's files a backup must not store, its companion among them.
  TStringList ArchiveFiles() const;
  // Its index entry and, for a file, its record: what the companion says of
  // entry Index, written from Where on.
  void NoteEntry(size_t Index, const Mark& Where);
  // Writes the companion of the volumes just written under a temporary
  // name beside its final one; false, the run failed or stopped, when it
  // cannot be.
  bool WriteCompanionFile();
  // Syncs the companion with the volumes.
  int SyncCompanion() const;
  // A companion left by the older archive where the new one has none: it
  // goes with the replacement, since it no longer describes the archive of
  // its name. Empty when there is none to remove.
  std::string StaleCompanion() const;
  void DiscardCompanion();

  // ---- wind-down (backup_commit.cpp)

  bool Finish();
  bool CorrectCount();
  // Reads the new volumes back; false, and the run failed or stopped, when
  // they are not sound.
  bool Verify();
  bool Commit();
  void DiscardVolumes();
  // The file-ID list's temporary file, which is no source file of the user's.
  bool IsFileList(size_t Index) const { return hasFileList_ && Index == 0; }

  TBackupFile& owner_;
  RunContext run_;
  RunState& s_;
  // Where the archive's bytes land: the named path, or the file a link of
  // that name leads to (its volumes are named after it), or the caller's
  // stream.
  const ArchiveTarget target_;
  const std::string& archiveName_;
  const bool toStream_;
  const bool direct_;                  // no temporary volumes, nothing to replace
  ArchiveClaim claim_;                 // the archive, held until the run is gone
  std::optional<OlderArchive> older_;  // what stood at archiveName_ before

  SelectedFiles selected_;
  std::vector<SelectedMeasure> measures_;  // beside selected_ until it is measured
  FileIdListWriter fileIds_;
  bool hasFileList_ = false;
  int64_t countAt_ = 0;  // where the header's file count lies in the first volume or stream
  int32_t entries_ = 0;  // file entries written, the file-ID list's not counted

  VolumeWriter volumes_;
  TStream* archive_ = nullptr;  // where the next archive byte goes, or null
  std::vector<Stored> stored_;

  // The companion written beside the volumes, when there is one.
  const bool companion_;
  VolumeWriter::Volume companionFile_;
  // Encoded as noted: a million entries held as structures would cost the
  // run several times the bytes they take in the companion.
  companion::SectionBody index_;
  companion::SectionBody records_;  // folders and links first, then files
  companion::HardLinks hardLinks_;
  // What the entry being written has taken so far.
  int64_t entryBytes_ = 0;
  int64_t entryPacked_ = 0;
  uint32_t entryChunks_ = 0;

  size_t writing_ = 0;            // the entry being written, by its index in selected_
  SourceFile* source_ = nullptr;  // the file being written, held by the pipeline
  int openError_ = 0;             // why it could not be opened, when it could not
  int readError_ = 0;             // why it could not be read to its end, when it is to be left out
  int64_t remaining_ = 0;

  // Last: its workers stop before anything they could touch is gone.
  ChunkPipeline pipeline_;
};

}  // namespace kelmora
