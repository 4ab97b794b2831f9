// SPDX-License-Identifier: GPL-3.0-or-later
//
// Between the system's view of a path and the companion's record of it:
// what a backup records for each file, folder and link, and what a restore
// hands back to the platform layer to apply.
#pragma once

#include <cstdint>
#include <map>
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
// archive's entries one by one.
class MetadataByName {
 public:
  explicit MetadataByName(std::vector<MetadataRecord> Records);
  // Null when the companion has no record of that name and kind.
  const MetadataRecord* Find(const std::string& Name, EntryKind Kind) const;
  const std::vector<MetadataRecord>& Records() const { return records_; }

 private:
  std::vector<MetadataRecord> records_;
  // Positions in records_ ordered by name, then position: no second copy
  // of every name.
  std::vector<uint32_t> byName_;
};

}  // namespace kelmora::companion
