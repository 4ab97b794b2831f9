// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/archive_companion.h"

#include <algorithm>

#include "engine/archive_format.h"
#include "engine/companion/erasure_code.h"
#include "kelmora/helpers.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// A section larger than this is damage, not an index any archive needs
// (two million entries of long names stay well below it).
constexpr size_t kSectionLimit = size_t{512} << 20;

}  // namespace

ArchiveCompanion::ArchiveCompanion(const std::string& First)
    : name_(CompanionFileName(First)), source_(platform::LinkTarget(First)) {}

TCompanionNote ArchiveCompanion::Open() {
  TCompanionNote note{csMissing, name_, {}};
  if (!platform::FileExists(name_)) {
    state_ = note.State;
    return note;
  }
  note.State = csDamaged;
  try {
    stream_ = std::make_unique<TFileStream>(name_, TFileStream::fmOpenRead);
  } catch (const EStreamError& e) {
    openError_ = e.SystemError();
    note.Reason = e.SystemError() != 0 ? platform::ErrorText(e.SystemError()) : e.what();
    state_ = note.State;
    return note;
  }
  reader_ = std::make_unique<companion::CompanionReader>(*stream_);
  switch (reader_->Open()) {
    case companion::CompanionState::Sound:
      break;
    case companion::CompanionState::NewerVersion:
      note.State = csNewer;
      [[fallthrough]];
    default:
      note.Reason = reader_->Problem();
      state_ = note.State;
      return note;
  }
  if (!companion::LoadChecksums(*reader_, table_, note.Reason)) {
    state_ = note.State;
    return note;
  }
  fits_.assign(table_.Identity.Volumes.size(), -1);
  const companion::BlockMap map(table_.Sizes(), table_.Identity.BlockSize);
  const int64_t size = source_.Size(1);
  const uint64_t blocks = map.Volumes() > 1 ? map.FirstBlockOf(2) : map.Blocks();
  // Damage at one end still leaves the other; damage at both, the blocks
  // between.
  const bool known =
      size >= 0 && blocks > 0 &&
      (BlockAsWritten(0) || (size == map.VolumeSize(1) && BlockAsWritten(blocks - 1)) ||
       !NoBlockAsWritten(0, blocks));
  if (!known) {
    note.State = csMismatched;
    note.Reason = size < 0 ? "the archive cannot be read"
                           : "it was written for another archive, or the archive was written "
                             "again without it";
    state_ = note.State;
    return note;
  }
  state_ = note.State = csSound;
  return note;
}

bool ArchiveCompanion::BlockAsWritten(uint64_t Block) {
  const uint32_t size = table_.Identity.BlockSize;
  const companion::BlockMap map(table_.Sizes(), size);
  std::vector<uint8_t> bytes(size);
  std::vector<uint8_t> readable;
  std::vector<uint32_t> crc;
  map.Read(source_, Block, 1, bytes.data(), readable);
  return readable[0] && companion::ReadChecksums(*reader_, table_, Block, 1, crc) &&
         companion::Crc32c(0, bytes.data(), size) == crc[0];
}

bool ArchiveCompanion::NoBlockAsWritten(uint64_t First, uint64_t End) {
  const uint32_t size = table_.Identity.BlockSize;
  const companion::BlockMap map(table_.Sizes(), size);
  constexpr uint64_t kAtOnce = 256;
  std::vector<uint8_t> blocks(kAtOnce * size);
  std::vector<uint8_t> readable;
  std::vector<uint32_t> crcs;
  for (uint64_t b = First; b < End; b += kAtOnce) {
    const uint64_t count = std::min(kAtOnce, End - b);
    if (!companion::ReadChecksums(*reader_, table_, b, count, crcs)) return false;
    map.Read(source_, b, count, blocks.data(), readable);
    for (uint64_t i = 0; i < count; ++i)
      if (readable[i] && companion::Crc32c(0, blocks.data() + i * size, size) == crcs[i])
        return false;
  }
  return true;
}

ArchiveCompanion::Fit ArchiveCompanion::VolumeFit(unsigned Volume) {
  if (!Usable() || Volume == 0 || Volume > Volumes()) return Fit::Missing;
  int8_t& known = fits_[Volume - 1];
  if (known >= 0) return static_cast<Fit>(known);
  const companion::BlockMap map(table_.Sizes(), table_.Identity.BlockSize);
  const int64_t found = source_.Size(Volume);
  const uint64_t first = map.FirstBlockOf(Volume);
  const uint64_t end = Volume < map.Volumes() ? map.FirstBlockOf(Volume + 1) : map.Blocks();
  Fit fit = Fit::Missing;
  if (found >= 0) {
    // Its first, middle and last blocks: damage seldom takes all three.
    std::vector<uint64_t> looked;
    if (end > first)
      for (const uint64_t b : {first, first + (end - first) / 2, end - 1})
        if (std::find(looked.begin(), looked.end(), b) == looked.end()) looked.push_back(b);
    size_t same = 0;
    for (const uint64_t b : looked) same += BlockAsWritten(b) ? 1 : 0;
    if (!looked.empty() && same == 0 && NoBlockAsWritten(first, end))
      fit = Fit::Foreign;
    else if (found == map.VolumeSize(Volume) && same == looked.size())
      fit = Fit::Same;
    else
      fit = Fit::Changed;
  }
  known = static_cast<int8_t>(fit);
  return fit;
}

