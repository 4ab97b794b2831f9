// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/builder.h"

#include <algorithm>
#include <memory>
#include <thread>

#include "engine/companion/container.h"
#include "engine/companion/erasure_code.h"

namespace kelmora::companion {

namespace {

constexpr uint64_t kSequentialBlocks = 256;
// Below this share of a stretch, starting a thread costs more than it saves.
constexpr uint64_t kBlocksPerThread = 64;
// Rows of a batch read before their blocks are added into the parity.
constexpr uint32_t kRowsAtOnce = 16;

std::string ChecksumHead(uint32_t BlockSize) {
  ByteWriter w;
  w.Int<uint32_t>(BlockSize);
  w.Int<uint32_t>(0);
  return w.Text();
}

void PutCrc(uint8_t* To, uint32_t Crc) {
  for (int i = 0; i < 4; ++i) To[i] = static_cast<uint8_t>(Crc >> (8 * i));
}

class Build {
 public:
  Build(VolumeSource& Source, const BlockMap& Map, const BuildOptions& Options,
        CompanionWriter& Writer, int Checksums)
      : source_(Source), map_(Map), options_(Options), writer_(Writer), checksums_(Checksums) {}

  BuildResult result;

  // Reads Count blocks from First, puts their checksums in place, and
  // leaves the blocks in Blocks. False when a block cannot be read.
  bool ReadBlocks(uint64_t First, uint64_t Count, uint8_t* Blocks) {
    const uint32_t size = map_.BlockSize();
    map_.Read(source_, First, Count, Blocks, readable_);
    crcs_.resize(Count * 4);
    for (uint64_t i = 0; i < Count; ++i) {
      if (!readable_[i]) {
        result.Volume = map_.VolumeOf(First + i);
        return false;
      }
      PutCrc(crcs_.data() + i * 4, Crc32c(0, Blocks + i * size, size));
    }
    writer_.WriteInSection(checksums_, 8 + static_cast<int64_t>(First) * 4, crcs_.data(),
                           crcs_.size());
    done_ += static_cast<int64_t>(Count) * size;
    return true;
  }

  bool GoOn() {
    if (!options_.Progress ||
        options_.Progress(done_, static_cast<int64_t>(map_.Blocks()) * map_.BlockSize()))
      return true;
    result.Stopped = true;
    return false;
  }

  bool Sequential() {
    const uint32_t size = map_.BlockSize();
    std::vector<uint8_t> blocks(kSequentialBlocks * size);
    for (uint64_t b = 0; b < map_.Blocks(); b += kSequentialBlocks) {
      const uint64_t count = std::min(kSequentialBlocks, map_.Blocks() - b);
      if (!ReadBlocks(b, count, blocks.data()) || !GoOn()) return false;
    }
    return true;
  }

  // Groups a batch at a time: for each batch, the stretch of every row
  // that holds its groups, each block added to its group's parity. Rows
  // are read a few at a time and added group by group, so that a group's
  // parity stays in the processor's cache while several blocks go into it:
  // added row by row, every block would fetch its parity from memory anew.
  bool Interleaved(const RecoveryGeometry& G, int Parity, int Recovery) {
    const uint32_t size = G.BlockSize;
    const uint32_t p = G.ParityPerGroup;
    const uint32_t rowsAtOnce = std::min<uint32_t>(kRowsAtOnce, G.DataPerGroup);
    const GroupCode code(static_cast<int>(G.DataPerGroup), static_cast<int>(p));
    const uint64_t perBatch = std::max<uint64_t>(
        1,
        std::min<uint64_t>(G.Groups, options_.MemoryBudget / ((p + rowsAtOnce) * uint64_t{size})));
    std::vector<uint8_t> parity(perBatch * p * size);
    std::vector<uint8_t> rows(rowsAtOnce * perBatch * size);
    std::vector<uint8_t> parityCrcs(perBatch * p * 4);
    std::vector<uint64_t> counts(rowsAtOnce);
    for (uint64_t g0 = 0; g0 < G.Groups; g0 += perBatch) {
      const uint64_t groups = std::min(perBatch, G.Groups - g0);
      std::fill(parity.begin(), parity.end(), 0);
      for (uint32_t row0 = 0; row0 < G.DataPerGroup; row0 += rowsAtOnce) {
        const uint32_t chunk = std::min(rowsAtOnce, G.DataPerGroup - row0);
        for (uint32_t r = 0; r < chunk; ++r) {
          const uint64_t first = (row0 + r) * G.Groups + g0;
          counts[r] = first >= G.DataBlocks ? 0 : std::min(groups, G.DataBlocks - first);
          if (counts[r] > 0 && !ReadBlocks(first, counts[r], rows.data() + r * perBatch * size))
            return false;
        }
        // Each block goes into its own group's parity: the groups are
        // shared out between threads without any lock.
        const auto add = [&](uint64_t From, uint64_t To) {
          std::vector<uint8_t*> out(p);
          for (uint64_t i = From; i < To; ++i) {
            for (uint32_t j = 0; j < p; ++j) out[j] = parity.data() + (i * p + j) * size;
            for (uint32_t r = 0; r < chunk && i < counts[r]; ++r)
              code.Encoder().Update(size, static_cast<int>(row0 + r),
                                    rows.data() + (r * perBatch + i) * size, out.data());
          }
        };
        const uint64_t threads =
            std::min<uint64_t>(options_.Threads, groups * chunk / kBlocksPerThread);
        std::vector<std::thread> helpers;
        for (uint64_t t = 1; t < threads; ++t)
          helpers.emplace_back(add, groups * t / threads, groups * (t + 1) / threads);
        add(0, threads > 1 ? groups / threads : groups);
        for (std::thread& helper : helpers) helper.join();
        if (!GoOn()) return false;
      }
      for (uint64_t b = 0; b < groups * p; ++b)
        PutCrc(parityCrcs.data() + b * 4, Crc32c(0, parity.data() + b * size, size));
      writer_.WriteInSection(Parity, static_cast<int64_t>(g0 * p * size), parity.data(),
                             groups * p * size);
      writer_.WriteInSection(Recovery, static_cast<int64_t>(kRecoveryHeadSize + g0 * p * 4),
                             parityCrcs.data(), groups * p * 4);
    }
    return true;
  }

