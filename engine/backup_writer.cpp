// Backup: selection, measuring, the file-ID list, the header, then every
// file as data sections of independently compressed chunks, split into
// volumes when MaxSize is set. One BackupRun holds the working data of one
// call and is gone when the call returns, whichever way it returns.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/backup_file.h"
#include "engine/chunk_compressor.h"
#include "engine/chunk_pipeline.h"
#include "engine/selection.h"
#include "engine/source_file.h"
#include "engine/streams.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// Gathers the records and chunks of a volume file into large writes. The
// file stream's own buffer is sized for small files; for an archive of
// hundreds of megabytes, writing a megabyte at a time costs the system
// markedly less than 64 KiB at a time.
class GatheredVolume : public TStream {
 public:
  // Creates the file from empty. Throws EFOpenError.
  void Open(const std::string& FileName) {
    file_ = std::make_unique<TFileStream>(FileName, TFileStream::fmCreate);
    used_ = 0;
    buffer_.resize(kSize);
  }
  bool IsOpen() const { return file_ != nullptr; }

  // Closes the file and tells whether every byte reached the device.
  bool Close() {
    if (!file_) return true;
    bool ok = true;
    try {
      Drain();
      file_->Close();
    } catch (const EStreamError&) {
      ok = false;
    }
    file_.reset();
    used_ = 0;
    return ok;
  }

  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  size_t Write(const void* Buffer, size_t Count) override {
    if (used_ + Count > buffer_.size()) Drain();
    if (Count >= buffer_.size()) {
      file_->WriteBuffer(Buffer, Count);
    } else {
      std::memcpy(buffer_.data() + used_, Buffer, Count);
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
    file_->WriteBuffer(buffer_.data(), pending);
  }

  static constexpr size_t kSize = size_t{1} << 20;
  std::vector<unsigned char> buffer_;
  size_t used_ = 0;
  std::unique_ptr<TFileStream> file_;
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

}  // namespace

class BackupRun {
 public:
  BackupRun(TBackupFile& Owner, const std::string& ArchiveName)
      : owner_(Owner),
        archiveName_(ArchiveName),
        toStream_(ArchiveName == kStreamArchiveName),
        // Stored pieces cost next to nothing; threads would only add work.
        pipeline_(ZlibLevel(Owner.CompressionLevel),
                  Owner.CompressionLevel == clNone ? 0 : CompressionThreads() - 1) {}

  // An exception passing out still closes every file this run opened and
  // removes the temporary file.
  ~BackupRun() {
    source_.reset();
    volume_.Close();
    DeleteTempFile();
  }

  BackupRun(const BackupRun&) = delete;
  BackupRun& operator=(const BackupRun&) = delete;

  bool Execute(const TStringList& Files) {
    struct BusyGuard {
      TBackupFile& owner;
      ~BusyGuard() { owner.busy_ = false; }
    } busy{owner_};
    owner_.errorCode_ = 0;
    owner_.busy_ = true;

    SelectSourceFiles(Files, archiveName_, owner_.GetBackupMode(), selected_);
    owner_.continue_ = true;
    owner_.ReportProgress("", 0);

    MeasureFiles();
    if (owner_.SaveFileID) SaveFileIdList();
    WriteHeader();
    WriteEntries();
    const bool result = Finish();

    owner_.ReportProgress("", 100);
    owner_.busy_ = false;
    if (owner_.errorCode_ != 0) owner_.MessageError(owner_.errorCode_);
    return result;
  }

 private:
  // ---- before the archive

  void MeasureFiles() {
    owner_.totalSize_ = 0;
    owner_.filesDone_ = 0;
    for (const std::string& path : selected_) {
      // A file that exists but cannot be opened is the caller's to hear
      // about: "Cannot open file <name>" leaves Backup as it is.
      const auto source = OpenSelected(path);
      if (!source) continue;
      const int64_t size = source->Size();
      owner_.totalSize_ += size;
      if (owner_.SaveFileID) {
        fileIdText_ += format::FileIdLine(path, source->Stamp(), size);
        fileIdText_ += "\r\n";
      }
    }
  }

