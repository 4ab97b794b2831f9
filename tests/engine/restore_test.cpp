// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restore from hand-built archives: where files go, the restore modes, the
// restore events, time stamps, stop and the failures that pass out.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <array>
#include <csignal>
#include <filesystem>

#include "engine/archive_format.h"
#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Stamp;
using test::StreamOf;

const int32_t kStored = Stamp(2020, 6, 15, 12, 0, 0);

struct Recorder {
  std::vector<int32_t> errors;
  std::vector<int> percents;
  std::vector<std::string> progressNames;
  void Attach(TBackupFile& Engine) {
    Engine.OnError = [this](TBackupFile&, int32_t Code, const std::string&) {
      errors.push_back(Code);
    };
    Engine.OnProgress = [this](TBackupFile&, const std::string& Name, TPercentage P, bool&) {
      percents.push_back(P);
      progressNames.push_back(Name);
    };
  }
};

bool RestoreBytes(TBackupFile& Engine, const std::string& Bytes, const std::string& Folder) {
  TMemoryStream stream = StreamOf(Bytes);
  return Engine.RestoreFromStream(&stream, Folder);
}

TEST(Restore, HeaderAndEndMarkerOnlyWritesNothingAndEndsAt100) {
  test::TempDir dir;
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  EXPECT_TRUE(RestoreBytes(engine, ArchiveBuilder().Header("t", 0, 0).End().Bytes(), dir.path()));
  EXPECT_EQ(r.percents, std::vector<int>{100});
  EXPECT_TRUE(r.errors.empty());
  EXPECT_TRUE(fs::is_empty(dir.path()));
  EXPECT_FALSE(engine.Busy());
}

TEST(Restore, TargetNamesByFolderAndFullPath) {
  struct Case {
    const char* stored;
    bool fullPath;
    const char* expected;  // relative to the restore folder
  };
  const Case cases[] = {
      {"c:\\data\\a.txt", false, "a.txt"},
      {"c:\\data\\a.txt", true, "data/a.txt"},
      {"C:/Data/Sub/b.txt", true, "Data/Sub/b.txt"},
      {"/home/ann/notes.txt", false, "notes.txt"},
      {"/home/ann/notes.txt", true, "home/ann/notes.txt"},
      {"/home//ann/./x y\xc3\xa9.txt", true, "home/ann/x y\xc3\xa9.txt"},
      // Written on Linux, "\\" and ":" are part of a file name; only a
      // drive root makes them separators.
      {"/mixed\\sep/n.txt", true, "mixed\\sep/n.txt"},
      {"/home/ann/12:30 notes.txt", false, "12:30 notes.txt"},
      {"/home/ann/12:30 notes.txt", true, "home/ann/12:30 notes.txt"},
      {"/home/ann/x\\b.txt", false, "x\\b.txt"},
      {"/home/a\\nn/x\\b.txt", true, "home/a\\nn/x\\b.txt"},
      {"/c:\\d\\e.txt", false, "c:\\d\\e.txt"},
      {"d:\\data\\sub/mixed.txt", false, "mixed.txt"},
      {"d:\\data\\sub/mixed.txt", true, "data/sub/mixed.txt"},
      {"D:/x\\y.txt", false, "y.txt"},
  };
  for (const Case& c : cases) {
    // Windows refuses a Linux name holding ":" or "\\" (see NameRules).
    const std::string stored = c.stored;
    if (test::kOnWindows && stored[0] == '/' && stored.find_first_of(":\\") != std::string::npos)
      continue;
    for (const bool trailingSlash : {false, true}) {
      test::TempDir dir;
      TBackupFile engine;
      engine.RestoreFullPath = c.fullPath;
      const std::string folder = trailingSlash ? dir.path() + "/" : dir.path();
      EXPECT_TRUE(RestoreBytes(
          engine, ArchiveBuilder().Header().File(c.stored, kStored, "hi").End().Bytes(), folder))
          << c.stored;
      EXPECT_EQ(test::ReadFile(dir / c.expected), "hi") << c.stored;
      EXPECT_EQ(engine.FilesDone(), 1);
    }
  }
}

