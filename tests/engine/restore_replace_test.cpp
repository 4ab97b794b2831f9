// SPDX-License-Identifier: GPL-3.0-or-later
//
// A restore replaces a file only by a whole new copy: a run that fails, is
// stopped or runs out of room leaves the older copy exactly as it was and
// no part of the new one behind, and names that lead elsewhere (hard
// links, the archive itself, a folder swapped for a link) are never
// written through.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <set>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Stamp;

const int32_t kStored = Stamp(2022, 3, 4, 5, 6, 8);
const int32_t kOlder = Stamp(2001, 1, 1, 1, 1, 2);

// Every name directly in Folder.
std::set<std::string> Names(const std::string& Folder) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(Folder)) out.insert(e.path().filename().string());
  return out;
}

void WriteOlder(const std::string& Path, const std::string& Bytes) {
  test::WriteFile(Path, Bytes);
  ASSERT_TRUE(platform::SetFileTimeOfPath(Path, kOlder));
}

void ExpectOlder(const std::string& Path, const std::string& Bytes, const std::string& Case) {
  EXPECT_EQ(test::ReadFile(Path), Bytes) << Case;
  EXPECT_EQ(platform::FileTimeOfPath(Path), kOlder) << Case;
}

struct Outcome {
  bool result = false;
  bool threw = false;
  std::vector<int32_t> errors;
  std::vector<std::string> named;  // CurrentFile when each error was reported
};

Outcome RestoreWith(TBackupFile& Engine, const std::string& Archive, const std::string& Folder) {
  Outcome r;
  Engine.OnError = [&](TBackupFile& Sender, int32_t Code, const std::string&) {
    r.errors.push_back(Code);
    r.named.push_back(Sender.CurrentFile());
  };
  try {
    r.result = Engine.Restore(Archive, Folder);
  } catch (const Exception&) {
    r.threw = true;
  }
  EXPECT_FALSE(Engine.Busy());
  return r;
}

// Three volumes: a file split over all of them, then a whole one.
void SaveSplitArchive(const std::string& Dir, const std::string& Part) {
  ArchiveBuilder().Header().File("/split.bin", kStored, Part).VolumeChange(2).Save(Dir + "/s.bkp");
  ArchiveBuilder().Section(Part).VolumeChange(3).Save(Dir + "/s.002");
  ArchiveBuilder().Section(Part).File("/after.txt", kStored, "after").End().Save(Dir + "/s.003");
}

