// SPDX-License-Identifier: GPL-3.0-or-later
//
// Between the system's view of a path and the companion's record of it:
// what a backup records for each file, folder and link, and what a restore
// hands back to the platform layer to apply.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/companion/sections.h"
#include "platform/platform.h"

namespace kelmora::companion {

// The record of Name; false for what the companion does not record (a
// device, a FIFO, a socket). HardLinkGroup is left 0: HardLinks sets it.
bool RecordOf(const std::string& Name, const platform::PathMetadata& Metadata,
              MetadataRecord& Record);
// What the platform layer applies for a record.
platform::PathMetadata PathMetadataOf(const MetadataRecord& Record);

// Numbers the files of a backup that are one inode under several names:
// the second name of an inode met gets the number its first got.
class HardLinks {
 public:
  // 0 for a file with one name.
  uint32_t GroupOf(const platform::PathMetadata& Metadata);

 private:
  std::map<std::pair<uint64_t, uint64_t>, uint32_t> groups_;
};

// The records of a companion by name, for a restore that meets the
// archive's entries one by one. A million records held as structures would
// cost a restore hundreds of megabytes: only a hash of each name and where
// the record lies are held, the record itself read again when asked for,
// and its name compared whole (a hash is no proof).
class MetadataByName {
 public:
  // Reads Count bytes at Offset of the body; false when it cannot.
  using BodyReader = std::function<bool(uint64_t Offset, void* Bytes, size_t Count)>;

  // Records held in memory.
  explicit MetadataByName(const std::vector<MetadataRecord>& Records);
  MetadataByName(const MetadataByName&) = delete;
  MetadataByName& operator=(const MetadataByName&) = delete;
  // The body of a metadata section read through Read, first whole, front
  // to back, by Stream (which hands its pieces to the function it is
  // given and says whether the body was read whole and sound). Null when
  // the body does not hold what it claims.
  static std::unique_ptr<MetadataByName> Read(
      const std::function<bool(const std::function<bool(const uint8_t*, size_t)>&)>& Stream,
      uint64_t BodySize, BodyReader Read);

  // The record of that name and kind; the last one of a name recorded
  // twice (a file backed up twice). Empty when there is none, or the body
  // cannot be read again; then Unreadable, when given, is set.
  std::optional<MetadataRecord> Find(const std::string& Name, EntryKind Kind,
                                     bool* Unreadable = nullptr) const;
  // Every record in the order recorded, read anew; false when the body
  // cannot be, or Each returns false.
  bool ForEach(const std::function<bool(const MetadataRecord&)>& Each) const;
  size_t Size() const { return keys_.size(); }

 private:
  struct Key {
    uint64_t hash;  // of the name and kind
    uint64_t at;    // where the record's length lies (40 bits), its length with it
  };
  MetadataByName() = default;
  bool Build(const std::function<bool(const std::function<bool(const uint8_t*, size_t)>&)>& Stream);
  static uint64_t HashOf(const std::string& Name, EntryKind Kind);

  BodyReader read_;
  uint64_t size_ = 0;
  std::string memory_;     // the body, when the records were given in memory
  std::vector<Key> keys_;  // by hash, then by place
};

}  // namespace kelmora::companion