  void SaveFileIdList() {
    tempName_ = platform::CreateTempFile(format::kTempFilePrefix);
    try {
      if (tempName_.empty()) throw EStreamError(kStreamWriteError);
      TFileStream list(tempName_, TFileStream::fmCreate);
      list.WriteBuffer(fileIdText_.data(), fileIdText_.size());
      list.Close();
    } catch (const EStreamError&) {
      owner_.Fail(beTempFile);
      return;
    }
    selected_.insert(selected_.begin(), tempName_);
    hasFileList_ = true;
    owner_.totalSize_ += static_cast<int64_t>(fileIdText_.size());
    fileIdText_ = std::string();
  }

  void DeleteTempFile() {
    if (!tempName_.empty() && platform::FileExists(tempName_)) platform::DeleteFile(tempName_);
    tempName_.clear();
  }

  // ---- the archive

  // Taken even after a stop at the first progress event, so the archive
  // is created (and an older one of that name replaced) in every run
  // that gets this far.
  void WriteHeader() {
    volumeNumber_ = 1;
    currentName_ = archiveName_;
    owner_.fileCount_ = static_cast<int32_t>(selected_.size() - (hasFileList_ ? 1 : 0));
    owner_.bytesDone_ = 0;
    owner_.archiveBytes_ = 0;
    // Refused before anything is created: such a limit could never be
    // kept, and a negative one would never let a chunk in.
    const int64_t maxSize = owner_.MaxSize;
    if (maxSize < 0 || (maxSize > 0 && maxSize < format::kSmallestMaxSize)) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    try {
      if (toStream_) {
        if (owner_.targetStream_ == nullptr) throw EStreamError(kStreamWriteError);
        archive_ = owner_.targetStream_;
      } else {
        volume_.Open(archiveName_);
        archive_ = &volume_;
      }
      format::WriteHeader(*archive_, {owner_.BackupTitle, format::CapTotalSize(owner_.totalSize_),
                                      owner_.fileCount_});
    } catch (const std::exception&) {
      owner_.Fail(beCannotWriteArchive);
    }
  }

  void WriteEntries() {
    for (size_t i = 0; i < selected_.size() && owner_.continue_; ++i) {
      source_.reset();
      try {
        source_ = OpenSelected(selected_[i]);
        if (!source_) continue;  // vanished since selection
      } catch (const EFOpenError&) {
        // Still there but closed to us: its entry gets a name and no data.
      }
      WriteEntry(i);
    }
  }

  void WriteEntry(size_t Index) {
    const std::string& path = selected_[Index];
    const bool isFileList = hasFileList_ && Index == 0;
    // A failing name write is not turned into a code: it leaves Backup.
    format::WriteString(*archive_, isFileList ? std::string(format::kFileListName) : path);
    // The name is stored as the selection found it, untrimmed: on Linux a
    // blank at either end is part of the name.
    owner_.currentFile_ = path;

    bool complete = false;
    try {
      if (!source_) throw EFOpenError("Cannot open file " + path);
      format::WriteInt32(*archive_, source_->Stamp());
      remaining_ = source_->Size();
      shrunk_ = false;
      pipeline_.Start(*source_, remaining_);
      while (owner_.continue_) {
        WriteSection();
        if (remaining_ <= 0) break;
      }
      complete = remaining_ <= 0 && !shrunk_ && owner_.errorCode_ == 0;
      if (!isFileList) ++owner_.filesDone_;
    } catch (const std::exception&) {
      owner_.Fail(beCannotReadFile);
    }

    if (owner_.SetArchiveFlag && !isFileList && complete) ClearArchiveFlag(path);
    pipeline_.Reset();
    source_.reset();
  }

  // Only a file whose every byte is in the archive loses its archive
  // attribute: one that failed, was stopped, or changed while it was read
  // must be taken again by the next incremental backup. Its bytes are
  // pushed to the device first, so a full disk cannot leave a file marked
  // as saved whose tail never reached the archive.
  void ClearArchiveFlag(const std::string& Path) {
    try {
      if (!source_->Unchanged()) return;
      archive_->Flush();
    } catch (const std::exception&) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    platform::ClearArchiveAttribute(Path);
  }