TEST(Restore, EmptyFolderRestoresToTheStoredPathsWithTheirFolders) {
  KELMORA_POSIX_ONLY("names holding \":\" and \"\\\" (NameRules has Windows's)");
  test::TempDir dir;
  const std::string linuxName = dir / "deep/er/x.txt";
  const std::string colonName = dir / "deep/12:30 a\\b.txt";
  // Written on Windows: the drive prefix stands for the root.
  std::string windowsName = "d:" + dir.path() + "/win/y.txt";
  for (char& c : windowsName)
    if (c == '/') c = '\\';
  TBackupFile engine;
  EXPECT_TRUE(RestoreBytes(engine,
                           ArchiveBuilder()
                               .Header()
                               .File(linuxName, kStored, "linux")
                               .File(colonName, kStored, "colon")
                               .File(windowsName, kStored, "windows")
                               .End()
                               .Bytes(),
                           ""));
  EXPECT_EQ(test::ReadFile(linuxName), "linux");
  EXPECT_EQ(test::ReadFile(colonName), "colon");
  EXPECT_EQ(test::ReadFile(dir / "win/y.txt"), "windows");
}

TEST(Restore, EveryFileGetsTheStoredTimeAndAnInvalidTimeIsIgnored) {
  test::TempDir dir;
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  const int32_t odd = Stamp(2001, 2, 3, 4, 5, 58);
  EXPECT_TRUE(RestoreBytes(engine,
                           ArchiveBuilder()
                               .Header()
                               .File("/a", kStored, test::RandomBytes(40000, 2))
                               .File("/b", odd, "")
                               .File("/c", -1, "no time")
                               .End()
                               .Bytes(),
                           dir.path()));
  EXPECT_EQ(platform::FileTimeOfPath(dir / "a"), kStored);
  EXPECT_EQ(platform::FileTimeOfPath(dir / "b"), odd);
  EXPECT_EQ(test::ReadFile(dir / "c"), "no time");
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(engine.FilesDone(), 3);
}

// Target states for the restore modes.
enum class Existing { Missing, Older, Equal, Newer };

TEST(Restore, ModesAgainstMissingOlderEqualAndNewerTargets) {
  const Existing states[] = {Existing::Missing, Existing::Older, Existing::Equal, Existing::Newer};
  // Expected restore per state, in the order above.
  const std::pair<TRestoreMode, std::array<bool, 4>> table[] = {
      {rmAll, {true, true, true, true}},
      {rmNoOverwrite, {true, false, false, false}},
      {rmNewer, {true, true, false, false}},
      {rmExisting, {false, true, true, true}},
      {rmExistingNewer, {false, true, false, false}},
  };
  for (const auto& [mode, expected] : table) {
    for (int i = 0; i < 4; ++i) {
      test::TempDir dir;
      const std::string target = dir / "f.txt";
      if (states[i] != Existing::Missing) {
        test::WriteFile(target, "existing");
        const int32_t t = states[i] == Existing::Older   ? Stamp(2019, 1, 1, 0, 0, 0)
                          : states[i] == Existing::Equal ? kStored
                                                         : Stamp(2021, 1, 1, 0, 0, 0);
        ASSERT_TRUE(platform::SetFileTimeOfPath(target, t));
      }
      TBackupFile engine;
      engine.RestoreMode = mode;
      Recorder r;
      r.Attach(engine);
      EXPECT_TRUE(RestoreBytes(
          engine, ArchiveBuilder().Header().File("/x/f.txt", kStored, "stored").End().Bytes(),
          dir.path()));
      const bool restored = fs::exists(target) && test::ReadFile(target) == "stored";
      EXPECT_EQ(restored, expected[i]) << "mode " << int(mode) << " state " << i;
      EXPECT_EQ(engine.FilesDone(), expected[i] ? 1 : 0);
      if (!expected[i]) {
        EXPECT_EQ(r.progressNames.size(), 1u) << "a skipped file reports nothing";
      }
    }
  }
}

