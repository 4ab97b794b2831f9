// Backup: selection, measuring, the file-ID list, the header, then every
// file as data sections of independently compressed chunks, split into
// volumes when MaxSize is set. One BackupRun holds the working data of one
// call and is gone when the call returns, whichever way it returns.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/backup_file.h"
#include "engine/chunk_compressor.h"
#include "engine/chunk_pipeline.h"
#include "engine/selection.h"
#include "engine/streams.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// The smallest volume limit at which a fresh volume, holding only a
// section signature, can take a chunk. Below it every volume would end
// empty and the next one too.
constexpr int64_t kSmallestMaxSize = format::kVolumeReserve + 4 + 1;

// Closes a stream and tells whether its last bytes reached the device.
bool CloseStream(std::unique_ptr<TFileStream>& Stream) {
  if (!Stream) return true;
  bool ok = true;
  try {
    Stream->Close();
  } catch (const EStreamError&) {
    ok = false;
  }
  Stream.reset();
  return ok;
}

// A file's state when it was opened, to tell afterwards whether it
// changed while it was read.
struct SourceState {
  int64_t Size = 0;
  int32_t Stamp = -1;
  bool operator==(const SourceState&) const = default;
};

SourceState StateOf(TFileStream& Source) {
  return {Source.Size(), platform::FileTimeOfHandle(Source.Handle())};
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
    volume_.reset();
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
      if (!platform::FileExists(path)) continue;
      // A file that exists but cannot be opened is the caller's to hear
      // about: "Cannot open file <name>" leaves Backup as it is.
      TFileStream source(path, TFileStream::fmOpenRead);
      const int64_t size = source.Size();
      owner_.totalSize_ += size;
      if (owner_.SaveFileID) {
        fileIdText_ += format::FileIdLine(path, platform::FileTimeOfHandle(source.Handle()), size);
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
    if (maxSize < 0 || (maxSize > 0 && maxSize < kSmallestMaxSize)) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    try {
      if (toStream_) {
        if (owner_.targetStream_ == nullptr) throw EStreamError(kStreamWriteError);
        archive_ = owner_.targetStream_;
      } else {
        volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmCreate);
        archive_ = volume_.get();
      }
      format::WriteHeader(*archive_, {owner_.BackupTitle, format::CapTotalSize(owner_.totalSize_),
                                      owner_.fileCount_});
    } catch (const std::exception&) {
      owner_.Fail(beCannotWriteArchive);
    }
  }

  void WriteEntries() {
    for (size_t i = 0; i < selected_.size() && owner_.continue_; ++i) {
      // Files that vanished since selection are skipped without a word.
      if (platform::FileExists(selected_[i])) WriteEntry(i);
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

    SourceState opened;
    bool complete = false;
    try {
      source_ = std::make_unique<TFileStream>(path, TFileStream::fmOpenRead);
      opened = StateOf(*source_);
      format::WriteInt32(*archive_, opened.Stamp);
      remaining_ = opened.Size;
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

    if (owner_.SetArchiveFlag && !isFileList && complete) ClearArchiveFlag(path, opened);
    pipeline_.Reset();
    source_.reset();
  }

  // Only a file whose every byte is in the archive loses its archive
  // attribute: one that failed, was stopped, or changed while it was read
  // must be taken again by the next incremental backup. Its bytes are
  // pushed to the device first, so a full disk cannot leave a file marked
  // as saved whose tail never reached the archive.
  void ClearArchiveFlag(const std::string& Path, const SourceState& Opened) {
    try {
      if (!(StateOf(*source_) == Opened)) return;
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
    if (!CloseStream(volume_)) {
      owner_.Fail(beCannotWriteArchive);
      return;
    }
    owner_.AskForDisk(volumeNumber_);
    if (!owner_.continue_) return;
    const std::string digits = format::VolumeDigits(format::VolumeChangeName(volumeNumber_));
    currentName_ = format::NextVolumeName(currentName_, digits);
    volume_ = std::make_unique<TFileStream>(currentName_, TFileStream::fmCreate);
    archive_ = volume_.get();
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
    if (!CloseStream(volume_)) {
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

  std::unique_ptr<TFileStream> volume_;  // the current volume file, when not a stream
  TStream* archive_ = nullptr;           // where the next archive byte goes
  std::string currentName_;
  uint16_t volumeNumber_ = 1;

  std::unique_ptr<TFileStream> source_;
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