  // ---- the data section writer

  void WriteSection() {
    try {
      format::WriteSignature(*archive_);
      owner_.archiveBytes_ += 4;
      while (remaining_ > 0 && owner_.continue_ && RoomForChunk()) WriteChunk();
      format::WriteInt32(*archive_, 0);
      if (remaining_ > 0 && owner_.continue_) ChangeVolume();
    } catch (...) {
      // Archive writes, the next volume, and the caller's own handlers
      // raised from in here all count as a failure to write the archive.
      owner_.Fail(beCannotWriteArchive);
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
      owner_.Fail(beCannotReadFile);
      return;
    }
    if (piece.Size == 0) {
      // The file shrank after it was opened: what was there is stored.
      shrunk_ = true;
      remaining_ = 0;
      return;
    }
    const auto n = static_cast<int64_t>(piece.Size);
    remaining_ -= n;
    owner_.bytesDone_ += n;

    if (piece.Result == ChunkCompressor::Failed) {
      owner_.Fail(beCompression);
    } else if (piece.Result == ChunkCompressor::Compressed) {
      format::WriteInt32(*archive_, static_cast<int32_t>(piece.Packed));
      archive_->WriteBuffer(piece.Out.data(), piece.Packed);
      owner_.archiveBytes_ += 4 + static_cast<int64_t>(piece.Packed);
    } else {
      format::WriteInt32(*archive_, -static_cast<int32_t>(n));
      archive_->WriteBuffer(piece.In.data(), piece.Size);
      owner_.archiveBytes_ += 4 + n;
    }
    pipeline_.Release();

    owner_.ProcessMessages();
    owner_.ReportProgress(owner_.currentFile_);
  }

  void ChangeVolume() {
    // A caller's stream is never closed, so it can hold only one volume.
    if (toStream_ || volumeNumber_ >= format::kMaxVolumes) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    ++volumeNumber_;
    format::WriteVolumeChange(*archive_, volumeNumber_);
    archive_ = nullptr;
    if (!volume_.Close()) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    owner_.AskForDisk(volumeNumber_);
    if (!owner_.continue_) return;
    const std::string digits = format::VolumeDigits(format::VolumeChangeName(volumeNumber_));
    currentName_ = format::NextVolumeName(currentName_, digits);
    // An archive named like a later volume (x.003) would be created over
    // its own first volume, header and all.
    if (currentName_ == archiveName_) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    volume_.Open(currentName_);
    archive_ = &volume_;
  }

  // ---- wind-down

  // The end marker, then the archive closed. The last bytes reach the
  // device only here, so a run is a success only when they did.
  bool Finish() {
    bool result = false;
    if (owner_.continue_ && archive_ != nullptr) {
      try {
        format::WriteInt32(*archive_, 0);
        // A caller's stream is flushed, never closed.
        if (toStream_) archive_->Flush();
        result = true;
      } catch (const std::exception&) {
        owner_.Fail(beCannotWriteArchive);
      }
    }
    selected_ = TStringList();
    archive_ = nullptr;
    if (!volume_.Close()) {
      result = false;
      // An earlier failure keeps its own message.
      if (owner_.errorCode_ == 0) owner_.Fail(beCannotWriteArchive);
    }
    DeleteTempFile();
    return result;
  }

  TBackupFile& owner_;
  const std::string archiveName_;
  const bool toStream_;

  TStringList selected_;
  std::string fileIdText_;
  std::string tempName_;
  bool hasFileList_ = false;

  GatheredVolume volume_;       // the current volume file, when not a stream
  TStream* archive_ = nullptr;  // where the next archive byte goes
  std::string currentName_;
  uint16_t volumeNumber_ = 1;

  std::unique_ptr<SourceFile> source_;
  int64_t remaining_ = 0;
  bool shrunk_ = false;

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
