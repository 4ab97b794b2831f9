// SPDX-License-Identifier: GPL-3.0-or-later
//
// Expanding source specifications into the list of files a backup stores,
// on real trees: order, recursion, the switch, duplicates, the archive
// itself, and every kind of entry that must not be selected.
#include "engine/selection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;
using test::WriteFile;
using Paths = std::vector<std::string>;

Paths Select(const TStringList& sources, const std::string& archive = "",
             TBackupMode mode = bmAll) {
  TStringList selected;
  SelectSourceFiles(sources, archive, mode, selected);
  return selected;
}

// Runs the test body in another current directory and returns to the old one.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

class Selection : public ::testing::Test {
 protected:
  // Spelt as the backup stores it: lower-cased where names ignore case.
  std::string P(const std::string& relative) const {
    return platform::ComparableName(root_ / relative);
  }
  void Make(const std::string& relative, const std::string& contents = "x") {
    WriteFile(P(relative), contents);
  }
  TempDir root_;
};

TEST_F(Selection, SubDirectoriesComeFirstAndComplete) {
  Make("top.txt");
  Make("a/a.txt");
  Make("a/deep/d.txt");
  Make("a/deep/deeper/e.txt");
  EXPECT_EQ(Select({P("*.* /s")}),
            (Paths{P("a/deep/deeper/e.txt"), P("a/deep/d.txt"), P("a/a.txt"), P("top.txt")}));
}

TEST_F(Selection, SiblingFoldersFollowSearchOrderEachWhole) {
  for (const char* d : {"m", "c", "x"}) {
    Make(std::string(d) + "/f.txt");
    Make(std::string(d) + "/sub/g.txt");
  }
  Make("root.txt");
  Paths expected;
  platform::SearchDirectories(root_.path(), [&](const platform::SearchEntry& e) {
    expected.push_back(P(e.Name + "/sub/g.txt"));
    expected.push_back(P(e.Name + "/f.txt"));
  });
  ASSERT_EQ(expected.size(), 6u);
  expected.push_back(P("root.txt"));
  EXPECT_EQ(Select({P("*.* /s")}), expected);
}

TEST_F(Selection, WithoutSwitchOnlyTheFolderItself) {
  Make("a.txt");
  Make("sub/b.txt");
  EXPECT_EQ(Select({P("*.*")}), Paths{P("a.txt")});
  EXPECT_EQ(Select({P("a.txt")}), Paths{P("a.txt")});
}

TEST_F(Selection, PatternIsCarriedIntoSubDirectories) {
  Make("a.txt");
  Make("b.dat");
  Make("sub/c.txt");
  Make("sub/d.dat");
  Make("sub/deep/E.TXT");
  Make("sub/deep/f.txt.bak");
  EXPECT_EQ(Select({P("*.txt /s")}), (Paths{P("sub/deep/E.TXT"), P("sub/c.txt"), P("a.txt")}));
}

TEST_F(Selection, CaseOfPathsIsKept) {
  KELMORA_POSIX_ONLY("names there are lower-cased (NameRules)");
  Make("Data/ReadMe.TXT");
  Make("Data/notes.txt");
  EXPECT_EQ(Select({P("Data/*.txt")}), (Paths{P("Data/ReadMe.TXT"), P("Data/notes.txt")}));
  // The folder part is a real path and Linux compares it exactly.
  EXPECT_TRUE(Select({P("data/*.txt")}).empty());
}

TEST_F(Selection, SwitchForms) {
  Make("a.txt");
  Make("sub/b.txt");
  const Paths all{P("sub/b.txt"), P("a.txt")};
  EXPECT_EQ(Select({P("*.* /s")}), all);
  EXPECT_EQ(Select({P("*.* /S")}), all);
  EXPECT_EQ(Select({P("*.* /sx")}), all) << "what follows the switch is discarded";
  EXPECT_EQ(Select({P("*.*\t/s")}), all);
  EXPECT_EQ(Select({"  " + P("*.*") + "   /s  "}), all) << "trimmed around the pattern";
  EXPECT_EQ(Select({P("*.* /s /s")}), all);
}

TEST_F(Selection, SlashSInsidePathIsNoSwitch) {
  Make("sub/a.txt");
  Make("sub/src/b.txt");
  Make("s/c.txt");
  Make("s/deeper/d.txt");
  EXPECT_EQ(Select({P("sub/*.*")}), Paths{P("sub/a.txt")});
  EXPECT_EQ(Select({P("s/*.*")}), Paths{P("s/c.txt")});
  EXPECT_EQ(Select({P("sub/src/*.*")}), Paths{P("sub/src/b.txt")});
  // A path that begins with "/s" is a path, not the switch with nothing before it.
  EXPECT_EQ(Select({P("sub/*.* /s")}), (Paths{P("sub/src/b.txt"), P("sub/a.txt")}));
}

