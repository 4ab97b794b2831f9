// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the companion costs: block checksums and the recovery record's
// parity over an archive held in memory (so the disk is left out and the
// arithmetic measured), with ISA-L and with the portable routines.
//
//   bench_companion_bench [MEGABYTES] [PERCENT]      (400 and 5 by default)
//
// Prints the time and rate of each step; a backup pays for the checksums
// and the record once over the volumes it just wrote, a test for the
// check.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/companion/archive_check.h"
#include "engine/companion/builder.h"
#include "engine/companion/erasure_code.h"
#include "engine/companion/recovery_code.h"
#include "engine/companion/repair.h"
#include "engine/companion/sections.h"

namespace {

using namespace kelmora::companion;

// The processor time of the step as well as the wall time: on a machine
// shared with others, the first is what the step itself costs.
double cpu = 0;

double Seconds(const std::function<void()>& Step) {
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  Step();
  cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Report(const char* What, double Seconds, size_t Bytes) {
  std::printf("%-44s %7.3f s wall %7.3f s cpu %7.0f MB/s (cpu)\n", What, Seconds, cpu,
              Bytes / cpu / 1e6);
}

// Volumes of 64 MiB: a third text-like, the rest noise, as compressed
// pieces leave them.
std::vector<std::string> Volumes(size_t Megabytes) {
  std::mt19937_64 rng(1);
  std::vector<std::string> volumes;
  size_t left = Megabytes << 20;
  while (left > 0) {
    std::string v(std::min<size_t>(left, size_t{64} << 20), '\0');
    for (size_t at = 0; at + 8 <= v.size(); at += 8) {
      const uint64_t x = (at / 65536) % 3 == 0 ? 0x2074726f70657220ULL + (at & 0xFF) : rng();
      std::memcpy(&v[at], &x, 8);
    }
    left -= v.size();
    volumes.push_back(std::move(v));
  }
  return volumes;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 400;
  const unsigned percent = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 5;
  std::vector<std::string> data = Volumes(megabytes);
  const size_t total = megabytes << 20;
  std::printf("archive of %zu MB in %zu volumes, recovery %u %%, block 4096, %s\n", megabytes,
              data.size(), percent,
#if KELMORA_HAVE_ISAL
              "ISA-L"
#else
              "portable routines only"
#endif
  );

  uint32_t sink = 0;
  Report("block CRC32C", Seconds([&] {
           for (const std::string& v : data)
             for (size_t at = 0; at < v.size(); at += 4096)
               sink ^= Crc32c(0, v.data() + at, std::min<size_t>(4096, v.size() - at));
         }),
         total);
  Report("block CRC32C, portable", Seconds([&] {
           for (const std::string& v : data)
             for (size_t at = 0; at + 4096 <= v.size(); at += 4096)
               sink ^=
                   portable::Crc32cRaw(~0u, reinterpret_cast<const uint8_t*>(v.data()) + at, 4096);
         }),
         total);

  // Parity alone: every block fed to its group's parity, as the record's
  // build does, without reading or checksums.
  const uint64_t blocks = total / 4096;
  const RecoveryGeometry g = RecoveryGeometry::For(blocks, 4096, percent);
  const GroupCode code(static_cast<int>(g.DataPerGroup), static_cast<int>(g.ParityPerGroup));
  std::vector<uint8_t> parity(g.ParityPerGroup * size_t{4096});
  std::vector<uint8_t*> outputs(g.ParityPerGroup);
  for (uint32_t j = 0; j < g.ParityPerGroup; ++j) outputs[j] = parity.data() + j * size_t{4096};
  const auto* bytes = reinterpret_cast<const uint8_t*>(data[0].data());
  const size_t first = data[0].size() / 4096;
  Report("parity update (k/p as for the archive)", Seconds([&] {
           for (uint64_t b = 0; b < blocks; ++b)
             code.Encoder().Update(4096, static_cast<int>(b % g.DataPerGroup),
                                   bytes + (b % first) * 4096, outputs.data());
         }),
         total);
  std::vector<uint8_t> coefficients(g.ParityPerGroup * size_t{g.DataPerGroup}, 0);
  {
    std::vector<uint8_t> matrix((g.DataPerGroup + g.ParityPerGroup) * size_t{g.DataPerGroup});
    gf::CauchyMatrix(matrix.data(), static_cast<int>(g.DataPerGroup + g.ParityPerGroup),
                     static_cast<int>(g.DataPerGroup));
    std::copy(matrix.begin() + g.DataPerGroup * size_t{g.DataPerGroup}, matrix.end(),
              coefficients.begin());
  }
  const size_t portableBlocks = blocks / 10;
  Report("parity update, portable (a tenth)", Seconds([&] {
           for (uint64_t b = 0; b < portableBlocks; ++b)
             portable::Update(4096, static_cast<int>(g.DataPerGroup),
                              static_cast<int>(g.ParityPerGroup),
                              static_cast<int>(b % g.DataPerGroup), coefficients.data(),
                              bytes + (b % first) * 4096, outputs.data());
         }),
         portableBlocks * 4096);

  // The index of a large tree, as list -l reads it.
  {
    std::vector<IndexEntry> entries(100000);
    for (size_t i = 0; i < entries.size(); ++i)
      entries[i] = IndexEntry{"/home/ann/projects/kelmora/src/module" + std::to_string(i % 97) +
                                  "/file-" + std::to_string(i) + ".cpp",
                              1,
                              0,
                              static_cast<int64_t>(i) * 1000,
                              12345,
                              6789,
                              1,
                              0};
    std::string body;
    std::vector<IndexEntry> back;
    const double encode = Seconds([&] { body = EncodeIndex(entries); });
    std::printf("%-44s %7.3f s wall %7.3f s cpu (%zu bytes)\n", "index of 100,000 entries, encode",
                encode, cpu, body.size());
    const double decode = Seconds([&] { DecodeIndex(body, back); });
    std::printf("%-44s %7.3f s wall %7.3f s cpu\n", "index of 100,000 entries, decode", decode,
                cpu);
  }

  // The whole companion, as a backup makes it.
  MemoryVolumes source(std::move(data));
  const unsigned count = static_cast<unsigned>(source.Volumes().size());
  for (unsigned pct : {0u, percent, percent}) {
    static int round = 0;
    kelmora::TMemoryStream out;
    BuildOptions options;
    options.RecoveryPercent = pct;
    options.Threads = ++round == 3 ? 2 : 1;
    BuildResult result;
    const double s = Seconds([&] { result = BuildCompanion(source, count, {}, {}, options, out); });
    char what[80];
    std::snprintf(what, sizeof what, "companion, recovery %u %%, %u thread(s), %zu bytes", pct,
                  options.Threads, out.Data().size());
    Report(what, s, total);
    if (pct == 0 || round == 3) continue;
    CompanionReader reader(out);
    reader.Open();
    ChecksumTable table;
    std::string problem;
    LoadChecksums(reader, table, problem);
    CheckReport check;
    Report("check every block against the companion",
           Seconds([&] { CheckVolumes(source, reader, table, nullptr, check); }), total);
    RepairReport repair;
    Report("repair pass over a sound archive",
           Seconds([&] { repair = RepairArchive(source, reader, nullptr); }), total);
    // A stretch of 4 % zeroed, then repaired.
    const size_t stretch = total / 25;
    std::string& v = source.Volumes()[1];
    const std::string saved = v.substr(1000, std::min(stretch, v.size() - 1000));
    std::fill(v.begin() + 1000, v.begin() + 1000 + saved.size(), '\0');
    Report("repair of a zeroed stretch (dry run)",
           Seconds([&] { repair = RepairArchive(source, reader, nullptr); }), total);
    std::printf("  outcome %d, damaged %llu, repaired %llu\n", static_cast<int>(repair.Outcome),
                static_cast<unsigned long long>(repair.DamagedBlocks),
                static_cast<unsigned long long>(repair.RepairedBlocks));
    v.replace(1000, saved.size(), saved);
  }
  return sink == 0xFFFFFFFF ? 1 : 0;
}
