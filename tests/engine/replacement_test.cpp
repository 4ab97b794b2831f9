// SPDX-License-Identifier: GPL-3.0-or-later
//
// A replacement of several archive files: its record's layout and what
// rejects a record that is cut or changed; a commit whole and one whose
// rename fails; and what the next command makes of every state a cut can
// leave between the record and the last rename (forward, back, or a refusal
// that changes nothing), through the runs that meet it first.
#include "engine/replacement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "platform/platform.h"
#include "platform/working_files.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using replacement::Entry;
using test::TempDir;

using Files = std::map<std::string, std::string>;  // leaf -> contents

// The files of a folder but the lock beside the archive, which Windows
// leaves there after a run.
Files Folder(const std::string& Path) {
  Files files;
  for (const auto& entry : fs::directory_iterator(Path)) {
    const std::string leaf = entry.path().filename().string();
    if (!platform::IsLockName(leaf)) files[leaf] = test::ReadFile(entry.path().string());
  }
  return files;
}

TEST(ReplacementRecord, ReadsBackWhatItWroteAndRejectsEveryCutAndChange) {
  const std::vector<Entry> entries = {
      {".kelmora-abcdefghij.part", "x 100%.002", 5},
      {".kelmora-0123456789.part", "line\nbreak.bkp", 123456789012},
      {"", "x.003", 7},
  };
  const std::string text = replacement::FormatRecord(entries);
  std::vector<Entry> read;
  ASSERT_TRUE(replacement::ParseRecord(text, read));
  ASSERT_EQ(read.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(read[i].Temporary, entries[i].Temporary);
    EXPECT_EQ(read[i].Name, entries[i].Name);
    EXPECT_EQ(read[i].Size, entries[i].Size);
  }
  EXPECT_EQ(text.find("line\nbreak"), std::string::npos) << "one line per file";
  // A record cut anywhere was never whole on the disk.
  for (size_t length = 0; length < text.size(); ++length)
    EXPECT_FALSE(replacement::ParseRecord(text.substr(0, length), read)) << length;
  for (size_t at = 0; at < text.size(); ++at) {
    std::string changed = text;
    changed[at] ^= 0x04;
    EXPECT_FALSE(replacement::ParseRecord(changed, read)) << at;
  }
  // Only Kelmora's temporaries, and only names within the folder.
  EXPECT_FALSE(
      replacement::ParseRecord(replacement::FormatRecord({{"notes.txt", "x.bkp", 1}}), read));
  EXPECT_FALSE(replacement::ParseRecord(
      replacement::FormatRecord({{".kelmora-abcdefghij.part", "../x.bkp", 1}}), read));
  EXPECT_FALSE(replacement::ParseRecord(replacement::FormatRecord({{"", "..", 1}}), read));
}

// An older archive of four volumes (x.bkp, x.002 to x.004) and the new one
// of three, written under temporary names beside them; other files too.
class ReplacementRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Arc());
    for (const char* leaf : {"x.bkp", "x.002", "x.003", "x.004"})
      test::WriteFile(Arc(leaf), std::string("older ") + leaf);
    test::WriteFile(Arc("x.005.txt"), "the user's");
    test::WriteFile(Arc(".kelmora-zzzzzzzzzz.part"), "another run's leftover");
    for (const char* leaf : {"x.bkp", "x.002", "x.003"}) {
      std::string temporary;
      platform::File file = platform::CreateFileBeside(Arc(leaf), temporary);
      ASSERT_TRUE(file.Valid());
      const std::string data = std::string("new ") + leaf + std::string(100, '+');
      ASSERT_TRUE(file.Write(data.data(), data.size()));
      file.Close();
      platform::ReleaseTemporary(temporary);  // as a killed run's would be
      temporaries_[leaf] = temporary;
    }
    older_ = newer_ = Folder(Arc());
    for (const auto& [leaf, temporary] : temporaries_) {
      const std::string temp = fs::path(temporary).filename().string();
      newer_[leaf] = newer_[temp];
      newer_.erase(temp);
    }
    newer_.erase("x.004");
    newer_.erase(".kelmora-zzzzzzzzzz.part");  // the next run's clean-up takes it
  }

  std::string Arc(const std::string& Leaf = "") const { return dir_ / ("arc/" + Leaf); }

  // The replacement as a backup makes it: the first volume last.
  Replacement Make() const {
    Replacement r(Arc("x.bkp"));
    for (const char* leaf : {"x.003", "x.002", "x.bkp"}) r.Put(temporaries_.at(leaf), Arc(leaf));
    r.Remove(Arc("x.004"));
    return r;
  }

  // The state a cut leaves after the record and Renamed renames, as the
  // next run finds it.
  void CutAfter(int Renamed) {
    // The record as the commit writes it, then the first Renamed renames.
    const std::vector<Entry> record = {
        {Leaf(temporaries_.at("x.003")), "x.003", Size(temporaries_.at("x.003"))},
        {Leaf(temporaries_.at("x.002")), "x.002", Size(temporaries_.at("x.002"))},
        {Leaf(temporaries_.at("x.bkp")), "x.bkp", Size(temporaries_.at("x.bkp"))},
        {"", "x.004", Size(Arc("x.004"))},
    };
    test::WriteFile(platform::JournalPathOf(Arc("x.bkp")), replacement::FormatRecord(record));
    const char* order[] = {"x.003", "x.002", "x.bkp"};
    for (int i = 0; i < Renamed; ++i) fs::rename(temporaries_.at(order[i]), Arc(order[i]));
  }
  static std::string Leaf(const std::string& Path) { return fs::path(Path).filename().string(); }
  static int64_t Size(const std::string& Path) { return static_cast<int64_t>(fs::file_size(Path)); }

  TempDir dir_;
  std::map<std::string, std::string> temporaries_;  // final leaf -> temporary path
  Files older_, newer_;
};

