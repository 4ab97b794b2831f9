// SPDX-License-Identifier: GPL-3.0-or-later
//
// Backup, the writing: the header, then every file as data sections of
// independently compressed chunks, split into volumes when the target has a
// limit (engine/backup_run.h); the volumes' files are a VolumeWriter's.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/archive_format.h"
#include "engine/backup_run.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "platform/platform.h"

namespace kelmora {

// ---- the archive

void BackupRun::FailWriting(int SystemError, const std::string& Why) {
  run_.Fail(beCannotWriteArchive, volumes_.Written(),
            SystemError != 0 ? platform::ErrorText(SystemError) : Why);
}

// Taken even after a stop at the first progress event; the run then
// ends without an archive and leaves the older one alone.
void BackupRun::WriteHeader() {
  s_.FileCount = static_cast<int32_t>(selected_.size() - (hasFileList_ ? 1 : 0));
  s_.BytesDone = 0;
  s_.ArchiveBytes = 0;
  // Refused before anything is created: such a limit could never be
  // kept, and a negative one would never let a chunk in.
  const int64_t maxSize = target_.MaxSize();
  if (maxSize < 0 || (maxSize > 0 && maxSize < kSmallestVolumeSize)) {
    FailWriting(0, "a volume must hold at least " + std::to_string(kSmallestVolumeSize) + " bytes");
    return;
  }
  if (s_.Failure.Code != beNone || !RecordsFit()) return;
  try {
    volumes_.Begin();
    archive_ = &volumes_.Archive();
    format::WriteHeader(*archive_,
                        {owner_.BackupTitle, format::CapTotalSize(s_.TotalSize), s_.FileCount});
    countAt_ = archive_->Position() - 4;
  } catch (const EStreamError& e) {
    FailWriting(e.SystemError());
  } catch (const std::exception& e) {
    FailWriting(0, e.what());
  }
}

void BackupRun::WriteEntries() {
  pipeline_.Begin(selected_.size(),
                  [this](size_t Index) { return backup::OpenSelected(selected_[Index]); });
  for (size_t i = 0; i < selected_.size() && s_.Continue; ++i) {
    if (EnterSource(i)) WriteEntry(i);  // else vanished since selection
    source_ = nullptr;
    pipeline_.Leave();
  }
  pipeline_.Reset();
}

// False when the file no longer exists. One that is still there but
// closed to us gets an entry with a name and no data.
bool BackupRun::EnterSource(size_t Index) {
  ChunkPipeline::File& file = pipeline_.Enter(Index);
  source_ = file.Source.get();
  openError_ = file.OpenError;
  readError_ = 0;
  // Closed to us since it was measured: left out, named, when asked for.
  if (file.OpenFailed && owner_.SkipUnreadable && !IsFileList(Index)) {
    s_.Unreadable.push_back({beCannotReadFile, selected_[Index],
                             platform::ErrorText(openError_ != 0 ? openError_ : EACCES)});
    return false;
  }
  return file.Source != nullptr || file.OpenFailed;
}

// A file that changed while it was read is read once more, over the
// same place in the archive, so that a file saved once during the run
// is still stored whole and consistent. Only a file that changes again
// is kept as read and named. A stream or a device cannot be taken back.
void BackupRun::WriteEntry(size_t Index) {
  MakeRoomForEntry(Index);
  if (!s_.Continue) return;
  const Mark mark = MarkArchive();
  bool changed = WriteEntryOnce(Index);
  if (readError_ != 0) {
    LeaveOut(Index, mark);
    return;
  }
  if (changed && !direct_ && s_.Continue) {
    // Whatever was read ahead, this file and the ones after it, is read
    // again after it, in archive order.
    source_ = nullptr;
    pipeline_.Rewind(Index);
    if (!RewindTo(mark)) return;
    if (!EnterSource(Index)) return;  // gone now: no entry at all
    changed = WriteEntryOnce(Index);
  }
  NoteEntry(Index, mark);
  if (!IsFileList(Index)) ++entries_;
  if (changed) s_.ChangedFiles.push_back(selected_[Index]);
}

void BackupRun::LeaveOut(size_t Index, const Mark& Where) {
  s_.Unreadable.push_back({beCannotReadFile, selected_[Index], platform::ErrorText(readError_)});
  readError_ = 0;
  // What was read ahead of it is read again after it, in archive order.
  source_ = nullptr;
  pipeline_.Rewind(Index + 1);
  RewindTo(Where);
}

// Writes the entry; true when its file was stored whole but changed
// while it was read.
bool BackupRun::WriteEntryOnce(size_t Index) {
  const std::string& path = selected_[Index];
  const bool isFileList = IsFileList(Index);
  writing_ = Index;
  bool complete = false;
  entryBytes_ = entryPacked_ = 0;
  entryChunks_ = 0;
  try {
    format::WriteString(*archive_, isFileList ? std::string(format::kFileListName) : path);
    // The name is stored as the selection found it, untrimmed: on Linux
    // a blank at either end is part of the name.
    s_.CurrentFile = path;
    if (!source_) throw EFOpenError("Cannot open file", openError_);
    format::WriteInt32(*archive_, source_->Stamp());
    remaining_ = source_->Size();
    while (s_.Continue) {
      WriteSection();
      if (remaining_ <= 0) break;
    }
    complete = remaining_ <= 0 && s_.Failure.Code == 0 && readError_ == 0;
    if (!isFileList) ++s_.FilesDone;
  } catch (const EArchiveWrite& e) {
    FailWriting(e.SystemError());
  } catch (const EStreamError& e) {
    run_.Fail(beCannotReadFile, path, backup::ReasonOf(e));
  } catch (const std::exception& e) {
    run_.Fail(beCannotReadFile, path, e.what());
  }
  if (!complete) return false;
  // Size and time as they were at the open: a file that shrank, grew or
  // was written meanwhile differs in one of them.
  if (!source_->Unchanged()) return true;
  if (owner_.SetArchiveFlag && !isFileList)
    stored_.push_back({path, source_->Size(), source_->ModifiedNs()});
  return false;
}

// Every record keeps the limit, not only chunks: an entry's head that would
// not fit ends the volume right after the previous file's section, and the
// next volume opens with an empty continuation of that file, as a volume
// changed inside it would. RecordsFit saw to it that the head fits there,
// and that the first entry fits after the header.
void BackupRun::MakeRoomForEntry(size_t Index) {
  if (target_.MaxSize() == 0 || archive_ == nullptr ||
      archive_->Position() + backup::EntryRoom(StoredName(Index)) <= target_.MaxSize())
    return;
  Guarded([&] {
    ChangeVolume();
    if (!s_.Continue || archive_ == nullptr) return;
    format::WriteSignature(*archive_);
    format::WriteInt32(*archive_, 0);
    s_.ArchiveBytes += 4;
  });
}

BackupRun::Mark BackupRun::MarkArchive() const {
  Mark mark;
  mark.Volume = volumes_.Current();
  mark.Position = archive_ != nullptr ? archive_->Position() : 0;
  mark.ArchiveBytes = s_.ArchiveBytes;
  mark.BytesDone = s_.BytesDone;
  mark.FilesDone = s_.FilesDone;
  return mark;
}

// Cuts the archive back to Where, dropping the volumes begun since.
bool BackupRun::RewindTo(const Mark& Where) {
  try {
    volumes_.RewindTo(Where.Volume, Where.Position);
  } catch (const EStreamError& e) {
    FailWriting(e.SystemError());
    return false;
  }
  archive_ = &volumes_.Archive();
  s_.ArchiveBytes = Where.ArchiveBytes;
  s_.BytesDone = Where.BytesDone;
  s_.FilesDone = Where.FilesDone;
  return true;
}

// ---- the data section writer

template <typename Step>
void BackupRun::Guarded(Step Write) {
  try {
    Write();
  } catch (const EArchiveWrite& e) {
    FailWriting(e.SystemError());
  } catch (const EStreamError& e) {
    // The next volume and the caller's own handlers raised from in here
    // also count as a failure to write the archive.
    FailWriting(e.SystemError(), e.what());
  } catch (const std::exception& e) {
    FailWriting(0, e.what());
  } catch (...) {
    FailWriting(0);
  }
}

void BackupRun::WriteSection() {
  Guarded([&] {
    format::WriteSignature(*archive_);
    s_.ArchiveBytes += 4;
    while (remaining_ > 0 && s_.Continue && RoomForChunk()) WriteChunk();
    format::WriteInt32(*archive_, 0);
    if (remaining_ > 0 && s_.Continue) ChangeVolume();
  });
}

bool BackupRun::RoomForChunk() const {
  return target_.MaxSize() == 0 ||
         archive_->Position() < target_.MaxSize() - format::kVolumeReserve;
}

void BackupRun::WriteChunk() {
  ChunkPipeline::Piece& piece = pipeline_.Next();
  // The run's own record of the entry, not CurrentFile: that is the
  // public progress field, and a handler's to read.
  const std::string& path = selected_[writing_];
  if (piece.ReadFailed && owner_.SkipUnreadable && !direct_ && !IsFileList(writing_)) {
    // Its entry is taken back whole (LeaveOut); a stream cannot be.
    readError_ = piece.ReadError != 0 ? piece.ReadError : EIO;
    remaining_ = 0;
    return;
  }
  if (piece.ReadFailed) {
    // A read error is no end of file: the stored file would be short.
    run_.Fail(beCannotReadFile, path,
              piece.ReadError != 0 ? platform::ErrorText(piece.ReadError) : std::string());
    return;
  }
  if (piece.Size == 0) {
    // The file shrank after it was opened: what was there is stored,
    // and its changed size has it read once more.
    remaining_ = 0;
    return;
  }
  const auto n = static_cast<int64_t>(piece.Size);
  remaining_ -= n;
  s_.BytesDone += n;
  entryBytes_ += n;
  ++entryChunks_;
  entryPacked_ +=
      piece.Result == PieceCompressor::Compressed ? static_cast<int64_t>(piece.Packed) : n;

  if (piece.Result == PieceCompressor::Failed) {
    run_.Fail(beCompression, path);
  } else if (piece.Result == PieceCompressor::Compressed) {
    format::WriteInt32(*archive_, static_cast<int32_t>(piece.Packed));
    archive_->WriteBuffer(piece.Out.data(), piece.Packed);
    s_.ArchiveBytes += 4 + static_cast<int64_t>(piece.Packed);
  } else {
    format::WriteInt32(*archive_, -static_cast<int32_t>(n));
    archive_->WriteBuffer(piece.In.data(), piece.Size);
    s_.ArchiveBytes += 4 + n;
  }
  pipeline_.Release();

  run_.ProcessMessages();
  run_.ReportProgress(path);
}

void BackupRun::ChangeVolume() {
  if (const std::string why = volumes_.CannotAddVolume(); !why.empty()) {
    FailWriting(0, why);
    return;
  }
  const auto next = static_cast<unsigned>(volumes_.Volumes().size() + 1);
  format::WriteVolumeChange(*archive_, next);
  archive_ = nullptr;
  if (const int error = volumes_.EndVolume(); error != 0) {
    FailWriting(error);
    return;
  }
  run_.AskForDisk(static_cast<uint16_t>(next));
  if (!s_.Continue) return;
  const std::string name = format::VolumeName(archiveName_, next);
  // An archive named like a later volume (x.003) would have its own
  // first volume replaced by a later one.
  if (name == archiveName_) {
    FailWriting(0, "its name is that of its own volume " + std::to_string(next));
    return;
  }
  volumes_.BeginVolume(name);
  archive_ = &volumes_.Archive();
}

}  // namespace kelmora
