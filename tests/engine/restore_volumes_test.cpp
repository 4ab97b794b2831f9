// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restore across volume files: the need-disk question, split files and the
// ways a volume chain can end.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Stamp;

const int32_t kStored = Stamp(2022, 3, 4, 5, 6, 8);

std::string Digits(unsigned Volume) {
  char text[8];
  std::snprintf(text, sizeof text, "%03u", Volume);
  return text;
}

// One file split over three volumes, then a second whole file.
struct SplitArchive {
  std::string first, second, third;  // the three parts of the split file
  std::string archive;               // path of volume 1
  explicit SplitArchive(const test::TempDir& Dir, unsigned SecondVolume = 2)
      : first(test::RandomBytes(20000, 1)),
        second(test::TextBytes(30000, 2)),
        third("end of it"),
        archive(Dir / "set.bkp") {
    ArchiveBuilder()
        .Header("split", 60000, 2)
        .File("/split.bin", kStored, first)
        .VolumeChange(SecondVolume)
        .Save(archive);
    ArchiveBuilder()
        .Section(second)
        .VolumeChange(SecondVolume + 1)
        .Save(Dir / ("set." + Digits(SecondVolume)));
    ArchiveBuilder()
        .Section(third)
        .File("/whole.txt", kStored, "whole")
        .End()
        .Save(Dir / ("set." + Digits(SecondVolume + 1)));
  }
  std::string Whole() const { return first + second + third; }
};

// While the user fetches the next volume, a link to a file outside the
// restore folder takes the split file's place: the finished file replaces
// the link and nothing is written through it.
TEST(RestoreVolumes, LinkPlantedBetweenVolumesIsNotWrittenThrough) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  test::TempDir src, out, outside;
  SplitArchive set(src);
  test::WriteFile(outside / "victim.txt", "keep");
  TBackupFile engine;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool&) {
    fs::remove(out / "split.bin");
    fs::create_symlink(outside / "victim.txt", out / "split.bin");
  };
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  EXPECT_EQ(test::ReadFile(outside / "victim.txt"), "keep");
  EXPECT_FALSE(fs::is_symlink(out / "split.bin"));
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.Whole());
}

TEST(RestoreVolumes, SplitFileIsJoinedStampedAndCountedOnce) {
  test::TempDir src, out;
  SplitArchive set(src);
  TBackupFile engine;
  std::vector<int> disks;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool&) { disks.push_back(Disk); };
  int restoredEvents = 0;
  engine.OnFileRestored = [&](TBackupFile&, std::string&, std::unique_ptr<TFileStream>&) {
    ++restoredEvents;
  };
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.Whole());
  EXPECT_EQ(platform::FileTimeOfPath(out / "split.bin"), kStored);
  EXPECT_EQ(test::ReadFile(out / "whole.txt"), "whole");
  EXPECT_EQ(disks, (std::vector<int>{2, 3}));
  EXPECT_EQ(restoredEvents, 2) << "once for each file, when it is whole";
  EXPECT_EQ(engine.FilesDone(), 2);
}

TEST(RestoreVolumes, SplitFileUnderNoOverwriteIsAppendedNotSkipped) {
  test::TempDir src, out;
  SplitArchive set(src);
  TBackupFile engine;
  engine.RestoreMode = rmNoOverwrite;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.Whole());
}

TEST(RestoreVolumes, SkippedSplitFileIsSteppedOverInEveryVolume) {
  test::TempDir src, out;
  SplitArchive set(src);
  TBackupFile engine;
  engine.OnRestoreFile = [](TBackupFile&, std::string& Name, int32_t, bool& DoRestore) {
    DoRestore = Name.find("whole") != std::string::npos;
  };
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  EXPECT_FALSE(fs::exists(out / "split.bin"));
  EXPECT_EQ(test::ReadFile(out / "whole.txt"), "whole");
}

