// SPDX-License-Identifier: GPL-3.0-or-later
//
// Failures on either side of the writer: archives that cannot be written
// or fill their disk, and source files that vanish, shrink, grow, refuse
// to open or fail part-way through.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/backup_writer_fuse.h"
#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

// Runs one backup and returns the codes it reported.
std::vector<int32_t> FailingBackup(const TStringList& Sources, const std::string& Archive,
                                   size_t* Percents = nullptr) {
  TBackupFile engine;
  test::RunLog log;
  test::Record(engine, log);
  EXPECT_FALSE(engine.Backup(Sources, Archive));
  EXPECT_FALSE(engine.Busy());
  if (Percents) *Percents = log.Percents.size();
  return log.Errors;
}

// The same on a stream, which keeps what was written before the failure;
// Written receives it.
std::vector<int32_t> FailingStreamBackup(const TStringList& Sources, std::string& Written) {
  TBackupFile engine;
  test::RunLog log;
  test::Record(engine, log);
  TMemoryStream out;
  EXPECT_FALSE(engine.BackupToStream(Sources, &out));
  Written = out.Text();
  return log.Errors;
}

const std::vector<int32_t> kWriteFailed = {beCannotWriteArchive};
const std::vector<int32_t> kReadFailed = {beCannotReadFile};

TEST(BackupFailures, ArchiveInAFolderThatCannotBeWritten) {
  TempDir dir;
  test::WriteFile(dir / "f", "data");
  test::WriteFile(dir / "plain", "a file, not a folder");
  EXPECT_EQ(kWriteFailed, FailingBackup({dir / "f"}, dir / "plain/x.bkp"));
  EXPECT_EQ(kWriteFailed, FailingBackup({dir / "f"}, dir / "no/such/folder/x.bkp"));
}

// /dev/full takes the archive's open but none of its bytes. A small
// archive fits the write buffer, so only its final flush can tell.
TEST(BackupFailures, FullDeviceIsNeverASuccess) {
  KELMORA_POSIX_ONLY("/dev/full");
  TempDir dir;
  test::WriteFile(dir / "small", "small");
  test::WriteFile(dir / "large", test::RandomBytes(1 << 20));
  EXPECT_EQ(kWriteFailed, FailingBackup({dir / "small"}, "/dev/full"));
  EXPECT_EQ(kWriteFailed, FailingBackup({dir / "large"}, "/dev/full"));
}

// Nothing of the failed archive is left: not its name, not its
// temporary file.
TEST(BackupFailures, SmallFileSystemRunsFull) {
  TempDir dir;
  std::filesystem::create_directory(dir / "disk");
  if (!test::MountSmallFileSystem(dir / "disk", "200k"))
    GTEST_SKIP() << "cannot mount a small file system here";
  test::WriteFile(dir / "f", test::RandomBytes(1 << 20));
  test::WriteFile(dir / "g", test::TextBytes(1000));
  EXPECT_EQ(kWriteFailed, FailingBackup({dir / "f", dir / "g"}, dir / "disk/x.bkp"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "disk"));
  test::UnmountFileSystem(dir / "disk");
}

// The second file vanishes while the first is written: skipped without a
// message, and counted neither as done nor in the header.
TEST(BackupFailures, FileDeletedAfterSelectionIsSkipped) {
  TempDir dir;
  test::WriteFile(dir / "src/a", test::TextBytes(40000));
  test::WriteFile(dir / "src/b", "b");
  TBackupFile engine;
  test::RunLog log;
  test::Record(engine, log);
  engine.OnProgress = [&](TBackupFile&, const std::string& File, TPercentage, bool&) {
    if (!File.empty()) platform::DeleteFile(dir / "src/b");
  };
  ASSERT_TRUE(engine.Backup({dir / "src/a", dir / "src/b"}, dir / "d.bkp"));
  EXPECT_TRUE(log.Errors.empty());
  EXPECT_EQ(1, engine.FileCount());
  EXPECT_EQ(1, engine.FilesDone());
  EXPECT_EQ(1, test::LE32(test::ReadFile(dir / "d.bkp"), 8));
  const auto archive = test::ReadArchiveFile(dir / "d.bkp");
  ASSERT_EQ(1u, archive.Entries.size());
  EXPECT_TRUE(archive.EndMarker);
}

// Truncated while it is read: its chunks end where the file did, and the
// changed size has it read once more, so what is stored is the file as
// it now is, once, and the run goes on.
TEST(BackupFailures, FileShrinkingWhileReadEndsItsChunks) {
  TempDir dir;
  const std::string data = test::TextBytes(300000);
  test::WriteFile(dir / "src/a", data);
  test::WriteFile(dir / "src/b", "after");
  TBackupFile engine;
  engine.SetArchiveFlag = true;
  test::RunLog log;
  test::Record(engine, log);
  bool truncated = false;
  engine.OnProgress = [&](TBackupFile&, const std::string& File, TPercentage, bool&) {
    if (File == dir / "src/a" && !truncated) {
      std::error_code error;
      std::filesystem::resize_file(dir / "src/a", 1000, error);
      truncated = !error;
    }
  };
  ASSERT_TRUE(engine.Backup({dir / "src/a", dir / "src/b"}, dir / "s.bkp"));
  EXPECT_TRUE(truncated);
  EXPECT_TRUE(log.Errors.empty());
  const auto archive = test::ReadArchiveFile(dir / "s.bkp");
  ASSERT_EQ(2u, archive.Entries.size());
  EXPECT_EQ(data.substr(0, 1000), test::EntryData(archive.Entries[0]));
  EXPECT_EQ("after", test::EntryData(archive.Entries[1]));
  EXPECT_TRUE(engine.ChangedFiles().empty());
}

