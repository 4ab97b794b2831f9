// SPDX-License-Identifier: GPL-3.0-or-later
//
// A new archive replaces the old one only when it is complete: failed,
// stopped and cancelled runs leave every volume of the previous backup as
// it was and no temporary file behind. Also: the archive's own volumes
// and the archive named as a source, and files that change while read.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "kelmora/backup_file.h"
#include "engine/backup_writer_support.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

// Every file of a folder with its bytes, sub-folders left out.
std::map<std::string, std::string> Snapshot(const std::string& Folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(Folder))
    if (entry.is_regular_file())
      files[entry.path().filename().string()] = test::ReadFile(entry.path().string());
  return files;
}

// Sets a file's modification time Seconds past what it was.
void MoveTime(const std::string& Path, int Seconds) {
  test::MoveModificationTime(Path, Seconds);
}

// An older backup of four volumes in Folder, to be protected.
class PreviousArchive : public ::testing::Test {
 protected:
  void MakePrevious(const std::string& Folder) {
    folder_ = Folder;
    test::WriteFile(dir_ / "old/a", test::RandomBytes(100000, 7));
    TBackupFile engine;
    engine.MaxSize = 40000;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    ASSERT_TRUE(engine.Backup({dir_ / "old/a"}, Archive()));
    before_ = Snapshot(folder_);
    ASSERT_EQ(4u, before_.size());
    ASSERT_EQ(1u, before_.count("x.004"));
  }
  std::string Archive() const { return folder_ + "/x.bkp"; }
  void ExpectPreviousIntact() const { EXPECT_EQ(before_, Snapshot(folder_)); }

  TempDir dir_;
  std::string folder_;
  std::map<std::string, std::string> before_;
};

// A small file system, filled part way through the new archive.
class FullDisk : public PreviousArchive {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "disk");
    if (!test::MountSmallFileSystem(dir_ / "disk", "320k"))
      GTEST_SKIP() << "cannot mount a small file system here";
    mounted_ = true;
    MakePrevious(dir_ / "disk");
  }
  void TearDown() override {
    if (mounted_) test::UnmountFileSystem(dir_ / "disk");
  }
  bool mounted_ = false;
};

TEST_F(FullDisk, FailedRunLeavesThePreviousArchive) {
  test::WriteFile(dir_ / "src/big", test::RandomBytes(1 << 20));
  for (const int32_t maxSize : {0, 40000}) {
    TBackupFile engine;
    engine.MaxSize = maxSize;
    test::RunLog log;
    test::Record(engine, log);
    EXPECT_FALSE(engine.Backup({dir_ / "src/big"}, Archive())) << maxSize;
    EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors) << maxSize;
    EXPECT_EQ(std::strerror(ENOSPC), engine.ErrorReason()) << maxSize;
    ExpectPreviousIntact();
  }
}

// The same sources fit: the new archive takes the old one's place, and
// the old third and fourth volumes, which the new archive does not have,
// go.
TEST_F(FullDisk, SuccessfulRunReplacesEveryVolume) {
  const std::string data = test::RandomBytes(60000, 3);
  test::WriteFile(dir_ / "src/a", data);
  TBackupFile engine;
  engine.MaxSize = 40000;
  test::RunLog log;
  test::Record(engine, log);
  ASSERT_TRUE(engine.Backup({dir_ / "src/a"}, Archive()));
  const auto after = Snapshot(folder_);
  EXPECT_EQ(2u, after.size());
  EXPECT_EQ(1u, after.count("x.002"));
  const auto archive = test::ReadArchiveFile(Archive());
  EXPECT_TRUE(archive.EndMarker);
  EXPECT_EQ(data, test::EntryData(archive.Entries.at(0)));
}