TEST_F(Selection, FolderNameEndingInBlankBeforeAnSFolder) {
  KELMORA_POSIX_ONLY("Windows drops a blank that ends a name");
  // "a /sub" joins into a path that holds " /s"; the walk must not take it
  // for a switch and cut the path there.
  Make("a /sub/f.txt");
  Make("a /g.txt");
  EXPECT_EQ(Select({P("*.* /s")}), (Paths{P("a /sub/f.txt"), P("a /g.txt")}));
}

TEST_F(Selection, UntrimmedWithoutSwitch) {
  KELMORA_POSIX_ONLY("Windows drops a blank that ends a name");
  Make("a.txt");
  EXPECT_TRUE(Select({P("a.txt ")}).empty());
  EXPECT_TRUE(Select({std::string(" ").append(P("a.txt"))}).empty());
  Make("b.txt ");  // the blank belongs to the name
  EXPECT_EQ(Select({P("b.txt ")}), Paths{P("b.txt ")});
}

TEST_F(Selection, BarePatternMeansCurrentDirectory) {
  Make("a.txt");
  Make("sub/b.txt");
  InDirectory in(root_.path());
  EXPECT_EQ(Select({"*.txt"}), Paths{P("a.txt")});
  EXPECT_EQ(Select({"*.txt /s"}), (Paths{P("sub/b.txt"), P("a.txt")}));
  EXPECT_EQ(Select({"sub/../a.txt"}), Paths{P("a.txt")});
}

TEST_F(Selection, OverlappingSpecificationsSelectEachFileOnce) {
  Make("a.txt");
  Make("sub/b.txt");
  Make("sub/c.txt");
  EXPECT_EQ(Select({P("*.* /s"), P("sub/*.* /s")}),
            (Paths{P("sub/b.txt"), P("sub/c.txt"), P("a.txt")}));
  EXPECT_EQ(Select({P("sub/*.*"), P("*.* /s")}),
            (Paths{P("sub/b.txt"), P("sub/c.txt"), P("a.txt")}));
  EXPECT_EQ(Select({P("sub/b.txt"), P("sub/../sub/b.txt"), P("sub/./*.txt")}),
            (Paths{P("sub/b.txt"), P("sub/c.txt")}));
}

TEST_F(Selection, SameSpecificationTwice) {
  Make("a.txt");
  Make("sub/b.txt");
  EXPECT_EQ(Select({P("*.* /s"), P("*.* /s")}), (Paths{P("sub/b.txt"), P("a.txt")}));
}

TEST_F(Selection, EntriesAlreadyInTheListAreKept) {
  Make("a.txt");
  Make("b.txt");
  TStringList selected{P("b.txt"), "/elsewhere"};
  SelectSourceFiles({P("*.txt")}, "", bmAll, selected);
  EXPECT_EQ(selected, (Paths{P("b.txt"), "/elsewhere", P("a.txt")}));
}

// The archive and the volumes the backup found to be the older archive's
// are left out; a file merely named like a volume is the user's and is
// selected (once it was left out, and then deleted as a stale volume).
TEST_F(Selection, ArchiveAndItsVolumesAreLeftOut) {
  for (const char* name :
       {"a.txt", "backup.bkp", "backup.001", "backup.002", "backup.02", "backup.999", "other.002"})
    Make(name);
  const Paths expected{P("a.txt"), P("backup.001"), P("backup.02"), P("backup.999"),
                       P("other.002")};
  TStringList selected;
  SelectSourceFiles({P("*.*")}, TStringList{P("backup.bkp"), P("backup.002")}, bmAll, selected);
  EXPECT_EQ(selected, expected);
  // The same archive name given relative to the current directory.
  InDirectory in(root_.path());
  selected.clear();
  SelectSourceFiles({P("*.*")}, TStringList{"backup.bkp", "./backup.002"}, bmAll, selected);
  EXPECT_EQ(selected, expected);
}

// Through a link of any name the archive is still the archive.
TEST_F(Selection, LinksToTheArchiveAreLeftOut) {
  KELMORA_POSIX_ONLY("symbolic links");
  Make("data/a.txt");
  Make("out/backup.bkp");
  test::MakeSymlink(P("out/backup.bkp"), P("data/not-an-archive.txt"));
  std::filesystem::create_hard_link(P("out/backup.bkp"), P("data/hard"));
  EXPECT_EQ(Select({P("data/*.*")}, P("out/backup.bkp")), Paths{P("data/a.txt")});
  EXPECT_EQ(Select({P("data/*.*")}),
            (Paths{P("data/a.txt"), P("data/hard"), P("data/not-an-archive.txt")}));
}

