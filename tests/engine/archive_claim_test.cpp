// SPDX-License-Identifier: GPL-3.0-or-later
//
// Runs on one archive never interleave, and each run removes what cut runs
// left: a backup waits for the lock beside its archive and is refused with
// code 4 while another run holds it, the readers with code 3 while a
// backup does; the leftovers go, the files of runs under way and the
// user's own stay, and no backup ever stores a temporary or a lock.
#include "engine/archive_claim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/working_files.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

std::set<std::string> Names(const std::string& Folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Folder))
    names.insert(entry.path().filename().string());
  return names;
}

class ArchiveClaimRun : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "src/a.txt", test::TextBytes(30000, 1));
    test::WriteFile(dir_ / "src/b.bin", test::RandomBytes(50000, 2));
    std::filesystem::create_directory(dir_ / "arc");
    ASSERT_TRUE(engine_.Backup({dir_ / "src/*.*"}, Archive()));
    older_ = test::ReadFile(Archive());
    test::WriteFile(dir_ / "src/a.txt", test::TextBytes(31000, 3));
  }
  std::string Archive() const { return dir_ / "arc/x.bkp"; }

  TempDir dir_;
  TBackupFile engine_;
  std::string older_;
};

TEST_F(ArchiveClaimRun, ABackupIsRefusedWhileAnotherRunHoldsTheArchive) {
  for (const auto mode : {platform::RunLock::Mode::Shared, platform::RunLock::Mode::Exclusive}) {
    platform::RunLock other;
    ASSERT_EQ(other.Take(Archive(), mode, 0), 0);
    int reported = 0;
    engine_.OnError = [&reported](TBackupFile&, int32_t Code, const std::string&) {
      reported = Code;
    };
    EXPECT_FALSE(engine_.Backup({dir_ / "src/*.*"}, Archive()));
    EXPECT_EQ(reported, beCannotWriteArchive);
    EXPECT_EQ(engine_.Failure().Code, beCannotWriteArchive);
    EXPECT_EQ(engine_.Failure().Subject, Archive());
    EXPECT_EQ(engine_.Failure().Reason, kArchiveInUse);
    EXPECT_FALSE(engine_.Busy());
    // Nothing of the refused run is left, and the older archive is whole.
    EXPECT_EQ(test::ReadFile(Archive()), older_);
    EXPECT_EQ(Names(dir_ / "arc"), (std::set<std::string>{"x.bkp", ".x.bkp.kelmora-lock"}));
  }
  EXPECT_TRUE(engine_.Backup({dir_ / "src/*.*"}, Archive()));
  EXPECT_NE(test::ReadFile(Archive()), older_);
}

TEST_F(ArchiveClaimRun, ReadersShareTheArchiveAndAreRefusedWhileABackupHoldsIt) {
  {
    platform::RunLock reader;
    ASSERT_EQ(reader.Take(Archive(), platform::RunLock::Mode::Shared, 0), 0);
    EXPECT_TRUE(engine_.Test(Archive()));
    EXPECT_TRUE(engine_.Restore(Archive(), dir_ / "out1"));
    int listed = 0;
    EXPECT_TRUE(engine_.ListArchive(Archive(),
                                    [&listed](TBackupFile&, const TArchiveEntry&) { ++listed; }));
    EXPECT_EQ(listed, 2);
  }
  platform::RunLock backup;
  ASSERT_EQ(backup.Take(Archive(), platform::RunLock::Mode::Exclusive, 0), 0);
  EXPECT_FALSE(engine_.Test(Archive()));
  EXPECT_EQ(engine_.Failure().Code, beCannotReadArchive);
  EXPECT_EQ(engine_.Failure().Reason, kArchiveInUse);
  EXPECT_FALSE(engine_.Restore(Archive(), dir_ / "out2"));
  EXPECT_EQ(engine_.Failure().Code, beCannotReadArchive);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out2/a.txt"));
  EXPECT_FALSE(engine_.ListArchive(Archive(), [](TBackupFile&, const TArchiveEntry&) {}));
  EXPECT_EQ(engine_.Failure().Code, beCannotReadArchive);
  EXPECT_EQ(engine_.GetArchiveTitle(Archive(), nullptr), "");
  EXPECT_EQ(engine_.Failure().Reason, kArchiveInUse);
}

TEST_F(ArchiveClaimRun, RunsRemoveWhatCutRunsLeftAndKeepWhatRunsHold) {
  // Beside the archive: two abandoned volumes, one a run is writing, and
  // the user's own file that only looks alike.
  test::WriteFile(dir_ / "arc/.kelmora-abandoned0.part", "half a volume");
  test::WriteFile(dir_ / "arc/.kelmora-abandoned1.part", "");
  test::WriteFile(dir_ / "arc/notes.kelmora.part", "the user's");
  std::string held;
  platform::File writing = platform::CreateFileBeside(dir_ / "arc/other.bkp", held);
  ASSERT_TRUE(writing.Valid());
  EXPECT_TRUE(engine_.Backup({dir_ / "src/*.*"}, Archive()));
  EXPECT_EQ(Names(dir_ / "arc"),
            (std::set<std::string>{"x.bkp", "notes.kelmora.part",
                                   std::filesystem::path(held).filename().string()}));

  // In a restore folder, in a sub-folder the run writes to.
  test::WriteFile(dir_ / "out/sub/keep.txt", "keep");
  test::WriteFile(dir_ / "out/sub/.kelmora-abandoned2.part", "half a file");
  TBackupFile restore;
  restore.RestoreFullPath = false;
  test::WriteFile(dir_ / "tree/sub/a.txt", "new");
  ASSERT_TRUE(engine_.Backup({dir_ / "tree/sub/a.txt"}, dir_ / "arc/y.bkp"));
  ASSERT_TRUE(restore.Restore(dir_ / "arc/y.bkp", dir_ / "out/sub"));
  EXPECT_EQ(Names(dir_ / "out/sub"), (std::set<std::string>{"a.txt", "keep.txt"}));
  // The run that wrote it ends, as a run does, before its folder goes.
  writing = platform::File();
  platform::ReleaseTemporary(held);
}

TEST_F(ArchiveClaimRun, ABackupNeverStoresATemporaryOrALock) {
  test::WriteFile(dir_ / "src/.kelmora-abandoned0.part", "a cut run's");
  test::WriteFile(dir_ / "src/.x.bkp.kelmora-lock", "");
  test::WriteFile(dir_ / "src/.hidden", "the user's hidden file");
  platform::RunLock otherArchive;  // a lock of an archive kept in the source
  ASSERT_EQ(otherArchive.Take(dir_ / "src/y.bkp", platform::RunLock::Mode::Shared, 0), 0);
  std::set<std::string> stored;
  ASSERT_TRUE(engine_.Backup({dir_ / "src/*.* /s"}, Archive()));
  ASSERT_TRUE(engine_.ListArchive(Archive(), [&stored](TBackupFile&, const TArchiveEntry& Entry) {
    stored.insert(std::filesystem::path(Entry.Name).filename().string());
  }));
  EXPECT_EQ(stored, (std::set<std::string>{"a.txt", "b.bin", ".hidden"}));
}

}  // namespace
}  // namespace kelmora
