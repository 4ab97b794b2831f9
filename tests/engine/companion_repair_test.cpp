// SPDX-License-Identifier: GPL-3.0-or-later
//
// Repair from the recovery record, on archive-like volumes of a few
// megabytes with 5 % parity: each kind of damage the record is made for
// comes back byte for byte, damage beyond it is refused and named, and no
// block is ever handed on that disagrees with its checksum.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "companion_support.h"
#include "engine/companion/archive_check.h"
#include "engine/companion/erasure_code.h"
#include "test_support.h"

namespace kelmora::companion {
namespace {

using test::ArchiveLike;
using test::Companion;
using test::RepairCopy;

constexpr size_t kVolumes = 25;
constexpr size_t kVolumeSize = 240 * 1024;
constexpr size_t kSmallBudget = 64 * 1024;  // one group a batch

class CompanionRepair : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    original_ = new std::vector<std::string>(ArchiveLike(kVolumes, kVolumeSize, 1));
    companion_ = new std::string(Companion(*original_, 5));
  }
  static void TearDownTestSuite() {
    delete original_;
    delete companion_;
  }
  static const std::vector<std::string>& Original() { return *original_; }
  static const std::string& Record() { return *companion_; }

  // Repairs with the whole record in one batch and one group a batch; both
  // must give the same.
  static void ExpectRepaired(const std::vector<std::string>& Damaged,
                             const std::vector<unsigned>& Missing = {}) {
    for (size_t budget : {kDefaultMemoryBudget, kSmallBudget}) {
      const test::Repaired r = RepairCopy(Damaged, Missing, Record(), budget);
      EXPECT_EQ(r.report.Outcome, RepairOutcome::Repaired) << r.report.Problem;
      EXPECT_EQ(r.report.UnrepairableBlocks, 0u);
      EXPECT_EQ(r.report.RepairedBlocks, r.report.DamagedBlocks);
      EXPECT_EQ(r.puts, r.report.RepairedBlocks);
      ASSERT_EQ(r.volumes.size(), Original().size());
      for (size_t v = 0; v < r.volumes.size(); ++v)
        ASSERT_TRUE(r.volumes[v] == Original()[v]) << "volume " << v + 1 << " budget " << budget;
    }
  }

 private:
  static std::vector<std::string>* original_;
  static std::string* companion_;
};

std::vector<std::string>* CompanionRepair::original_ = nullptr;
std::string* CompanionRepair::companion_ = nullptr;

RecoveryGeometry GeometryOf(const std::string& CompanionBytes) {
  test::StringStream s(CompanionBytes);
  CompanionReader reader(s);
  EXPECT_EQ(reader.Open(), CompanionState::Sound);
  std::string head(kRecoveryHeadSize, '\0');
  RecoveryGeometry g;
  EXPECT_TRUE(reader.ReadAt(*reader.Find(kRecoverySection), 0, head.data(), head.size()));
  EXPECT_TRUE(DecodeRecoveryHead(head, g));
  return g;
}

TEST_F(CompanionRepair, SoundArchiveNeedsNothing) {
  const test::Repaired r = RepairCopy(Original(), {}, Record());
  EXPECT_EQ(r.report.Outcome, RepairOutcome::Sound);
  EXPECT_EQ(r.report.DamagedBlocks, 0u);
  EXPECT_EQ(r.puts, 0u);
  EXPECT_TRUE(r.report.TableSound);
  // The record costs about its percentage, plus the checksums' thousandth.
  const double share = static_cast<double>(Record().size()) / test::TotalSize(Original());
  EXPECT_GT(share, 0.05);
  EXPECT_LT(share, 0.06);
}

TEST_F(CompanionRepair, ZeroedStretchOfFourPercent) {
  std::vector<std::string> damaged = Original();
  const size_t total = test::TotalSize(damaged);
  // Across the boundary of volumes 6 and 7, starting inside a block.
  test::Zero(damaged, 6 * kVolumeSize - total / 50 + 123, total * 4 / 100);
  ExpectRepaired(damaged);
}

TEST_F(CompanionRepair, TenDamagedBlocksInEveryGroup) {
  const RecoveryGeometry g = GeometryOf(Record());
  ASSERT_GE(g.ParityPerGroup, 10u);
  std::vector<std::string> damaged = Original();
  std::mt19937 rng(2);
  std::vector<char*> bytes;
  for (std::string& v : damaged)
    for (size_t at = 0; at < v.size(); at += g.BlockSize) bytes.push_back(v.data() + at);
  for (uint64_t group = 0; group < g.Groups; ++group) {
    std::vector<uint64_t> rows;
    for (uint64_t r = 0; r * g.Groups + group < g.DataBlocks; ++r) rows.push_back(r);
    std::shuffle(rows.begin(), rows.end(), rng);
    for (int i = 0; i < 10; ++i) {
      char* block = bytes[rows[i] * g.Groups + group];
      for (int x = 0; x < 4096; x += 7) block[x] = static_cast<char>(rng());
    }
  }
  ExpectRepaired(damaged);
}

