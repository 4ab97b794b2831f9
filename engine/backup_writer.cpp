// Backup: selection, measuring, the file-ID list, the header, then every
// file as data sections of independently compressed chunks, split into
// volumes when MaxSize is set. One BackupRun holds the working data of one
// call and is gone when the call returns, whichever way it returns.
//
// Volumes are written under temporary names beside their final ones and
// take the older archive's place only once the whole run has succeeded
// and its bytes are on the device: a full disk, a stop or a cancelled
// volume must never cost the user the backup made last time.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/busy_scope.h"
#include "engine/chunk_pipeline.h"
#include "engine/run_state.h"
#include "engine/selection.h"
#include "engine/source_file.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// A failure to write the archive, told apart from a source's failures:
// a buffered write can surface at any later record, a file's name or time
// stamp included, and must still be reported as the archive's.
class EArchiveWrite : public EStreamError {
 public:
  explicit EArchiveWrite(int SystemError) : EStreamError(kStreamWriteError, SystemError) {}
};

// Every archive byte passes through here on its way to the volume file or
// the caller's stream, so every failure to take it is an EArchiveWrite.
class ArchiveSink : public TStream {
 public:
  void Attach(TStream* Target) { target_ = Target; }

  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  size_t Write(const void* Buffer, size_t Count) override {
    try {
      return target_->Write(Buffer, Count);
    } catch (const EStreamError& e) {
      throw EArchiveWrite(e.SystemError());
    } catch (const std::exception&) {
      throw EArchiveWrite(0);
    }
  }
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override { return target_->Seek(Offset, Origin); }
  int64_t Position() const override { return target_->Position(); }
  void Flush() override {
    try {
      target_->Flush();
    } catch (const EStreamError& e) {
      throw EArchiveWrite(e.SystemError());
    } catch (const std::exception&) {
      throw EArchiveWrite(0);
    }
  }

 private:
  TStream* target_ = nullptr;
};

// Gathers the records and chunks of a volume file into large writes. The
// file stream's own buffer is sized for small files; for an archive of
// hundreds of megabytes, writing a megabyte at a time costs the system
// markedly less than 64 KiB at a time.
class GatheredVolume : public TStream {
 public:
  // Takes over a file just opened, at its start.
  void Open(std::unique_ptr<THandleStream> File) {
    file_ = std::move(File);
    used_ = 0;
    Allocate();
  }
  // Opens a volume written earlier again, to go on from Position.
  void Reopen(const std::string& FileName, int64_t Position) {
    file_ = std::make_unique<TFileStream>(FileName, TFileStream::fmOpenWrite, false);
    used_ = 0;
    Allocate();
    CutAt(Position);
  }
  // Drops every byte from Position on and writes on from there.
  void CutAt(int64_t Position) {
    Flush();  // nothing buffered may land past the cut afterwards
    if (!file_->OpenFile().Resize(Position))
      throw EStreamError(kStreamWriteError, file_->OpenFile().LastError());
    file_->Seek(Position, SeekOrigin::Begin);
  }

  // Closes the file: 0 when every byte reached it, else the error number.
  int Close() {
    if (!file_) return 0;
    int error = 0;
    try {
      Drain();
      file_->Close();
    } catch (const EStreamError& e) {
      error = e.SystemError() != 0 ? e.SystemError() : EIO;
    }
    file_.reset();
    used_ = 0;
    return error;
  }

  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  size_t Write(const void* Buffer, size_t Count) override {
    if (used_ + Count > kSize) Drain();
    if (Count >= kSize) {
      file_->WriteBuffer(Buffer, Count);
    } else {
      std::memcpy(buffer_.get() + used_, Buffer, Count);
      used_ += Count;
    }
    return Count;
  }
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override {
    if (Origin == SeekOrigin::Current && Offset == 0) return Position();
    throw EStreamError(kStreamWriteError);
  }
  int64_t Position() const override { return file_->Position() + static_cast<int64_t>(used_); }
  void Flush() override {
    Drain();
    file_->Flush();
  }

 private:
  void Drain() {
    const size_t pending = used_;
    used_ = 0;  // a failed write is not tried again
    file_->WriteBuffer(buffer_.get(), pending);
  }
  // Uncleared: only bytes written are ever read from it, and clearing a
  // megabyte costs a small backup more than its own writing.
  void Allocate() {
    if (!buffer_) buffer_.reset(new unsigned char[kSize]);
  }

  static constexpr size_t kSize = size_t{1} << 20;
  std::unique_ptr<unsigned char[]> buffer_;
  size_t used_ = 0;
  std::unique_ptr<THandleStream> file_;
};

