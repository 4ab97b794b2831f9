// SPDX-License-Identifier: GPL-3.0-or-later
//
// The power-cut file system's model: what each cut mode keeps of synced
// and unsynced changes, checked on the folders it writes.
#include "powercut_model.h"

#include <gtest/gtest.h>

#include <set>

#include "trees.h"

namespace kelmora::powercut {
namespace {

using durability::ReadTree;
using durability::Tree;

class PowerCutModel : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string folder = "/tmp/kelmora-model-XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    work_ = folder;
  }
  void TearDown() override { durability::RemoveTree(work_); }

  Ino Make(const char* Path, const std::string& Data) {
    Ino made = 0;
    EXPECT_EQ(model_.Create(Path, S_IFREG | 0644, made), 0);
    EXPECT_EQ(model_.Write(made, Data.data(), Data.size(), 0), 0);
    return made;
  }
  Ino Folder(const char* Path) {
    Ino made = 0;
    EXPECT_EQ(model_.Create(Path, S_IFDIR | 0755, made), 0);
    return made;
  }
  // The tree a cut leaves now, as files and their contents.
  std::map<std::string, std::string> After(CutMode Mode, uint64_t Seed = 1) {
    const std::string folder = work_ + "/cut" + std::to_string(++dumps_);
    std::mt19937_64 random(Seed);
    EXPECT_TRUE(model_.Dump(folder, Mode, random));
    std::map<std::string, std::string> files;
    for (const auto& [name, file] : ReadTree(folder)) files[name] = file.Data;
    durability::RemoveTree(folder);
    return files;
  }

  Model model_;
  std::string work_;
  int dumps_ = 0;
};

TEST_F(PowerCutModel, StrictCutKeepsOnlyWhatWasSynced) {
  const Ino folder = Folder("/d");
  model_.SyncFolder(kRoot);
  const Ino file = Make("/d/a", "first");
  model_.SyncData(file);
  // Synced data under a name whose folder was never synced: gone.
  EXPECT_EQ(After(CutMode::Strict), (std::map<std::string, std::string>{}));
  model_.SyncFolder(folder);
  EXPECT_EQ(After(CutMode::Strict), (std::map<std::string, std::string>{{"d/a", "first"}}));
  // Data written after the sync is lost; the name stays.
  ASSERT_EQ(model_.Write(file, "SECOND", 6, 0), 0);
  EXPECT_EQ(After(CutMode::Strict), (std::map<std::string, std::string>{{"d/a", "first"}}));
  // A removal not synced leaves the file; synced, it is gone.
  ASSERT_EQ(model_.Unlink("/d/a", false), 0);
  EXPECT_EQ(After(CutMode::Strict).count("d/a"), 1u);
  model_.SyncAll();
  EXPECT_EQ(After(CutMode::Strict), (std::map<std::string, std::string>{}));
}

TEST_F(PowerCutModel, ReplacementByRenameIsOldOrNewWhenTheDataWasSynced) {
  const Ino old = Make("/x", "old contents");
  model_.SyncAll();
  const Ino fresh = Make("/.x.tmp", "new contents!");
  model_.SyncData(fresh);
  ASSERT_EQ(model_.Rename("/.x.tmp", "/x", 0), 0);
  EXPECT_EQ(After(CutMode::Strict), (std::map<std::string, std::string>{{"x", "old contents"}}));
  std::set<std::string> seen;
  for (uint64_t seed = 1; seed <= 64; ++seed) {
    const auto files = After(CutMode::Journal, seed);
    ASSERT_EQ(files.count("x"), 1u);
    seen.insert(files.at("x"));
    // The temporary name survives only without the rename that removes it.
    if (files.count(".x.tmp") != 0) {
      EXPECT_EQ(files.at("x"), "old contents");
    }
  }
  EXPECT_EQ(seen, (std::set<std::string>{"old contents", "new contents!"}));
  EXPECT_NE(old, fresh);
}