TEST(RestoreVolumes, BuiltInQuestionNamesTheDiskAndRepeatsWhileTheVolumeIsMissing) {
  test::TempDir src, out;
  SplitArchive set(src);
  const std::string hidden = src / "hidden.002";
  fs::rename(src / "set.002", hidden);
  TBackupFile engine;
  std::vector<std::string> asked;
  engine.Hooks.AskOkCancel = [&](const std::string& Caption, const std::string& Text) {
    asked.push_back(Caption + "|" + Text);
    // The user finds the volume on the third try.
    if (asked.size() == 3) fs::rename(hidden, src / "set.002");
    return true;
  };
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_EQ(asked[0], "Information|Please insert disk 2 and click OK to continue.");
  EXPECT_EQ(asked[2], asked[0]);
  EXPECT_EQ(asked[3], "Information|Please insert disk 3 and click OK to continue.");
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.Whole());
}

TEST(RestoreVolumes, CancelEndsFalseWithoutMessageAndKeepsTheOlderCopy) {
  test::TempDir src, out;
  SplitArchive set(src);
  fs::remove(src / "set.002");
  test::WriteFile(out / "split.bin", "older");
  for (const bool viaHandler : {false, true}) {
    TBackupFile engine;
    std::vector<int32_t> errors;
    engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
      errors.push_back(Code);
    };
    int asked = 0;
    if (viaHandler) {
      engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool& Continue) {
        ++asked;
        Continue = false;
      };
    } else {
      engine.Hooks.AskOkCancel = [&](const std::string&, const std::string&) {
        ++asked;
        return false;
      };
    }
    EXPECT_FALSE(engine.Restore(set.archive, out.path()));
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(test::ReadFile(out / "split.bin"), "older");
    EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 1)
        << "no part of the new copy is left";
    EXPECT_FALSE(engine.Busy());
  }
}

TEST(RestoreVolumes, WithoutAnyWayToAskTheRunEndsAsCancelled) {
  test::TempDir src, out;
  SplitArchive set(src);
  TBackupFile engine;
  std::vector<int32_t> errors;
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) { errors.push_back(Code); };
  EXPECT_FALSE(engine.Restore(set.archive, out.path()));
  EXPECT_TRUE(errors.empty());
}

TEST(RestoreVolumes, DiskTwelveIsAskedAsTwelveAndReadFromExtension012) {
  test::TempDir src, out;
  SplitArchive set(src, 12);
  ASSERT_TRUE(fs::exists(src / "set.012"));
  ASSERT_TRUE(fs::exists(src / "set.013"));
  TBackupFile engine;
  std::vector<std::string> asked;
  engine.Hooks.AskOkCancel = [&](const std::string&, const std::string& Text) {
    asked.push_back(Text);
    return true;
  };
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0], "Please insert disk 12 and click OK to continue.");
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.Whole());
}

TEST(RestoreVolumes, VolumeChangeInACallersStreamEndsFalseAndLeavesItOpen) {
  test::TempDir out;
  TMemoryStream stream = test::StreamOf(ArchiveBuilder()
                                            .Header()
                                            .File("/part.bin", kStored, "first part")
                                            .VolumeChange(2)
                                            .Raw("after")
                                            .Bytes());
  TBackupFile engine;
  std::vector<int32_t> errors;
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) { errors.push_back(Code); };
  int asked = 0;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool&) { ++asked; };
  EXPECT_FALSE(engine.RestoreFromStream(&stream, out.path()));
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(errors, std::vector<int32_t>{3});
  EXPECT_TRUE(fs::is_empty(out.path())) << "the first part alone is no file";
  char rest[5];
  stream.ReadBuffer(rest, 5);  // still ours, positioned after the entry
  EXPECT_EQ(std::string(rest, 5), "after");
}

// A volume-change entry damaged to name a later volume than the next, while
// the next is there: following it would pass a volume over and lose the
// file that goes on in it.
TEST(RestoreVolumes, ADamagedNumberThatSkipsAVolumeIsNotFollowed) {
  test::TempDir src, out;
  SplitArchive set(src);
  std::string first = test::ReadFile(set.archive);
  first[first.size() - 1] = '3';  // NEXT:DISK002 -> NEXT:DISK003
  test::WriteFile(set.archive, first);
  TBackupFile engine;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  std::vector<TDamage> damages;
  engine.OnDamage = [&](TBackupFile&, const TDamage& D) { damages.push_back(D); };
  EXPECT_FALSE(engine.Restore(set.archive, out.path()));
  ASSERT_EQ(damages.size(), 1u);
  EXPECT_EQ(damages[0].Filename, "");
  EXPECT_EQ(damages[0].Volume, 1);
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.Whole());
  EXPECT_EQ(test::ReadFile(out / "whole.txt"), "whole");
}