TEST_F(Selection, ArchiveReachedThroughLinkedFolderIsLeftOut) {
  KELMORA_POSIX_ONLY("symbolic links");
  Make("data/a.txt");
  Make("data/backup.bkp");
  test::MakeSymlink("data", P("alias"));
  EXPECT_EQ(Select({P("data/*.*")}, P("alias/backup.bkp")), Paths{P("data/a.txt")});
}

TEST_F(Selection, ArchiveOfTheSameNameElsewhereIsSelected) {
  Make("one/backup.bkp");
  Make("two/backup.bkp");
  EXPECT_EQ(Select({P("*.* /s")}, P("two/backup.bkp")), Paths{P("one/backup.bkp")});
}

TEST_F(Selection, StreamNameExcludesNothing) {
  KELMORA_POSIX_ONLY("\":\" in a file name");
  Make(":STREAM");
  InDirectory in(root_.path());
  EXPECT_EQ(Select({"*"}, ":STREAM"), Paths{P(":STREAM")});
}

TEST_F(Selection, HiddenFoldersNotEnteredHiddenFilesSelected) {
  KELMORA_POSIX_ONLY("a leading dot hides nothing there; the hidden attribute does");
  Make(".profile");
  Make(".git/config");
  Make("sub/.env");
  Make("sub/.cache/blob");
  EXPECT_EQ(Select({P("*.* /s")}), (Paths{P("sub/.env"), P(".profile")}));
}

TEST_F(Selection, LinkToParentFolderDoesNotLoop) {
  KELMORA_POSIX_ONLY("symbolic links");
  Make("a.txt");
  Make("sub/b.txt");
  test::MakeSymlink("..", P("sub/up"));
  test::MakeSymlink(root_.path(), P("sub/abs"));
  test::MakeSymlink(".", P("self"));
  EXPECT_EQ(Select({P("*.* /s")}), (Paths{P("sub/b.txt"), P("a.txt")}));
}

TEST_F(Selection, OnlyRegularFilesAndLinksToThem) {
  KELMORA_POSIX_ONLY("FIFOs and symbolic links");
  Make("a.txt", "target");
  test::MakeFifo(P("pipe.txt"));
  test::MakeSymlink("gone.txt", P("dangling.txt"));
  test::MakeSymlink("a.txt", P("link.txt"));
  Make("dir.txt/inside");
  EXPECT_EQ(Select({P("*.txt")}), (Paths{P("a.txt"), P("link.txt")}));
}

TEST_F(Selection, FolderWithoutPatternSelectsNothing) {
  Make("data/a.txt");
  EXPECT_TRUE(Select({P("data")}).empty());
  EXPECT_TRUE(Select({P("data/")}).empty());
  EXPECT_TRUE(Select({P("data/ /s")}).empty());
}

TEST_F(Selection, NothingToSelect) {
  EXPECT_TRUE(Select({}).empty());
  EXPECT_TRUE(Select({""}).empty());
  EXPECT_TRUE(Select({P("missing/*.* /s"), P("missing.txt")}).empty());
  EXPECT_TRUE(Select({P("*.* /s")}).empty());  // an empty folder
}

TEST_F(Selection, IncrementalTakesOnlyFilesWithTheAttribute) {
  Make("a.txt");
  Make("b.txt");
  Make("sub/c.txt");
  Make("sub/d.txt");
  if (!test::ArchiveAttributeWorks(P("a.txt")))
    GTEST_SKIP() << "the temporary folder's file system keeps no archive attribute";
  platform::ClearArchiveAttribute(P("a.txt"));
  platform::ClearArchiveAttribute(P("sub/c.txt"));
  EXPECT_EQ(Select({P("*.* /s")}, "", bmIncremental), (Paths{P("sub/d.txt"), P("b.txt")}));
  EXPECT_EQ(Select({P("*.* /s")}, "", bmAll),
            (Paths{P("sub/c.txt"), P("sub/d.txt"), P("a.txt"), P("b.txt")}));
  // Every file of a folder cleared: the folder is still searched below.
  platform::ClearArchiveAttribute(P("b.txt"));
  platform::ClearArchiveAttribute(P("sub/d.txt"));
  Make("sub/deep/e.txt");
  EXPECT_EQ(Select({P("*.* /s")}, "", bmIncremental), Paths{P("sub/deep/e.txt")});
  // A changed file is selected again.
  Make("a.txt", "changed contents");
  EXPECT_EQ(Select({P("*.* /s")}, "", bmIncremental), (Paths{P("sub/deep/e.txt"), P("a.txt")}));
}

}  // namespace
}  // namespace kelmora
