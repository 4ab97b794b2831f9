// SPDX-License-Identifier: GPL-3.0-or-later
//
// A volume that is not beside the one before it: the need-disk handler
// names the file it found elsewhere, and restore, test and listing read it
// from there, looking for the volumes after it beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Stamp;

const int32_t kStored = Stamp(2023, 5, 6, 7, 8, 10);

// One file split over volumes 1 to 3, then a whole one in volume 3. The
// second and third volumes lie in Elsewhere, not beside the first.
struct ScatteredArchive {
  std::string head = test::RandomBytes(20000, 3), middle = test::TextBytes(30000, 4);
  std::string archive;
  ScatteredArchive(const test::TempDir& Here, const test::TempDir& Elsewhere)
      : archive(Here / "set.bkp") {
    ArchiveBuilder()
        .Header("", 50009, 2)
        .File("/split.bin", kStored, head)
        .VolumeChange(2)
        .Save(archive);
    ArchiveBuilder().Section(middle).VolumeChange(3).Save(Elsewhere / "moved.002");
    ArchiveBuilder()
        .Section("tail")
        .File("/whole.txt", kStored, "whole")
        .End()
        .Save(Elsewhere / "moved.003");
  }
};

TEST(VolumeElsewhere, RestoreTestAndListingReadTheVolumeTheHandlerNames) {
  test::TempDir here, elsewhere, out;
  ScatteredArchive set(here, elsewhere);
  TBackupFile engine;
  std::vector<std::pair<uint16_t, std::string>> asked;
  // Only volume 2 must be named: volume 3 is then found beside it.
  engine.OnNeedDisk = [&](TBackupFile& Sender, uint16_t Disk, bool&) {
    asked.emplace_back(Disk, Sender.NeededVolumeFile);
    if (Disk == 2) Sender.NeededVolumeFile = elsewhere / "moved.002";
  };
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  EXPECT_EQ(test::ReadFile(out / "split.bin"), set.head + set.middle + "tail");
  EXPECT_EQ(test::ReadFile(out / "whole.txt"), "whole");
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0], std::make_pair(uint16_t{2}, std::string()));
  EXPECT_EQ(asked[1], std::make_pair(uint16_t{3}, std::string()))
      << "the name is cleared before every question";

  EXPECT_TRUE(engine.Test(set.archive));
  EXPECT_TRUE(engine.Damages().empty());

  std::vector<std::pair<std::string, uint16_t>> listed;
  EXPECT_TRUE(engine.ListArchive(set.archive, [&](TBackupFile&, const TArchiveEntry& Entry) {
    listed.emplace_back(Entry.Name, Entry.Volume);
  }));
  EXPECT_EQ(listed,
            (std::vector<std::pair<std::string, uint16_t>>{{"/split.bin", 1}, {"/whole.txt", 3}}));
}

TEST(VolumeElsewhere, ANamedFileThatIsMissingIsAskedForAgain) {
  test::TempDir here, elsewhere, out;
  ScatteredArchive set(here, elsewhere);
  TBackupFile engine;
  int questions = 0;
  engine.OnNeedDisk = [&](TBackupFile& Sender, uint16_t Disk, bool& Continue) {
    ++questions;
    if (Disk != 2) return;
    // First a name that is not there, then the right one, then a cancel
    // would follow were it asked again.
    if (questions == 1)
      Sender.NeededVolumeFile = elsewhere / "nothing.002";
    else if (questions == 2)
      Sender.NeededVolumeFile = elsewhere / "moved.002";
    else
      Continue = false;
  };
  EXPECT_TRUE(engine.Restore(set.archive, out.path()));
  EXPECT_EQ(questions, 3) << "twice for volume 2, once for volume 3";
  EXPECT_EQ(test::ReadFile(out / "whole.txt"), "whole");

  // Without a name, the volume is looked for beside the first, as before.
  questions = 0;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool& Continue) {
    ++questions;
    Continue = false;
  };
  EXPECT_FALSE(engine.Restore(set.archive, (out / "again")));
  EXPECT_EQ(questions, 1);
  EXPECT_TRUE(engine.Incomplete());
  EXPECT_FALSE(fs::exists(out / "again/whole.txt"));
}

}  // namespace
}  // namespace kelmora