// A source served by the test's own file system, reached through a link
// in an ordinary folder.
class FaultySource : public ::testing::Test {
 protected:
  bool Serve(test::FaultyFileSystem::File File) {
    std::filesystem::create_directories(dir_ / "mnt");
    std::filesystem::create_directories(dir_ / "src");
    fs_ = std::make_unique<test::FaultyFileSystem>(dir_ / "mnt", std::move(File));
    if (!fs_->Mounted()) return false;
    std::filesystem::create_symlink(fs_->FilePath(), dir_ / "src/link");
    return true;
  }
  std::string Link() const { return dir_ / "src/link"; }
  std::string Archive() const { return dir_ / "x.bkp"; }

  TempDir dir_;
  std::unique_ptr<test::FaultyFileSystem> fs_;
};

#define SERVE_OR_SKIP(file) \
  if (!Serve(file)) GTEST_SKIP() << "FUSE is not available here"

// An I/O error is no end of file: the run fails with code 1 after the
// chunks read before it, and nothing is read twice. A file archive is
// not left behind at all.
TEST_F(FaultySource, ReadErrorPartWayIsCode1) {
  const std::string data = test::TextBytes(100000);
  SERVE_OR_SKIP((test::FaultyFileSystem::File{data, 40000}));
  EXPECT_EQ(kReadFailed, FailingBackup({Link()}, Archive()));
  EXPECT_FALSE(platform::FileExists(Archive()));
  std::string written;
  EXPECT_EQ(kReadFailed, FailingStreamBackup({Link()}, written));
  test::WriteFile(Archive(), written);
  const auto archive = test::ReadArchiveFile(Archive());
  EXPECT_FALSE(archive.EndMarker);
  ASSERT_EQ(1u, archive.Entries.size());
  EXPECT_EQ(data.substr(0, 2 * 16384), test::EntryData(archive.Entries[0]));
}

// Measured fine, then its one open fails: code 1, and the archive ends
// with the entry's name.
TEST_F(FaultySource, OpenFailingAtItsEntryIsCode1) {
  SERVE_OR_SKIP((test::FaultyFileSystem::File{"data", -1, 1}));
  std::string bytes;
  EXPECT_EQ(kReadFailed, FailingStreamBackup({Link()}, bytes));
  const std::string name = Link();
  ASSERT_EQ(12 + 4 + name.size(), bytes.size());
  EXPECT_EQ(name, bytes.substr(16));
}

// Measuring finds it cannot be read and the open that tells why fails:
// the open error leaves Backup before any archive exists, with no OnError
// and no last progress.
TEST_F(FaultySource, OpenFailingWhileMeasuringLeavesBackup) {
  SERVE_OR_SKIP((test::FaultyFileSystem::File{"data", -1, 1, false, true}));
  TBackupFile engine;
  test::RunLog log;
  test::Record(engine, log);
  try {
    engine.Backup({Link()}, Archive());
    ADD_FAILURE() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()).find("Cannot open file " + Link() + ": "), 0u) << e.what();
    EXPECT_NE(e.SystemError(), 0);
  }
  // Named among the unreadable, with the reason the open gave.
  ASSERT_EQ(engine.Unreadable().size(), 1u);
  EXPECT_EQ(engine.Unreadable()[0].Subject, Link());
  EXPECT_FALSE(engine.Busy());
  EXPECT_TRUE(log.Errors.empty());
  EXPECT_EQ(std::vector<int>{0}, log.Percents);
  EXPECT_FALSE(platform::FileExists(Archive()));
  EXPECT_FALSE(engine.BackupToStream({Link()}, nullptr));
}

// Whichever way a source fails, the failure names it with the system's
// reason, though a healthy file came before it.
TEST_F(FaultySource, TheFailureNamesTheSourceAndTheSystemsReason) {
  test::WriteFile(dir_ / "src/a.txt", "healthy");
  SERVE_OR_SKIP((test::FaultyFileSystem::File{test::TextBytes(100000), 40000, 1}));
  for (const bool toStream : {false, true}) {
    TBackupFile engine;
    TMemoryStream out;
    const TStringList sources = {dir_ / "src/a.txt", Link()};
    EXPECT_FALSE(toStream ? engine.BackupToStream(sources, &out)
                          : engine.Backup(sources, Archive()));
    const TFailure failure = engine.Failure();
    EXPECT_EQ(beCannotReadFile, failure.Code);
    EXPECT_EQ(Link(), failure.Subject);
    // The first run's one open (at its entry) fails; in the second run the
    // read part-way through does.
    EXPECT_EQ(std::strerror(toStream ? EIO : EACCES), failure.Reason);
  }
}

// Empty when measured, full when written: a total of 0 with data
// written gives 100 percent and a rate of 0, never a division by zero.
TEST_F(FaultySource, DataAgainstATotalOfZero) {
  const std::string data = test::TextBytes(50000);
  SERVE_OR_SKIP((test::FaultyFileSystem::File{data, -1, 0, true}));
  // Measured by the search, before the one open.
  TBackupFile engine;
  test::RunLog log;
  test::Record(engine, log);
  ASSERT_TRUE(engine.Backup({Link()}, Archive()));
  EXPECT_EQ(0, engine.TotalSize());
  EXPECT_EQ(0, engine.CompressionRate());
  EXPECT_EQ(std::vector<int>({0, 100, 100, 100, 100, 100}), log.Percents);
  EXPECT_EQ(data, test::EntryData(test::ReadArchiveFile(Archive()).Entries[0]));
}

}  // namespace
}  // namespace kelmora
