// SPDX-License-Identifier: GPL-3.0-or-later
//
// The companion as a backup writes it and a restore uses it, on real trees:
// its index points at every entry's record, it joins the commit of the
// volumes (and a failed or stopped run leaves the older pair as it was),
// it is never stored or written over, and what it records comes back.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/archive_companion.h"
#include "engine/archive_format.h"
#include "engine/home_tree.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> FilesIn(const std::string& Folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool Backup(TBackupFile& Engine, const std::string& Source, const std::string& Archive) {
  Engine.WriteCompanion = true;
  Engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  fs::create_directories(fs::path(Archive).parent_path());
  return Engine.Backup({Source + "/*.* /s"}, Archive);
}

std::vector<companion::IndexEntry> IndexOf(const std::string& Archive) {
  ArchiveCompanion companion(Archive);
  EXPECT_EQ(companion.Open().State, csSound);
  const auto* index = companion.Index();
  return index != nullptr ? *index : std::vector<companion::IndexEntry>();
}

// Every entry's volume and offset lead to its name record, and its size is
// the file's, compressed or not, across volumes too.
TEST(CompanionBackup, TheIndexLeadsToEveryRecordWithExactSizes) {
  TempDir dir;
  test::WriteFile(dir / "src/a.txt", test::TextBytes(70000, 1));
  test::WriteFile(dir / "src/b.bin", test::RandomBytes(50000, 2));
  test::WriteFile(dir / "src/empty", "");
  TBackupFile engine;
  engine.MaxSize = 30000;
  engine.SaveFileID = true;
  ASSERT_TRUE(Backup(engine, dir / "src", dir / "out/x.bkp"));
  EXPECT_EQ(FilesIn(dir / "out"),
            (std::vector<std::string>{"x.002", "x.003", "x.004", "x.bkp", "x.bkp.kx"}));
  const std::vector<companion::IndexEntry> index = IndexOf(dir / "out/x.bkp");
  ASSERT_EQ(index.size(), 4u);
  EXPECT_EQ(index[0].Flags, companion::kFileListEntry);
  std::map<std::string, int64_t> sizes;
  for (const companion::IndexEntry& e : index) {
    const std::string volume =
        test::ReadFile(VolumeFileName(dir / "out/x.bkp", static_cast<unsigned>(e.Volume)));
    ASSERT_LT(static_cast<size_t>(e.Offset) + 4, volume.size()) << e.Name;
    EXPECT_EQ(test::LE32(volume, static_cast<size_t>(e.Offset)),
              static_cast<int32_t>(e.Name.size()));
    EXPECT_EQ(volume.substr(static_cast<size_t>(e.Offset) + 4, e.Name.size()), e.Name);
    sizes[e.Name] = e.Size;
  }
  EXPECT_EQ(sizes[dir / "src/a.txt"], 70000);
  EXPECT_EQ(sizes[dir / "src/b.bin"], 50000);
  EXPECT_EQ(sizes[dir / "src/empty"], 0);
  EXPECT_GT(index.back().Volume, 1) << "entries in later volumes are indexed too";
}