// Packed stamps compare as dates on both sides of the top bit (set from
// 2044 on) and up to the last packed year, 2107.
TEST(Restore, NewerModesCompareStampsAsDatesAcrossTheYearBoundaries) {
  struct Case {
    int32_t stored;
    int32_t existing;  // -1: a file time before 1980, which packs to no date
    bool newer;
  };
  const Case cases[] = {
      {Stamp(2044, 1, 1, 0, 0, 0), Stamp(2043, 12, 31, 23, 59, 58), true},
      {Stamp(2043, 12, 31, 23, 59, 58), Stamp(2044, 1, 1, 0, 0, 0), false},
      {Stamp(2050, 6, 1, 12, 0, 0), Stamp(2020, 6, 1, 12, 0, 0), true},
      {Stamp(2020, 6, 1, 12, 0, 0), Stamp(2045, 6, 1, 12, 0, 0), false},
      {Stamp(2044, 3, 3, 3, 3, 4), Stamp(2044, 3, 3, 3, 3, 4), false},
      {Stamp(2107, 12, 31, 23, 59, 58), Stamp(2107, 12, 31, 23, 59, 56), true},
      {Stamp(2107, 12, 31, 23, 59, 56), Stamp(2107, 12, 31, 23, 59, 58), false},
      {Stamp(2043, 1, 1, 0, 0, 0), -1, true},
      {-1, Stamp(2043, 1, 1, 0, 0, 0), false},
  };
  for (const Case& c : cases) {
    for (const TRestoreMode mode : {rmNewer, rmExistingNewer}) {
      test::TempDir dir;
      test::WriteFile(dir / "f", "existing");
      if (c.existing == -1) {
        test::SetModificationTime(dir / "f", 86400 * 365);  // 1971
      } else {
        ASSERT_TRUE(platform::SetFileTimeOfPath(dir / "f", c.existing));
      }
      ASSERT_EQ(platform::FileTimeOfPath(dir / "f"), c.existing);
      TBackupFile engine;
      engine.RestoreMode = mode;
      EXPECT_TRUE(RestoreBytes(
          engine, ArchiveBuilder().Header().File("/f", c.stored, "stored").End().Bytes(),
          dir.path()));
      EXPECT_EQ(test::ReadFile(dir / "f"), c.newer ? "stored" : "existing")
          << std::hex << c.stored << " against " << c.existing << " mode " << int(mode);
    }
  }
}

// Two stored names landing on one target: the later one is left out in
// every mode, reported, and the run ends with code 1, so a flattened restore
// cannot lose a file behind a clean result.
TEST(Restore, TwoStoredNamesOnOneTargetNeverOverwriteEachOther) {
  const std::string bytes = ArchiveBuilder()
                                .Header()
                                .File("/one/same.txt", kStored, "first")
                                .File("/two/same.txt", kStored, "second")
                                .File("/three/other.txt", kStored, "third")
                                .End()
                                .Bytes();
  for (const TRestoreMode mode : {rmAll, rmNoOverwrite, rmNewer}) {
    test::TempDir dir;
    TBackupFile engine;
    Recorder r;
    r.Attach(engine);
    engine.RestoreMode = mode;
    std::vector<std::string> clashes;
    engine.OnNameClash = [&](TBackupFile&, const std::string& Stored, const std::string& Earlier,
                             const std::string& Target) {
      clashes.push_back(Stored + "|" + Earlier + "|" + Target);
    };
    EXPECT_FALSE(RestoreBytes(engine, bytes, dir.path())) << int(mode);
    EXPECT_EQ(test::ReadFile(dir / "same.txt"), "first");
    EXPECT_EQ(test::ReadFile(dir / "other.txt"), "third");
    EXPECT_EQ(engine.FilesDone(), 2);
    EXPECT_EQ(clashes, std::vector<std::string>{"/two/same.txt|/one/same.txt|" + dir / "same.txt"});
    EXPECT_EQ(r.errors, std::vector<int32_t>{beCannotReadFile});
  }

  // With the folder tree kept the same names no longer meet.
  test::TempDir dir;
  TBackupFile engine;
  engine.RestoreFullPath = true;
  EXPECT_TRUE(RestoreBytes(engine, bytes, dir.path()));
  EXPECT_EQ(test::ReadFile(dir / "two/same.txt"), "second");
}