// A selected file, open; null when it no longer exists, which skips it
// without a word. One that exists but cannot be opened throws EFOpenError.
// Opening first and asking afterwards saves a look-up per file.
std::unique_ptr<SourceFile> OpenSelected(const std::string& Path) {
  try {
    return std::make_unique<SourceFile>(Path);
  } catch (const EFOpenError&) {
    if (!platform::FileExists(Path)) return nullptr;
    throw;
  }
}

// The system's words for a stream failure, else the failure's own.
std::string ReasonOf(const EStreamError& Error) {
  return Error.SystemError() != 0 ? platform::ErrorText(Error.SystemError()) : Error.what();
}

}  // namespace

class BackupRun {
 public:
  BackupRun(TBackupFile& Owner, const std::string& ArchiveName)
      : owner_(Owner),
        run_(Owner),
        s_(run_.State()),
        archiveName_(ArchiveName),
        toStream_(ArchiveName == kStreamArchiveName),
        // A device or a FIFO is written to, as a stream is: it has no
        // folder entry to replace, and renaming a file over it would
        // destroy it.
        direct_(toStream_ || platform::IsSpecialFile(ArchiveName)),
        // Stored pieces cost next to nothing; threads would only add work.
        pipeline_(Owner.CompressionLevel,
                  Owner.CompressionLevel == clNone ? 0 : Owner.ThreadCount() - 1) {}

  // An exception passing out still closes every file this run opened and
  // removes every temporary file, the unfinished volumes included.
  ~BackupRun() {
    pipeline_.Reset();
    DiscardVolumes();
    DeleteTempFile();
  }

  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;

  bool Execute(const TStringList& Files) {
    run_.ClearFailure();
    s_.ChangedFiles.clear();
    BusyScope busy(s_.Busy);

    // Selection would quietly leave the archive out and the run would then
    // replace the very file the user asked to save.
    if (!toStream_ && NamesFile(Files, archiveName_)) {
      run_.Fail(beCannotWriteArchive, archiveName_, "it is one of the files to back up");
      busy.End();
      owner_.MessageError(s_.Failure.Code);
      return false;
    }
    if (!claim_.Take(run_, archiveName_, true)) {
      busy.End();
      owner_.MessageError(s_.Failure.Code);
      return false;
    }

    UnlistedFolder unlisted;
    SelectSourceFiles(Files, archiveName_, owner_.GetBackupMode(), selected_, &measures_,
                      &unlisted);
    // A folder the disk failed to list would be missing from the archive
    // unseen; the older archive stays as it is.
    if (unlisted.Error != 0) {
      run_.Fail(beCannotReadFile, unlisted.Folder, platform::ErrorText(unlisted.Error));
      busy.End();
      owner_.MessageError(s_.Failure.Code);
      return false;
    }
    s_.Continue = true;
    run_.ReportProgress("", 0);

    MeasureFiles();
    if (owner_.SaveFileID) SaveFileIdList();
    WriteHeader();
    WriteEntries();
    const bool result = Finish();
    // The archive is whole and usable; the result still must not read as
    // a plain success when some stored copy may be inconsistent.
    if (result && !s_.ChangedFiles.empty())
      run_.NoteFailure(beFileChanged, s_.ChangedFiles.front());

    run_.ReportProgress("", 100);
    busy.End();
    if (s_.Failure.Code != 0) owner_.MessageError(s_.Failure.Code);
    return result;
  }

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

  struct Volume {
    std::string Final;
    std::string Temp;  // "" once renamed
  };

  // ---- before the archive

  void MeasureFiles() {
    s_.TotalSize = 0;
    s_.FilesDone = 0;
    for (size_t i = 0; i < selected_.size(); ++i) {
      const std::string& path = selected_[i];
      // Counted as the search saw it: opening every file here as well as
      // when it is read would cost each file two opens.
      const platform::FileMeasure& seen = measures_[i];
      int64_t size = seen.Size;
      int32_t stamp = seen.Stamp;
      if (!seen.Known || !seen.Readable) {
        // A file that exists but cannot be opened is the caller's to hear
        // about: "Cannot open file <name>" leaves Backup as it is.
        const auto source = OpenSelected(path);
        if (!source) continue;
        size = source->Size();
        stamp = source->Stamp();
      }
      s_.TotalSize += size;
      if (owner_.SaveFileID) {
        fileIdText_ += format::FileIdLine(path, stamp, size);
        fileIdText_ += "\r\n";
      }
    }
    measures_ = {};
  }