class Interrupted : public PreviousArchive {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "out");
    MakePrevious(dir_ / "out");
    test::WriteFile(dir_ / "src/f", test::RandomBytes(150000, 9));
    test::WriteFile(dir_ / "src/g", test::TextBytes(30000));
    engine_.MaxSize = 40000;
    test::Record(engine_, log_);
  }
  void RunAndExpectNothingChanged() {
    EXPECT_FALSE(engine_.Backup({dir_ / "src/f", dir_ / "src/g"}, Archive()));
    EXPECT_TRUE(log_.Errors.empty());
    EXPECT_EQ(0, engine_.ErrorCode());
    ExpectPreviousIntact();
  }
  TBackupFile engine_;
  test::RunLog log_;
};

TEST_F(Interrupted, StopBetweenChunks) {
  int chunks = 0;
  engine_.OnProgress = [&](TBackupFile& Sender, const std::string& File, TPercentage, bool&) {
    if (!File.empty() && ++chunks == 2) Sender.Stop();
  };
  RunAndExpectNothingChanged();
  EXPECT_EQ(2, chunks);
}

// Stopped at the first chunk written into the second volume.
TEST_F(Interrupted, StopBetweenVolumes) {
  bool stopped = false;
  engine_.OnProgress = [&](TBackupFile& Sender, const std::string& File, TPercentage, bool&) {
    if (!File.empty() && !log_.Disks.empty() && !stopped) {
      stopped = true;
      Sender.Stop();
    }
  };
  RunAndExpectNothingChanged();
  EXPECT_TRUE(stopped);
}

TEST_F(Interrupted, CancelledNextVolume) {
  engine_.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool& Continue) {
    log_.Disks.push_back(Disk);
    Continue = Disk < 3;
  };
  RunAndExpectNothingChanged();
  EXPECT_EQ(std::vector<uint16_t>({2, 3}), log_.Disks);
}

// A handler that throws at a volume change is a failure of the writer.
TEST_F(Interrupted, HandlerThrowingAtTheVolumeChange) {
  engine_.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) { throw std::runtime_error("no"); };
  EXPECT_FALSE(engine_.Backup({dir_ / "src/f"}, Archive()));
  EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log_.Errors);
  ExpectPreviousIntact();
}

// Repeating a split backup into its own folder must not store the last
// run's volumes; a volume of another archive is an ordinary file.
TEST(BackupSelection, ArchiveVolumesAreLeftOut) {
  TempDir dir;
  test::WriteFile(dir / "d/data", test::RandomBytes(70000));
  test::WriteFile(dir / "d/y.002", "another archive's volume");
  for (int run = 0; run < 3; ++run) {
    TBackupFile engine;
    engine.MaxSize = 20000;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    ASSERT_TRUE(engine.Backup({dir / "d/*.*"}, dir / "d/x.bkp")) << run;
    EXPECT_EQ(2, engine.FileCount()) << run;
  }
  const auto archive = test::ReadArchiveFile(dir / "d/x.bkp");
  ASSERT_EQ(2u, archive.Entries.size());
  EXPECT_EQ(dir / "d/data", archive.Entries[0].Name);
  EXPECT_EQ(dir / "d/y.002", archive.Entries[1].Name);
}

// Named by its own name the archive is a source, and writing it would
// destroy it: refused before anything is written. Through a pattern it
// is simply left out, as before.
TEST(BackupSelection, ArchiveNamedAsASourceIsRefused) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  TempDir dir;
  test::WriteFile(dir / "d/only.txt", "precious");
  std::filesystem::create_symlink(dir / "d/only.txt", dir / "link.txt");
  for (const std::string& source :
       {dir / "d/only.txt", dir / "d/../d/only.txt", dir / "link.txt"}) {
    TBackupFile engine;
    test::RunLog log;
    test::Record(engine, log);
    EXPECT_FALSE(engine.Backup({source}, dir / "d/only.txt")) << source;
    EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors) << source;
    EXPECT_FALSE(engine.ErrorReason().empty());
    EXPECT_EQ("precious", test::ReadFile(dir / "d/only.txt"));
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"only.txt", "precious"}}), Snapshot(dir / "d"));

  TBackupFile engine;
  ASSERT_TRUE(engine.Backup({dir / "d/*.txt"}, dir / "d/only.txt"));
  EXPECT_EQ(0, engine.FileCount());
}