TEST(Restore, OneStoredNameTwiceIsOneFileAndTheLaterCopyWins) {
  test::TempDir dir;
  TBackupFile engine;
  bool clashed = false;
  engine.OnNameClash = [&](TBackupFile&, const std::string&, const std::string&,
                           const std::string&) { clashed = true; };
  EXPECT_TRUE(RestoreBytes(engine,
                           ArchiveBuilder()
                               .Header()
                               .File("/d/same.txt", kStored, "old")
                               .File("/d/same.txt", kStored, "new")
                               .End()
                               .Bytes(),
                           dir.path()));
  EXPECT_EQ(test::ReadFile(dir / "same.txt"), "new");
  EXPECT_FALSE(clashed);
}

// A rename by OnRestoreFile onto a target already written is a clash too.
TEST(Restore, RenameOntoAnEarlierTargetIsAClash) {
  test::TempDir dir;
  TBackupFile engine;
  engine.RestoreFullPath = true;
  engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) {
    Name = dir / "one.txt";
  };
  int clashes = 0;
  engine.OnNameClash = [&](TBackupFile&, const std::string&, const std::string&,
                           const std::string&) { ++clashes; };
  EXPECT_FALSE(RestoreBytes(
      engine,
      ArchiveBuilder().Header().File("/a", kStored, "A").File("/b", kStored, "B").End().Bytes(),
      dir.path()));
  EXPECT_EQ(test::ReadFile(dir / "one.txt"), "A");
  EXPECT_EQ(clashes, 1);
}

TEST(Restore, OnRestoreFileRenamesAndReversesTheDecision) {
  test::TempDir dir;
  test::WriteFile(dir / "keep.txt", "mine");
  TBackupFile engine;
  engine.RestoreMode = rmExisting;  // alone it would write only keep.txt
  std::vector<std::pair<std::string, int32_t>> offered;
  engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t FA, bool& DoRestore) {
    offered.emplace_back(Name, FA);
    if (Name == dir / "renamed.txt") {
      Name = dir / "new/folder/moved.txt";
      DoRestore = true;
    } else if (Name == dir / "keep.txt") {
      DoRestore = false;
    }
  };
  EXPECT_TRUE(RestoreBytes(engine,
                           ArchiveBuilder()
                               .Header()
                               .Name("FILE:LIST")
                               .Int(kStored)
                               .Section("/x/renamed.txt\t0=3\r\n")
                               .File("/x/renamed.txt", kStored, "abc")
                               .File("/x/keep.txt", kStored + 2, "theirs")
                               .End()
                               .Bytes(),
                           dir.path()));
  ASSERT_EQ(offered.size(), 2u) << "the file-ID list is never offered";
  EXPECT_EQ(offered[0], std::make_pair(dir / "renamed.txt", kStored));
  EXPECT_EQ(offered[1].second, kStored + 2);
  EXPECT_EQ(test::ReadFile(dir / "new/folder/moved.txt"), "abc");
  EXPECT_EQ(platform::FileTimeOfPath(dir / "new/folder/moved.txt"), kStored);
  EXPECT_FALSE(fs::exists(dir / "renamed.txt"));
  EXPECT_EQ(test::ReadFile(dir / "keep.txt"), "mine");
}

TEST(Restore, FileIdListIsNeverRestored) {
  for (const bool fullPath : {false, true}) {
    test::TempDir dir;
    TBackupFile engine;
    engine.RestoreFullPath = fullPath;
    EXPECT_TRUE(RestoreBytes(engine,
                             ArchiveBuilder()
                                 .Header()
                                 .Name("FILE:LIST")
                                 .Int(kStored)
                                 .Section(test::TextBytes(50000))
                                 .File("/only.txt", kStored, "x")
                                 .End()
                                 .Bytes(),
                             dir.path()));
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"only.txt"});
    EXPECT_EQ(engine.FilesDone(), 1);
  }
}

TEST(Restore, OnFileRestoredSeesTheOpenStreamAndTheTimeSurvivesItsWrites) {
  test::TempDir dir;
  TBackupFile engine;
  int64_t position = -1;
  engine.OnFileRestored = [&](TBackupFile&, std::string& Name,
                              std::unique_ptr<TFileStream>& Stream) {
    EXPECT_EQ(Name, dir / "f");
    position = Stream->Position();
    Stream->WriteBuffer("!", 1);
  };
  const std::string data = test::RandomBytes(20000, 9);
  EXPECT_TRUE(RestoreBytes(
      engine, ArchiveBuilder().Header().File("/f", kStored, data).End().Bytes(), dir.path()));
  EXPECT_EQ(position, 20000);
  EXPECT_EQ(test::ReadFile(dir / "f"), data + "!");
  EXPECT_EQ(platform::FileTimeOfPath(dir / "f"), kStored);
}

TEST(Restore, StopDuringAFileLeavesTheOlderCopyAndNoPartQuietly) {
  test::TempDir dir;
  test::WriteFile(dir / "big", "older copy");
  ASSERT_TRUE(platform::SetFileTimeOfPath(dir / "big", Stamp(2019, 1, 1, 0, 0, 0)));
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  engine.OnProgress = [&](TBackupFile& Sender, const std::string&, TPercentage P, bool&) {
    r.percents.push_back(P);
    Sender.Stop();
  };
  EXPECT_FALSE(RestoreBytes(engine,
                            ArchiveBuilder()
                                .Header("", 60000, 2)
                                .File("/big", kStored, test::RandomBytes(50000, 1))
                                .File("/next", kStored, "never")
                                .End()
                                .Bytes(),
                            dir.path()));
  EXPECT_EQ(test::ReadFile(dir / "big"), "older copy");
  EXPECT_EQ(platform::FileTimeOfPath(dir / "big"), Stamp(2019, 1, 1, 0, 0, 0));
  EXPECT_EQ(fs::directory_iterator(dir.path())->path(), fs::path(dir / "big"))
      << "nothing else, no part left behind";
  EXPECT_EQ(engine.FilesDone(), 0);
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.percents.back(), 100);
}

TEST(Restore, PercentStaysInRangeWhenTheTotalIsZeroOrTooSmall) {
  for (const int32_t total : {0, 10, -5}) {
    test::TempDir dir;
    TBackupFile engine;
    Recorder r;
    r.Attach(engine);
    EXPECT_TRUE(RestoreBytes(engine,
                             ArchiveBuilder()
                                 .Header("", total, 1)
                                 .File("/f", kStored, test::TextBytes(70000))
                                 .End()
                                 .Bytes(),
                             dir.path()));
    ASSERT_EQ(r.percents.size(), 7u);  // 5 chunks, the terminator, the end
    for (const int p : r.percents) EXPECT_LE(p, 100) << total;
    EXPECT_EQ(r.percents.back(), 100);
  }
}

TEST(Restore, PercentFollowsBytesAgainstTheHeaderTotal) {
  test::TempDir dir;
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  EXPECT_TRUE(RestoreBytes(engine,
                           ArchiveBuilder()
                               .Header("", 65536, 1)
                               .File("/f", kStored, test::TextBytes(65536))
                               .End()
                               .Bytes(),
                           dir.path()));
  EXPECT_EQ(r.percents, (std::vector<int>{25, 50, 75, 100, 100, 100}));
}

// A folder where the file should go costs that file alone: code 1, and
// the files after it are restored.
TEST(Restore, TargetThatCannotBeCreatedIsCodeOneAndTheRunGoesOn) {
  test::TempDir dir;
  fs::create_directories(dir / "taken.txt");  // a folder where the file should go
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  EXPECT_FALSE(RestoreBytes(engine,
                            ArchiveBuilder()
                                .Header()
                                .File("/taken.txt", kStored, "x")
                                .File("/after.txt", kStored, "y")
                                .End()
                                .Bytes(),
                            dir.path()));
  EXPECT_EQ(r.errors, std::vector<int32_t>{1});
  EXPECT_TRUE(fs::is_directory(dir / "taken.txt"));
  EXPECT_EQ(test::ReadFile(dir / "after.txt"), "y");
  EXPECT_EQ(engine.FilesDone(), 1);
  EXPECT_EQ(r.percents.back(), 100);
}

TEST(Restore, FolderThatCannotBeMadeSkipsTheFileButNotInSilence) {
  // A file stands where the stored tree needs a folder: that entry cannot
  // be written, the next one still is, and the run does not pass for
  // complete.
  test::TempDir dir;
  test::WriteFile(dir / "sub", "in the way");
  TBackupFile engine;
  engine.RestoreFullPath = true;
  Recorder r;
  r.Attach(engine);
  EXPECT_FALSE(RestoreBytes(engine,
                            ArchiveBuilder()
                                .Header()
                                .File("/sub/a.txt", kStored, "x")
                                .File("/b.txt", kStored, "y")
                                .End()
                                .Bytes(),
                            dir.path()));
  EXPECT_EQ(r.errors, std::vector<int32_t>{1});
  EXPECT_EQ(test::ReadFile(dir / "sub"), "in the way");
  EXPECT_EQ(test::ReadFile(dir / "b.txt"), "y");
  EXPECT_EQ(engine.FilesDone(), 1);
}

#ifndef _WIN32
// Makes writes past Bytes fail (EFBIG), as a full disk would, while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t Bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved_;
    limit.rlim_cur = Bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  struct rlimit saved_ {};
  void (*previousHandler_)(int) = nullptr;
};
#endif

TEST(Restore, WriteFailureIsCodeOneWhetherItShowsWhileWritingOrAtTheEnd) {
  // A file that fits the stream's buffer fails when its last bytes are
  // flushed, a large one while its chunks are written; neither may pass
  // for restored.
  KELMORA_POSIX_ONLY("a limit on the size of the files a process writes");
#ifndef _WIN32
  // With threads and no OnFileRestored handler, the last bytes are written
  // by the writer thread, which must report the failure just the same, and
  // put nothing after it in place.
  for (const unsigned threads : {1u, 2u})
    for (const size_t size : {size_t{50000}, size_t{300000}}) {
      test::TempDir dir;
      const std::string bytes = ArchiveBuilder()
                                    .Header()
                                    .File("/f", kStored, test::RandomBytes(size))
                                    .File("/g", kStored, "small")
                                    .End()
                                    .Bytes();
      TBackupFile engine;
      engine.Threads = threads;
      Recorder r;
      r.Attach(engine);
      engine.OnFileRestored = nullptr;
      bool result = true;
      {
        FileSizeLimit limit(20000);
        result = RestoreBytes(engine, bytes, dir.path());
      }
      EXPECT_FALSE(result) << size << " " << threads;
      EXPECT_EQ(r.errors, std::vector<int32_t>{1}) << size << " " << threads;
      EXPECT_EQ(engine.FilesDone(), 0) << size << " " << threads;
      EXPECT_EQ(engine.Failure().Subject, dir / "f") << size << " " << threads;
      EXPECT_FALSE(fs::exists(dir / "f")) << size << " " << threads;
      EXPECT_FALSE(fs::exists(dir / "g")) << size << " " << threads;
    }
#endif
}

// A FIFO would hang a writer that opened it; the restored file takes its
// place by rename instead, never opening it.
TEST(Restore, AFifoInTheTargetsPlaceIsReplacedNotOpened) {
  KELMORA_POSIX_ONLY("FIFOs");
  const std::string data = test::RandomBytes(200000);
  const std::string bytes = ArchiveBuilder().Header().File("/pipe", kStored, data).End().Bytes();
  for (const bool inFolder : {true, false}) {
    test::TempDir dir;
    test::MakeFifo(dir / "pipe");
    TBackupFile engine;
    Recorder r;
    r.Attach(engine);
    // At the stored paths the name must point at the FIFO itself.
    engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) {
      Name = dir / "pipe";
    };
    EXPECT_TRUE(RestoreBytes(engine, bytes, inFolder ? dir.path() : std::string()));
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(fs::is_regular_file(dir / "pipe")) << inFolder;
    EXPECT_EQ(test::ReadFile(dir / "pipe"), data) << inFolder;
  }
}

TEST(Restore, RenameWithoutAnyFolderPassesOutAsAnException) {
  test::TempDir dir;
  ArchiveBuilder().Header().File("/f", kStored, "x").End().Save(dir / "a.bkp");
  TBackupFile engine;
  engine.OnRestoreFile = [](TBackupFile&, std::string& Name, int32_t, bool&) { Name = "bare"; };
  try {
    engine.Restore(dir / "a.bkp", "");
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot create folder");
  }
  EXPECT_FALSE(engine.Busy());
  EXPECT_FALSE(fs::exists("bare"));
}

