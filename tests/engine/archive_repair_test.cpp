// SPDX-License-Identifier: GPL-3.0-or-later
//
// Repair and protect on real volumes: what repair puts in place is the
// archive byte for byte; beyond the record, stopped or out of space it
// changes nothing; protect makes a companion that does what a backup's
// does, keeps the file records of the one there, and refuses damage.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "platform/working_files.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Every file of a folder with its bytes.
std::map<std::string, std::string> Contents(const std::string& Folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(Folder))
    files[e.path().filename()] = test::ReadFile(e.path());
  return files;
}

class ArchiveRepair : public ::testing::Test {
 protected:
  // Twenty volumes of about 16 KiB, a 5 % recovery record.
  void SetUp() override {
    test::WriteFile(dir_ / "src/data.bin", test::RandomBytes(330000, 5));
    test::WriteFile(dir_ / "src/notes.txt", test::TextBytes(4000, 6));
    Write(dir_ / "out", 5);
    sound_ = Contents(dir_ / "out");
  }
  void Write(const std::string& Folder, uint8_t Percent) {
    fs::create_directories(Folder);
    TBackupFile engine;
    engine.WriteCompanion = true;
    engine.RecoveryPercent = Percent;
    engine.MaxSize = static_cast<int32_t>(kSmallestVolumeSize);
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    ASSERT_TRUE(engine.Backup({dir_ / "src/*.*"}, Folder + "/x.bkp"))
        << engine.Failure().Subject << ": " << engine.Failure().Reason;
  }
  std::string Archive() const { return dir_ / "out/x.bkp"; }
  std::string Volume(unsigned N) const { return VolumeFileName(Archive(), N); }
  // The archive's volumes as one run of bytes, zeroed from From for Count.
  void Zero(int64_t From, int64_t Count) {
    for (unsigned v = 1; Count > 0 && fs::exists(Volume(v)); ++v) {
      std::string bytes = test::ReadFile(Volume(v));
      const auto size = static_cast<int64_t>(bytes.size());
      if (From < size) {
        const int64_t n = std::min(Count, size - From);
        std::fill(bytes.begin() + From, bytes.begin() + From + n, '\0');
        test::WriteFile(Volume(v), bytes);
        Count -= n;
        From = 0;
      } else {
        From -= size;
      }
    }
  }
  int64_t Total() const {
    int64_t total = 0;
    for (unsigned v = 1; fs::exists(Volume(v)); ++v) total += fs::file_size(Volume(v));
    return total;
  }

  TempDir dir_;
  std::map<std::string, std::string> sound_;
};