TEST_F(PowerCutModel, JournalKeepsAPrefixOfTheNameChanges) {
  const auto name = [](char Kind, int I) {
    std::string text(1, Kind);
    text += static_cast<char>('0' + I);
    return text;
  };
  const auto path = [](char Kind, int I) {
    std::string text = "/";
    text += Kind;
    text += static_cast<char>('0' + I);
    return text;
  };
  // Four volumes renamed last to first, as a backup does: a prefix of the
  // renames survives, never a later one without the earlier ones.
  for (int i = 1; i <= 4; ++i) Make(path('v', i).c_str(), name('o', i));
  model_.SyncAll();
  for (int i = 1; i <= 4; ++i) model_.SyncData(Make(path('t', i).c_str(), name('n', i)));
  for (int i = 4; i >= 1; --i)
    ASSERT_EQ(model_.Rename(path('t', i).c_str(), path('v', i).c_str(), 0), 0);
  std::set<int> renamedCounts;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    const auto files = After(CutMode::Journal, seed);
    int renamed = 0;
    while (renamed < 4 && files.at(name('v', 4 - renamed)) == name('n', 4 - renamed)) ++renamed;
    for (int i = 4 - renamed; i >= 1; --i) EXPECT_EQ(files.at(name('v', i)), name('o', i)) << seed;
    renamedCounts.insert(renamed);
  }
  // The mixes of older and newer volumes are among the states it leaves.
  EXPECT_EQ(renamedCounts, (std::set<int>{0, 1, 2, 3, 4}));
}

TEST_F(PowerCutModel, UnsyncedDataIsLostWholeOrTorn) {
  const Ino file = Make("/f", "AAAAAAAA");
  model_.SyncAll();
  ASSERT_EQ(model_.Write(file, "BBBBBBBBBBBB", 12, 0), 0);
  std::set<std::string> seen;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    const std::string data = After(CutMode::Journal, seed).at("f");
    seen.insert(data);
    // New bytes first, then the old ones or zeros, never anything else.
    size_t i = 0;
    while (i < data.size() && data[i] == 'B') ++i;
    for (; i < data.size(); ++i)
      EXPECT_TRUE(data[i] == (i < 8 ? 'A' : '\0')) << seed << ": " << data;
  }
  EXPECT_EQ(seen.count("AAAAAAAA"), 1u);
  EXPECT_EQ(seen.count("BBBBBBBBBBBB"), 1u);
  EXPECT_GT(seen.size(), 4u) << "no torn states";
  EXPECT_EQ(After(CutMode::Strict).at("f"), "AAAAAAAA");
}

TEST_F(PowerCutModel, LoadsAndWritesTreesWithTimesAndLinks) {
  const std::string image = work_ + "/image";
  durability::WriteTree(image,
                        Tree{{"a/b/c.txt", {"deep", 1600000000}}, {"top", {"", 1600000002}}});
  ASSERT_EQ(::link((image + "/top").c_str(), (image + "/a/same").c_str()), 0);
  Model loaded;
  ASSERT_TRUE(loaded.Load(image));
  Ino node = 0;
  ASSERT_EQ(loaded.Resolve("/a/b/c.txt", node), 0);
  EXPECT_EQ(loaded.Resolve("/a/missing", node), -ENOENT);
  EXPECT_EQ(loaded.Resolve("/top/x", node), -ENOTDIR);
  // Everything loaded is durable: a strict cut gives the tree back.
  std::mt19937_64 random(1);
  ASSERT_TRUE(loaded.Dump(work_ + "/back", CutMode::Strict, random));
  const Tree back = ReadTree(work_ + "/back");
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back.at("a/b/c.txt"), (durability::FileState{"deep", 1600000000}));
  EXPECT_EQ(back.at("top").Mtime, 1600000002);
  struct stat top, same;
  ASSERT_EQ(::stat((work_ + "/back/top").c_str(), &top), 0);
  ASSERT_EQ(::stat((work_ + "/back/a/same").c_str(), &same), 0);
  EXPECT_EQ(top.st_ino, same.st_ino);
}

TEST_F(PowerCutModel, RefusesWhatAFileSystemRefuses) {
  Folder("/d");
  Make("/d/f", "x");
  Ino made = 0;
  EXPECT_EQ(model_.Create("/d/f", S_IFREG | 0644, made), -EEXIST);
  EXPECT_EQ(model_.Unlink("/d", true), -ENOTEMPTY);
  EXPECT_EQ(model_.Unlink("/d", false), -EISDIR);
  EXPECT_EQ(model_.Rename("/d", "/d/inside", 0), -EINVAL);
  Make("/g", "y");
  EXPECT_EQ(model_.Rename("/g", "/d/f", RENAME_NOREPLACE), -EEXIST);
  EXPECT_EQ(model_.Rename("/g", "/d", 0), -EISDIR);
  EXPECT_EQ(model_.Create("/nowhere/f", S_IFREG | 0644, made), -ENOENT);
}

}  // namespace
}  // namespace kelmora::powercut