TEST_F(CompanionRepair, DeletedVolumeOfTwentyFive) {
  std::vector<std::string> damaged = Original();
  damaged[12].clear();
  ExpectRepaired(damaged, {13});
}

TEST_F(CompanionRepair, ForeignVolumeOfTheSameSize) {
  std::vector<std::string> damaged = Original();
  damaged[3] = ArchiveLike(1, kVolumeSize, 99)[0].substr(0, damaged[3].size());
  damaged[3].resize(Original()[3].size(), 'x');
  MemoryVolumes source(damaged);
  test::StringStream s(Record());
  CompanionReader reader(s);
  ASSERT_EQ(reader.Open(), CompanionState::Sound);
  ChecksumTable table;
  std::string problem;
  ASSERT_TRUE(LoadChecksums(reader, table, problem));
  EXPECT_FALSE(MatchesArchive(source, reader, table));
  CheckReport check;
  ASSERT_TRUE(CheckVolumes(source, reader, table, nullptr, check));
  EXPECT_TRUE(check.Volumes[3].Foreign());
  EXPECT_FALSE(check.Volumes[2].Foreign());
  ExpectRepaired(damaged);
}

TEST_F(CompanionRepair, BitFlipsOneInTenThousandBytes) {
  std::vector<std::string> damaged = Original();
  std::mt19937_64 rng(3);
  const size_t total = test::TotalSize(damaged);
  size_t flips = 0;
  for (std::string& v : damaged)
    for (size_t at = 0; at < v.size(); ++at)
      if (rng() % 10000 == 0) {
        v[at] = static_cast<char>(v[at] ^ (1 << (rng() % 8)));
        ++flips;
      }
  ASSERT_GT(flips, total / 12000);
  const test::Repaired r = RepairCopy(damaged, {}, Record());
  // About a third of all blocks hold a flip: many times the parity of any
  // group, far beyond what erasures alone could rebuild.
  const RecoveryGeometry g = GeometryOf(Record());
  EXPECT_GT(r.report.DamagedBlocks, 4 * g.ParityBlocks());
  ExpectRepaired(damaged);
}

TEST_F(CompanionRepair, FlipsAndAZeroedStretchTogether) {
  std::vector<std::string> damaged = Original();
  std::mt19937_64 rng(8);
  for (std::string& v : damaged)
    for (size_t at = 0; at < v.size(); ++at)
      if (rng() % 20000 == 0) v[at] = static_cast<char>(v[at] ^ 0x10);
  test::Zero(damaged, 3 * kVolumeSize, test::TotalSize(damaged) / 50);
  ExpectRepaired(damaged);
}

TEST_F(CompanionRepair, EightPercentZeroedIsRefusedAndNamed) {
  std::vector<std::string> damaged = Original();
  const size_t total = test::TotalSize(damaged);
  const size_t from = 10 * kVolumeSize + 5000;
  const size_t count = total * 8 / 100;
  test::Zero(damaged, from, count);
  for (size_t budget : {kDefaultMemoryBudget, kSmallBudget}) {
    const test::Repaired r = RepairCopy(damaged, {}, Record(), budget);
    EXPECT_EQ(r.report.Outcome, RepairOutcome::Unrepairable);
    EXPECT_EQ(r.puts, r.report.RepairedBlocks);
    EXPECT_GT(r.report.UnrepairableBlocks, 0u);
    // Every block named lies within the zeroed stretch, and together they
    // are the whole stretch but for what a repaired group gave back.
    int64_t named = 0;
    for (const DamagedRange& d : r.report.Unrepairable) {
      const size_t start = (d.Volume - 1) * kVolumeSize + static_cast<size_t>(d.Offset);
      EXPECT_GE(start + static_cast<size_t>(d.Length), from);
      EXPECT_LE(start, from + count);
      named += d.Length;
    }
    EXPECT_EQ(r.report.UnreportedBlocks, 0u);
    EXPECT_GE(named + static_cast<int64_t>(r.report.RepairedBlocks) * 4096,
              static_cast<int64_t>(count));
    // What was handed on is only what agrees with the original.
    for (size_t v = 0; v < damaged.size(); ++v)
      for (size_t at = 0; at < damaged[v].size(); at += 4096)
        if (r.volumes[v].compare(at, 4096, damaged[v], at, 4096) != 0) {
          ASSERT_EQ(r.volumes[v].compare(at, 4096, Original()[v], at, 4096), 0);
        }
  }
}

