// SPDX-License-Identifier: GPL-3.0-or-later
//
// Listing: from the companion's index when the archive has one that fits
// it, every size exact and no data read; otherwise the archive's records
// read front to back with every data section stepped over chunk by chunk,
// so a listing costs the records and the chunk lengths, never an inflate.
// Only the file-ID list, when there is one, is read in full, because it
// holds the sizes the format does not record.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "engine/archive_claim.h"
#include "engine/archive_companion.h"
#include "engine/archive_format.h"
#include "engine/archive_records.h"
#include "engine/file_id_list.h"
#include "engine/run_state.h"
#include "engine/section_reader.h"
#include "engine/volume_chain.h"
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
        // A stream has no later volume to look for.
        chain_(fromStream_ ? VolumeChain(archiveName_, {}) : VolumeChain(archiveName_)),
        each_(Each) {}
  // Every entry with where its record begins, from the records alone.
  ListRun(TBackupFile& Engine, const std::string& ArchiveName, const RecordEvent& Records)
      : ListRun(Engine, ArchiveName, kNoEvent) {
    records_ = &Records;
  }

  bool Run() {
    run_.ClearFailure();
    s_.Continue = true;
    if (fromStream_) {
      reader_ = e_.SourceStream();
      if (reader_ == nullptr) return false;
    } else {
      // A listing of the records is part of a run that holds the archive.
      if (records_ == nullptr && !claim_.Take(run_, archiveName_, false)) {
        e_.MessageError(s_.Failure.Code);
        return false;
      }
      if (!run_.ArchiveThere(archiveName_)) return false;
      Open();
    }
    const format::Header header = format::ReadHeader(*reader_);
    s_.TotalSize = header.TotalSize;
    s_.FileCount = header.FileCount;
    if (!fromStream_ && records_ == nullptr && ListFromIndex()) return s_.Continue;
    int32_t length = 0;
    try {
      do {
        const int64_t at = reader_->Position();
        length = format::ReadInt32(*reader_);
        if (length <= 0) continue;  // negative lengths are passed over, as a restore does
        const std::string name = format::ReadChars(*reader_, length);
        if (format::IsVolumeChangeName(name)) {
          ChangeVolume(name);
        } else {
          Entry(name, at);
        }
      } while (length != 0 && s_.Continue);
    } catch (...) {
      // An entry read to its section's end is shown before the damage that
      // follows it is reported.
      if (entry_ && sectionDone_) Emit();
      throw;
    }
    if (s_.Continue && entry_) Emit();
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

  void Emit() {
    if (records_ != nullptr)
      (*records_)(*entry_, entryAt_, false);
    else
      each_(e_, *entry_);
  }

  void Entry(const std::string& Name, int64_t At) {
    // An entry is handed out once its last chunk is known, which may lie in
    // a later volume.
    if (entry_) Emit();
    // A long listing answers the window, and a stop, every few entries:
    // a window's message loop at every one of 100,000 would cost seconds.
    if (++entries_ % kEntriesBetweenMessages == 0) run_.ProcessMessages();
    entry_.reset();
    EndFileIds();
    entryAt_ = At;
    const int32_t stamp = format::ReadInt32(*reader_);
    if (format::IsFileListName(Name)) {
      if (records_ != nullptr) {
        TArchiveEntry list;
        list.Name = Name;
        list.Stamp = stamp;
        list.Volume = static_cast<uint16_t>(volumeNumber_);
        (*records_)(list, At, true);
      }
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

  // Every entry as the companion's index holds it, when the companion
  // belongs to the archive and every volume is as it was written; false,
  // with a note on the companion, otherwise.
  bool ListFromIndex() {
    ArchiveCompanion companion(archiveName_);
    TCompanionNote note = companion.Open();
    bool usable = note.State == csSound;
    for (unsigned v = 1; usable && v <= companion.Volumes(); ++v) {
      if (companion.VolumeFit(v) == ArchiveCompanion::Fit::Same) continue;
      note = {csMismatched, companion.FileName(),
              "volume " + std::to_string(v) + " is not as it was written"};
      usable = false;
    }
    // Every later volume is told of as a walk through them would, so that
    // a caller counting them sees each one.
    unsigned volume = 1;
    const auto reach = [&](unsigned Volume) {
      while (volume < Volume && s_.Continue) run_.AskForDisk(static_cast<uint16_t>(++volume));
      return s_.Continue;
    };
    // Entries are handed on as they are read, none held: a million of them
    // would otherwise cost the listing a hundred megabytes.
    int64_t handed = 0;
    const auto each = [&](const companion::IndexEntry& e) {
      if (!reach(e.Volume)) return false;
      if ((e.Flags & companion::kFileListEntry) != 0) return true;
      TArchiveEntry entry;
      entry.Name = e.Name;
      entry.Stamp = e.Stamp;
      entry.Volume = e.Volume;
      entry.Chunks = static_cast<int32_t>(e.Chunks);
      entry.Packed = e.Packed;
      entry.Size = e.Size;
      ++handed;
      if (++entries_ % kEntriesBetweenMessages == 0) run_.ProcessMessages();
      each_(e_, entry);
      return s_.Continue;
    };
    run_.NoteCompanion(note);
    if (!usable) return false;
    if (!companion.ForEachIndexEntry(each) && s_.Continue) {
      run_.NoteCompanion({csDamaged, companion.FileName(), "its index cannot be read"});
      // Read through its checksum before the first entry was handed on,
      // the index fails there; one that fails later changed while it was
      // read, and the entries handed on stand.
      if (handed == 0) return false;
    }
    reach(companion.Volumes());
    return true;
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
    // A chain that does not count upwards is no archive: damage must not
    // send the listing round in circles.
    const int number = VolumeChain::NextNumber(Name, volumeNumber_);
    if (number < 0) throw Exception(format::kInvalidArchive);
    volumeNumber_ = number;
    archiveName_ = chain_.Reach(run_, number);
    if (!s_.Continue) return;
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
  VolumeChain chain_;
  static inline const TListEntryEvent kNoEvent;
  const TListEntryEvent& each_;
  const RecordEvent* records_ = nullptr;
  int64_t entryAt_ = 0;
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

bool ListArchiveRecords(TBackupFile& Engine, const std::string& ArchiveName,
                        const RecordEvent& Each) {
  return ListRun(Engine, ArchiveName, Each).Run();
}

bool TBackupFile::ListArchive(const std::string& ArchiveName, const TListEntryEvent& Each) {
  return ListRun(*this, ArchiveName, Each).Run();
}

bool TBackupFile::ListArchiveFromStream(TStream* Stream, const TListEntryEvent& Each) {
  if (Stream == nullptr) return false;
  sourceStream_ = Stream;
  return ListArchive(kStreamArchiveName, Each);
}

}  // namespace kelmora