// The companion is committed with the volumes: a stop while it is made, or
// a disk too full for it, leaves the older archive and its companion; a
// backup into the archive's own folder never stores it; one written
// without a companion takes the older one away, but never a file of that
// name that is no companion.
TEST(CompanionBackup, CommittedWithTheVolumesAndNeverStored) {
  TempDir dir;
  test::WriteFile(dir / "data/a.txt", "first");
  TBackupFile first;
  ASSERT_TRUE(Backup(first, dir / "data", dir / "data/x.bkp"));
  const std::string archive = test::ReadFile(dir / "data/x.bkp");
  const std::string companion = test::ReadFile(dir / "data/x.bkp.kx");

  test::WriteFile(dir / "data/a.txt", "second, longer");
  TBackupFile stopped;
  int calls = 0;
  stopped.Hooks.ProcessMessages = [&] {
    // Past the archive's one chunk: the stop comes while the companion is made.
    if (++calls == 2) stopped.Stop();
  };
  EXPECT_FALSE(Backup(stopped, dir / "data", dir / "data/x.bkp"));
  EXPECT_EQ(test::ReadFile(dir / "data/x.bkp"), archive);
  EXPECT_EQ(test::ReadFile(dir / "data/x.bkp.kx"), companion);
  EXPECT_EQ(FilesIn(dir / "data"), (std::vector<std::string>{"a.txt", "x.bkp", "x.bkp.kx"}));

  TBackupFile second;
  ASSERT_TRUE(Backup(second, dir / "data", dir / "data/x.bkp"));
  std::vector<std::string> stored;
  for (const companion::IndexEntry& e : IndexOf(dir / "data/x.bkp")) stored.push_back(e.Name);
  EXPECT_EQ(stored, std::vector<std::string>{dir / "data/a.txt"});
  EXPECT_NE(test::ReadFile(dir / "data/x.bkp.kx"), companion);

  TBackupFile without;
  ASSERT_TRUE(without.Backup({dir / "data/a.txt"}, dir / "data/x.bkp"));
  EXPECT_FALSE(fs::exists(dir / "data/x.bkp.kx")) << "a companion of the older archive stays";
  test::WriteFile(dir / "data/x.bkp.kx", "my own notes");
  ASSERT_TRUE(without.Backup({dir / "data/a.txt"}, dir / "data/x.bkp"));
  EXPECT_EQ(test::ReadFile(dir / "data/x.bkp.kx"), "my own notes");
}

TEST(CompanionBackup, AFullDiskForTheCompanionKeepsTheOlderPair) {
  TempDir dir;
  fs::create_directories(dir / "disk");
  if (!test::MountSmallFileSystem(dir / "disk", "200k")) GTEST_SKIP() << "no small file system";
  test::WriteFile(dir / "src/a.txt", "older");
  TBackupFile older;
  ASSERT_TRUE(Backup(older, dir / "src", dir / "disk/x.bkp"));
  const auto before = FilesIn(dir / "disk");
  const std::string companion = test::ReadFile(dir / "disk/x.bkp.kx");
  // Fits as an archive of stored pieces; its recovery record does not.
  test::WriteFile(dir / "src/b.bin", test::RandomBytes(120000, 9));
  TBackupFile engine;
  engine.CompressionLevel = clNone;
  engine.RecoveryPercent = 100;
  const bool ok = Backup(engine, dir / "src", dir / "disk/x.bkp");
  const auto after = FilesIn(dir / "disk");
  const std::string kept = test::ReadFile(dir / "disk/x.bkp.kx");
  test::UnmountFileSystem(dir / "disk");
  EXPECT_FALSE(ok);
  EXPECT_EQ(engine.Failure().Code, beCannotWriteArchive);
  EXPECT_EQ(engine.ErrorReason(), std::strerror(ENOSPC));
  EXPECT_EQ(after, before);
  EXPECT_EQ(kept, companion);
}

// Links are kept as links, the file a link leads to is not read, and links
// named as a source, or with Dereference, are read as their files.
TEST(CompanionBackup, LinksAreKeptAsLinksUnlessAskedOtherwise) {
  TempDir dir;
  test::WriteFile(dir / "src/file.txt", "contents");
  fs::create_symlink("file.txt", dir / "src/link.txt");
  fs::create_symlink("missing", dir / "src/dangling");
  const auto names = [&](const std::string& Archive) {
    std::vector<std::string> found;
    TBackupFile lister;
    lister.ListArchive(Archive, [&](TBackupFile&, const TArchiveEntry& E) {
      found.push_back(E.Name.substr(E.Name.rfind('/') + 1) + "=" + std::to_string(E.Size));
    });
    return found;
  };
  TBackupFile links;
  ASSERT_TRUE(Backup(links, dir / "src", dir / "links.bkp"));
  EXPECT_EQ(names(dir / "links.bkp"), std::vector<std::string>{"file.txt=8"});
  TBackupFile copies;
  copies.Dereference = true;
  ASSERT_TRUE(Backup(copies, dir / "src", dir / "copies.bkp"));
  EXPECT_EQ(names(dir / "copies.bkp"), (std::vector<std::string>{"file.txt=8", "link.txt=8"}));
  TBackupFile named;
  named.WriteCompanion = true;
  ASSERT_TRUE(named.Backup({dir / "src/link.txt"}, dir / "named.bkp"))
      << DescribeFailure(named.Failure());
  EXPECT_EQ(names(dir / "named.bkp"), std::vector<std::string>{"link.txt=8"});

  TBackupFile restore;
  restore.RestoreFullPath = true;
  ASSERT_TRUE(restore.Restore(dir / "links.bkp", dir / "out"));
  const std::string back = dir / "out" + (dir / "src");
  EXPECT_EQ(fs::read_symlink(back + "/link.txt"), "file.txt");
  EXPECT_EQ(fs::read_symlink(back + "/dangling"), "missing");
  EXPECT_EQ(test::ReadFile(back + "/link.txt"), "contents");
}