// A tmpfs of Size bytes at Path for as long as the object lives; mounted()
// is false where mounting is not allowed.
class SmallDisk {
 public:
  SmallDisk(const std::string& Path, const std::string& Size) : path_(Path) {
    fs::create_directories(Path);
    mounted_ = test::MountSmallFileSystem(Path, Size);
  }
  ~SmallDisk() {
    if (mounted_) test::UnmountFileSystem(path_);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(RestoreReplace, FullDiskLeavesTheOlderCopyAndNoPart) {
  test::TempDir src, top;
  const std::string disk = top / "disk";
  SmallDisk small(disk, "256k");
  if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  WriteOlder(disk + "/first.txt", "older first");
  WriteOlder(disk + "/big.bin", "older big");

  // One volume: the file that no longer fits fails as code 1 naming it.
  ArchiveBuilder()
      .Header()
      .File("/first.txt", kStored, "new first")
      .File("/big.bin", kStored, test::RandomBytes(600000, 3))
      .File("/never.txt", kStored, "never")
      .End()
      .Save(src / "a.bkp");
  TBackupFile engine;
  Outcome r = RestoreWith(engine, src / "a.bkp", disk);
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{1});
  EXPECT_EQ(r.named, std::vector<std::string>{disk + "/big.bin"});
  EXPECT_EQ(test::ReadFile(disk + "/first.txt"), "new first") << "the whole file went in";
  ExpectOlder(disk + "/big.bin", "older big", "one volume");
  EXPECT_EQ(Names(disk), (std::set<std::string>{"first.txt", "big.bin"}));

  // Split: the disk fills while a later volume is read.
  WriteOlder(disk + "/split.bin", "older split");
  SaveSplitArchive(src.path(), test::RandomBytes(100000, 4));
  TBackupFile split;
  split.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  r = RestoreWith(split, src / "s.bkp", disk);
  EXPECT_FALSE(r.result);
  EXPECT_FALSE(r.threw);
  EXPECT_EQ(r.errors, std::vector<int32_t>{1});
  EXPECT_EQ(r.named, std::vector<std::string>{disk + "/split.bin"});
  ExpectOlder(disk + "/split.bin", "older split", "split");
  EXPECT_EQ(Names(disk), (std::set<std::string>{"first.txt", "big.bin", "split.bin"}));
}

// Stop between chunks and between volumes, a cancelled next volume and a
// middle volume that is gone: the split file keeps its older copy.
TEST(RestoreReplace, InterruptedSplitFileKeepsTheOlderCopy) {
  enum How { StopBetweenChunks, StopBetweenVolumes, CancelNextVolume, MiddleVolumeRemoved };
  for (const How how :
       {StopBetweenChunks, StopBetweenVolumes, CancelNextVolume, MiddleVolumeRemoved}) {
    test::TempDir src, out;
    SaveSplitArchive(src.path(), test::RandomBytes(40000, 5));
    if (how == MiddleVolumeRemoved) fs::remove(src / "s.002");
    WriteOlder(out / "split.bin", "older split");
    TBackupFile engine;
    int asked = 0;
    engine.OnNeedDisk = [&](TBackupFile& Sender, uint16_t, bool& Continue) {
      ++asked;
      if (how == StopBetweenVolumes) Sender.Stop();
      if (how == CancelNextVolume) Continue = false;
      // The user cannot find the volume: after a few tries they give up.
      if (how == MiddleVolumeRemoved && asked == 3) Continue = false;
    };
    int chunks = 0;
    engine.OnProgress = [&](TBackupFile& Sender, const std::string& Name, TPercentage, bool&) {
      // The second volume's second chunk.
      if (how == StopBetweenChunks && !Name.empty() && ++chunks == 6) Sender.Stop();
    };
    const Outcome r = RestoreWith(engine, src / "s.bkp", out.path());
    const std::string name = "case " + std::to_string(how);
    EXPECT_FALSE(r.result) << name;
    EXPECT_FALSE(r.threw) << name;
    EXPECT_TRUE(r.errors.empty()) << name;
    EXPECT_EQ(engine.FilesDone(), 0) << name;
    ExpectOlder(out / "split.bin", "older split", name);
    EXPECT_EQ(Names(out.path()), std::set<std::string>{"split.bin"}) << name;
  }
}

// A name in the folder that is a hard link to a file elsewhere gets a file
// of its own; the file elsewhere is not touched.
TEST(RestoreReplace, HardLinkInTheFolderIsReplacedNotWrittenThrough) {
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(folder);
  WriteOlder(top / "outside.txt", "outside");
  fs::create_hard_link(top / "outside.txt", folder + "/x.txt");
  ArchiveBuilder().Header().File("/x.txt", kStored, "restored").End().Save(top / "a.bkp");
  TBackupFile engine;
  const Outcome r = RestoreWith(engine, top / "a.bkp", folder);
  EXPECT_TRUE(r.result);
  ExpectOlder(top / "outside.txt", "outside", "hard link");
  EXPECT_EQ(test::ReadFile(folder + "/x.txt"), "restored");
  EXPECT_EQ(platform::FileTimeOfPath(folder + "/x.txt"), kStored);
  EXPECT_EQ(fs::hard_link_count(top / "outside.txt"), 1u);
}

// The new copy keeps what the older file had beyond its bytes: its
// permissions (a private file stays private) and, for a privileged run,
// its owner. A file new to the folder gets the usual permissions.
TEST(RestoreReplace, ReplacedFilesKeepTheirPermissionsAndOwner) {
  KELMORA_POSIX_ONLY("modes and owners (an access list is taken over there)");
#ifndef _WIN32
  test::TempDir dir;
  test::WriteFile(dir / "private.txt", "older");
  test::WriteFile(dir / "tool.sh", "older");
  ASSERT_EQ(::chmod((dir / "private.txt").c_str(), 0600), 0);
  ASSERT_EQ(::chmod((dir / "tool.sh").c_str(), 0751), 0);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((dir / "tool.sh").c_str(), 4321, 8765), 0);
  }
  ArchiveBuilder()
      .Header()
      .File("/private.txt", kStored, "new")
      .File("/tool.sh", kStored, "new")
      .File("/fresh.txt", kStored, "new")
      .End()
      .Save(dir / "a.bkp");
  const mode_t mask = ::umask(022);
  TBackupFile engine;
  const Outcome r = RestoreWith(engine, dir / "a.bkp", dir.path());
  ::umask(mask);
  EXPECT_TRUE(r.result);
  struct stat st;
  ASSERT_EQ(::stat((dir / "private.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((dir / "tool.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
  ASSERT_EQ(::stat((dir / "fresh.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(test::ReadFile(dir / "tool.sh"), "new");
#endif
}

// Restoring an archive into its own folder when it holds a file of the
// archive's name, directly or through a hard link: that entry is refused,
// the others are restored, and the archive is left whole.
TEST(RestoreReplace, TheArchiveBeingReadIsNeverATarget) {
  test::TempDir dir;
  const std::string archive = dir / "x.bkp";
  ArchiveBuilder()
      .Header()
      .File("/x.bkp", kStored, "not an archive")
      .File("/other.txt", kStored, "other")
      .File("/alias.bkp", kStored, "not an archive either")
      .End()
      .Save(archive);
  const std::string bytes = test::ReadFile(archive);
  fs::create_hard_link(archive, dir / "alias.bkp");
  TBackupFile engine;
  const Outcome r = RestoreWith(engine, archive, dir.path());
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{1});
  EXPECT_EQ(r.named, std::vector<std::string>{dir / "alias.bkp"}) << "the refused entry itself";
  EXPECT_EQ(test::ReadFile(archive), bytes);
  // Wine counts links of no file; Linux and NTFS do.
  if (!test::kOnWindows || fs::hard_link_count(dir / "alias.bkp") != 1) {
    EXPECT_EQ(fs::hard_link_count(archive), 2u);
  }
  EXPECT_EQ(test::ReadFile(dir / "other.txt"), "other");

  // A later volume of the archive is no target either, though the run has
  // not opened it yet.
  ArchiveBuilder()
      .Header()
      .File("/s.003", kStored, "not a volume")
      .File("/split.bin", kStored, "one ")
      .VolumeChange(2)
      .Save(dir / "s.bkp");
  ArchiveBuilder().Section("two ").VolumeChange(3).Save(dir / "s.002");
  ArchiveBuilder().Section("three").End().Save(dir / "s.003");
  const std::string third = test::ReadFile(dir / "s.003");
  TBackupFile split;
  split.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  const Outcome s = RestoreWith(split, dir / "s.bkp", dir.path());
  EXPECT_FALSE(s.result);
  EXPECT_EQ(s.named, std::vector<std::string>{dir / "s.003"});
  EXPECT_EQ(test::ReadFile(dir / "s.003"), third);
  EXPECT_EQ(test::ReadFile(dir / "split.bin"), "one two three");

  // The same archive read as a caller's stream on the file.
  THandleStream in(platform::File::Open(archive, platform::OpenMode::Read));
  TBackupFile fromStream;
  std::vector<int32_t> errors;
  fromStream.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
    errors.push_back(Code);
  };
  EXPECT_FALSE(fromStream.RestoreFromStream(&in, dir.path()));
  EXPECT_EQ(errors, std::vector<int32_t>{1});
  EXPECT_EQ(test::ReadFile(archive), bytes);
}

// A folder of the run swapped for a link to a folder outside while the
// run goes on: later files are refused, named, and nothing lands outside.
TEST(RestoreReplace, FolderSwappedForALinkDuringTheRunIsNotFollowed) {
  KELMORA_POSIX_ONLY("symbolic links to folders");
  test::TempDir top;
  const std::string folder = top / "r";
  fs::create_directories(top / "victim");
  ArchiveBuilder()
      .Header()
      .File("/sub/a.txt", kStored, "a")
      .File("/sub/b.txt", kStored, "b")
      .File("/sub/deeper/c.txt", kStored, "c")
      .File("/d.txt", kStored, "d")
      .End()
      .Save(top / "a.bkp");
  TBackupFile engine;
  engine.RestoreFullPath = true;
  engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) {
    if (Name == folder + "/sub/b.txt") {
      fs::rename(folder + "/sub", top / "moved");
      fs::create_directory_symlink(top / "victim", folder + "/sub");
    }
  };
  const Outcome r = RestoreWith(engine, top / "a.bkp", folder);
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{1});
  EXPECT_EQ(r.named, std::vector<std::string>{folder + "/sub/deeper/c.txt"});
  EXPECT_TRUE(fs::is_empty(top / "victim"));
  EXPECT_EQ(test::ReadFile(top / "moved/a.txt"), "a");
  // The folder held open for b.txt is no longer inside: nothing follows it.
  EXPECT_FALSE(fs::exists(top / "moved/b.txt"));
  EXPECT_EQ(test::ReadFile(folder + "/d.txt"), "d");
}

}  // namespace
}  // namespace kelmora
