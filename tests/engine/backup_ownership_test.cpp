// SPDX-License-Identifier: GPL-3.0-or-later
//
// What a backup may replace, remove or leave out: only the archive it
// replaces and the volumes that provably belong to it. Files that merely
// carry a volume's name are the user's (or another archive's), and links
// around the archive lead to the archive, never to a copy of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// Every regular file of a folder (not below it) with its bytes.
// Hashes rather than bytes, so that a failure prints names, not volumes.
std::map<std::string, size_t> Snapshot(const std::string& Folder) {
  std::map<std::string, size_t> files;
  for (const auto& entry : fs::directory_iterator(Folder))
    if (entry.is_regular_file() && !entry.is_symlink())
      files[entry.path().filename().string()] =
          std::hash<std::string>{}(test::ReadFile(entry.path().string()));
  return files;
}

std::set<std::string> EntryNames(const std::string& Archive) {
  std::set<std::string> names;
  for (const auto& entry : test::ReadArchiveFile(Archive).Entries) names.insert(entry.Name);
  return names;
}

// The bytes stored under Name, through the engine's own restore.
std::string Restored(const std::string& Archive, const std::string& Name, const TempDir& Dir) {
  const std::string out = Dir / "restored";
  fs::remove_all(out);
  TBackupFile engine;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  engine.RestoreFilter = [&Name](const std::string& Stored) { return Stored == Name; };
  if (!engine.Restore(Archive, out)) throw std::runtime_error("restore failed");
  return test::ReadFile(out + "/" + fs::path(Name).filename().string());
}

bool Backup(const TStringList& Sources, const std::string& Archive, int32_t MaxSize,
            TBackupFile* Engine = nullptr) {
  TBackupFile own;
  TBackupFile& engine = Engine != nullptr ? *Engine : own;
  engine.MaxSize = MaxSize;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  return engine.Backup(Sources, Archive);
}

// The user's own files named like the archive's later volumes: a plain
// backup stores them and leaves them where they are; a split one, which
// would have to replace them, is refused before anything is written.
TEST(ForeignVolumes, AreStoredByAPlainBackupAndStopASplitOne) {
  struct Case {
    std::string archive;
    std::vector<std::string> foreign;
  };
  for (const Case& c : {Case{"photos.bkp", {"photos.002", "photos.003"}},
                        Case{"notes.bkp", {"notes.002"}}, Case{"home", {"home.002"}}}) {
    TempDir dir;
    test::WriteFile(dir / "data/big.bin", test::RandomBytes(50000, 4));
    for (const std::string& name : c.foreign)
      test::WriteFile(dir / ("data/" + name), "the user's own " + name);
    const std::string archive = dir / ("data/" + c.archive);
    for (int run = 0; run < 2; ++run) {
      ASSERT_TRUE(Backup({dir / "data/*.* /s"}, archive, 0)) << c.archive << run;
      const auto names = EntryNames(archive);
      for (const std::string& name : c.foreign) {
        EXPECT_EQ(1u, names.count(dir / ("data/" + name))) << name << run;
        EXPECT_EQ("the user's own " + name, test::ReadFile(dir / ("data/" + name))) << run;
      }
      EXPECT_EQ(0u, names.count(archive));
    }
    const auto before = Snapshot(dir / "data");
    TBackupFile engine;
    EXPECT_FALSE(Backup({dir / "data/big.bin"}, archive, 20000, &engine)) << c.archive;
    EXPECT_EQ(beCannotWriteArchive, engine.ErrorCode());
    EXPECT_EQ(dir / ("data/" + c.foreign.front()), engine.Failure().Subject);
    EXPECT_NE(std::string::npos, engine.ErrorReason().find("split")) << engine.ErrorReason();
    EXPECT_EQ(before, Snapshot(dir / "data")) << c.archive;
  }
}

