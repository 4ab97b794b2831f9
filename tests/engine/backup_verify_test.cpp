// SPDX-License-Identifier: GPL-3.0-or-later
//
// VerifyBeforeCommit: the new volumes are read back, under their
// temporary names, before they take the older archive's place. Damage
// there (a disk that returns other bytes than it took) keeps the older
// archive and removes the new volumes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Hashes rather than bytes, so that a failure prints names, not volumes.
std::map<std::string, size_t> Snapshot(const std::string& Folder) {
  std::map<std::string, size_t> files;
  for (const auto& entry : fs::directory_iterator(Folder))
    files[entry.path().filename().string()] =
        std::hash<std::string>{}(test::ReadFile(entry.path().string()));
  return files;
}

bool IsTemporaryVolume(const std::string& Leaf) {
  return Leaf.starts_with(".kelmora-") && Leaf.ends_with(".part");
}

// The temporary file of the last new volume: the only one that does not end
// with the name of the volume after it.
std::string LastTemporaryVolume(const std::string& Folder) {
  for (const auto& entry : fs::directory_iterator(Folder)) {
    if (!IsTemporaryVolume(entry.path().filename().string())) continue;
    const std::string bytes = test::ReadFile(entry.path().string());
    if (bytes.size() < 12 || bytes.compare(bytes.size() - 12, 9, "NEXT:DISK") != 0)
      return entry.path().string();
  }
  throw std::runtime_error("no temporary volume");
}

class Verify : public ::testing::TestWithParam<int32_t> {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "src/a", test::RandomBytes(200000, 1));
    test::WriteFile(dir_ / "src/b", test::TextBytes(40000, 2));
    fs::create_directories(dir_ / "out");
    TBackupFile older;
    older.MaxSize = GetParam();
    older.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    ASSERT_TRUE(older.Backup({dir_ / "src/b"}, dir_ / "out/x.bkp"));
    before_ = Snapshot(dir_ / "out");
    engine_.MaxSize = GetParam();
    engine_.VerifyBeforeCommit = true;
    engine_.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  }
  // Calls Act at the first progress event of the reading back: a names
  // the first file again after b, the last, was written.
  void OnReadingBack(std::function<void(TBackupFile&)> Act) {
    engine_.OnProgress = [this, Act](TBackupFile& Sender, const std::string& File, TPercentage,
                                     bool&) {
      if (File == dir_ / "src/b") written_ = true;
      if (written_ && File == dir_ / "src/a" && !acted_) {
        acted_ = true;
        Act(Sender);
      }
    };
  }
  bool Run() { return engine_.Backup({dir_ / "src/a", dir_ / "src/b"}, dir_ / "out/x.bkp"); }

  TempDir dir_;
  TBackupFile engine_;
  std::map<std::string, size_t> before_;
  bool written_ = false;
  bool acted_ = false;
};

TEST_P(Verify, DamageKeepsTheOlderArchive) {
  std::vector<TDamage> raised;
  engine_.OnDamage = [&](TBackupFile&, const TDamage& Damage) { raised.push_back(Damage); };
  OnReadingBack([&](TBackupFile&) {
    // A byte of b's last compressed chunk, which the reading has not reached.
    const std::string volume = LastTemporaryVolume(dir_ / "out");
    std::string bytes = test::ReadFile(volume);
    bytes[bytes.size() - 8 - 20] ^= 0x40;
    test::WriteFile(volume, bytes);
  });
  EXPECT_FALSE(Run());
  EXPECT_TRUE(acted_);
  EXPECT_EQ(beCannotWriteArchive, engine_.ErrorCode());
  EXPECT_EQ(dir_ / "out/x.bkp", engine_.Failure().Subject);
  ASSERT_EQ(1u, raised.size());
  EXPECT_EQ(dir_ / "src/b", raised[0].Filename);
  ASSERT_EQ(1u, engine_.Damages().size());
  EXPECT_EQ(dir_ / "src/b", engine_.Damages()[0].Filename);
  // The backup's own figures, not the reading's.
  EXPECT_EQ(2, engine_.FileCount());
  EXPECT_EQ(before_, Snapshot(dir_ / "out"));
}

TEST_P(Verify, AStopWhileReadingBackKeepsTheOlderArchive) {
  OnReadingBack([](TBackupFile& Sender) { Sender.Stop(); });
  EXPECT_FALSE(Run());
  EXPECT_TRUE(acted_);
  EXPECT_EQ(0, engine_.ErrorCode());
  EXPECT_EQ(before_, Snapshot(dir_ / "out"));
}

TEST_P(Verify, ASoundArchiveTakesTheOlderOnesPlace) {
  OnReadingBack([](TBackupFile&) {});
  ASSERT_TRUE(Run());
  EXPECT_TRUE(acted_);
  EXPECT_TRUE(engine_.Damages().empty());
  EXPECT_EQ(2, engine_.FilesDone());
  const auto archive = test::ReadArchiveFile(dir_ / "out/x.bkp");
  ASSERT_EQ(2u, archive.Entries.size());
  EXPECT_EQ(test::ReadFile(dir_ / "src/a"), test::EntryData(archive.Entries[0]));
  for (const auto& [name, hash] : Snapshot(dir_ / "out"))
    EXPECT_FALSE(IsTemporaryVolume(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(OneVolumeAndSplit, Verify, ::testing::Values(0, 20000));

}  // namespace
}  // namespace kelmora
