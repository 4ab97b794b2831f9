// SPDX-License-Identifier: GPL-3.0-or-later
//
// Volume spanning: where a volume ends, what links it to the next, the
// need-disk question, and the limits the format cannot go past.
#include <gtest/gtest.h>

#include <filesystem>

#include "kelmora/backup_file.h"
#include "engine/backup_writer_support.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

// The threshold below which a chunk may still start in a volume.
int64_t Threshold(int32_t MaxSize) {
  return int64_t{MaxSize} - format::kVolumeReserve;
}

std::string Tail(const std::string& File, size_t Size) {
  const std::string bytes = test::ReadFile(File);
  return bytes.size() < Size ? bytes : bytes.substr(bytes.size() - Size);
}

std::string VolumeChangeBytes(const std::string& Digits) {
  return std::string("\x0c\0\0\0", 4) + "NEXT:DISK" + Digits;
}

// Every chunk started below the threshold, and every section that was
// continued elsewhere stopped only because it reached it.
void ExpectVolumeDiscipline(const test::ArchiveRecords& Archive, int32_t MaxSize) {
  for (const auto& entry : Archive.Entries) {
    for (size_t s = 0; s < entry.Sections.size(); ++s) {
      const auto& section = entry.Sections[s];
      for (const auto& chunk : section.Chunks)
        EXPECT_LT(chunk.Offset, Threshold(MaxSize)) << entry.Name << " volume " << section.Volume;
      if (s + 1 < entry.Sections.size()) {
        EXPECT_GE(section.EndOffset, Threshold(MaxSize)) << entry.Name << " section " << s;
      }
    }
  }
  for (const auto& volume : Archive.Volumes)
    EXPECT_LE(test::ReadFile(volume).size(), static_cast<size_t>(MaxSize)) << volume;
}

TEST(BackupVolumes, FirstVolumeEndsAtThresholdAndLinksToTheNext) {
  TempDir dir;
  const std::string data = test::RandomBytes(200000);
  test::WriteFile(dir / "src/f", data);
  TBackupFile engine;
  engine.MaxSize = 100000;
  test::RunLog log;
  test::Record(engine, log);
  ASSERT_TRUE(engine.Backup({dir / "src/f"}, dir / "a.bkp"));
  EXPECT_TRUE(log.Errors.empty());
  EXPECT_EQ(83516, Threshold(engine.MaxSize));

  EXPECT_EQ(VolumeChangeBytes("002"), Tail(dir / "a.bkp", 16));
  EXPECT_EQ(std::string("EC2\0", 4), test::ReadFile(dir / "a.002").substr(0, 4));
  ASSERT_FALSE(log.Disks.empty());
  EXPECT_EQ(2, log.Disks[0]);

  const auto archive = test::ReadArchiveFile(dir / "a.bkp");
  EXPECT_TRUE(archive.EndMarker);
  ASSERT_GE(archive.Volumes.size(), 2u);
  EXPECT_EQ(dir / "a.002", archive.Volumes[1]);
  ExpectVolumeDiscipline(archive, engine.MaxSize);
  EXPECT_EQ(data, test::EntryData(archive.Entries[0]));
}

TEST(BackupVolumes, TenthVolumeHasTheExtension010) {
  TempDir dir;
  const std::string data = test::RandomBytes(16384 * 10 + 1);
  test::WriteFile(dir / "f", data);
  TBackupFile engine;
  engine.MaxSize = 20000;  // one chunk per volume
  test::RunLog log;
  test::Record(engine, log);
  ASSERT_TRUE(engine.Backup({dir / "f"}, dir / "b.bkp"));

  const auto archive = test::ReadArchiveFile(dir / "b.bkp");
  ASSERT_EQ(11u, archive.Volumes.size());
  EXPECT_EQ(dir / "b.010", archive.Volumes[9]);
  EXPECT_EQ(VolumeChangeBytes("010"), Tail(dir / "b.009", 16));
  EXPECT_EQ(std::vector<uint16_t>({2, 3, 4, 5, 6, 7, 8, 9, 10, 11}), log.Disks);
  ExpectVolumeDiscipline(archive, engine.MaxSize);
  EXPECT_EQ(data, test::EntryData(archive.Entries[0]));
}

