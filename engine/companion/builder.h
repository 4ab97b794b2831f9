// SPDX-License-Identifier: GPL-3.0-or-later
//
// Writes an archive's companion once its volumes are complete: the index
// and file records it is given, then the block checksums, the identity of
// every volume and, when asked for, the recovery record, all from one
// read of the volumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/companion/recovery_code.h"
#include "engine/companion/sections.h"
#include "engine/companion/volume_source.h"
#include "kelmora/streams.h"

namespace kelmora::companion {

inline constexpr size_t kDefaultMemoryBudget = size_t{32} << 20;

struct BuildOptions {
  unsigned RecoveryPercent = 0;  // 0: no recovery record; else 1 to 100
  uint32_t BlockSize = kDefaultBlockSize;
  // What the parity being made and the blocks read for it may take. The
  // groups are made a batch at a time within it; every batch reads its own
  // blocks, so the volumes are still read once in all.
  size_t MemoryBudget = kDefaultMemoryBudget;
  // Threads that add blocks into the parity, the caller's included. The
  // record is the same byte for byte whatever the count.
  unsigned Threads = 1;
  // Called after each stretch with the bytes read so far and in all;
  // false stops the build.
  std::function<bool(int64_t Done, int64_t Total)> Progress;
};

struct BuildResult {
  bool Done = false;
  bool Stopped = false;
  unsigned Volume = 0;  // the volume that could not be read, when one could not
  RecoveryGeometry Geometry;
};

// Reads volumes 1..VolumeCount of Source and writes the companion to Out
// from its current position. Out must seek and read back what was written
// (a file being made). Failures to write Out throw as its writes do; a
// volume that cannot be read ends the build with Done false.
BuildResult BuildCompanion(VolumeSource& Source, unsigned VolumeCount,
                           const std::vector<IndexEntry>& Index,
                           const std::vector<MetadataRecord>& Metadata, const BuildOptions& Options,
                           TStream& Out);
// The same with the index and records already encoded, as a backup keeps them.
BuildResult BuildCompanionOfBodies(VolumeSource& Source, unsigned VolumeCount,
                                   const SectionBody& Index, const SectionBody& Metadata,
                                   const BuildOptions& Options, TStream& Out);

}  // namespace kelmora::companion