// docs.2025 and docs.2026 share the names docs.002, docs.003, ...
class TwoArchives : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "src25/report", old_);
    test::WriteFile(dir_ / "src25/second", "a second file");
    test::WriteFile(dir_ / "src26/report", new_);
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "elsewhere");
    ASSERT_TRUE(
        Backup({dir_ / "src25/report", dir_ / "src25/second"}, dir_ / "out/docs.2025", 20000));
    ASSERT_TRUE(fs::exists(dir_ / "out/docs.003"));
    before_ = Snapshot(dir_ / "out");
  }
  void ExpectOlderIntact() {
    for (const auto& [name, hash] : before_)
      EXPECT_EQ(hash, std::hash<std::string>{}(test::ReadFile(dir_ / ("out/" + name)))) << name;
    EXPECT_TRUE(old_ == Restored(dir_ / "out/docs.2025", dir_ / "src25/report", dir_));
    TBackupFile engine;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    EXPECT_TRUE(engine.Test(dir_ / "out/docs.2025"));
  }

  TempDir dir_;
  std::string old_ = test::RandomBytes(50000, 25);
  std::string new_ = test::RandomBytes(50000, 26);
  std::map<std::string, size_t> before_;
};

TEST_F(TwoArchives, APlainBackupLeavesTheOthersVolumes) {
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(Backup({dir_ / "src26/report"}, dir_ / "out/docs.2026", 0)) << run;
    ExpectOlderIntact();
    EXPECT_TRUE(new_ == Restored(dir_ / "out/docs.2026", dir_ / "src26/report", dir_));
  }
}

TEST_F(TwoArchives, ASplitBackupIsRefusedBeforeWritingAnything) {
  TBackupFile engine;
  EXPECT_FALSE(Backup({dir_ / "src26/report"}, dir_ / "out/docs.2026", 20000, &engine));
  EXPECT_EQ(beCannotWriteArchive, engine.ErrorCode());
  EXPECT_EQ(dir_ / "out/docs.002", engine.Failure().Subject);
  EXPECT_EQ(before_, Snapshot(dir_ / "out"));
  ExpectOlderIntact();
}

// An older docs.2026 whose first volume leads on to docs.002 by its
// volume-change entry, though docs.002 is docs.2025's: the chain counts
// entries the header does not, so docs.002 is not docs.2026's to remove.
TEST_F(TwoArchives, AChainThatDoesNotAddUpOwnsNoLaterVolume) {
  ASSERT_TRUE(Backup({dir_ / "src26/report"}, dir_ / "elsewhere/docs.2026", 20000));
  fs::copy_file(dir_ / "elsewhere/docs.2026", dir_ / "out/docs.2026");
  before_ = Snapshot(dir_ / "out");
  ASSERT_TRUE(Backup({dir_ / "src26/report"}, dir_ / "out/docs.2026", 0));
  before_.erase("docs.2026");
  ExpectOlderIntact();
}

// The archive's own older volumes are still replaced, and the ones a
// shorter new archive does not have are removed.
TEST(OwnVolumes, AreReplacedAndTheSurplusRemoved) {
  TempDir dir;
  test::WriteFile(dir / "src/a", test::RandomBytes(90000, 1));
  fs::create_directories(dir / "out");
  ASSERT_TRUE(Backup({dir / "src/a"}, dir / "out/x.bkp", 20000));
  ASSERT_TRUE(fs::exists(dir / "out/x.005"));
  test::WriteFile(dir / "src/a", test::RandomBytes(30000, 2));
  ASSERT_TRUE(Backup({dir / "src/*.*"}, dir / "out/x.bkp", 20000));
  EXPECT_EQ((std::set<std::string>{"x.bkp", "x.002"}), [&] {
    std::set<std::string> names;
    for (const auto& [name, hash] : Snapshot(dir / "out")) names.insert(name);
    return names;
  }());
  ASSERT_TRUE(Backup({dir / "src/*.*"}, dir / "out/x.bkp", 0));
  EXPECT_EQ(1u, Snapshot(dir / "out").size());
}

// A file that takes a volume's name while the run goes on is not replaced
// either: the run fails at its end and the older archive stays.
TEST(OwnVolumes, AFileThatAppearsMeanwhileIsNotReplaced) {
  TempDir dir;
  test::WriteFile(dir / "src/a", test::RandomBytes(40000, 1));
  fs::create_directories(dir / "out");
  ASSERT_TRUE(Backup({dir / "src/a"}, dir / "out/x.bkp", 0));
  const auto before = Snapshot(dir / "out");
  TBackupFile engine;
  engine.MaxSize = 20000;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool&) {
    if (Disk == 2) test::WriteFile(dir / "out/x.003", "mine");
  };
  EXPECT_FALSE(engine.Backup({dir / "src/a"}, dir / "out/x.bkp"));
  EXPECT_EQ(beCannotWriteArchive, engine.ErrorCode());
  EXPECT_EQ(dir / "out/x.003", engine.Failure().Subject);
  EXPECT_EQ("mine", test::ReadFile(dir / "out/x.003"));
  fs::remove(dir / "out/x.003");
  EXPECT_EQ(before, Snapshot(dir / "out"));
}

// ~/backup.bkp -> /mnt/disk/b.bkp: the archive is written beside the link's
// target and renamed there; the link stays a link, the volumes lie beside
// the target, and every reader finds them through the link.
TEST(LinkedArchive, IsWrittenWhereTheLinkLeads) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  TempDir dir;
  fs::create_directories(dir / "disk");
  fs::create_directories(dir / "home");
  const std::string link = dir / "home/backup.bkp";
  // The first run finds the link dangling, the second an older archive.
  test::MakeSymlink("../disk/b.bkp", link);
  for (int run = 0; run < 2; ++run) {
    const std::string data = test::RandomBytes(40000, 10 + run);
    test::WriteFile(dir / "src/f", data);
    ASSERT_TRUE(Backup({dir / "src/f"}, link, 20000)) << run;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ((std::set<std::string>{"b.bkp", "b.002", "b.003"}), [&] {
      std::set<std::string> names;
      for (const auto& [name, hash] : Snapshot(dir / "disk")) names.insert(name);
      return names;
    }()) << run;
    EXPECT_EQ(0u, Snapshot(dir / "home").size());
    EXPECT_EQ(dir / "disk/b.003", VolumeFileName(link, 3));
    EXPECT_TRUE(data == Restored(link, dir / "src/f", dir)) << run;
    TBackupFile engine;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    EXPECT_TRUE(engine.Test(link)) << run;
    int listed = 0;
    EXPECT_TRUE(engine.ListArchive(link, [&](TBackupFile&, const TArchiveEntry&) { ++listed; }));
    EXPECT_EQ(1, listed);
    TStringList ids;
    engine.GetArchiveTitle(link, &ids);
    EXPECT_EQ(0, engine.ErrorCode());
  }
}

// A link to the archive (or to one of its volumes) inside the source is
// the archive whatever its name: five runs must not each hold the last.
TEST(LinkedArchive, LinksToTheArchiveInTheSourceAreLeftOut) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  for (const int32_t maxSize : {0, 20000}) {
    TempDir dir;
    test::WriteFile(dir / "src/data", test::RandomBytes(30000, 3));
    test::MakeSymlink(dir / "a.bkp", dir / "src/archive-link");
    test::MakeSymlink(dir / "a.002", dir / "src/volume-link");
    uintmax_t first = 0;
    for (int run = 0; run < 5; ++run) {
      ASSERT_TRUE(Backup({dir / "src/*.* /s"}, dir / "a.bkp", maxSize)) << maxSize << run;
      const auto names = EntryNames(dir / "a.bkp");
      EXPECT_EQ(std::set<std::string>{dir / "src/data"}, names) << maxSize << run;
      if (run == 0) first = fs::file_size(dir / "a.bkp");
      EXPECT_EQ(first, fs::file_size(dir / "a.bkp")) << maxSize << run;
    }
  }
}

}  // namespace
}  // namespace kelmora