TEST_F(ReplacementRun, ACommitPutsEveryFileInPlaceAndRemovesOnlyTheOlderVolume) {
  Replacement r = Make();
  std::string failed;
  ASSERT_EQ(r.Commit(failed), 0) << failed;
  EXPECT_TRUE(r.Begun());
  EXPECT_FALSE(r.Pending());
  Files now = Folder(Arc());
  now.erase(".kelmora-zzzzzzzzzz.part");
  EXPECT_EQ(now, newer_) << "the record is gone, x.004 too, the user's file stays";
}

TEST_F(ReplacementRun, ARenameThatFailsFirstLeavesTheOlderArchiveAndNoRecord) {
  // A folder in the first renamed name's place (x.003): nothing is renamed.
  fs::remove(Arc("x.003"));
  fs::create_directories(Arc("x.003/inside"));
  Replacement r = Make();
  std::string failed;
  EXPECT_NE(r.Commit(failed), 0);
  EXPECT_EQ(failed, Arc("x.003"));
  EXPECT_FALSE(r.Begun()) << "the temporaries are the caller's to remove";
  EXPECT_FALSE(r.Pending());
  EXPECT_FALSE(fs::exists(platform::JournalPathOf(Arc("x.bkp"))));
  EXPECT_EQ(test::ReadFile(Arc("x.bkp")), older_.at("x.bkp"));
}

TEST_F(ReplacementRun, ARenameThatFailsLaterLeavesTheRecordForTheNextRunToComplete) {
  fs::remove(Arc("x.bkp"));
  fs::create_directories(Arc("x.bkp/inside"));  // the last rename fails
  Replacement r = Make();
  std::string failed;
  EXPECT_NE(r.Commit(failed), 0);
  EXPECT_EQ(failed, Arc("x.bkp"));
  EXPECT_TRUE(r.Begun());
  EXPECT_TRUE(r.Pending());
  ASSERT_TRUE(fs::exists(platform::JournalPathOf(Arc("x.bkp"))));
  // Once the obstacle is gone, the next command completes it.
  fs::remove_all(Arc("x.bkp"));
  EXPECT_EQ(CompleteReplacement(Arc("x.bkp")).How, Completion::Kind::Forward);
  Files now = Folder(Arc());
  now.erase(".kelmora-zzzzzzzzzz.part");
  EXPECT_EQ(now, newer_);
}

class ReplacementCut : public ReplacementRun, public ::testing::WithParamInterface<int> {};

TEST_P(ReplacementCut, IsCompletedForwardByTheFirstRunOnTheArchive) {
  CutAfter(GetParam());
  EXPECT_TRUE(HasUnfinishedReplacement(Arc("x.bkp")));
  // Completed before the run reads anything: here a test, which then finds
  // the new first volume (these files are no archive, so it fails).
  TBackupFile engine;
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  engine.Test(Arc("x.bkp"), false);
  EXPECT_EQ(Folder(Arc()), newer_) << "forward, and the leftover removed";
  EXPECT_FALSE(HasUnfinishedReplacement(Arc("x.bkp")));
}

INSTANTIATE_TEST_SUITE_P(AfterEachRename, ReplacementCut, ::testing::Values(0, 1, 2, 3));

