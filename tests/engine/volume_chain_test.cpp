// SPDX-License-Identifier: GPL-3.0-or-later
//
// The one reader of an archive's volume chain: where each volume lies, a
// later one already there, a missing one asked for until it comes, and
// volume-change entries that do not count on.
#include "engine/volume_chain.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/older_archive.h"
#include "engine/restore_builder.h"
#include "engine/run_state.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

struct Asked {
  std::vector<uint16_t> disks;
  std::vector<std::string> answers;  // one a question: a file to name, "" for none, "!" to cancel
};

void AnswerWith(TBackupFile& Engine, Asked& Log) {
  Engine.OnNeedDisk = [&Log](TBackupFile& Sender, uint16_t Disk, bool& Continue) {
    const size_t round = Log.disks.size();
    Log.disks.push_back(Disk);
    const std::string answer = round < Log.answers.size() ? Log.answers[round] : "!";
    if (answer == "!")
      Continue = false;
    else
      Sender.NeededVolumeFile = answer;
  };
}

TEST(VolumeChain, NamesLieBesideTheLinkTargetAndALaterVolumeAtHandIsSeen) {
  KELMORA_POSIX_ONLY("a symbolic link to the archive");
  test::TempDir dir;
  fs::create_directories(dir / "disk");
  test::WriteFile(dir / "disk/b.bkp", "first");
  test::WriteFile(dir / "disk/b.003", "third");
  fs::create_symlink(dir / "disk/b.bkp", dir / "link.bkp");

  const VolumeChain chain(dir / "link.bkp");
  EXPECT_EQ(chain.Name(1), dir / "link.bkp") << "volume 1 is opened as it was given";
  EXPECT_EQ(chain.Name(2), dir / "disk/b.002");
  EXPECT_EQ(chain.Name(999), dir / "disk/b.999");
  EXPECT_FALSE(chain.Present(2));
  EXPECT_TRUE(chain.Present(3));
  EXPECT_TRUE(chain.Asks());
  // The public name builder is this one.
  EXPECT_EQ(VolumeFileName(dir / "link.bkp", 3), chain.Name(3));

  // A located chain (a backup's temporary volumes) never asks, and a
  // volume its locator does not name is missing.
  const VolumeChain located(dir / "disk/b.bkp", [&](int Number) {
    return Number == 3 ? dir / "disk/b.003" : std::string();
  });
  EXPECT_FALSE(located.Asks());
  EXPECT_TRUE(located.Present(3));
  EXPECT_FALSE(located.Present(2));
}

TEST(VolumeChain, AMissingMiddleVolumeIsAskedForAndTheNextIsLookedForBesideTheAnswer) {
  test::TempDir dir, elsewhere;
  test::WriteFile(dir / "set.bkp", "1");
  test::WriteFile(elsewhere / "moved.002", "2");
  test::WriteFile(elsewhere / "moved.003", "3");
  test::WriteFile(dir / "set.004", "4");
  TBackupFile engine;
  Asked log;
  // A name that is not there is asked for again; then the right one.
  log.answers = {elsewhere / "nothing.002", elsewhere / "moved.002", "", "", "!"};
  AnswerWith(engine, log);
  RunContext run(engine);
  run.State().Continue = true;
  VolumeChain chain(dir / "set.bkp");

  EXPECT_EQ(chain.Reach(run, 2), elsewhere / "moved.002");
  EXPECT_EQ(log.disks, (std::vector<uint16_t>{2, 2}));
  // Volume 3 was not named: it is found beside the named volume 2, after
  // the one question every volume gets.
  EXPECT_EQ(chain.Reach(run, 3), elsewhere / "moved.003");
  EXPECT_EQ(log.disks, (std::vector<uint16_t>{2, 2, 3}));
  // Asked only while missing: volume 3 is there, so nobody is asked.
  EXPECT_EQ(chain.Reach(run, 3, VolumeChain::Ask::WhenMissing), elsewhere / "moved.003");
  EXPECT_EQ(log.disks.size(), 3u);
  // Volume 4 lies beside the first, not beside the answer: it stays
  // missing, and the question is asked until it is cancelled.
  chain.Reach(run, 4);
  EXPECT_FALSE(run.Continues());
  EXPECT_EQ(log.disks, (std::vector<uint16_t>{2, 2, 3, 4, 4}));
  EXPECT_EQ(engine.NeededVolumeFile, "") << "an answer is taken once";
}

TEST(VolumeChain, AChangeThatDoesNotCountOnIsNoNextVolume) {
  EXPECT_EQ(VolumeChain::NextNumber("NEXT:DISK002", 1), 2);
  EXPECT_EQ(VolumeChain::NextNumber("NEXT:DISK005", 2), 5) << "a skip ahead is the caller's call";
  EXPECT_EQ(VolumeChain::NextNumber("NEXT:DISK002", 2), -1);
  EXPECT_EQ(VolumeChain::NextNumber("NEXT:DISK001", 3), -1);
  EXPECT_EQ(VolumeChain::NextNumber("NEXT:DISK0x2", 1), -1);
  EXPECT_EQ(VolumeChain::NextNumber("NEXT:DISK", 1), -1);
}

// The readers that follow a chain, through it: a volume the handler names
// elsewhere, a foreign file that bears a later volume's name.
TEST(VolumeChain, ListingAndOwnershipFollowTheSameChain) {
  test::TempDir dir, elsewhere;
  const std::string archive = dir / "set.bkp";
  test::ArchiveBuilder()
      .Header("", 9, 2)
      .File("/a.txt", test::Stamp(2023, 5, 6, 7, 8, 10), "first")
      .VolumeChange(2)
      .Save(archive);
  test::ArchiveBuilder()
      .Section("more")
      .File("/b.txt", test::Stamp(2023, 5, 6, 7, 8, 10), "b")
      .End()
      .Save(elsewhere / "other.002");

  TBackupFile engine;
  Asked log;
  log.answers = {elsewhere / "other.002"};
  AnswerWith(engine, log);
  std::vector<std::string> listed;
  EXPECT_TRUE(engine.ListArchive(archive, [&](TBackupFile&, const TArchiveEntry& Entry) {
    listed.push_back(Entry.Name + "@" + std::to_string(Entry.Volume));
  }));
  EXPECT_EQ(listed, (std::vector<std::string>{"/a.txt@1", "/b.txt@2"}));
  EXPECT_EQ(log.disks, (std::vector<uint16_t>{2}));

  // Beside the first, the chain proves no volume 2 of its own: a file of
  // that name is a foreign one, which a backup must not replace.
  test::WriteFile(dir / "set.002", "someone else's");
  const OlderArchive older(archive);
  EXPECT_EQ(older.Volumes(), 1u);
  EXPECT_EQ(FindForeignVolume(archive, older), dir / "set.002");
}

}  // namespace
}  // namespace kelmora
