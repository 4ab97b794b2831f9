// SPDX-License-Identifier: GPL-3.0-or-later
//
// Repairing an archive's volumes from its companion's recovery record.
//
// Every block is checked against its checksum, the parity of its group
// turned into syndromes, and each damaged group solved: by erasures when
// it has no more damaged blocks than parity, else column by column, where
// the few wrong bytes of each column are located among the blocks that
// failed their checksums (what scattered bit flips leave), and what is
// left over by erasures again. A rebuilt block is handed on only when it
// agrees with its checksum; everything else is named as unrepairable.
//
// The volumes are only read. Repaired blocks go to a sink, which writes
// them into copies of the volumes; the caller puts those in place only
// when the outcome is Repaired, so a repair beyond the record's capacity
// changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/companion/archive_check.h"
#include "engine/companion/builder.h"
#include "engine/companion/container.h"
#include "engine/companion/volume_source.h"

namespace kelmora::companion {

class RepairSink {
 public:
  virtual ~RepairSink() = default;
  // Count bytes of Volume from Offset as they were when the companion was
  // written, in no particular order. A volume's last block is cut at the
  // volume's size.
  virtual void Put(unsigned Volume, int64_t Offset, const uint8_t* Bytes, size_t Count) = 0;
};

struct RepairOptions {
  // Syndromes and corrections of the groups in work. The groups are taken
  // a batch at a time within it: the volumes are read about twice in all,
  // however large the archive.
  size_t MemoryBudget = kDefaultMemoryBudget;
  // Called after each stretch read with the data bytes done and in all;
  // false stops the repair.
  std::function<bool(int64_t Done, int64_t Total)> Progress;
};

enum class RepairOutcome {
  Sound,         // nothing damaged, every volume of its size
  Repaired,      // every damaged block rebuilt (a volume's size may need setting)
  Unrepairable,  // some blocks beyond the record: named in the report
  NoRecord,      // the companion has no usable recovery record
  Unusable,      // the companion cannot be read or does not fit the archive
  Stopped,
};

inline constexpr size_t kMaxReportedRuns = 1024;

struct RepairReport {
  RepairOutcome Outcome = RepairOutcome::Unusable;
  std::string Problem;      // why the companion or its record cannot be used
  bool TableSound = false;  // the checksum section passed its own checksum
  std::vector<VolumeCheck> Volumes;
  uint64_t DamagedBlocks = 0;
  uint64_t RepairedBlocks = 0;
  uint64_t UnrepairableBlocks = 0;
  uint64_t DamagedParity = 0;  // parity blocks of the companion that failed their checksum
  // The unrepairable blocks as runs of bytes, at most kMaxReportedRuns; the
  // blocks of runs beyond those are counted in UnreportedBlocks.
  std::vector<DamagedRange> Unrepairable;
  uint64_t UnreportedBlocks = 0;
};

// With Sink null, only finds what could be repaired.
RepairReport RepairArchive(VolumeSource& Source, CompanionReader& Reader, RepairSink* Sink,
                           const RepairOptions& Options = RepairOptions());

}  // namespace kelmora::companion