TEST_F(ReplacementRun, ACutBeforeAnyRenameWithATemporaryMissingGoesBack) {
  CutAfter(0);
  fs::remove(temporaries_.at("x.002"));
  EXPECT_EQ(CompleteReplacement(Arc("x.bkp")).How, Completion::Kind::Back);
  Files now = Folder(Arc());
  EXPECT_EQ(now.count(Leaf(temporaries_.at("x.bkp"))), 0u) << "the temporaries go";
  for (const char* leaf : {"x.bkp", "x.002", "x.003", "x.004"})
    EXPECT_EQ(now[leaf], older_[leaf]) << leaf;
  EXPECT_FALSE(HasUnfinishedReplacement(Arc("x.bkp")));
}

TEST_F(ReplacementRun, ANewFileLostAfterSomeRenamesIsRefusedAndNothingChanges) {
  CutAfter(1);  // x.003 is new already
  fs::remove(temporaries_.at("x.002"));
  const Files before = Folder(Arc());
  // A backup meets it first: refused, naming the lost file and why.
  TBackupFile engine;
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  EXPECT_FALSE(engine.Backup({dir_ / "arc/x.005.txt"}, Arc("x.bkp")));
  EXPECT_EQ(engine.Failure().Code, beCannotWriteArchive);
  EXPECT_EQ(engine.Failure().Subject, Arc("x.002"));
  EXPECT_NE(engine.Failure().Reason.find("missing"), std::string::npos);
  EXPECT_EQ(Folder(Arc()), before) << "its temporaries, the record and the leftover stay";
}

TEST_F(ReplacementRun, ACutOrForeignRecordIsDroppedAndTouchesNothing) {
  const std::string record = platform::JournalPathOf(Arc("x.bkp"));
  // Cut while it was written: no rename came after it.
  CutAfter(0);
  const std::string text = test::ReadFile(record);
  test::WriteFile(record, text.substr(0, text.size() / 2));
  EXPECT_EQ(CompleteReplacement(Arc("x.bkp")).How, Completion::Kind::Back);
  EXPECT_FALSE(fs::exists(record));
  // Whole, but naming a file that is none of the archive's.
  test::WriteFile(record, replacement::FormatRecord({{Leaf(temporaries_.at("x.002")), "x.005.txt",
                                                      Size(temporaries_.at("x.002"))}}));
  EXPECT_EQ(CompleteReplacement(Arc("x.bkp")).How, Completion::Kind::Back);
  EXPECT_EQ(test::ReadFile(Arc("x.005.txt")), "the user's");
  for (const char* leaf : {"x.bkp", "x.002", "x.003", "x.004"})
    EXPECT_EQ(test::ReadFile(Arc(leaf)), older_.at(leaf)) << leaf;
}

// A backup over an older archive of more volumes: after the run, the new
// volumes, no stale one, no record; and the readers' claim completes a cut
// one even when the first volume is not in place yet.
TEST(ReplacementBackup, ASplitBackupReplacesTheOlderVolumesAndReadersCompleteACutOne) {
  TempDir dir;
  test::WriteFile(dir / "src/a.bin", test::RandomBytes(90000, 1));
  test::WriteFile(dir / "src/b.bin", test::RandomBytes(60000, 2));
  fs::create_directories(dir / "arc");
  TBackupFile engine;
  engine.MaxSize = 40000;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  ASSERT_TRUE(engine.Backup({dir / "src/*.*"}, dir / "arc/x.bkp"));
  ASSERT_TRUE(fs::exists(dir / "arc/x.004"));
  fs::remove(dir / "src/a.bin");
  ASSERT_TRUE(engine.Backup({dir / "src/*.*"}, dir / "arc/x.bkp"));
  EXPECT_TRUE(fs::exists(dir / "arc/x.002"));
  EXPECT_FALSE(fs::exists(dir / "arc/x.003")) << "the older archive's later volumes go";
  EXPECT_FALSE(HasUnfinishedReplacement(dir / "arc/x.bkp"));
  const Files done = Folder(dir / "arc");

  // The same replacement cut before the first volume's rename: x.bkp is
  // not there at all, yet a listing finds the archive.
  const std::string first = test::ReadFile(dir / "arc/x.bkp");
  fs::remove(dir / "arc/x.bkp");
  const std::string temporary = dir / "arc/.kelmora-cutcutcut1.part";
  test::WriteFile(temporary, first);
  test::WriteFile(platform::JournalPathOf(dir / "arc/x.bkp"),
                  replacement::FormatRecord(
                      {{".kelmora-cutcutcut1.part", "x.bkp", static_cast<int64_t>(first.size())}}));
  int listed = 0;
  EXPECT_TRUE(
      engine.ListArchive(dir / "arc/x.bkp", [&](TBackupFile&, const TArchiveEntry&) { ++listed; }));
  EXPECT_EQ(listed, 1);
  EXPECT_EQ(Folder(dir / "arc"), done);
}

}  // namespace
}  // namespace kelmora