  void SaveFileIdList() {
    int error = 0;
    tempName_ = platform::CreateTempFile(format::kTempFilePrefix, &error);
    try {
      if (tempName_.empty()) throw EStreamError(kStreamWriteError, error);
      TFileStream list(tempName_, TFileStream::fmCreate);
      list.WriteBuffer(fileIdText_.data(), fileIdText_.size());
      list.Close();
    } catch (const EStreamError& e) {
      run_.Fail(beTempFile, tempName_, ReasonOf(e));
      return;
    }
    selected_.insert(selected_.begin(), tempName_);
    hasFileList_ = true;
    s_.TotalSize += static_cast<int64_t>(fileIdText_.size());
    fileIdText_ = std::string();
  }

  void DeleteTempFile() {
    if (!tempName_.empty() && platform::FileExists(tempName_)) platform::DeleteFile(tempName_);
    tempName_.clear();
  }

  // ---- the archive

  // The volume being written, or the archive before any volume exists.
  const std::string& ArchiveWritten() const {
    return volumes_.empty() ? archiveName_ : volumes_.back().Final;
  }

  void FailWriting(int SystemError, const std::string& Why = std::string()) {
    run_.Fail(beCannotWriteArchive, ArchiveWritten(),
              SystemError != 0 ? platform::ErrorText(SystemError) : Why);
  }

  // Taken even after a stop at the first progress event; the run then
  // ends without an archive and leaves the older one alone.
  void WriteHeader() {
    s_.FileCount = static_cast<int32_t>(selected_.size() - (hasFileList_ ? 1 : 0));
    s_.BytesDone = 0;
    s_.ArchiveBytes = 0;
    // Refused before anything is created: such a limit could never be
    // kept, and a negative one would never let a chunk in.
    const int64_t maxSize = owner_.MaxSize;
    if (maxSize < 0 || (maxSize > 0 && maxSize < kSmallestVolumeSize)) {
      FailWriting(0,
                  "a volume must hold at least " + std::to_string(kSmallestVolumeSize) + " bytes");
      return;
    }
    try {
      if (toStream_) {
        if (owner_.TargetStream() == nullptr) throw EStreamError(kStreamWriteError);
        sink_.Attach(owner_.TargetStream());
        archive_ = &sink_;
      } else {
        OpenVolume(archiveName_);
      }
      format::WriteHeader(*archive_,
                          {owner_.BackupTitle, format::CapTotalSize(s_.TotalSize), s_.FileCount});
      countAt_ = archive_->Position() - 4;
    } catch (const EStreamError& e) {
      FailWriting(e.SystemError());
    } catch (const std::exception& e) {
      FailWriting(0, e.what());
    }
  }

  // Creates the next volume under a temporary name beside Final.
  void OpenVolume(const std::string& Final) {
    if (direct_) {
      volume_.Open(std::make_unique<TFileStream>(Final, TFileStream::fmCreate));
      volumes_.push_back({Final, std::string()});
    } else {
      std::string temp;
      platform::File file = platform::CreateFileBeside(Final, temp);
      if (!file.Valid()) throw EArchiveWrite(file.LastError());
      volumes_.push_back({Final, temp});
      volume_.Open(std::make_unique<THandleStream>(std::move(file)));
    }
    sink_.Attach(&volume_);
    archive_ = &sink_;
  }

  void WriteEntries() {
    pipeline_.Begin(selected_.size(),
                    [this](size_t Index) { return OpenSelected(selected_[Index]); });
    for (size_t i = 0; i < selected_.size() && s_.Continue; ++i) {
      if (EnterSource(i)) WriteEntry(i);  // else vanished since selection
      source_ = nullptr;
      pipeline_.Leave();
    }
    pipeline_.Reset();
  }

  // False when the file no longer exists. One that is still there but
  // closed to us gets an entry with a name and no data.
  bool EnterSource(size_t Index) {
    ChunkPipeline::File& file = pipeline_.Enter(Index);
    source_ = file.Source.get();
    openError_ = file.OpenError;
    return file.Source != nullptr || file.OpenFailed;
  }

  // A file that changed while it was read is read once more, over the
  // same place in the archive, so that a file saved once during the run
  // is still stored whole and consistent. Only a file that changes again
  // is kept as read and named. A stream or a device cannot be taken back.
  void WriteEntry(size_t Index) {
    const Mark mark = MarkArchive();
    bool changed = WriteEntryOnce(Index);
    if (changed && !direct_ && s_.Continue) {
      // Whatever was read ahead, this file and the ones after it, is read
      // again after it, in archive order.
      source_ = nullptr;
      pipeline_.Rewind(Index);
      if (!RewindTo(mark)) return;
      if (!EnterSource(Index)) return;  // gone now: no entry at all
      changed = WriteEntryOnce(Index);
    }
    if (!(hasFileList_ && Index == 0)) ++entries_;
    if (changed) s_.ChangedFiles.push_back(selected_[Index]);
  }

