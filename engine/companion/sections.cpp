// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/sections.h"

#include <algorithm>
#include <cerrno>

#include "engine/archive_format.h"
#include "engine/companion/container.h"
#include "kelmora/streams.h"
#include "platform/platform.h"

namespace kelmora::companion {

namespace {

constexpr size_t kIndexFixed = 2 + 2 + 8 + 8 + 8 + 4 + 4 + 4;
constexpr size_t kMetadataFixed = 1 + 1 + 2 + 4 + 4 + 4 + 8 + 4 + 4 + 4 + 2 + 2 + 4;
constexpr uint64_t kMaxOwnerName = 255;

}  // namespace

bool IsBlockSize(uint64_t Bytes) {
  return Bytes >= 512 && Bytes <= 16384 && (Bytes & (Bytes - 1)) == 0;
}

int64_t BlocksOf(int64_t Size, uint32_t BlockSize) {
  return Size <= 0 ? 0 : (Size - 1) / BlockSize + 1;
}

std::string EncodeIdentity(const ArchiveIdentity& Identity) {
  ByteWriter w;
  w.Int<uint32_t>(Identity.BlockSize);
  w.Int<uint32_t>(static_cast<uint32_t>(Identity.Volumes.size()));
  for (const VolumeIdentity& v : Identity.Volumes) {
    w.Int<uint64_t>(static_cast<uint64_t>(v.Size));
    w.Int<uint32_t>(v.Crc);
    w.Int<uint32_t>(0);
  }
  return w.Text();
}

bool DecodeIdentity(const std::string& Body, ArchiveIdentity& Identity) {
  Identity = ArchiveIdentity();
  ByteReader r(Body);
  uint32_t count = 0;
  if (!r.Int(Identity.BlockSize) || !r.Int(count) || !IsBlockSize(Identity.BlockSize) ||
      count == 0 || count > static_cast<uint32_t>(format::kMaxVolumes) ||
      r.Remaining() != static_cast<size_t>(count) * 16)
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t size = 0;
    uint32_t crc = 0;
    r.Int(size);
    r.Int(crc);
    r.Skip(4);
    // A volume beyond 2^50 bytes is no volume anyone wrote.
    if (size > (uint64_t{1} << 50)) return false;
    Identity.Volumes.push_back(VolumeIdentity{static_cast<int64_t>(size), crc});
  }
  return true;
}

SectionBody::~SectionBody() {
  if (spillName_.empty()) return;
  spill_.Close();
  platform::DeleteFile(spillName_);
}

void SectionBody::Append(const std::string& Entry) {
  constexpr size_t kPiece = size_t{1} << 20;
  // Full pieces beyond these go to the spill file.
  constexpr size_t kPiecesKept = 2;
  if (pieces_.empty() || pieces_.back().size() + Entry.size() > pieces_.back().capacity()) {
    if (pieces_.size() >= kPiecesKept && open_ && !spillFailed_) Spill();
    pieces_.emplace_back();
    pieces_.back().reserve(std::max(kPiece, Entry.size()));
  }
  pieces_.back() += Entry;
  size_ += static_cast<int64_t>(Entry.size());
  ++count_;
}

void SectionBody::Spill() {
  if (!spill_.Valid()) {
    spill_ = open_(spillName_);
    if (!spill_.Valid()) {
      spillFailed_ = true;
      return;
    }
  }
  size_t written = 0;
  for (; written < pieces_.size(); ++written) {
    // A piece written in part counts for nothing: the next one, and the
    // read back, go by spilled_ alone.
    if (spill_.Seek(spilled_, platform::SeekFrom::Begin) != spilled_ ||
        !spill_.Write(pieces_[written].data(), pieces_[written].size())) {
      spillFailed_ = true;
      break;
    }
    spilled_ += static_cast<int64_t>(pieces_[written].size());
  }
  pieces_.erase(pieces_.begin(), pieces_.begin() + static_cast<std::ptrdiff_t>(written));
}

