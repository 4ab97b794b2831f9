// SPDX-License-Identifier: GPL-3.0-or-later
//
// A folder moved out of the restore folder while its files are restored:
// the files still to come go where its path leads inside the restore
// folder, never after it to its new place.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 3000;

// The regular files in Folder by name, temporary ones included.
std::set<std::string> FilesIn(const std::string& Folder) {
  std::set<std::string> names;
  if (!fs::exists(Folder)) return names;
  for (const auto& e : fs::directory_iterator(Folder))
    if (e.is_regular_file()) names.insert(e.path().filename().string());
  return names;
}

enum class Event { Progress, RestoreFile };

// A memory file system at Path where the test may mount one: tens of
// thousands of files made and removed there take no disk's time.
class MemoryFolder {
 public:
  explicit MemoryFolder(const std::string& Path) : path_(Path) {
    fs::create_directories(Path);
    mounted_ = test::MountSmallFileSystem(Path, "256m");
  }
  ~MemoryFolder() {
    if (!mounted_) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    test::UnmountFileSystem(path_);
  }
  MemoryFolder(const MemoryFolder&) = delete;
  MemoryFolder& operator=(const MemoryFolder&) = delete;

 private:
  std::string path_;
  bool mounted_ = false;
};

TEST(RestoreMoved, AFolderMovedOutDuringTheRunGetsNoFileAfterTheMove) {
  KELMORA_POSIX_ONLY("a folder the restore holds open cannot be moved there");
  test::TempDir top;
  const MemoryFolder memory(top / "m");
  const std::string src = top / "m/src", archive = top / "m/a.bkp";
  for (int i = 0; i < kFiles; ++i)
    test::WriteFile(src + "/d/f" + std::to_string(i), "file " + std::to_string(i));
  {
    TBackupFile engine;
    ASSERT_TRUE(engine.Backup({src + "/*.* /s"}, archive));
  }
  for (const Event event : {Event::Progress, Event::RestoreFile}) {
    for (const unsigned threads : {1u, 4u}) {
      for (const bool linked : {false, true}) {
        SCOPED_TRACE(std::string(event == Event::Progress ? "progress" : "restore file") +
                     ", threads " + std::to_string(threads) + (linked ? ", a link put there" : ""));
        const std::string out = top / "m/out", moved = top / "m/moved", victim = top / "m/victim";
        fs::remove_all(out);
        fs::remove_all(moved);
        fs::remove_all(victim);
        fs::create_directories(victim);
        const std::string folder = test::BelowFolder(out, src) + "/d";
        TBackupFile engine;
        engine.Threads = threads;
        engine.RestoreFullPath = true;
        engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
        // Moved while the 30th file is begun, or written: with threads
        // the files before it still wait for the writer, which keeps a
        // folder behind the reading.
        std::set<std::string> seen, atTheMove;
        const auto move = [&](const std::string& Name) {
          if (!seen.insert(Name).second || seen.size() != 30) return;
          fs::rename(folder, moved);
          if (linked) fs::create_directory_symlink(victim, folder);
          atTheMove = FilesIn(moved);
        };
        if (event == Event::Progress) {
          engine.OnProgress = [&](TBackupFile&, const std::string& Name, TPercentage, bool&) {
            if (!Name.empty()) move(Name);
          };
        } else {
          engine.OnRestoreFile = [&](TBackupFile&, std::string& Name, int32_t, bool&) {
            move(Name);
          };
        }
        const bool result = engine.Restore(archive, out);
        // A file refused before it is begun raises no progress.
        if (!linked || event == Event::RestoreFile) {
          ASSERT_EQ(seen.size(), static_cast<size_t>(kFiles)) << DescribeFailure(engine.Failure());
        }
        // Nothing was put, nor left, in the folder once it was moved.
        std::set<std::string> placed;
        for (const std::string& name : atTheMove)
          if (name.rfind(".kelmora-", 0) != 0) placed.insert(name);
        EXPECT_EQ(FilesIn(moved), placed);
        EXPECT_TRUE(fs::is_empty(victim));
        if (linked) {
          EXPECT_FALSE(result);
          EXPECT_EQ(engine.ErrorCode(), 1);
          EXPECT_EQ(engine.FilesDone(), static_cast<int32_t>(placed.size()));
          continue;
        }
        // Every other file is in the folder made again where it belongs.
        EXPECT_TRUE(result);
        EXPECT_EQ(engine.FilesDone(), kFiles);
        const std::set<std::string> there = FilesIn(folder);
        EXPECT_EQ(there.size() + placed.size(), static_cast<size_t>(kFiles));
        for (int i = 0; i < kFiles; ++i) {
          std::string name = "f";
          name += std::to_string(i);
          const std::string path = (there.count(name) != 0 ? folder : moved) + "/" + name;
          ASSERT_EQ(test::ReadFile(path), "file " + std::to_string(i)) << path;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelmora
