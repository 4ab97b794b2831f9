// SPDX-License-Identifier: GPL-3.0-or-later
//
// Hostile archives: names that try to climb out of the restore folder,
// absolute names, links planted in the folder, and names that must never
// be written at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

const int32_t kStored = test::Stamp(2021, 1, 1, 1, 1, 2);

// Every path below Root, relative to it.
std::set<std::string> Tree(const std::string& Root) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(Root))
    out.insert(fs::relative(e.path(), Root).generic_string());
  return out;
}

struct Outcome {
  bool result;
  std::vector<int32_t> errors;
};

Outcome RestoreInto(const std::string& Bytes, const std::string& Folder, bool FullPath) {
  TBackupFile engine;
  engine.RestoreFullPath = FullPath;
  Outcome o{};
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
    o.errors.push_back(Code);
  };
  TMemoryStream stream = test::StreamOf(Bytes);
  o.result = engine.RestoreFromStream(&stream, Folder);
  return o;
}

TEST(RestoreSafety, BackslashesOfALinuxNameClimbNowhere) {
  KELMORA_POSIX_ONLY("\\ separates there; such a name is refused (NameRules)");
  // Without a drive root "\\" is an ordinary character: the whole name is
  // one file name inside the folder, whatever dots it holds.
  for (const bool fullPath : {false, true}) {
    test::TempDir top;
    const std::string folder = top / "inside";
    const Outcome o = RestoreInto(
        ArchiveBuilder().Header().File("a\\..\\..\\escape.txt", kStored, "odd").End().Bytes(),
        folder, fullPath);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(Tree(top.path()), (std::set<std::string>{"inside", "inside/a\\..\\..\\escape.txt"}));
  }
}

TEST(RestoreSafety, ClimbingNamesAreNeverWrittenAndTheRunGoesOn) {
  const std::string hostile[] = {
      "/../../escape.txt",
      "c:\\..\\..\\escape.txt",
      "../escape.txt",
      "/a/../../escape.txt",
      "d:\\a\\..\\..\\escape.txt",
      "/x/..",
      // (An empty name cannot occur: a name length of 0 is the end marker.)
      "/dir/",
      "/dir/.",
      std::string("/nul\0byte.txt", 13),
      "c:\\",
      "..",
  };
  for (const bool fullPath : {false, true}) {
    for (const std::string& name : hostile) {
      test::TempDir top;
      const std::string folder = top / "inside/deeper";
      fs::create_directories(folder);
      const Outcome o = RestoreInto(ArchiveBuilder()
                                        .Header()
                                        .File(name, kStored, "evil")
                                        .File("/fine.txt", kStored, "good")
                                        .End()
                                        .Bytes(),
                                    folder, fullPath);
      EXPECT_FALSE(o.result) << name;
      // No writer stores a NUL: such a name is damage, not a refusal.
      const int32_t code = name.find('\0') != std::string::npos ? 6 : 1;
      EXPECT_EQ(o.errors, std::vector<int32_t>{code}) << name;
      EXPECT_EQ(Tree(top.path()),
                (std::set<std::string>{"inside", "inside/deeper", "inside/deeper/fine.txt"}))
          << name << " full path " << fullPath;
    }
  }
}

// The one error of a run that refused an entry names that entry, not the
// file the run had reached when it reported.
TEST(RestoreSafety, RefusedEntryIsNamedByItself) {
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder);
  TBackupFile engine;
  std::vector<std::string> named;
  engine.OnError = [&](TBackupFile& Sender, int32_t, const std::string&) {
    named.push_back(Sender.CurrentFile());
  };
  TMemoryStream stream = test::StreamOf(ArchiveBuilder()
                                            .Header()
                                            .File("/first.txt", kStored, "1")
                                            .File("/../escape.txt", kStored, "evil")
                                            .File("/later.txt", kStored, "2")
                                            .End()
                                            .Bytes());
  EXPECT_FALSE(engine.RestoreFromStream(&stream, folder));
  EXPECT_EQ(named, std::vector<std::string>{"/../escape.txt"});
  EXPECT_EQ(test::ReadFile(folder + "/later.txt"), "2");
}

TEST(RestoreSafety, ClimbingNamesAreRefusedAlsoAtStoredPaths) {
  test::TempDir top;
  fs::create_directories(top / "a");
  const std::string climbing = top / "a/../escape.txt";
  const Outcome o = RestoreInto(
      ArchiveBuilder().Header().File(climbing, kStored, "evil").End().Bytes(), "", false);
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.errors, std::vector<int32_t>{1});
  EXPECT_FALSE(fs::exists(top / "escape.txt"));
}

TEST(RestoreSafety, AbsoluteNamesLandInsideTheFolder) {
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder);
  const Outcome o = RestoreInto(ArchiveBuilder()
                                    .Header()
                                    .File(top / "outside.txt", kStored, "a")
                                    .File("c:\\windows\\system.ini", kStored, "b")
                                    .End()
                                    .Bytes(),
                                folder, true);
  EXPECT_TRUE(o.result);
  EXPECT_FALSE(fs::exists(top / "outside.txt"));
  EXPECT_EQ(test::ReadFile(test::BelowFolder(folder, top.path()) + "/outside.txt"), "a");
  EXPECT_EQ(test::ReadFile(folder + "/windows/system.ini"), "b");
}

TEST(RestoreSafety, LinkedFolderInsideTheRestoreFolderIsNotFollowedOut) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder);
  fs::create_directories(top / "victim");
  fs::create_directory_symlink(top / "victim", folder + "/link");
  const Outcome o = RestoreInto(ArchiveBuilder()
                                    .Header()
                                    .File("/link/x.txt", kStored, "evil")
                                    .File("/link/new/y.txt", kStored, "evil")
                                    .File("/ok/z.txt", kStored, "good")
                                    .End()
                                    .Bytes(),
                                folder, true);
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.errors, std::vector<int32_t>{1});
  EXPECT_TRUE(fs::is_empty(top / "victim")) << "nothing written or created through the link";
  EXPECT_EQ(test::ReadFile(folder + "/ok/z.txt"), "good");
}

// Folders are walked by handle without following any link, so even a link
// that leads back inside is not taken: nothing is written through it.
TEST(RestoreSafety, LinkedFolderIsNotFollowedEvenWhenItStaysInside) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder + "/real");
  fs::create_directory_symlink(folder + "/real", folder + "/alias");
  const Outcome o = RestoreInto(
      ArchiveBuilder().Header().File("/alias/x.txt", kStored, "ok").End().Bytes(), folder, true);
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.errors, std::vector<int32_t>{1});
  EXPECT_TRUE(fs::is_empty(folder + "/real"));
}

TEST(RestoreSafety, LinkStandingWhereTheFileGoesIsNotWrittenThrough) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder);
  test::WriteFile(top / "precious.txt", "precious");
  fs::create_symlink(top / "precious.txt", folder + "/x.txt");
  for (const TRestoreMode mode : {rmAll, rmExisting, rmNoOverwrite}) {
    TBackupFile engine;
    engine.RestoreMode = mode;
    std::vector<int32_t> errors;
    engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
      errors.push_back(Code);
    };
    TMemoryStream stream =
        test::StreamOf(ArchiveBuilder().Header().File("/x.txt", kStored, "evil").End().Bytes());
    engine.RestoreFromStream(&stream, folder);
    EXPECT_EQ(test::ReadFile(top / "precious.txt"), "precious") << int(mode);
    EXPECT_TRUE(fs::is_symlink(folder + "/x.txt"));
  }
}

// The folder of one file is kept open for the next files of that folder;
// what happens to the folder meanwhile must not lead a file out, nor lose it.
TEST(RestoreSafety, AFolderChangedBetweenItsFilesLeadsNothingOutAndLosesNothing) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  for (const bool swapped : {false, true}) {
    test::TempDir top;
    const std::string folder = top / "r";
    fs::create_directories(top / "victim");
    TBackupFile engine;
    engine.RestoreFullPath = true;
    engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) {
      if (Name != folder + "/d/b.txt") return;
      if (swapped) {
        fs::rename(folder + "/d", top / "moved");
        fs::create_directory_symlink(top / "victim", folder + "/d");
      } else {
        fs::remove_all(folder + "/d");
      }
    };
    engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
    TMemoryStream stream = test::StreamOf(ArchiveBuilder()
                                              .Header()
                                              .File("/d/a.txt", kStored, "a")
                                              .File("/d/b.txt", kStored, "b")
                                              .File("/d/c.txt", kStored, "c")
                                              .End()
                                              .Bytes());
    engine.RestoreFromStream(&stream, folder);
    EXPECT_TRUE(fs::is_empty(top / "victim")) << "swapped " << swapped;
    if (!swapped) {
      EXPECT_EQ(Tree(folder), (std::set<std::string>{"d", "d/b.txt", "d/c.txt"}));
      EXPECT_EQ(test::ReadFile(folder + "/d/c.txt"), "c");
    }
  }
}

// A folder removed after the mode decided and made again with a file of
// that name: the mode decides again on what stands there now.
TEST(RestoreSafety, AFolderMadeAgainWithTheFileInItKeepsThatFileUnderNoOverwrite) {
  KELMORA_POSIX_ONLY("a folder the restore holds open cannot be removed there");
  test::TempDir top;
  const std::string folder = top / "r";
  TBackupFile engine;
  engine.RestoreFullPath = true;
  engine.RestoreMode = rmNoOverwrite;
  engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) {
    if (Name != folder + "/d/b.txt") return;
    fs::remove_all(folder + "/d");
    fs::create_directory(folder + "/d");
    test::WriteFile(folder + "/d/b.txt", "mine");
  };
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  TMemoryStream stream = test::StreamOf(ArchiveBuilder()
                                            .Header()
                                            .File("/d/a.txt", kStored, "a")
                                            .File("/d/b.txt", kStored, "b")
                                            .File("/d/c.txt", kStored, "c")
                                            .End()
                                            .Bytes());
  engine.RestoreFromStream(&stream, folder);
  EXPECT_EQ(Tree(folder), (std::set<std::string>{"d", "d/b.txt", "d/c.txt"}));
  EXPECT_EQ(test::ReadFile(folder + "/d/b.txt"), "mine");
  EXPECT_EQ(test::ReadFile(folder + "/d/c.txt"), "c");
}

TEST(RestoreSafety, HandlerNamesOutsideTheFolderAreRefused) {
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder);
  for (const std::string& renamed :
       {top / "out.txt", folder + "/../out.txt", folder + "/new/../../out.txt"}) {
    TBackupFile engine;
    engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) { Name = renamed; };
    std::vector<int32_t> errors;
    engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
      errors.push_back(Code);
    };
    TMemoryStream stream =
        test::StreamOf(ArchiveBuilder().Header().File("/x.txt", kStored, "x").End().Bytes());
    EXPECT_FALSE(engine.RestoreFromStream(&stream, folder)) << renamed;
    EXPECT_EQ(errors, std::vector<int32_t>{1}) << renamed;
    EXPECT_EQ(Tree(top.path()), std::set<std::string>{"r"}) << renamed;
  }
}

TEST(RestoreSafety, MissingRestoreFolderIsCreated) {
  test::TempDir top;
  const Outcome o = RestoreInto(
      ArchiveBuilder().Header().File("/a/b.txt", kStored, "b").End().Bytes(), top / "new/r", true);
  EXPECT_TRUE(o.result);
  EXPECT_EQ(test::ReadFile(top / "new/r/a/b.txt"), "b");
}

}  // namespace
}  // namespace kelmora
