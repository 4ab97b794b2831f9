// SPDX-License-Identifier: GPL-3.0-or-later
//
// SkipUnreadable: a file that fails part-way or cannot be opened at its
// turn is taken out of the archive whole, named with the system's reason,
// and the archive around it is complete and sound; without the option the
// first such file ends the run, as it always did.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "engine/backup_writer_fuse.h"
#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

class SkipUnreadable : public ::testing::TestWithParam<unsigned> {
 protected:
  bool Serve(test::FaultyFileSystem::File File) {
    std::filesystem::create_directories(dir_ / "mnt");
    fs_ = std::make_unique<test::FaultyFileSystem>(dir_ / "mnt", std::move(File));
    if (!fs_->Mounted()) return false;
    std::filesystem::create_symlink(fs_->FilePath(), dir_ / "src/b-faulty");
    return true;
  }
  std::string Archive() const { return dir_ / "x.bkp"; }

  // Two sound files around the faulty one, each several pieces long, so
  // that the one after it is read ahead while the faulty one is written.
  void MakeNeighbours() {
    before_ = test::TextBytes(70000, 1);
    after_ = test::RandomBytes(50000, 2);
    test::WriteFile(dir_ / "src/a-before", before_);
    test::WriteFile(dir_ / "src/c-after", after_);
  }

  // Backs src/ up with SkipUnreadable and checks what every run must give:
  // true, code 9 naming the faulty file with Reason, an archive of the two
  // neighbours whole, its header counting them.
  void ExpectLeftOut(const std::string& Reason, bool FileIds = false) {
    TBackupFile engine;
    engine.SkipUnreadable = true;
    engine.SaveFileID = FileIds;
    engine.Threads = GetParam();
    test::RunLog log;
    test::Record(engine, log);
    ASSERT_TRUE(engine.Backup({dir_ / "src/*.*"}, Archive()));
    EXPECT_EQ(log.Errors, std::vector<int32_t>{beFilesLeftOut});
    ASSERT_EQ(engine.Unreadable().size(), 1u);
    EXPECT_EQ(engine.Unreadable()[0].Subject, dir_ / "src/b-faulty");
    EXPECT_EQ(engine.Unreadable()[0].Reason, Reason);
    EXPECT_EQ(engine.Failure().Code, beFilesLeftOut);
    EXPECT_EQ(engine.FileCount(), 2);
    EXPECT_EQ(engine.FilesDone(), 2);

    const auto archive = test::ReadArchiveFile(Archive());
    EXPECT_TRUE(archive.EndMarker);
    EXPECT_EQ(archive.Header.FileCount, 2);
    const size_t first = FileIds ? 1 : 0;
    ASSERT_EQ(archive.Entries.size(), first + 2);
    EXPECT_EQ(archive.Entries[first].Name, dir_ / "src/a-before");
    EXPECT_EQ(test::EntryData(archive.Entries[first]), before_);
    EXPECT_EQ(archive.Entries[first + 1].Name, dir_ / "src/c-after");
    EXPECT_EQ(test::EntryData(archive.Entries[first + 1]), after_);
    TBackupFile check;
    EXPECT_TRUE(check.Test(Archive()));
  }

  TempDir dir_;
  std::unique_ptr<test::FaultyFileSystem> fs_;
  std::string before_, after_;
};

#define SERVE_OR_SKIP(file) \
  if (!Serve(file)) GTEST_SKIP() << "FUSE is not available here"

// Read errors after two pieces: the entry already written is taken back.
TEST_P(SkipUnreadable, AReadErrorPartWayTakesTheEntryOut) {
  MakeNeighbours();
  SERVE_OR_SKIP((test::FaultyFileSystem::File{test::TextBytes(100000, 3), 40000}));
  ExpectLeftOut(platform::ErrorText(EIO));
}

// Measured fine, closed to the run at its turn.
TEST_P(SkipUnreadable, AnOpenFailingAtItsTurnLeavesNoEntry) {
  MakeNeighbours();
  SERVE_OR_SKIP((test::FaultyFileSystem::File{"data", -1, 1}));
  ExpectLeftOut(platform::ErrorText(EACCES), true);
}

// Without the option the first one ends the run and no archive is left.
TEST_P(SkipUnreadable, WithoutItTheFirstEndsTheRun) {
  MakeNeighbours();
  SERVE_OR_SKIP((test::FaultyFileSystem::File{test::TextBytes(100000, 3), 40000}));
  TBackupFile engine;
  engine.Threads = GetParam();
  test::RunLog log;
  test::Record(engine, log);
  EXPECT_FALSE(engine.Backup({dir_ / "src/*.*"}, Archive()));
  EXPECT_EQ(log.Errors, std::vector<int32_t>{beCannotReadFile});
  EXPECT_EQ(engine.Failure().Subject, dir_ / "src/b-faulty");
  EXPECT_EQ(engine.Failure().Reason, platform::ErrorText(EIO));
  EXPECT_FALSE(std::filesystem::exists(Archive()));
}

INSTANTIATE_TEST_SUITE_P(Threads, SkipUnreadable, ::testing::Values(1u, 4u));

// A stream cannot be taken back: a read error still ends the run there.
TEST(SkipUnreadableStream, AReadErrorOnAStreamStillFails) {
  TempDir dir;
  std::filesystem::create_directories(dir / "mnt");
  test::FaultyFileSystem fs(dir / "mnt", {test::TextBytes(100000, 3), 40000});
  if (!fs.Mounted()) GTEST_SKIP() << "FUSE is not available here";
  std::filesystem::create_symlink(fs.FilePath(), dir / "link");
  TBackupFile engine;
  engine.SkipUnreadable = true;
  TMemoryStream out;
  EXPECT_FALSE(engine.BackupToStream({dir / "link"}, &out));
  EXPECT_EQ(engine.ErrorCode(), beCannotReadFile);
}

}  // namespace
}  // namespace kelmora