TEST(RestoreVolumes, ChainThatDoesNotCountUpwardsIsRefusedNotFollowedForever) {
  test::TempDir src, out;
  ArchiveBuilder().Header().File("/loop.bin", kStored, "a").VolumeChange(2).Save(src / "l.bkp");
  // Volume 2 points back at itself.
  ArchiveBuilder().Section("b").VolumeChange(2).Save(src / "l.002");
  TBackupFile engine;
  int asked = 0;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool&) { ++asked; };
  std::vector<TDamage> damages;
  engine.OnDamage = [&](TBackupFile&, const TDamage& D) { damages.push_back(D); };
  EXPECT_FALSE(engine.Restore(src / "l.bkp", out.path()));
  EXPECT_EQ(asked, 1);
  ASSERT_FALSE(damages.empty());
  EXPECT_EQ(damages[0].Filename, "/loop.bin");
  EXPECT_EQ(damages[0].Volume, 2);
  EXPECT_FALSE(engine.Busy());
  EXPECT_TRUE(fs::is_empty(out.path())) << "a file whose chain breaks is not put in place";
}

TEST(RestoreVolumes, VolumeNameWithoutDigitsIsADamagedArchive) {
  test::TempDir src, out;
  ArchiveBuilder().Header().File("/x", kStored, "a").Name("NEXT:DISKab").Save(src / "d.bkp");
  TBackupFile engine;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) { FAIL() << "asked for a disk"; };
  EXPECT_FALSE(engine.Restore(src / "d.bkp", out.path()));
  EXPECT_EQ(engine.ErrorCode(), beCompression);
  EXPECT_TRUE(engine.Incomplete());
  EXPECT_TRUE(fs::is_empty(out.path()));
}

TEST(RestoreVolumes, ContinuationBeforeAnyEntryIsSteppedOverNotAppendedAnywhere) {
  // The engine still knows the last file of its previous run, here a
  // backup's source outside the restore folder. An archive that opens with
  // a volume change has no file of its own to continue.
  test::TempDir src, out;
  const std::string source = src / "own.txt";
  test::WriteFile(source, "mine");
  TBackupFile engine;
  ASSERT_TRUE(engine.Backup({source}, src / "own.bkp"));
  ASSERT_EQ(engine.CurrentFile(), source);

  ArchiveBuilder().Header().VolumeChange(2).Save(src / "h.bkp");
  ArchiveBuilder()
      .Section("appended")
      .File("/after.txt", kStored, "after")
      .End()
      .Save(src / "h.002");
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  engine.Restore(src / "h.bkp", out.path());
  EXPECT_EQ(test::ReadFile(source), "mine");
  EXPECT_EQ(test::ReadFile(out / "after.txt"), "after") << "the run goes on after the section";

  // The writer changes volumes only inside a file, so a continuation with
  // no entry open is the rest of a file whose head was lost: the run says
  // so, at the continuation, and still restores what follows.
  for (const bool testOnly : {false, true}) {
    TBackupFile fresh;
    fresh.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    test::TempDir again;
    EXPECT_FALSE(testOnly ? fresh.Test(src / "h.bkp") : fresh.Restore(src / "h.bkp", again.path()));
    EXPECT_EQ(fresh.ErrorCode(), beCompression);
    ASSERT_EQ(fresh.Damages().size(), 1u);
    EXPECT_EQ(fresh.Damages()[0].Volume, 2);
    EXPECT_EQ(fresh.Damages()[0].Offset, 4) << "right after the volume's signature";
    if (!testOnly) {
      EXPECT_EQ(test::ReadFile(again / "after.txt"), "after");
    }
  }
}

}  // namespace
}  // namespace kelmora
