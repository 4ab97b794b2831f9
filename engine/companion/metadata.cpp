// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/metadata.h"

#include <algorithm>

namespace kelmora::companion {

bool RecordOf(const std::string& Name, const platform::PathMetadata& M, MetadataRecord& Record) {
  Record = MetadataRecord();
  switch (M.Kind) {
    case platform::PathKind::File:
      Record.Kind = EntryKind::File;
      break;
    case platform::PathKind::Directory:
      Record.Kind = EntryKind::Folder;
      break;
    case platform::PathKind::Link:
      Record.Kind = EntryKind::Link;
      break;
    default:
      return false;
  }
  Record.Name = Name;
  Record.Has = kHasTime;
  if (M.HasMode) {
    Record.Has |= kHasMode | kHasOwner;
    Record.Mode = M.Mode & 07777;
    Record.UserId = M.UserId;
    Record.GroupId = M.GroupId;
  }
  if (M.HasNames) {
    Record.Has |= kHasOwnerNames;
    Record.UserName = M.UserName;
    Record.GroupName = M.GroupName;
  }
  Record.Seconds = M.ModifiedSeconds;
  Record.Nanoseconds = M.ModifiedNanoseconds;
  Record.LinkTarget = M.LinkTarget;
  return true;
}

platform::PathMetadata PathMetadataOf(const MetadataRecord& R) {
  platform::PathMetadata m;
  m.Kind = R.Kind == EntryKind::Folder ? platform::PathKind::Directory
           : R.Kind == EntryKind::Link ? platform::PathKind::Link
                                       : platform::PathKind::File;
  // Mode and owner go together: a mode without its owner's ids would let
  // a set-ID bit through for whoever owns the restored file.
  m.HasMode = (R.Has & kHasMode) && (R.Has & kHasOwner);
  m.Mode = R.Mode & 07777;
  m.UserId = R.UserId;
  m.GroupId = R.GroupId;
  m.HasNames = (R.Has & kHasOwnerNames) != 0;
  m.UserName = R.UserName;
  m.GroupName = R.GroupName;
  m.ModifiedSeconds = R.Seconds;
  m.ModifiedNanoseconds = R.Nanoseconds;
  m.LinkTarget = R.LinkTarget;
  return m;
}

uint32_t HardLinks::GroupOf(const platform::PathMetadata& M) {
  if (M.Kind != platform::PathKind::File || M.Links < 2) return 0;
  const auto [at, added] =
      groups_.emplace(std::make_pair(M.Device, M.Inode), static_cast<uint32_t>(groups_.size() + 1));
  return at->second;
}

namespace {

constexpr uint64_t kPlaceBits = 40;
constexpr uint64_t kPlaceMask = (uint64_t{1} << kPlaceBits) - 1;

}  // namespace

MetadataByName::MetadataByName(const std::vector<MetadataRecord>& Records) {
  SectionBody body;
  for (const MetadataRecord& r : Records) body.Add(r);
  memory_ = body.Text();
  size_ = memory_.size();
  read_ = [this](uint64_t Offset, void* Bytes, size_t Count) {
    if (Offset > memory_.size() || Count > memory_.size() - Offset) return false;
    memory_.copy(static_cast<char*>(Bytes), Count, static_cast<size_t>(Offset));
    return true;
  };
  Build([this](const std::function<bool(const uint8_t*, size_t)>& Take) {
    return Take(reinterpret_cast<const uint8_t*>(memory_.data()), memory_.size());
  });
}

std::unique_ptr<MetadataByName> MetadataByName::Read(
    const std::function<bool(const std::function<bool(const uint8_t*, size_t)>&)>& Stream,
    uint64_t BodySize, BodyReader Read) {
  std::unique_ptr<MetadataByName> found(new MetadataByName());
  found->read_ = std::move(Read);
  found->size_ = BodySize;
  if (BodySize > kPlaceMask || !found->Build(Stream)) return nullptr;
  return found;
}

uint64_t MetadataByName::HashOf(const std::string& Name, EntryKind Kind) {
  const uint64_t h = std::hash<std::string>{}(Name);
  return h ^ (static_cast<uint64_t>(Kind) * 0x9E3779B97F4A7C15u);
}

bool MetadataByName::Build(
    const std::function<bool(const std::function<bool(const uint8_t*, size_t)>&)>& Stream) {
  const MetadataDecoder* counted = nullptr;
  MetadataDecoder decoder(
      [this, &counted](MetadataRecord&& Record, uint64_t At, uint32_t Length) {
        // Room for all at once: grown by doubling, the keys of a million
        // records would cost half as much again while they are copied.
        if (keys_.empty()) keys_.reserve(counted->Count());
        keys_.push_back({HashOf(Record.Name, Record.Kind), At | uint64_t{Length} << kPlaceBits});
        return true;
      },
      size_);
  counted = &decoder;
  if (!Stream([&decoder](const uint8_t* Bytes, size_t Count) {
        return decoder.Take(Bytes, Count);
      }) ||
      !decoder.Finish()) {
    keys_ = {};
    return false;
  }
  // Records of one hash keep the order they were recorded in.
  std::sort(keys_.begin(), keys_.end(), [](const Key& A, const Key& B) {
    return A.hash != B.hash ? A.hash < B.hash : (A.at & kPlaceMask) < (B.at & kPlaceMask);
  });
  return true;
}

std::optional<MetadataRecord> MetadataByName::Find(const std::string& Name, EntryKind Kind,
                                                   bool* Unreadable) const {
  const uint64_t hash = HashOf(Name, Kind);
  const auto first = std::lower_bound(keys_.begin(), keys_.end(), hash,
                                      [](const Key& K, uint64_t H) { return K.hash < H; });
  auto last = first;
  while (last != keys_.end() && last->hash == hash) ++last;
  std::string bytes;
  for (auto it = last; it != first; --it) {
    const uint64_t at = (it - 1)->at & kPlaceMask;
    const auto length = static_cast<uint32_t>((it - 1)->at >> kPlaceBits);
    bytes.resize(length);
    MetadataRecord record;
    if (length < 4 || !read_(at, bytes.data(), length) ||
        ReadMetadataRecord(bytes.data() + 4, length - 4, record) != RecordRead::Read) {
      if (Unreadable != nullptr) *Unreadable = true;
      return std::nullopt;
    }
    if (record.Kind == Kind && record.Name == Name) return record;
  }
  return std::nullopt;
}

bool MetadataByName::ForEach(const std::function<bool(const MetadataRecord&)>& Each) const {
  MetadataDecoder decoder(
      [&Each](MetadataRecord&& Record, uint64_t, uint32_t) { return Each(Record); }, size_);
  std::vector<char> piece(std::min<uint64_t>(size_, uint64_t{1} << 20));
  for (uint64_t at = 0; at < size_;) {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), size_ - at));
    if (!read_(at, piece.data(), count) || !decoder.Take(piece.data(), count)) return false;
    at += count;
  }
  return decoder.Finish();
}

}  // namespace kelmora::companion