void SectionBody::WriteTo(const std::function<void(const void*, size_t)>& Write) const {
  unsigned char count[4];
  for (int i = 0; i < 4; ++i) count[i] = static_cast<unsigned char>(count_ >> (8 * i));
  Write(count, sizeof count);
  if (spilled_ > 0) {
    // spill_ is only read here, once the body is complete.
    platform::File& spill = const_cast<platform::File&>(spill_);
    std::vector<char> buffer(size_t{1} << 20);
    if (spill.Seek(0, platform::SeekFrom::Begin) != 0)
      throw EStreamError(kStreamReadError, spill.LastError());
    for (int64_t done = 0; done < spilled_;) {
      const size_t want = static_cast<size_t>(
          std::min<int64_t>(static_cast<int64_t>(buffer.size()), spilled_ - done));
      const int64_t got = spill.Read(buffer.data(), want);
      if (got <= 0) throw EStreamError(kStreamReadError, got < 0 ? spill.LastError() : EIO);
      Write(buffer.data(), static_cast<size_t>(got));
      done += got;
    }
  }
  for (const std::string& piece : pieces_) Write(piece.data(), piece.size());
}

std::string SectionBody::Text() const {
  std::string text;
  text.reserve(static_cast<size_t>(size_));
  WriteTo([&text](const void* Bytes, size_t Count) {
    text.append(static_cast<const char*>(Bytes), Count);
  });
  return text;
}

void SectionBody::Add(const IndexEntry& e) {
  ByteWriter w;
  w.Int<uint32_t>(static_cast<uint32_t>(kIndexFixed + e.Name.size()));
  w.Int<uint16_t>(e.Volume);
  w.Int<uint16_t>(e.Flags);
  w.Int<uint64_t>(static_cast<uint64_t>(e.Offset));
  w.Int<int64_t>(e.Size);
  w.Int<int64_t>(e.Packed);
  w.Int<uint32_t>(e.Chunks);
  w.Int<int32_t>(e.Stamp);
  w.Int<uint32_t>(static_cast<uint32_t>(e.Name.size()));
  w.Bytes(e.Name);
  Append(w.Text());
}

std::string EncodeIndex(const std::vector<IndexEntry>& Entries) {
  SectionBody body;
  for (const IndexEntry& e : Entries) body.Add(e);
  return body.Text();
}

RecordFrames::RecordFrames(uint64_t BodySize, size_t FixedPart, Each OnRecord)
    : size_(BodySize), fixed_(FixedPart), each_(std::move(OnRecord)), left_(BodySize) {}

bool RecordFrames::Take(const void* Bytes, size_t Count) {
  if (failed_) return false;
  const auto* at = static_cast<const char*>(Bytes);
  const char* const end = at + Count;
  while (at < end) {
    // What a record (or the count) still lacks is gathered first; whole
    // records in the piece are read where they lie.
    size_t need = (!counted_ || carry_.size() < 4) ? 4 : 4 + ReadLength(carry_.data());
    if (carry_.empty() && counted_ && end - at >= 4 &&
        static_cast<size_t>(end - at) >= 4 + ReadLength(at)) {
      const uint32_t length = ReadLength(at);
      if (!Record(at + 4, length)) return Fail();
      at += 4 + length;
      continue;
    }
    const size_t take = std::min(need - carry_.size(), static_cast<size_t>(end - at));
    carry_.append(at, take);
    at += take;
    if (carry_.size() < need) continue;
    if (!counted_) {
      // Every record takes at least its fixed part, so the count is
      // checked against the bytes before anything is made of it.
      const uint32_t count = ReadLength(carry_.data());
      if (left_ < 4) return Fail();
      left_ -= 4;
      if (count > left_ / (4 + fixed_)) return Fail();
      counted_ = true;
      count_ = count;
      carry_.clear();
      continue;
    }
    need = 4 + ReadLength(carry_.data());
    if (need > 4 + left_) return Fail();
    if (carry_.size() < need) continue;
    if (!Record(carry_.data() + 4, ReadLength(carry_.data()))) return Fail();
    carry_.clear();
  }
  return true;
}

bool RecordFrames::Finish() {
  if (failed_ || !counted_ || !carry_.empty() || seen_ != count_ || left_ != 0) return Fail();
  return true;
}

uint32_t RecordFrames::ReadLength(const char* At) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(At[i])) << (8 * i);
  return value;
}

bool RecordFrames::Record(const char* Bytes, uint32_t Length) {
  if (seen_ >= count_ || uint64_t{4} + Length > left_) return false;
  const uint64_t at = size_ - left_;
  left_ -= 4 + uint64_t{Length};
  ++seen_;
  return each_(Bytes, Length, at);
}

