// SPDX-License-Identifier: GPL-3.0-or-later
//
// Checking an archive's volumes against its companion: what test uses to
// see any changed byte, and repair to know what to rebuild.
//
//   checksum section  u32 block size, u32 0, then the CRC32C of every block
//                     of every volume in order (a volume's last block
//                     padded with zeros)
//
// A block of 4 KiB is a file system's block and a disk's sector: damage
// comes in such units, one bad sector costs one block, and a table entry
// of 4 bytes a block keeps the table at a thousandth of the archive.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/companion/container.h"
#include "engine/companion/sections.h"
#include "engine/companion/volume_source.h"

namespace kelmora::companion {

// What checks and repair take from a companion.
struct ChecksumTable {
  ArchiveIdentity Identity;
  SectionInfo Section;  // the checksum section
  std::vector<int64_t> Sizes() const;
};

// Loads the identity and finds the checksum table; false, with the reason
// in Problem, when either is missing, damaged or disagrees with the other.
bool LoadChecksums(CompanionReader& Reader, ChecksumTable& Table, std::string& Problem);

// Count checksums from block First; false when they cannot be read.
bool ReadChecksums(CompanionReader& Reader, const ChecksumTable& Table, uint64_t First,
                   uint64_t Count, std::vector<uint32_t>& Crcs);

struct DamagedRange {
  unsigned Volume = 1;
  int64_t Offset = 0;
  int64_t Length = 0;
  bool operator==(const DamagedRange&) const = default;
};

struct VolumeCheck {
  int64_t Expected = 0;  // its size when the companion was written
  int64_t Found = -1;    // -1: missing
  uint64_t Blocks = 0;
  uint64_t Damaged = 0;
  // Present, and not one of its blocks is as written: another archive's
  // volume under this name, or overwritten.
  bool Foreign() const { return Found >= 0 && Blocks > 0 && Damaged == Blocks; }
};

struct CheckReport {
  bool TableSound = false;  // the checksum section passed its own checksum
  std::vector<VolumeCheck> Volumes;
  uint64_t DamagedBlocks = 0;
  bool Sound() const;
};

// A quick look that the companion belongs to these volumes: every volume
// present has its size as written, and its first or its last block its
// checksum. What list and restore ask before they trust the index.
bool MatchesArchive(VolumeSource& Source, CompanionReader& Reader, const ChecksumTable& Table);

// Reads every volume once, front to back, and calls Damaged for each run
// of damaged blocks (clipped to the volume's size as written), in order.
// False when the companion's table cannot be read, or when GoOn, asked
// after every stretch read, says to stop.
bool CheckVolumes(VolumeSource& Source, CompanionReader& Reader, const ChecksumTable& Table,
                  const std::function<void(const DamagedRange&)>& Damaged, CheckReport& Report,
                  const std::function<bool()>& GoOn = nullptr);

}  // namespace kelmora::companion