TEST_F(ArchiveRepair, DamageWithinTheRecordIsRepairedByteForByte) {
  ASSERT_GE(sound_.size(), 20u);
  struct Case {
    const char* what;
    std::function<void()> damage;
  };
  const std::vector<Case> cases = {
      {"a zeroed stretch of 4 %", [&] { Zero(Total() / 3, Total() * 4 / 100); }},
      {"a deleted volume", [&] { fs::remove(Volume(7)); }},
      {"a volume cut short and one grown",
       [&] {
         fs::resize_file(Volume(3), fs::file_size(Volume(3)) - 100);
         test::WriteFile(Volume(4), test::ReadFile(Volume(4)) + "tail");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    TBackupFile dryRun;
    EXPECT_TRUE(dryRun.Repair(Archive(), true));
    EXPECT_EQ(dryRun.RepairResult().Outcome, roRepairable);
    EXPECT_NE(Contents(dir_ / "out"), sound_) << "a dry run changes nothing";
    TBackupFile engine;
    EXPECT_TRUE(engine.Repair(Archive()));
    EXPECT_EQ(engine.RepairResult().Outcome, roRepaired);
    EXPECT_EQ(Contents(dir_ / "out"), sound_);
    TBackupFile again;
    EXPECT_TRUE(again.Repair(Archive()));
    EXPECT_EQ(again.RepairResult().Outcome, roSound);
  }
}

TEST_F(ArchiveRepair, BeyondTheRecordStoppedOrOutOfSpaceNothingChanges) {
  Zero(Total() / 4, Total() * 30 / 100);
  const auto damaged = Contents(dir_ / "out");
  TBackupFile engine;
  EXPECT_FALSE(engine.Repair(Archive()));
  EXPECT_EQ(engine.RepairResult().Outcome, roUnrepairable);
  EXPECT_EQ(engine.ErrorCode(), beCompression);
  EXPECT_FALSE(engine.RepairResult().Unrepairable.empty());
  EXPECT_EQ(Contents(dir_ / "out"), damaged) << "no copy left behind, nothing replaced";

  for (auto& [name, bytes] : sound_) test::WriteFile(dir_ / ("out/" + name), bytes);
  Zero(Total() / 3, 20000);
  const auto repairable = Contents(dir_ / "out");
  TBackupFile stopped;
  stopped.Hooks.ProcessMessages = [&] { stopped.Stop(); };
  EXPECT_FALSE(stopped.Repair(Archive()));
  EXPECT_EQ(stopped.RepairResult().Outcome, roStopped);
  EXPECT_EQ(Contents(dir_ / "out"), repairable);
}

TEST_F(ArchiveRepair, AFullDiskChangesNothing) {
  fs::create_directories(dir_ / "disk");
  if (!test::MountSmallFileSystem(dir_ / "disk", "480k")) GTEST_SKIP() << "no small file system";
  Write(dir_ / "disk", 5);
  const std::string archive = dir_ / "disk/x.bkp";
  // The disk filled once the volume is gone: its copy no longer fits.
  fs::remove(VolumeFileName(archive, 2));
  const int fd = ::open((dir_ / "disk/filler").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'f');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  while (::write(fd, "f", 1) > 0) {
  }
  ::close(fd);
  const auto before = Contents(dir_ / "disk");
  TBackupFile engine;
  const bool ok = engine.Repair(archive);
  const auto after = Contents(dir_ / "disk");
  const TFailure failure = engine.Failure();
  test::UnmountFileSystem(dir_ / "disk");
  EXPECT_FALSE(ok);
  EXPECT_EQ(engine.RepairResult().Outcome, roFailed);
  EXPECT_EQ(failure.Code, beCannotWriteArchive);
  EXPECT_EQ(failure.Reason, std::strerror(ENOSPC));
  EXPECT_EQ(after, before);
}

// Repair and protect replace the archive's files: while another run holds
// the archive they are refused and change nothing (a dry run only reads,
// beside other readers), and each removes what a cut one left.
TEST_F(ArchiveRepair, RepairAndProtectHoldTheArchiveAndClearWhatCutRunsLeft) {
  fs::remove(Volume(7));
  const auto damaged = Contents(dir_ / "out");
  {
    platform::RunLock other;
    ASSERT_EQ(other.Take(Archive(), platform::RunLock::Mode::Shared, 0), 0);
    TBackupFile repair;
    EXPECT_FALSE(repair.Repair(Archive()));
    EXPECT_EQ(repair.RepairResult().Outcome, roFailed);
    EXPECT_EQ(repair.Failure().Code, beCannotWriteArchive);
    EXPECT_EQ(repair.Failure().Reason, kArchiveInUse);
    TBackupFile protect;
    protect.RecoveryPercent = 5;
    EXPECT_FALSE(protect.Protect(Archive()));
    EXPECT_EQ(protect.Failure().Reason, kArchiveInUse);
    TBackupFile dryRun;
    EXPECT_TRUE(dryRun.Repair(Archive(), true));
    EXPECT_EQ(dryRun.RepairResult().Outcome, roRepairable);
  }
  EXPECT_EQ(Contents(dir_ / "out"), damaged);

  test::WriteFile(dir_ / "out/.kelmora-abandoned0.part", "half a volume");
  TBackupFile repair;
  EXPECT_TRUE(repair.Repair(Archive())) << DescribeFailure(repair.Failure());
  EXPECT_EQ(Contents(dir_ / "out"), sound_);
  test::WriteFile(dir_ / "out/.kelmora-abandoned1.part", "half a companion");
  TBackupFile protect;
  protect.RecoveryPercent = 5;
  protect.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};  // each volume is there
  EXPECT_TRUE(protect.Protect(Archive())) << DescribeFailure(protect.Failure());
  auto now = Contents(dir_ / "out");
  auto expected = sound_;
  now.erase("x.bkp.kx");
  expected.erase("x.bkp.kx");
  EXPECT_EQ(now, expected) << "the volumes untouched, no leftover";
}

// Protect gives an archive written without a companion what a backup's
// gives it: sizes, checks where the archive has none, a record to repair
// from; over a companion that belongs it keeps the file records.
TEST(ArchiveProtect, AddsWhatABackupsCompanionGives) {
  TempDir dir;
  test::WriteFile(dir / "src/a.txt", test::TextBytes(40000, 1));
  test::WriteFile(dir / "src/photo.jpg", test::RandomBytes(40000, 2));
  fs::create_symlink("a.txt", dir / "src/link");
  TBackupFile plain;
  ASSERT_TRUE(plain.Backup({dir / "src/a.txt", dir / "src/photo.jpg"}, dir / "x.bkp"));
  TBackupFile protect;
  protect.RecoveryPercent = 10;
  ASSERT_TRUE(protect.Protect(dir / "x.bkp")) << DescribeFailure(protect.Failure());
  std::vector<int64_t> sizes;
  TBackupFile lister;
  lister.ListArchive(dir / "x.bkp",
                     [&](TBackupFile&, const TArchiveEntry& E) { sizes.push_back(E.Size); });
  EXPECT_EQ(sizes, (std::vector<int64_t>{40000, 40000}));
  const std::string sound = test::ReadFile(dir / "x.bkp");
  std::string damaged = sound;
  damaged[sound.size() - 9000] ^= 1;  // inside the photo's stored pieces
  test::WriteFile(dir / "x.bkp", damaged);
  TBackupFile tester;
  EXPECT_FALSE(tester.Test(dir / "x.bkp"));
  EXPECT_EQ(tester.Damages().at(0).Filename, dir / "src/photo.jpg");
  TBackupFile refused;
  EXPECT_FALSE(refused.Protect(dir / "x.bkp")) << "it would take the damage for the contents";
  TBackupFile repair;
  EXPECT_TRUE(repair.Repair(dir / "x.bkp"));
  EXPECT_TRUE(test::ReadFile(dir / "x.bkp") == sound);

  // A backup's companion with a link's record, protected again: the link
  // still comes back.
  TBackupFile backup;
  backup.WriteCompanion = true;
  ASSERT_TRUE(backup.Backup({dir / "src/*.*"}, dir / "y.bkp"));
  TBackupFile again;
  again.RecoveryPercent = 5;
  ASSERT_TRUE(again.Protect(dir / "y.bkp"));
  TBackupFile restore;
  restore.RestoreFullPath = true;
  ASSERT_TRUE(restore.Restore(dir / "y.bkp", dir / "out"));
  EXPECT_EQ(fs::read_symlink(dir / "out" + (dir / "src/link")), "a.txt");
}

}  // namespace
}  // namespace kelmora
#endif