  // Writes the entry; true when its file was stored whole but changed
  // while it was read.
  bool WriteEntryOnce(size_t Index) {
    const std::string& path = selected_[Index];
    const bool isFileList = hasFileList_ && Index == 0;
    bool complete = false;
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
      complete = remaining_ <= 0 && s_.Failure.Code == 0;
      if (!isFileList) ++s_.FilesDone;
    } catch (const EArchiveWrite& e) {
      FailWriting(e.SystemError());
    } catch (const EStreamError& e) {
      run_.Fail(beCannotReadFile, path, ReasonOf(e));
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

  Mark MarkArchive() const {
    Mark mark;
    mark.Volume = volumes_.empty() ? 0 : volumes_.size() - 1;
    mark.Position = archive_ != nullptr ? archive_->Position() : 0;
    mark.ArchiveBytes = s_.ArchiveBytes;
    mark.BytesDone = s_.BytesDone;
    mark.FilesDone = s_.FilesDone;
    return mark;
  }

  // Cuts the archive back to Where, dropping the volumes begun since.
  bool RewindTo(const Mark& Where) {
    try {
      if (volumes_.size() > Where.Volume + 1) {
        volume_.Close();  // its bytes go with it
        while (volumes_.size() > Where.Volume + 1) {
          platform::DeleteFile(volumes_.back().Temp);
          volumes_.pop_back();
        }
        volume_.Reopen(volumes_.back().Temp, Where.Position);
      } else {
        volume_.CutAt(Where.Position);
      }
    } catch (const EStreamError& e) {
      FailWriting(e.SystemError());
      return false;
    }
    archive_ = &sink_;
    s_.ArchiveBytes = Where.ArchiveBytes;
    s_.BytesDone = Where.BytesDone;
    s_.FilesDone = Where.FilesDone;
    return true;
  }

  // ---- the data section writer

  void WriteSection() {
    try {
      format::WriteSignature(*archive_);
      s_.ArchiveBytes += 4;
      while (remaining_ > 0 && s_.Continue && RoomForChunk()) WriteChunk();
      format::WriteInt32(*archive_, 0);
      if (remaining_ > 0 && s_.Continue) ChangeVolume();
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

  bool RoomForChunk() const {
    return owner_.MaxSize == 0 ||
           archive_->Position() < static_cast<int64_t>(owner_.MaxSize) - format::kVolumeReserve;
  }

  void WriteChunk() {
    ChunkPipeline::Piece& piece = pipeline_.Next();
    if (piece.ReadFailed) {
      // A read error is no end of file: the stored file would be short.
      run_.Fail(beCannotReadFile, s_.CurrentFile,
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

    if (piece.Result == PieceCompressor::Failed) {
      run_.Fail(beCompression, s_.CurrentFile);
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
    run_.ReportProgress(s_.CurrentFile);
  }

  void ChangeVolume() {
    // A caller's stream is never closed, so it can hold only one volume.
    if (toStream_) {
      FailWriting(0, "a stream holds one volume only");
      return;
    }
    if (volumes_.size() >= static_cast<size_t>(format::kMaxVolumes)) {
      FailWriting(0,
                  "an archive holds at most " + std::to_string(format::kMaxVolumes) + " volumes");
      return;
    }
    const auto next = static_cast<unsigned>(volumes_.size() + 1);
    format::WriteVolumeChange(*archive_, next);
    archive_ = nullptr;
    if (const int error = volume_.Close(); error != 0) {
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
    OpenVolume(name);
  }

  // ---- wind-down

  // The end marker, then the archive closed. The last bytes reach the
  // device only here, so a run is a success only when they did.
  bool Finish() {
    bool result = false;
    if (s_.Continue && archive_ != nullptr) {
      try {
        format::WriteInt32(*archive_, 0);
        // A caller's stream is flushed, never closed.
        if (toStream_) archive_->Flush();
        result = true;
      } catch (const EArchiveWrite& e) {
        FailWriting(e.SystemError());
      }
    }
    selected_ = TStringList();
    archive_ = nullptr;
    if (const int error = volume_.Close(); error != 0) {
      result = false;
      // An earlier failure keeps its own message.
      if (s_.Failure.Code == 0) FailWriting(error);
    }
    if (result && entries_ != s_.FileCount) result = CorrectCount();
    if (!direct_ && result) result = Commit();
    DiscardVolumes();
    if (result) {
      for (const Stored& file : stored_)
        platform::ClearArchiveAttribute(file.Path, file.Size, file.ModifiedNs);
    }
    DeleteTempFile();
    return result;
  }

  // A file that vanished between selection and its turn has no entry, so
  // the header, written first, counts one too many: put right once the
  // rest is written, or the archive would read as one that lost a file.
  // A pipe or a device cannot be taken back; its header keeps the count of
  // the selection, and a reader that finds an entry missing says so.
  bool CorrectCount() {
    try {
      if (toStream_) {
        TStream& stream = *owner_.TargetStream();
        const int64_t end = stream.Position();
        try {
          stream.Seek(countAt_, SeekOrigin::Begin);
        } catch (const EStreamError&) {
          return true;  // it cannot seek
        }
        format::WriteInt32(stream, entries_);
        stream.Seek(end, SeekOrigin::Begin);
      } else if (!direct_) {
        TFileStream first(volumes_.front().Temp, TFileStream::fmOpenWrite, false);
        first.Seek(countAt_, SeekOrigin::Begin);
        format::WriteInt32(first, entries_);
        first.Close();
      } else {
        return true;
      }
    } catch (const EStreamError& e) {
      FailWriting(e.SystemError());
      return false;
    }
    s_.FileCount = entries_;
    return true;
  }

  // Every volume synced first, then renamed over its final name, the
  // first one last: the name a reader opens appears only when the
  // volumes it leads to are all in place.
  bool Commit() {
    for (const Volume& volume : volumes_) {
      if (const int error = platform::SyncFile(volume.Temp); error != 0) {
        FailWriting(error);
        return false;
      }
    }
    for (auto it = volumes_.rbegin(); it != volumes_.rend(); ++it) {
      if (const int error = platform::RenameFile(it->Temp, it->Final); error != 0) {
        FailWriting(error);
        return false;
      }
      it->Temp.clear();
    }
    // Volumes of an older, longer archive would only mislead: they belong
    // to no archive any more.
    for (auto n = static_cast<unsigned>(volumes_.size() + 1);
         n <= static_cast<unsigned>(format::kMaxVolumes); ++n) {
      const std::string stale = format::VolumeName(archiveName_, n);
      if (!platform::FileExists(stale) || !platform::DeleteFile(stale)) break;
    }
    if (const int error = platform::SyncFolderOf(archiveName_); error != 0) {
      FailWriting(error);
      return false;
    }
    return true;
  }

  // Removes whatever volumes were not renamed into place.
  void DiscardVolumes() {
    volume_.Close();
    for (const Volume& volume : volumes_)
      if (!volume.Temp.empty()) platform::DeleteFile(volume.Temp);
    volumes_.clear();
  }

  TBackupFile& owner_;
  RunContext run_;
  RunState& s_;
  const std::string archiveName_;
  const bool toStream_;
  const bool direct_;   // no temporary volumes, nothing to replace
  ArchiveClaim claim_;  // the archive, held until the run is gone

  TStringList selected_;
  std::vector<platform::FileMeasure> measures_;  // beside selected_ until it is measured
  std::string fileIdText_;
  std::string tempName_;
  bool hasFileList_ = false;
  int64_t countAt_ = 0;  // where the header's file count lies in the first volume or stream
  int32_t entries_ = 0;  // file entries written, the file-ID list's not counted

  std::vector<Volume> volumes_;  // of a file archive, in order
  GatheredVolume volume_;        // the last of them, while it is open
  ArchiveSink sink_;
  TStream* archive_ = nullptr;  // where the next archive byte goes: sink_ or null
  std::vector<Stored> stored_;

  SourceFile* source_ = nullptr;  // the file being written, held by the pipeline
  int openError_ = 0;             // why it could not be opened, when it could not
  int64_t remaining_ = 0;

  // Last: its workers stop before anything they could touch is gone.
  ChunkPipeline pipeline_;
};

bool TBackupFile::Backup(const TStringList& Files, const std::string& ArchiveName) {
  BackupRun run(*this, ArchiveName);
  return run.Execute(Files);
}

bool TBackupFile::BackupToStream(const TStringList& Files, TStream* Stream) {
  if (Stream == nullptr) return false;
  targetStream_ = Stream;
  MaxSize = 0;
  try {
    return Backup(Files, kStreamArchiveName);
  } catch (...) {
    return false;
  }
}

}  // namespace kelmora