// Modes, owners, times to the nanosecond, links, empty folders and folders'
// own modes and times come back as stat showed them, restored in another
// time zone too.
TEST(CompanionBackup, AHomeTreeComesBackAsStatShowedIt) {
  TempDir dir;
  const std::string home = dir / "home";
  test::MakeHomeTree(home);
  const auto expected = test::StatTree(home);
  TBackupFile engine;
  ASSERT_TRUE(Backup(engine, home, dir / "home.bkp"));
  test::SetEnvironment("TZ", "Asia/Tokyo");
  ::tzset();
  TBackupFile restore;
  restore.RestoreFullPath = true;
  restore.SamePermissions = chOn;  // whoever runs the suite
  std::vector<TCompanionNote> notes;
  restore.OnCompanion = [&](TBackupFile&, const TCompanionNote& N) { notes.push_back(N); };
  const bool ok = restore.Restore(dir / "home.bkp", dir / "out");
  test::UnsetEnvironment("TZ");
  ::tzset();
  ASSERT_TRUE(ok) << DescribeFailure(restore.Failure());
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(restore.CompanionState(), csSound);
  EXPECT_EQ(test::StatTree(dir / "out" + home), expected);
}

// Without the companion the archive restores as it always did, and the
// run says once what is missing; a companion of another archive, or a
// damaged one, is never trusted.
TEST(CompanionBackup, WithoutAUsableCompanionTheRestoreGoesOnAsBefore) {
  TempDir dir;
  test::WriteFile(dir / "src/a.txt", "alpha");
  ::chmod((dir / "src/a.txt").c_str(), 0600);
  TBackupFile engine;
  ASSERT_TRUE(Backup(engine, dir / "src", dir / "x.bkp"));
  TBackupFile other;
  test::WriteFile(dir / "other/b.txt", "beta");
  ASSERT_TRUE(Backup(other, dir / "other", dir / "y.bkp"));
  const std::string companion = test::ReadFile(dir / "x.bkp.kx");
  std::string damaged = companion;
  damaged[damaged.size() / 2] ^= 0x40;

  struct Case {
    const char* name;
    std::string bytes;  // of x.bkp.kx; empty: none
    TCompanionState state;
  };
  for (const Case& c : {Case{"missing", "", csMissing},
                        Case{"another archive's", test::ReadFile(dir / "y.bkp.kx"), csMismatched},
                        Case{"damaged", damaged, csDamaged}}) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "x.bkp.kx");
    if (!c.bytes.empty()) test::WriteFile(dir / "x.bkp.kx", c.bytes);
    TBackupFile restore;
    restore.RestoreFullPath = true;
    std::vector<TCompanionState> notes;
    restore.OnCompanion = [&](TBackupFile&, const TCompanionNote& N) {
      notes.push_back(N.State);
      EXPECT_EQ(N.FileName, dir / "x.bkp.kx");
    };
    fs::remove_all(dir / "out");
    ASSERT_TRUE(restore.Restore(dir / "x.bkp", dir / "out"));
    EXPECT_EQ(notes, std::vector<TCompanionState>{c.state});
    const std::string back = dir / "out" + (dir / "src/a.txt");
    EXPECT_EQ(test::ReadFile(back), "alpha");
    struct stat st;
    ::stat(back.c_str(), &st);
    EXPECT_NE(st.st_mode & 0777, 0600u) << "a mode only the companion knows";
  }
}

}  // namespace
}  // namespace kelmora
#endif
