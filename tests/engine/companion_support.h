// SPDX-License-Identifier: GPL-3.0-or-later
//
// Archive-like volumes, their companion, and damage of the kinds a disk
// or a copy does to them, for the companion's tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/companion/builder.h"
#include "engine/companion/container.h"
#include "engine/companion/repair.h"
#include "engine/companion/volume_source.h"
#include "kelmora/streams.h"

namespace kelmora::companion::test {

// Volumes as a backup writes them: compressed pieces (noise) between
// runs of records and stored text, cut into Count volumes of about Size
// bytes (the last a little shorter, as a last volume is).
inline std::vector<std::string> ArchiveLike(size_t Count, size_t Size, uint32_t Seed) {
  std::mt19937 rng(Seed);
  std::string all;
  static const char* words[] = {"/home/ann/docs/", "report ", "2026 ", "EC2", "volume\n"};
  while (all.size() < Count * Size) {
    if (rng() % 3 == 0) {
      for (int i = 0; i < 400; ++i) all += words[rng() % 5];
    } else {
      const size_t n = 1000 + rng() % 16384;
      for (size_t i = 0; i < n; ++i) all.push_back(static_cast<char>(rng()));
    }
  }
  std::vector<std::string> volumes;
  for (size_t v = 0; v < Count; ++v) volumes.push_back(all.substr(v * Size, Size));
  volumes.back().resize(Size - 1000);
  return volumes;
}

inline std::string Companion(const std::vector<std::string>& Volumes, unsigned Percent,
                             size_t Budget = kDefaultMemoryBudget) {
  MemoryVolumes source(Volumes);
  TMemoryStream out;
  BuildOptions options;
  options.RecoveryPercent = Percent;
  options.MemoryBudget = Budget;
  const BuildResult result =
      BuildCompanion(source, static_cast<unsigned>(Volumes.size()), {}, {}, options, out);
  if (!result.Done) throw std::runtime_error("companion not built");
  return out.Text();
}

// A stream over a companion held in a string.
class StringStream : public TMemoryStream {
 public:
  explicit StringStream(const std::string& Bytes) {
    WriteBuffer(Bytes.data(), Bytes.size());
    Seek(0, SeekOrigin::Begin);
  }
};

// Applies what a repair puts into copies of the volumes as they were
// found; a missing volume starts empty.
class CopySink : public RepairSink {
 public:
  explicit CopySink(std::vector<std::string> Found) : volumes(std::move(Found)) {}
  void Put(unsigned Volume, int64_t Offset, const uint8_t* Bytes, size_t Count) override {
    std::string& v = volumes.at(Volume - 1);
    if (v.size() < static_cast<size_t>(Offset) + Count)
      v.resize(static_cast<size_t>(Offset) + Count);
    std::copy(Bytes, Bytes + Count, v.begin() + Offset);
    ++puts;
  }
  std::vector<std::string> volumes;
  size_t puts = 0;
};

// The volumes as one run of bytes and back, for damage that crosses
// volume boundaries.
inline void Zero(std::vector<std::string>& Volumes, size_t From, size_t Count) {
  for (std::string& v : Volumes) {
    if (From < v.size()) {
      const size_t n = std::min(Count, v.size() - From);
      std::fill(v.begin() + From, v.begin() + From + n, '\0');
      Count -= n;
      From = 0;
    } else {
      From -= v.size();
    }
    if (Count == 0) return;
  }
}

inline size_t TotalSize(const std::vector<std::string>& Volumes) {
  size_t n = 0;
  for (const std::string& v : Volumes) n += v.size();
  return n;
}

struct Repaired {
  RepairReport report;
  std::vector<std::string> volumes;
  size_t puts = 0;
};

inline Repaired RepairCopy(const std::vector<std::string>& Found,
                           const std::vector<unsigned>& Missing, const std::string& CompanionBytes,
                           size_t Budget = kDefaultMemoryBudget) {
  MemoryVolumes source(Found);
  for (unsigned v : Missing) source.Remove(v);
  std::vector<std::string> start = Found;
  for (unsigned v : Missing) start[v - 1].clear();
  CopySink sink(start);
  StringStream stream(CompanionBytes);
  CompanionReader reader(stream);
  RepairOptions options;
  options.MemoryBudget = Budget;
  Repaired r;
  r.report = RepairArchive(source, reader, &sink, options);
  r.volumes = sink.volumes;
  r.puts = sink.puts;
  // A volume found longer than written is cut to its size.
  for (size_t v = 0; v < r.volumes.size() && v < r.report.Volumes.size(); ++v)
    if (r.volumes[v].size() > static_cast<size_t>(r.report.Volumes[v].Expected))
      r.volumes[v].resize(static_cast<size_t>(r.report.Volumes[v].Expected));
  return r;
}

}  // namespace kelmora::companion::test
