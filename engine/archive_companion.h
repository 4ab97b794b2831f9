// SPDX-License-Identifier: GPL-3.0-or-later
//
// The companion of a file archive as the runs that read the archive use it:
// found beside the first volume, recognised against the volumes, its
// sections read when asked for. A companion that does not belong to the
// archive is never trusted over it: the runs then go on as without one.
//
// It belongs when the first volume is recognised: its first block has the
// checksum the companion holds for it, or its size and its last block
// agree (damage at one end still leaves the other). Every later volume is
// then measured against it the same way, by its first, middle and last
// blocks; where all three differ, every block is looked at, and a volume
// of which not one block is as written is no volume of this archive
// (another archive's under its name, or overwritten): it is read as
// damage, never as its data.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/companion/archive_check.h"
#include "engine/companion/container.h"
#include "engine/companion/metadata.h"
#include "engine/companion/sections.h"
#include "engine/companion/volume_source.h"
#include "engine/run_state.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"

namespace kelmora {

class ArchiveCompanion {
 public:
  // First: the archive's first volume as it was named (links resolved here).
  explicit ArchiveCompanion(const std::string& First);

  // Opens the companion and recognises the first volume; what it found.
  TCompanionNote Open();
  bool Usable() const { return state_ == csSound; }
  const std::string& FileName() const { return name_; }

  // Read on first request; null when the section is missing or damaged.
  const std::vector<companion::IndexEntry>* Index();
  const companion::MetadataByName* Metadata();
  // Hands Each every entry of the index in archive order, none held: the
  // body is read through its checksum first, so nothing is handed on from
  // a damaged one. False when the index cannot be read (or changed since),
  // or Each returns false.
  bool ForEachIndexEntry(const std::function<bool(const companion::IndexEntry&)>& Each);

  enum class Fit {
    Same,     // its size and the blocks looked at are as written
    Changed,  // present, but cut, grown or damaged
    Foreign,  // present, and not one block looked at is as written
    Missing,
  };
  // How volume Volume (1 for the first) stands; Missing beyond the
  // companion's last volume.
  Fit VolumeFit(unsigned Volume);
  unsigned Volumes() const { return static_cast<unsigned>(table_.Identity.Volumes.size()); }
  // Why a volume is not read: "" unless it is Foreign.
  std::string ForeignReason(unsigned Volume);

  // The system's error number of the first read the device failed, of the
  // companion or of a volume it was held against; 0 when none. A companion
  // found unusable then may be sound.
  int ReadError() const;

  companion::CompanionReader& Reader() { return *reader_; }
  const companion::ChecksumTable& Table() const { return table_; }
  companion::FileVolumes& Source() { return source_; }

 private:
  // Whether block Block (of the whole archive) reads as written.
  bool BlockAsWritten(uint64_t Block);
  // Whether none of the blocks First to End (not included) does.
  bool NoBlockAsWritten(uint64_t First, uint64_t End);

  std::string name_;
  companion::FileVolumes source_;
  std::unique_ptr<TFileStream> stream_;
  std::unique_ptr<companion::CompanionReader> reader_;
  int openError_ = 0;
  companion::ChecksumTable table_;
  TCompanionState state_ = csNone;
  std::vector<int8_t> fits_;  // per volume, -1 while unknown
  bool indexRead_ = false;
  std::unique_ptr<std::vector<companion::IndexEntry>> index_;
  bool metadataRead_ = false;
  std::unique_ptr<companion::MetadataByName> metadata_;
};

// Reports, once each, the files whose entries begin in a volume that is not
// this archive's: none of them can be read from it.
void ReportForeignVolume(RunContext& Run, ArchiveCompanion& Companion, unsigned Volume);

// Reads every volume against the block checksums and reports each changed
// stretch as damage of what it falls in, by the index: a file's stored name,
// time stamp or data, the header (the title), a volume-change entry or the
// end marker. Files in Named were reported already and are not again;
// volumes in Skip neither. False when stopped.
bool ReportChangedBlocks(RunContext& Run, ArchiveCompanion& Companion,
                         const std::vector<std::string>& Named, const std::vector<unsigned>& Skip);

}  // namespace kelmora