 private:
  VolumeSource& source_;
  const BlockMap& map_;
  const BuildOptions& options_;
  CompanionWriter& writer_;
  int checksums_;
  std::vector<uint8_t> readable_;
  std::vector<uint8_t> crcs_;
  int64_t done_ = 0;
};

// A section written front to back from its pieces: its checksum is taken
// as it goes, and its bytes are those one AddSection would write.
void AddSection(CompanionWriter& Writer, uint32_t Type, const SectionBody& Body) {
  const int handle = Writer.Reserve(Type, Body.Size());
  int64_t at = 0;
  Body.WriteTo([&](const void* Bytes, size_t Count) {
    Writer.WriteInSection(handle, at, Bytes, Count);
    at += static_cast<int64_t>(Count);
  });
  Writer.Close(handle);
}

}  // namespace

BuildResult BuildCompanion(VolumeSource& Source, unsigned VolumeCount,
                           const std::vector<IndexEntry>& Index,
                           const std::vector<MetadataRecord>& Metadata, const BuildOptions& Options,
                           TStream& Out) {
  SectionBody index, metadata;
  for (const IndexEntry& entry : Index) index.Add(entry);
  for (const MetadataRecord& record : Metadata) metadata.Add(record);
  return BuildCompanionOfBodies(Source, VolumeCount, index, metadata, Options, Out);
}

BuildResult BuildCompanionOfBodies(VolumeSource& Source, unsigned VolumeCount,
                                   const SectionBody& Index, const SectionBody& Metadata,
                                   const BuildOptions& Options, TStream& Out) {
  BuildResult failed;
  std::vector<int64_t> sizes;
  for (unsigned v = 1; v <= VolumeCount; ++v) {
    sizes.push_back(Source.Size(v));
    if (sizes.back() < 0) {
      failed.Volume = v;
      return failed;
    }
  }
  const BlockMap map(sizes, Options.BlockSize);
  // What every check needs comes first and the parity, by far the largest,
  // last: a companion cut short loses its record before anything else.
  CompanionWriter writer(Out);
  const int identitySection =
      writer.Reserve(kIdentitySection, static_cast<int64_t>(8 + 16 * size_t{VolumeCount}));
  const int checksums =
      writer.Reserve(kChecksumSection, 8 + static_cast<int64_t>(map.Blocks()) * 4);
  AddSection(writer, kIndexSection, Index);
  AddSection(writer, kMetadataSection, Metadata);
  const std::string head = ChecksumHead(Options.BlockSize);
  writer.WriteInSection(checksums, 0, head.data(), head.size());

  Build build(Source, map, Options, writer, checksums);
  const RecoveryGeometry geometry =
      RecoveryGeometry::For(map.Blocks(), Options.BlockSize, Options.RecoveryPercent);
  bool read = false;
  if (geometry.Valid()) {
    const int recovery = writer.Reserve(
        kRecoverySection, static_cast<int64_t>(kRecoveryHeadSize + geometry.ParityBlocks() * 4));
    const int parity = writer.Reserve(
        kParitySection, static_cast<int64_t>(geometry.ParityBlocks() * geometry.BlockSize));
    const std::string recoveryHead = EncodeRecoveryHead(geometry);
    writer.WriteInSection(recovery, 0, recoveryHead.data(), recoveryHead.size());
    read = build.Interleaved(geometry, parity, recovery);
    if (read) {
      writer.Close(parity);
      writer.Close(recovery);
      build.result.Geometry = geometry;
    }
  } else {
    read = build.Sequential();
  }
  if (!read) return build.result;

  // Each volume's identity is the checksum of its run of block checksums,
  // taken as the section is read back for its own checksum.
  ArchiveIdentity identity{Options.BlockSize, {}};
  std::vector<uint32_t> crcs(VolumeCount, 0);
  writer.Close(checksums, [&](int64_t At, const uint8_t* Bytes, size_t Count) {
    for (unsigned v = 1; v <= VolumeCount; ++v) {
      const int64_t from = 8 + static_cast<int64_t>(map.FirstBlockOf(v)) * 4;
      const int64_t to = from +
                         (v < VolumeCount ? static_cast<int64_t>(map.FirstBlockOf(v + 1))
                                          : static_cast<int64_t>(map.Blocks())) *
                             4 -
                         static_cast<int64_t>(map.FirstBlockOf(v)) * 4;
      const int64_t lo = std::max(from, At);
      const int64_t hi = std::min(to, At + static_cast<int64_t>(Count));
      if (lo < hi)
        crcs[v - 1] = Crc32c(crcs[v - 1], Bytes + (lo - At), static_cast<size_t>(hi - lo));
    }
  });
  for (unsigned v = 1; v <= VolumeCount; ++v)
    identity.Volumes.push_back(VolumeIdentity{sizes[v - 1], crcs[v - 1]});
  const std::string identityBody = EncodeIdentity(identity);
  writer.WriteInSection(identitySection, 0, identityBody.data(), identityBody.size());
  writer.Close(identitySection);
  writer.Finish();
  build.result.Done = true;
  return build.result;
}

}  // namespace kelmora::companion