bool RecordFrames::Fail() {
  failed_ = true;
  return false;
}

IndexDecoder::IndexDecoder(std::vector<IndexEntry>& Entries, uint64_t BodySize)
    : entries_(&Entries),
      frames_(BodySize, kIndexFixed, [this](const char* Bytes, uint32_t Length, uint64_t) {
        return Entry(Bytes, Length);
      }) {
  entries_->clear();
}

IndexDecoder::IndexDecoder(std::function<bool(IndexEntry&&)> Each, uint64_t BodySize)
    : each_(std::move(Each)),
      frames_(BodySize, kIndexFixed, [this](const char* Bytes, uint32_t Length, uint64_t) {
        return Entry(Bytes, Length);
      }) {}

bool IndexDecoder::Take(const void* Bytes, size_t Count) {
  if (frames_.Take(Bytes, Count)) return true;
  if (entries_ != nullptr) entries_->clear();
  return false;
}

bool IndexDecoder::Finish() {
  if (frames_.Finish()) return true;
  if (entries_ != nullptr) entries_->clear();
  return false;
}

bool IndexDecoder::Entry(const char* Bytes, uint32_t Length) {
  ByteReader r(Bytes, Length);
  IndexEntry e;
  uint64_t offset = 0;
  uint32_t nameLength = 0;
  r.Int(e.Volume);
  r.Int(e.Flags);
  r.Int(offset);
  r.Int(e.Size);
  r.Int(e.Packed);
  r.Int(e.Chunks);
  r.Int(e.Stamp);
  r.Int(nameLength);
  if (nameLength > static_cast<uint32_t>(format::kMaxNameLength) || !r.Bytes(e.Name, nameLength) ||
      e.Volume == 0 || offset > (uint64_t{1} << 50) || e.Size < -1 || e.Packed < 0)
    return false;
  e.Offset = static_cast<int64_t>(offset);
  // Entries follow the archive's order; one out of it is damage.
  if (e.Volume < lastVolume_ || (e.Volume == lastVolume_ && e.Offset <= lastOffset_)) return false;
  lastVolume_ = e.Volume;
  lastOffset_ = e.Offset;
  if (entries_ == nullptr) return each_(std::move(e));
  if (entries_->empty()) entries_->reserve(std::min<uint32_t>(frames_.Count(), 1u << 16));
  entries_->push_back(std::move(e));
  return true;
}

bool DecodeIndex(const std::string& Body, std::vector<IndexEntry>& Entries) {
  IndexDecoder decoder(Entries, Body.size());
  return decoder.Take(Body.data(), Body.size()) && decoder.Finish();
}

void SectionBody::Add(const MetadataRecord& m) {
  ByteWriter w;
  const std::string user = m.UserName.substr(0, kMaxOwnerName);
  const std::string group = m.GroupName.substr(0, kMaxOwnerName);
  w.Int<uint32_t>(static_cast<uint32_t>(kMetadataFixed + m.Name.size() + user.size() +
                                        group.size() + m.LinkTarget.size()));
  w.Int<uint8_t>(static_cast<uint8_t>(m.Kind));
  w.Int<uint8_t>(m.Has);
  w.Int<uint16_t>(0);
  w.Int<uint32_t>(m.Mode);
  w.Int<uint32_t>(m.UserId);
  w.Int<uint32_t>(m.GroupId);
  w.Int<int64_t>(m.Seconds);
  w.Int<uint32_t>(m.Nanoseconds);
  w.Int<uint32_t>(m.HardLinkGroup);
  w.Int<uint32_t>(static_cast<uint32_t>(m.Name.size()));
  w.Bytes(m.Name);
  w.Int<uint16_t>(static_cast<uint16_t>(user.size()));
  w.Bytes(user);
  w.Int<uint16_t>(static_cast<uint16_t>(group.size()));
  w.Bytes(group);
  w.Int<uint32_t>(static_cast<uint32_t>(m.LinkTarget.size()));
  w.Bytes(m.LinkTarget);
  Append(w.Text());
}

std::string EncodeMetadata(const std::vector<MetadataRecord>& Records) {
  SectionBody body;
  for (const MetadataRecord& m : Records) body.Add(m);
  return body.Text();
}