TEST(Restore, AMissingArchiveIsAFailureRecordedAndReportedOnce) {
  test::TempDir dir;
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  EXPECT_FALSE(engine.Restore(dir / "none.bkp", dir.path()));
  EXPECT_EQ(engine.Failure().Code, beCannotReadArchive);
  EXPECT_EQ(engine.Failure().Subject, dir / "none.bkp");
  EXPECT_FALSE(engine.Restore(dir.path(), dir.path()));  // a folder is no archive
  EXPECT_EQ(engine.Failure().Subject, dir.path());
  EXPECT_NE(engine.Failure().Reason.find("folder"), std::string::npos) << engine.Failure().Reason;
  EXPECT_EQ(r.errors, (std::vector<int32_t>{beCannotReadArchive, beCannotReadArchive}));
  EXPECT_TRUE(r.percents.empty()) << "nothing was started";
  EXPECT_FALSE(engine.RestoreFromStream(nullptr, dir.path()));
}

// A stream's reader keeps what ended it as the run's failure, as a file's
// reader would say it to its caller: no quiet false.
TEST(Restore, AStreamThatIsNoArchiveOrFailsKeepsItsFailure) {
  test::TempDir dir;
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  EXPECT_FALSE(RestoreBytes(engine, std::string(100, 'x'), dir.path()));
  EXPECT_EQ(engine.Failure().Code, beCannotReadArchive);
  EXPECT_EQ(engine.Failure().Subject, kStreamArchiveName);
  EXPECT_EQ(r.errors, std::vector<int32_t>{beCannotReadArchive});

  // The disk gives nothing: the system's reason is kept.
  struct FailingStream : TMemoryStream {
    size_t Read(void*, size_t) override { throw EStreamError("Stream read error", EIO); }
  } failing;
  r.errors.clear();
  EXPECT_FALSE(engine.RestoreFromStream(&failing, dir.path()));
  EXPECT_EQ(engine.Failure().Code, beCannotReadArchive);
  EXPECT_EQ(engine.Failure().Reason, std::strerror(EIO));
  EXPECT_EQ(r.errors, std::vector<int32_t>{beCannotReadArchive});
  EXPECT_FALSE(engine.Busy());
}

TEST(Restore, UnreadableHeaderThrowsAndClearsBusy) {
  test::TempDir dir;
  test::WriteFile(dir / "short.bkp", std::string("\x05\0\0\0ab", 6));
  TBackupFile engine;
  Recorder r;
  r.Attach(engine);
  try {
    engine.Restore(dir / "short.bkp", dir.path());
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot read archive");
  }
  EXPECT_FALSE(engine.Busy());
  EXPECT_TRUE(r.percents.empty());
  EXPECT_TRUE(r.errors.empty());
  EXPECT_FALSE(RestoreBytes(engine, "\x01\0", dir.path()));
}

TEST(Restore, CallersStreamIsReadFromItsPositionAndLeftOpen) {
  test::TempDir dir;
  TMemoryStream stream;
  stream.WriteBuffer("prefix", 6);
  const std::string archive =
      ArchiveBuilder().Header("t", 1, 1).File("/a.txt", kStored, "a").End().Bytes();
  stream.WriteBuffer(archive.data(), archive.size());
  stream.WriteBuffer("tail", 4);
  stream.Seek(6, SeekOrigin::Begin);
  TBackupFile engine;
  bool busySeen = false;
  engine.OnProgress = [&](TBackupFile& Sender, const std::string&, TPercentage, bool&) {
    busySeen = busySeen || Sender.Busy();
  };
  EXPECT_TRUE(engine.RestoreFromStream(&stream, dir.path()));
  EXPECT_TRUE(busySeen);
  EXPECT_FALSE(engine.Busy());
  char tail[4];
  stream.ReadBuffer(tail, 4);
  EXPECT_EQ(std::string(tail, 4), "tail");
  EXPECT_EQ(test::ReadFile(dir / "a.txt"), "a");
}

}  // namespace
}  // namespace kelmora