// The first file leaves the volume past its threshold: the second file's
// entry is still written there, with an empty section, and all of its
// data goes to the next volume.
TEST(BackupVolumes, EntryStartingInAFullVolumeHasAnEmptyFirstSection) {
  TempDir dir;
  test::WriteFile(dir / "src/a", test::RandomBytes(6 * 16384, 1));
  const std::string second = test::TextBytes(1000);
  test::WriteFile(dir / "src/b", second);
  TBackupFile engine;
  engine.MaxSize = 100000;
  test::RunLog log;
  test::Record(engine, log);
  ASSERT_TRUE(engine.Backup({dir / "src/a", dir / "src/b"}, dir / "c.bkp"));

  const auto archive = test::ReadArchiveFile(dir / "c.bkp");
  ASSERT_EQ(2u, archive.Entries.size());
  ASSERT_EQ(1u, archive.Entries[0].Sections.size());
  const auto& b = archive.Entries[1];
  ASSERT_EQ(2u, b.Sections.size());
  EXPECT_EQ(1, b.Sections[0].Volume);
  EXPECT_TRUE(b.Sections[0].Chunks.empty());
  EXPECT_EQ(2, b.Sections[1].Volume);
  EXPECT_EQ(second, test::EntryData(b));
  ExpectVolumeDiscipline(archive, engine.MaxSize);
}

TEST(BackupVolumes, NeedDiskAnswers) {
  TempDir dir;
  test::WriteFile(dir / "f", test::RandomBytes(50000));

  {
    SCOPED_TRACE("a handler that cancels: no next volume, no message, no archive");
    TBackupFile engine;
    engine.MaxSize = 20000;
    test::RunLog log;
    test::Record(engine, log);
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool& Continue) { Continue = false; };
    EXPECT_FALSE(engine.Backup({dir / "f"}, dir / "n.bkp"));
    EXPECT_TRUE(log.Errors.empty());
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                               std::filesystem::directory_iterator()));
    EXPECT_EQ(100, log.Percents.back());
    EXPECT_FALSE(engine.Busy());
  }
  for (const bool answer : {false, true}) {
    SCOPED_TRACE(answer ? "built-in question answered OK" : "built-in question cancelled");
    TBackupFile engine;
    engine.MaxSize = 20000;
    std::vector<std::string> asked;
    engine.Hooks.AskOkCancel = [&](const std::string& Caption, const std::string& Text) {
      asked.push_back(Caption + "|" + Text);
      return answer;
    };
    EXPECT_EQ(answer, engine.Backup({dir / "f"}, dir / "q.bkp"));
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ("Information|Please insert disk 2 and click OK to continue.", asked[0]);
    EXPECT_EQ(answer ? 3u : 1u, asked.size());
    EXPECT_EQ(answer, platform::FileExists(dir / "q.002"));
    if (answer) {
      const auto archive = test::ReadArchiveFile(dir / "q.bkp");
      EXPECT_EQ(test::ReadFile(dir / "f"), test::EntryData(archive.Entries[0]));
    }
    platform::DeleteFile(dir / "q.002");
    platform::DeleteFile(dir / "q.003");
  }
  {
    SCOPED_TRACE("no handler and no hook: Cancel, never a wait");
    TBackupFile engine;
    engine.MaxSize = 20000;
    test::RunLog log;
    test::Record(engine, log);
    engine.OnNeedDisk = nullptr;
    EXPECT_FALSE(engine.Backup({dir / "f"}, dir / "h.bkp"));
    EXPECT_TRUE(log.Errors.empty());
    EXPECT_FALSE(platform::FileExists(dir / "h.002"));
  }
}