RecordRead ReadMetadataRecord(const char* Bytes, uint32_t Length, MetadataRecord& m) {
  ByteReader r(Bytes, Length);
  uint8_t kind = 0;
  uint32_t nameLength = 0;
  uint16_t userLength = 0;
  uint16_t groupLength = 0;
  uint32_t targetLength = 0;
  r.Int(kind);
  r.Int(m.Has);
  r.Skip(2);
  r.Int(m.Mode);
  r.Int(m.UserId);
  r.Int(m.GroupId);
  r.Int(m.Seconds);
  r.Int(m.Nanoseconds);
  r.Int(m.HardLinkGroup);
  if (!r.Int(nameLength) || nameLength > static_cast<uint32_t>(format::kMaxNameLength) ||
      !r.Bytes(m.Name, nameLength) || !r.Int(userLength) || userLength > kMaxOwnerName ||
      !r.Bytes(m.UserName, userLength) || !r.Int(groupLength) || groupLength > kMaxOwnerName ||
      !r.Bytes(m.GroupName, groupLength) || !r.Int(targetLength) ||
      targetLength > static_cast<uint32_t>(format::kMaxNameLength) ||
      !r.Bytes(m.LinkTarget, targetLength) || m.Nanoseconds >= 1000000000u || m.Name.empty())
    return RecordRead::Damaged;
  if (kind < 1 || kind > 3) return RecordRead::Unknown;
  m.Kind = static_cast<EntryKind>(kind);
  return RecordRead::Read;
}

MetadataDecoder::MetadataDecoder(Each OnRecord, uint64_t BodySize)
    : each_(std::move(OnRecord)),
      frames_(BodySize, kMetadataFixed, [this](const char* Bytes, uint32_t Length, uint64_t At) {
        MetadataRecord m;
        switch (ReadMetadataRecord(Bytes, Length, m)) {
          case RecordRead::Damaged:
            return false;
          case RecordRead::Unknown:
            return true;
          case RecordRead::Read:
            break;
        }
        return each_(std::move(m), At, 4 + Length);
      }) {}

bool DecodeMetadata(const std::string& Body, std::vector<MetadataRecord>& Records) {
  Records.clear();
  MetadataDecoder decoder(
      [&Records](MetadataRecord&& Record, uint64_t, uint32_t) {
        Records.push_back(std::move(Record));
        return true;
      },
      Body.size());
  if (decoder.Take(Body.data(), Body.size()) && decoder.Finish()) return true;
  Records.clear();
  return false;
}

ArchivePlace PlaceOf(const std::vector<IndexEntry>& Entries,
                     const std::vector<int64_t>& VolumeSizes, unsigned Volume, int64_t Offset) {
  const size_t v = Volume - 1;
  if (Volume >= 1 && v < VolumeSizes.size()) {
    if (v + 1 < VolumeSizes.size() &&
        Offset >= VolumeSizes[v] - (4 + format::kVolumeChangeNameLength))
      return ArchivePlace{ArchivePart::VolumeChange, -1};
    if (v + 1 == VolumeSizes.size() && Offset >= VolumeSizes[v] - 4)
      return ArchivePlace{ArchivePart::EndMarker, -1};
  }
  // The last entry whose record begins at or before the byte.
  const auto after =
      std::upper_bound(Entries.begin(), Entries.end(), std::make_pair(Volume, Offset),
                       [](const std::pair<unsigned, int64_t>& p, const IndexEntry& e) {
                         return p.first < e.Volume || (p.first == e.Volume && p.second < e.Offset);
                       });
  if (after == Entries.begin()) return ArchivePlace{ArchivePart::Header, -1};
  const IndexEntry& e = *(after - 1);
  const int64_t entry = after - 1 - Entries.begin();
  if (e.Volume != Volume) return ArchivePlace{ArchivePart::Data, entry};
  const int64_t into = Offset - e.Offset;
  const int64_t nameEnd = 4 + static_cast<int64_t>(e.Name.size());
  if (into < nameEnd) return ArchivePlace{ArchivePart::Name, entry};
  if (into < nameEnd + 4) return ArchivePlace{ArchivePart::Stamp, entry};
  return ArchivePlace{ArchivePart::Data, entry};
}

}  // namespace kelmora::companion
