// SPDX-License-Identifier: GPL-3.0-or-later
//
// The name rules of the system the engine runs on, on real trees and
// archives: Windows takes names without regard to case and stores them
// lower-cased, separates with "\" and "/", keeps drives, and never writes a
// name it cannot hold; Linux keeps every byte of a name as it is. Each case
// states what both systems must do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/restore_target.h"
#include "engine/selection.h"
#include "kelmora/backup_file.h"
#include "platform/names.h"
#include "restore_builder.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::ArchiveBuilder;
using test::TempDir;
using test::WriteFile;
using Paths = std::vector<std::string>;

constexpr bool kWindows = platform::kNamesIgnoreCase;

Paths Select(const std::string& Source, const std::string& Archive = "") {
  TStringList selected;
  SelectSourceFiles(TStringList{Source}, Archive, bmAll, selected);
  return selected;
}

TEST(NameRules, SpecificationCaseAndStoredCase) {
  TempDir dir;
  WriteFile(dir / "Data/Sub/ReadMe.TXT", "x");
  WriteFile(dir / "Data/top.txt", "y");
  const Paths upper = Select(dir / "DATA/*.* /S");
  if (kWindows) {
    // One file, one stored name, however the specification spells it.
    const Paths expected{dir / "data/sub/readme.txt", dir / "data/top.txt"};
    EXPECT_EQ(upper, expected);
    EXPECT_EQ(Select(dir / "data/*.* /s"), expected);
  } else {
    // DATA is another folder than Data, and names keep their case.
    EXPECT_TRUE(upper.empty());
    EXPECT_EQ(Select(dir / "Data/*.* /s"),
              (Paths{dir / "Data/Sub/ReadMe.TXT", dir / "Data/top.txt"}));
  }
}

TEST(NameRules, ArchiveSpeltInOtherCase) {
  TempDir dir;
  WriteFile(dir / "data/a.txt", "a");
  WriteFile(dir / "data/x.bkp", "the archive");
  WriteFile(dir / "data/x.002", "its second volume");
  const Paths selected = Select(dir / "data/*.*", dir / "DATA/X.BKP");
  if (kWindows) {
    // x.002 is the user's: nothing shows it to be a volume of that archive.
    EXPECT_EQ(selected, (Paths{dir / "data/a.txt", dir / "data/x.002"}));
  } else {
    // X.BKP is another file: x.bkp and x.002 are ordinary sources.
    EXPECT_EQ(selected, (Paths{dir / "data/a.txt", dir / "data/x.002", dir / "data/x.bkp"}));
  }
}

TEST(NameRules, BothSeparatorsOnWindows) {
  if (!kWindows) GTEST_SKIP() << "on Linux \\ is an ordinary character of a name";
  TempDir dir;
  WriteFile(dir / "data/sub/a.txt", "a");
  std::string forward = dir.path() + "/data/*.txt /s";
  for (char& c : forward)
    if (c == '\\') c = '/';
  // Stored with the system's own separator whatever the user wrote.
  EXPECT_EQ(Select(forward), (Paths{dir / "data/sub/a.txt"}));
}

TEST(NameRules, TargetsOfForeignNames) {
  const std::string folder = restore::NormaliseFolder("out");
  // A drive name goes back to its drive where drives exist.
  EXPECT_EQ(restore::TargetName("c:\\data\\a.txt", "", false),
            kWindows ? "c:\\data\\a.txt" : "/data/a.txt");
  EXPECT_EQ(restore::TargetName("c:/a.txt", "", false), kWindows ? "c:\\a.txt" : "/a.txt");
  EXPECT_EQ(restore::TargetName("/home/ann/a.txt", "", false),
            kWindows ? "\\home\\ann\\a.txt" : "/home/ann/a.txt");
  EXPECT_EQ(restore::FolderOf(kWindows ? "c:/a.txt" : "/a.txt"), kWindows ? "c:/" : "/");
  // Linux names with characters Windows gives a meaning: written as they
  // are on Linux, never on Windows, where "a:b" would be a stream of a and
  // "\..\" a way out of the folder.
  for (const std::string stored :
       {"/home/ann/12:30 notes.txt", "/home/ann/a\\..\\..\\x.txt", "/home/ann/what?.txt",
        "/home/ann/dots.", "/home/ann/sub:x/a.txt"}) {
    const std::string flat = restore::TargetName(stored, folder, false);
    const std::string full = restore::TargetName(stored, folder, true);
    if (kWindows) {
      EXPECT_EQ(flat, "") << stored;
      EXPECT_EQ(full, "") << stored;
    } else {
      EXPECT_EQ(full, folder + stored.substr(1)) << stored;
    }
  }
  // A folder given with the system's separator at its end keeps it.
  EXPECT_EQ(restore::NormaliseFolder(kWindows ? "c:\\out\\" : "/out/"),
            kWindows ? "c:\\out\\" : "/out/");
}

TEST(NameRules, NamesDifferingInCaseOnRestore) {
  TempDir dir;
  const int32_t stamp = test::Stamp(2024, 5, 6, 7, 8, 10);
  ArchiveBuilder()
      .Header()
      .File("/home/ann/Notes.txt", stamp, "upper")
      .File("/home/ann/notes.txt", stamp, "lower")
      .File("/home/ann/12:30.txt", stamp, "colon")
      .File("/home/ann/other.txt", stamp, "other")
      .End()
      .Save(dir / "x.bkp");
  TBackupFile engine;
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  const bool ok = engine.Restore(dir / "x.bkp", dir / "out");
  EXPECT_EQ(test::ReadFile(dir / "out/other.txt"), "other");
  if (kWindows) {
    // One file to Windows: the second name is refused, not written over
    // the first, and neither is the name Windows cannot hold.
    EXPECT_FALSE(ok);
    EXPECT_EQ(engine.ErrorCode(), beCannotReadFile);
    EXPECT_EQ(test::ReadFile(dir / "out/notes.txt"), "upper");
    EXPECT_EQ(engine.FilesDone(), 2);
  } else {
    EXPECT_TRUE(ok);
    EXPECT_EQ(test::ReadFile(dir / "out/Notes.txt"), "upper");
    EXPECT_EQ(test::ReadFile(dir / "out/notes.txt"), "lower");
    EXPECT_EQ(test::ReadFile(dir / "out/12:30.txt"), "colon");
    EXPECT_EQ(engine.FilesDone(), 4);
  }
}

}  // namespace
}  // namespace kelmora