std::string ArchiveCompanion::ForeignReason(unsigned Volume) {
  if (VolumeFit(Volume) != Fit::Foreign) return {};
  return "volume " + std::to_string(Volume) +
         " is not this archive's: none of its blocks looked at is as the companion " + name_ +
         " recorded (another archive's volume under its name, or overwritten)";
}

const std::vector<companion::IndexEntry>* ArchiveCompanion::Index() {
  if (!indexRead_ && Usable()) {
    indexRead_ = true;
    const companion::SectionInfo* section = reader_->Find(companion::kIndexSection);
    auto entries = std::make_unique<std::vector<companion::IndexEntry>>();
    // Decoded as it is read: a million entries' bytes are never held
    // beside the entries made of them.
    if (section != nullptr && static_cast<uint64_t>(section->Length) <= kSectionLimit) {
      companion::IndexDecoder decoder(*entries, static_cast<uint64_t>(section->Length));
      if (reader_->ReadBodyInPieces(*section,
                                    [&decoder](const uint8_t* Bytes, size_t Count) {
                                      return decoder.Take(Bytes, Count);
                                    }) &&
          decoder.Finish())
        index_ = std::move(entries);
    }
  }
  return index_.get();
}

int ArchiveCompanion::ReadError() const {
  if (openError_ != 0) return openError_;
  if (reader_ && reader_->ReadError() != 0) return reader_->ReadError();
  return source_.DeviceError();
}

const companion::MetadataByName* ArchiveCompanion::Metadata() {
  if (!metadataRead_ && Usable()) {
    metadataRead_ = true;
    const companion::SectionInfo* found = reader_->Find(companion::kMetadataSection);
    if (found != nullptr && static_cast<uint64_t>(found->Length) <= kSectionLimit) {
      const companion::SectionInfo section = *found;
      companion::CompanionReader& reader = *reader_;
      metadata_ = companion::MetadataByName::Read(
          [&reader, section](const std::function<bool(const uint8_t*, size_t)>& Take) {
            return reader.ReadBodyInPieces(section, Take);
          },
          static_cast<uint64_t>(section.Length),
          [&reader, section](uint64_t Offset, void* Bytes, size_t Count) {
            return reader.ReadAt(section, static_cast<int64_t>(Offset), Bytes, Count);
          });
    }
  }
  return metadata_.get();
}

bool ArchiveCompanion::ForEachIndexEntry(
    const std::function<bool(const companion::IndexEntry&)>& Each) {
  if (!Usable()) return false;
  const companion::SectionInfo* found = reader_->Find(companion::kIndexSection);
  if (found == nullptr || static_cast<uint64_t>(found->Length) > kSectionLimit) return false;
  const companion::SectionInfo section = *found;
  // Its checksum is known only at its end: nothing is handed on from a
  // body that turns out damaged.
  if (!reader_->VerifyBody(section)) return false;
  companion::IndexDecoder decoder(
      [&Each](companion::IndexEntry&& Entry) { return Each(Entry); },
      static_cast<uint64_t>(section.Length));
  return reader_->ReadBodyInPieces(section,
                                   [&decoder](const uint8_t* Bytes, size_t Count) {
                                     return decoder.Take(Bytes, Count);
                                   }) &&
         decoder.Finish();
}

void ReportForeignVolume(RunContext& Run, ArchiveCompanion& Companion, unsigned Volume) {
  const std::string reason = Companion.ForeignReason(Volume);
  Run.ReportDamage({"", static_cast<uint16_t>(Volume), 0, reason});
  const std::vector<companion::IndexEntry>* index = Companion.Index();
  if (index == nullptr) return;
  for (const companion::IndexEntry& entry : *index) {
    if (entry.Volume != Volume || (entry.Flags & companion::kFileListEntry) != 0) continue;
    Run.ReportDamage(
        {entry.Name, entry.Volume, entry.Offset,
         "its entry lies in volume " + std::to_string(Volume) + ", which is not this archive's"});
  }
}

}  // namespace kelmora