TEST_F(CompanionRepair, CutAndGrownVolumes) {
  std::vector<std::string> damaged = Original();
  damaged[7].resize(damaged[7].size() - 10000);  // cut inside a block
  damaged[20] += "trailing bytes";
  const test::Repaired r = RepairCopy(damaged, {}, Record());
  EXPECT_EQ(r.report.Volumes[7].Found, static_cast<int64_t>(Original()[7].size() - 10000));
  EXPECT_EQ(r.report.Volumes[20].Found, static_cast<int64_t>(Original()[20].size() + 14));
  ExpectRepaired(damaged);
}

TEST_F(CompanionRepair, DamagedParityCostsOnlyCapacity) {
  std::string record = Record();
  test::StringStream s(record);
  CompanionReader reader(s);
  ASSERT_EQ(reader.Open(), CompanionState::Sound);
  const SectionInfo parity = *reader.Find(kParitySection);
  const RecoveryGeometry g = GeometryOf(Record());
  // A flip in one parity block of every group, and a stretch of data gone.
  for (uint64_t group = 0; group < g.Groups; ++group)
    record[parity.BodyAt + (group * g.ParityPerGroup + group % g.ParityPerGroup) * 4096 + 100] ^= 1;
  std::vector<std::string> damaged = Original();
  test::Zero(damaged, 2 * kVolumeSize, test::TotalSize(damaged) / 100);
  const test::Repaired r = RepairCopy(damaged, {}, record);
  EXPECT_EQ(r.report.Outcome, RepairOutcome::Repaired);
  EXPECT_EQ(r.report.DamagedParity, g.Groups);
  for (size_t v = 0; v < damaged.size(); ++v) ASSERT_TRUE(r.volumes[v] == Original()[v]);
}

TEST_F(CompanionRepair, DamagedChecksumTableNeverPassesBadBlocks) {
  std::string record = Record();
  test::StringStream s(record);
  CompanionReader reader(s);
  ASSERT_EQ(reader.Open(), CompanionState::Sound);
  const SectionInfo table = *reader.Find(kChecksumSection);
  record[table.BodyAt + 8 + 4 * 10] ^= 0x40;  // block 10's checksum
  const test::Repaired r = RepairCopy(Original(), {}, record);
  EXPECT_FALSE(r.report.TableSound);
  // The sound block under a wrong checksum cannot be confirmed, and nothing
  // is put in its place.
  EXPECT_EQ(r.report.Outcome, RepairOutcome::Unrepairable);
  EXPECT_EQ(r.report.UnrepairableBlocks, 1u);
  ASSERT_EQ(r.report.Unrepairable.size(), 1u);
  EXPECT_EQ(r.report.Unrepairable[0], (DamagedRange{1, 10 * 4096, 4096}));
  EXPECT_EQ(r.puts, 0u);
}

TEST_F(CompanionRepair, CutCompanionKeepsItsChecks) {
  test::StringStream whole(Record());
  CompanionReader full(whole);
  ASSERT_EQ(full.Open(), CompanionState::Sound);
  const std::string cut = Record().substr(0, full.Find(kParitySection)->BodyAt + 100);
  test::StringStream s(cut);
  CompanionReader reader(s);
  EXPECT_EQ(reader.Open(), CompanionState::Incomplete);
  ChecksumTable table;
  std::string problem;
  ASSERT_TRUE(LoadChecksums(reader, table, problem)) << problem;
  std::vector<std::string> damaged = Original();
  damaged[4][100] ^= 1;
  MemoryVolumes source(damaged);
  CheckReport check;
  ASSERT_TRUE(CheckVolumes(source, reader, table, nullptr, check));
  EXPECT_EQ(check.DamagedBlocks, 1u);
  const test::Repaired r = RepairCopy(damaged, {}, cut);
  EXPECT_EQ(r.report.Outcome, RepairOutcome::NoRecord);
  EXPECT_EQ(r.puts, 0u);
}

TEST_F(CompanionRepair, RecordMadeInSmallBatchesIsTheSame) {
  EXPECT_EQ(Companion(Original(), 5, kSmallBudget), Record());
}

