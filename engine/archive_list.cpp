// Listing: the archive's records read front to back with every data section
// stepped over chunk by chunk, so a listing costs the records and the chunk
// lengths, never an inflate. Only the file-ID list, when there is one, is
// read in full, because it holds the sizes the format does not record.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/file_id_list.h"
#include "engine/run_state.h"
#include "engine/section_reader.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

class ListRun {
 public:
  ListRun(TBackupFile& Engine, const std::string& ArchiveName, const TListEntryEvent& Each)
      : e_(Engine),
        run_(Engine),
        s_(run_.State()),
        // A linked archive's volumes lie beside the link's target.
        archiveName_(ArchiveName == kStreamArchiveName ? ArchiveName
                                                       : platform::LinkTarget(ArchiveName)),
        fromStream_(ArchiveName == kStreamArchiveName),
        each_(Each) {}

  bool Run() {
    run_.ClearFailure();
    s_.Continue = true;
    if (fromStream_) {
      reader_ = e_.SourceStream();
      if (reader_ == nullptr) return false;
    } else {
      if (!claim_.Take(run_, archiveName_, false)) {
        e_.MessageError(s_.Failure.Code);
        return false;
      }
      if (!platform::FileExists(archiveName_)) return false;
      Open();
    }
    const format::Header header = format::ReadHeader(*reader_);
    s_.TotalSize = header.TotalSize;
    s_.FileCount = header.FileCount;
    int32_t length = 0;
    try {
      do {
        length = format::ReadInt32(*reader_);
        if (length <= 0) continue;  // negative lengths are passed over, as a restore does
        const std::string name = format::ReadChars(*reader_, length);
        if (format::IsVolumeChangeName(name)) {
          ChangeVolume(name);
        } else {
          Entry(name);
        }
      } while (length != 0 && s_.Continue);
    } catch (...) {
      // An entry read to its section's end is shown before the damage that
      // follows it is reported.
      if (entry_ && sectionDone_) each_(e_, *entry_);
      throw;
    }
    if (s_.Continue && entry_) each_(e_, *entry_);
    return s_.Continue;
  }

 private:
  void Open() {
    try {
      volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmOpenRead);
    } catch (const EStreamError& e) {
      throw EStreamError("Cannot read archive", e.SystemError());
    }
    reader_ = volume_.get();
  }

  void Entry(const std::string& Name) {
    // An entry is handed out once its last chunk is known, which may lie in
    // a later volume.
    if (entry_) each_(e_, *entry_);
    // A long listing answers the window, and a stop, every few entries:
    // a window's message loop at every one of 100,000 would cost seconds.
    if (++entries_ % kEntriesBetweenMessages == 0) run_.ProcessMessages();
    entry_.reset();
    EndFileIds();
    const int32_t stamp = format::ReadInt32(*reader_);
    if (format::IsFileListName(Name)) {
      list_ = std::make_unique<FileIdListSink>([this](std::string&& Line) {
        format::FileIdEntry entry;
        if (format::ParseFileIdLine(Line, entry)) sizes_[std::move(entry.Path)] = entry.Size;
      });
      ReadFileIds();
      return;
    }
    entry_ = std::make_unique<TArchiveEntry>();
    entry_->Name = Name;
    entry_->Stamp = stamp;
    entry_->Volume = static_cast<uint16_t>(volumeNumber_);
    allStored_ = true;
    StepOver();
  }

  // Chunk lengths summed, chunk bytes skipped.
  void StepOver() {
    sectionDone_ = false;
    format::ReadSignature(*reader_);
    for (;;) {
      const int32_t length = format::ReadChunkLength(*reader_);
      if (length == 0) break;
      const int64_t bytes = length < 0 ? -static_cast<int64_t>(length) : length;
      reader_->Skip(bytes);
      if (entry_) {
        ++entry_->Chunks;
        entry_->Packed += bytes;
        allStored_ = allStored_ && length < 0;
      }
    }
    if (entry_) {
      const auto known = sizes_.find(entry_->Name);
      if (known != sizes_.end())
        entry_->Size = known->second;
      else
        entry_->Size = allStored_ ? entry_->Packed : -1;
    }
    sectionDone_ = true;
  }

  // One section of the file-ID list (the writer may split it over
  // volumes), its lines parsed as they are inflated. A list beyond the
  // bounds is damage: the rest of it is stepped over and it gives no size.
  void ReadFileIds() {
    const int64_t at = reader_->Position();
    try {
      SectionReader(run_).Read(*reader_, list_.get(), true);
    } catch (const FileIdListTooLarge& e) {
      SkipRestOfSection(*reader_);
      DropFileIds();
      run_.ReportDamage(
          {format::kFileListName, static_cast<uint16_t>(volumeNumber_), at, e.what()});
      return;
    }
    // A damaged list only costs the sizes it would have given.
    if (s_.Failure.Code != beNone) {
      run_.ClearFailure();
      DropFileIds();
    }
  }

  // The list's last line, once no section of it can follow.
  void EndFileIds() {
    if (!list_) return;
    try {
      list_->Finish();
    } catch (const FileIdListTooLarge& e) {
      DropFileIds();
      run_.ReportDamage({format::kFileListName, static_cast<uint16_t>(volumeNumber_),
                         reader_->Position(), e.what()});
    }
    list_.reset();
  }

  void DropFileIds() {
    list_.reset();
    sizes_.clear();
  }

  void ChangeVolume(const std::string& Name) {
    if (fromStream_) {
      // A stream holds one volume; what follows is elsewhere.
      run_.Fail(beCannotReadArchive, kStreamArchiveName, "a stream holds one volume only");
      e_.MessageError(beCannotReadArchive);
      return;
    }
    volume_.reset();
    reader_ = nullptr;
    if (!run_.FindNextVolume(Name, volumeNumber_, archiveName_)) return;
    Open();
    // The entry cut by the volume change goes on in a section of its own.
    if (list_)
      ReadFileIds();
    else
      StepOver();
  }

  static constexpr uint32_t kEntriesBetweenMessages = 64;

  TBackupFile& e_;
  RunContext run_;
  RunState& s_;
  std::string archiveName_;
  const bool fromStream_;
  const TListEntryEvent& each_;
  ArchiveClaim claim_;
  std::unique_ptr<TFileStream> volume_;
  TStream* reader_ = nullptr;
  int volumeNumber_ = 1;
  std::unique_ptr<TArchiveEntry> entry_;
  bool allStored_ = true;
  bool sectionDone_ = false;
  std::unique_ptr<FileIdListSink> list_;  // while the file-ID list is read
  uint32_t entries_ = 0;
  std::map<std::string, int64_t> sizes_;
};

bool TBackupFile::ListArchive(const std::string& ArchiveName, const TListEntryEvent& Each) {
  return ListRun(*this, ArchiveName, Each).Run();
}

bool TBackupFile::ListArchiveFromStream(TStream* Stream, const TListEntryEvent& Each) {
  if (Stream == nullptr) return false;
  sourceStream_ = Stream;
  return ListArchive(kStreamArchiveName, Each);
}

}  // namespace kelmora