// A limit that no volume could keep is refused before anything is
// created; the smallest one that works takes one chunk per volume.
TEST(BackupVolumes, LimitsTooSmallAreRefusedUpFront) {
  TempDir dir;
  const std::string data = test::RandomBytes(3 * 16384);
  test::WriteFile(dir / "f", data);
  for (const int32_t size : {1, 100, 16484, 16488, -1}) {
    SCOPED_TRACE("MaxSize " + std::to_string(size));
    TBackupFile engine;
    engine.MaxSize = size;
    test::RunLog log;
    test::Record(engine, log);
    EXPECT_FALSE(engine.Backup({dir / "f"}, dir / "t.bkp"));
    EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors);
    EXPECT_FALSE(platform::FileExists(dir / "t.bkp"));
  }
  TBackupFile engine;
  engine.MaxSize = 16489;
  test::RunLog log;
  test::Record(engine, log);
  ASSERT_TRUE(engine.Backup({dir / "f"}, dir / "s.bkp"));
  const auto archive = test::ReadArchiveFile(dir / "s.bkp");
  EXPECT_EQ(4u, archive.Volumes.size());  // the header's volume takes no chunk
  EXPECT_EQ(data, test::EntryData(archive.Entries[0]));
}

// Volume 1000 cannot be named in three digits: the run ends with code 4
// after volume 999, which ends with its last section, not a change entry;
// none of the 999 is left behind.
TEST(BackupVolumes, NoVolumePast999) {
  TempDir dir;
  test::WriteFile(dir / "f", test::RandomBytes(1000 * 16384));
  TBackupFile engine;
  engine.MaxSize = 16489;
  test::RunLog log;
  test::Record(engine, log);
  EXPECT_FALSE(engine.Backup({dir / "f"}, dir / "v.bkp"));
  EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors);
  EXPECT_EQ(998u, log.Disks.size());
  EXPECT_EQ(999, log.Disks.back());
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                             std::filesystem::directory_iterator()));
}

// An archive named like a later volume (x.003) would have that volume
// put in place of its first one, header and all: the run ends with code 4
// there instead, and an older x.003 stays what it was.
TEST(BackupVolumes, VolumeNamedLikeTheFirstIsNeverCreatedOverIt) {
  TempDir dir;
  const std::string data = test::RandomBytes(4 * 16384);
  test::WriteFile(dir / "f", data);
  test::WriteFile(dir / "x.003", "older");
  TBackupFile engine;
  engine.MaxSize = 20000;  // one chunk per volume
  test::RunLog log;
  test::Record(engine, log);
  EXPECT_FALSE(engine.Backup({dir / "f"}, dir / "x.003"));
  EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors);
  EXPECT_EQ(std::vector<uint16_t>({2, 3}), log.Disks);
  EXPECT_EQ("older", test::ReadFile(dir / "x.003"));
  EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(dir.path()),
                             std::filesystem::directory_iterator()));
}

// Backup called on the caller's stream with a limit cannot change volume
// without closing that stream; it ends with code 4 and leaves the stream
// open, unmoved and usable.
TEST(BackupVolumes, StreamWithLimitEndsWithoutClosingTheStream) {
  TempDir dir;
  const std::string data = test::RandomBytes(3 * 16384);
  test::WriteFile(dir / "f", data);
  TBackupFile engine;
  TMemoryStream stream;
  ASSERT_TRUE(engine.BackupToStream({}, &stream));  // makes it the target stream
  stream.Clear();
  engine.MaxSize = 20000;
  test::RunLog log;
  test::Record(engine, log);
  EXPECT_FALSE(engine.Backup({dir / "f"}, kStreamArchiveName));
  EXPECT_EQ(std::vector<int32_t>{beCannotWriteArchive}, log.Errors);
  EXPECT_TRUE(log.Disks.empty());

  const std::string written = stream.Text();
  stream.WriteBuffer("more", 4);
  EXPECT_EQ(written + "more", stream.Text());
  test::WriteFile(dir / "copy", written);
  const auto archive = test::ReadArchiveFile(dir / "copy");
  ASSERT_EQ(1u, archive.Entries.size());
  EXPECT_EQ(1u, archive.Entries[0].Sections[0].Chunks.size());
  EXPECT_FALSE(archive.EndMarker);
}

}  // namespace
}  // namespace kelmora