// The same volumes give the same companion byte for byte in every build:
// ISA-L's and the portable arithmetic's (the Windows build) alike.
TEST(CompanionRepairRecord, SameBytesInEveryBuild) {
  const std::string record = Companion(ArchiveLike(3, 300000, 6), 5);
  EXPECT_EQ(record.size(), 50372u);
  EXPECT_EQ(Crc32c(0, record.data(), record.size()), 32419884u);
}

TEST(CompanionRepairRecord, WithoutRecordOrCompanion) {
  const std::vector<std::string> volumes = ArchiveLike(3, 50000, 4);
  const test::Repaired none = RepairCopy(volumes, {}, Companion(volumes, 0));
  EXPECT_EQ(none.report.Outcome, RepairOutcome::NoRecord);
  EXPECT_FALSE(none.report.Problem.empty());
  const test::Repaired garbage = RepairCopy(volumes, {}, std::string(100, 'x'));
  EXPECT_EQ(garbage.report.Outcome, RepairOutcome::Unusable);
  // A companion of another archive: its volumes' sizes differ.
  std::vector<std::string> other = ArchiveLike(3, 60000, 4);
  const test::Repaired foreign = RepairCopy(other, {}, Companion(volumes, 5));
  EXPECT_NE(foreign.report.Outcome, RepairOutcome::Repaired);
  EXPECT_NE(foreign.report.Outcome, RepairOutcome::Sound);
  EXPECT_EQ(foreign.puts, 0u);
}

// The volumes as files, by the archive's name or by names of their own,
// read as the same bytes as from memory.
TEST(CompanionRepairRecord, VolumesOnDisk) {
  const std::vector<std::string> volumes = ArchiveLike(3, 70000, 7);
  kelmora::test::TempDir dir;
  const std::vector<std::string> names{dir / "a.bkp", dir / "a.002", dir / "a.003"};
  for (size_t v = 0; v < 3; ++v) kelmora::test::WriteFile(names[v], volumes[v]);
  const std::string expected = Companion(volumes, 5);
  for (int byName = 0; byName < 2; ++byName) {
    FileVolumes files = byName ? FileVolumes(names) : FileVolumes(names[0]);
    TMemoryStream out;
    BuildOptions options;
    options.RecoveryPercent = 5;
    ASSERT_TRUE(BuildCompanion(files, 3, {}, {}, options, out).Done);
    EXPECT_TRUE(out.Text() == expected);
  }
  std::filesystem::remove(names[1]);
  std::filesystem::create_directory(names[1]);  // a folder in a volume's place
  FileVolumes files(names[0]);
  EXPECT_EQ(files.Size(2), -1);
  EXPECT_EQ(files.Size(3), static_cast<int64_t>(volumes[2].size()));
  char byte = 0;
  EXPECT_EQ(files.ReadAt(2, 0, &byte, 1), -1);
  TMemoryStream out;
  const BuildResult result = BuildCompanion(files, 3, {}, {}, BuildOptions(), out);
  EXPECT_FALSE(result.Done);
  EXPECT_EQ(result.Volume, 2u);
}

TEST(CompanionCheck, DamagedRunsNamedInOrder) {
  std::vector<std::string> volumes = ArchiveLike(3, 50000, 5);
  const std::string record = Companion(volumes, 0);
  volumes[0][4096 * 2 + 5] ^= 1;
  volumes[0][4096 * 3] ^= 1;
  volumes[1][49999] ^= 1;  // the last, short block of a volume
  volumes[2].resize(30000);
  MemoryVolumes source(volumes);
  test::StringStream s(record);
  CompanionReader reader(s);
  ASSERT_EQ(reader.Open(), CompanionState::Sound);
  ChecksumTable table;
  std::string problem;
  ASSERT_TRUE(LoadChecksums(reader, table, problem)) << problem;
  std::vector<DamagedRange> runs;
  CheckReport report;
  ASSERT_TRUE(CheckVolumes(
      source, reader, table, [&](const DamagedRange& d) { runs.push_back(d); }, report));
  const std::vector<DamagedRange> expected{
      {1, 8192, 8192}, {2, 49152, 50000 - 49152}, {3, 28672, 49000 - 28672}};
  EXPECT_EQ(runs, expected);
  EXPECT_EQ(report.DamagedBlocks, 2u + 1 + 5);
  EXPECT_EQ(report.Volumes[2].Found, 30000);
  EXPECT_FALSE(report.Sound());
  EXPECT_TRUE(report.TableSound);
}

}  // namespace
}  // namespace kelmora::companion