// A write the archive refuses at byte Limit, with the system's reason;
// FailFlush makes the final flush fail instead.
class LimitedStream : public TStream {
 public:
  LimitedStream(int64_t Limit, bool FailFlush) : limit_(Limit), failFlush_(FailFlush) {}
  size_t Read(void*, size_t) override { throw EStreamError(kStreamReadError); }
  size_t Write(const void*, size_t Count) override {
    if (position_ + static_cast<int64_t>(Count) > limit_)
      throw EStreamError(kStreamWriteError, ENOSPC);
    position_ += static_cast<int64_t>(Count);
    return Count;
  }
  int64_t Seek(int64_t, SeekOrigin) override { return position_; }
  int64_t Position() const override { return position_; }
  void Flush() override {
    if (failFlush_) throw EStreamError(kStreamWriteError, ENOSPC);
  }

 private:
  int64_t position_ = 0;
  int64_t limit_;
  bool failFlush_;
};

// Whichever record meets the failure, it is the archive's: code 4 with
// the system's reason, never "Cannot read file" and never an exception.
TEST(BackupWriteFailures, EveryRecordKindFailsAsTheArchive) {
  TempDir dir;
  test::WriteFile(dir / "a", "");
  test::WriteFile(dir / "b", test::TextBytes(5000));
  const int64_t header = 12;
  const int64_t entryA = 4 + static_cast<int64_t>((dir / "a").size()) + 4 + 4 + 4;
  const int64_t nameB = header + entryA;
  const int64_t stampB = nameB + 4 + static_cast<int64_t>((dir / "b").size());
  const int64_t chunkB = stampB + 4 + 4;
  struct Case {
    const char* Where;
    int64_t Limit;
    bool FailFlush;
  };
  for (const Case& c : {Case{"name", nameB + 2, false}, Case{"stamp", stampB + 1, false},
                        Case{"chunk", chunkB + 6, false}, Case{"flush", 1 << 20, true}}) {
    TBackupFile engine;
    test::RunLog log;
    test::Record(engine, log);
    LimitedStream out(c.Limit, c.FailFlush);
    EXPECT_FALSE(engine.BackupToStream({dir / "a", dir / "b"}, &out)) << c.Where;
    EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors) << c.Where;
    EXPECT_EQ(std::strerror(ENOSPC), engine.ErrorReason()) << c.Where;
    EXPECT_EQ(kStreamArchiveName, engine.Failure().Subject) << c.Where;
  }
}

// ---- files that change while they are read

// With one thread and with pieces read ahead on several: a file read
// again must not be mixed up with the files read ahead after it.
class ChangingSource : public ::testing::TestWithParam<unsigned> {
 protected:
  std::string Path() const { return dir_ / "src/f"; }
  // Runs a backup that calls Change at every progress event of f.
  bool Run(const std::string& Archive, int32_t MaxSize, const std::function<void(int)>& Change) {
    engine_.MaxSize = MaxSize;
    engine_.SetArchiveFlag = true;
    engine_.Threads = GetParam();
    test::Record(engine_, log_);
    int events = 0;
    engine_.OnProgress = [&](TBackupFile&, const std::string& File, TPercentage, bool&) {
      if (File == Path()) Change(++events);
    };
    return engine_.Backup({Path(), dir_ / "src/g"}, Archive);
  }
  void ExpectSecondFileWhole(const test::ArchiveRecords& Archive) {
    ASSERT_EQ(2u, Archive.Entries.size());
    EXPECT_TRUE(Archive.EndMarker);
    EXPECT_EQ("after", test::EntryData(Archive.Entries[1]));
  }
  void SetUp() override {
    test::WriteFile(dir_ / "src/g", "after");
    engine_.Threads = GetParam();
  }

  TempDir dir_;
  TBackupFile engine_;
  test::RunLog log_;
};

// Rewritten in place once, part way through the first read, which has
// already spanned a volume: the file is read again over the same place
// and stored as it is now, consistent, with no message.
TEST_P(ChangingSource, RewrittenOnceIsReadAgainAcrossVolumes) {
  const std::string before = test::RandomBytes(150000, 1), after = test::RandomBytes(150000, 2);
  test::WriteFile(Path(), before);
  const bool ok = Run(dir_ / "x.bkp", 40000, [&](int Event) {
    if (Event != 5) return;
    test::WriteFile(Path(), after);
    MoveTime(Path(), 10);
  });
  ASSERT_TRUE(ok);
  EXPECT_TRUE(log_.Errors.empty());
  EXPECT_TRUE(engine_.ChangedFiles().empty());
  const auto archive = test::ReadArchiveFile(dir_ / "x.bkp");
  ExpectSecondFileWhole(archive);
  EXPECT_EQ(after, test::EntryData(archive.Entries[0]));
  // Exactly as many volumes as one clean read needs, none left behind.
  EXPECT_EQ(archive.Volumes.size(), Snapshot(dir_.path()).size());
  if (test::ArchiveAttributeWorks(Path())) {
    EXPECT_FALSE(platform::HasArchiveAttribute(Path()));
  }
}

// Growing once: read again in full, never cut at its first size.
TEST_P(ChangingSource, GrowingOnceIsStoredWhole) {
  const std::string data = test::TextBytes(100000);
  test::WriteFile(Path(), data.substr(0, 60000));
  ASSERT_TRUE(Run(dir_ / "x.bkp", 0, [&](int Event) {
    if (Event == 1) test::WriteFile(Path(), data);
  }));
  EXPECT_TRUE(log_.Errors.empty());
  const auto archive = test::ReadArchiveFile(dir_ / "x.bkp");
  ExpectSecondFileWhole(archive);
  EXPECT_EQ(data, test::EntryData(archive.Entries[0]));
}

// Changing during both reads: what was read is stored, the archive stays
// complete, and the run says so with code 8, naming the file; the file
// keeps its archive attribute.
TEST_P(ChangingSource, ChangingAgainIsNamed) {
  std::string data = test::TextBytes(80000);
  test::WriteFile(Path(), data);
  ASSERT_TRUE(Run(dir_ / "x.bkp", 0, [&](int Event) {
    data += "more";
    test::WriteFile(Path(), data);
    MoveTime(Path(), Event);
  }));
  EXPECT_EQ(beFileChanged, engine_.ErrorCode());
  EXPECT_EQ(std::vector<int32_t>{beFileChanged}, log_.Errors);
  EXPECT_EQ(TStringList{Path()}, engine_.ChangedFiles());
  const auto archive = test::ReadArchiveFile(dir_ / "x.bkp");
  ExpectSecondFileWhole(archive);
  const std::string stored = test::EntryData(archive.Entries[0]);
  EXPECT_GE(stored.size(), 80000u);
  EXPECT_EQ(data.substr(0, stored.size()), stored);
  EXPECT_TRUE(platform::HasArchiveAttribute(Path()));
  // Where the file system keeps the attribute at all (Wine keeps none).
  if (test::ArchiveAttributeWorks(dir_ / "src/g")) {
    EXPECT_FALSE(platform::HasArchiveAttribute(dir_ / "src/g"));
  }
}

// A stream cannot be taken back: a change is named at once.
TEST_P(ChangingSource, StreamNamesTheFirstChange) {
  test::WriteFile(Path(), test::TextBytes(50000));
  TMemoryStream out;
  engine_.OnProgress = [&](TBackupFile&, const std::string& File, TPercentage, bool&) {
    if (File == Path()) MoveTime(Path(), 5);
  };
  ASSERT_TRUE(engine_.BackupToStream({Path(), dir_ / "src/g"}, &out));
  EXPECT_EQ(beFileChanged, engine_.ErrorCode());
  EXPECT_EQ(TStringList{Path()}, engine_.ChangedFiles());
}

INSTANTIATE_TEST_SUITE_P(Threads, ChangingSource, ::testing::Values(1u, 4u));

}  // namespace
}  // namespace kelmora
