// SPDX-License-Identifier: GPL-3.0-or-later
//
// Backup then restore of a real mixed tree gives the same bytes and the
// same last-write times (to 2 seconds), in one volume, over many volumes
// and through a stream.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>

#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

struct Entry {
  std::string bytes;
  int32_t stamp;
};
using Tree = std::map<std::string, Entry>;  // path relative to the root

// Files of every kind the format treats differently, with times at odd
// seconds so the 2-second packing is exercised.
Tree MakeTree(const std::string& Root) {
  const std::pair<const char*, std::string> files[] = {
      {"empty", ""},
      {"one byte", "x"},
      {"exact piece.bin", test::RandomBytes(16384, 1)},
      {"piece plus one.bin", test::RandomBytes(16385, 2)},
      {"a/text.txt", test::TextBytes(200000, 3)},
      {"a/b/random.bin", test::RandomBytes(100000, 4)},
      {"a/b/c/deep empty", ""},
      {"a/b/c/\xc3\xbc"
       "ber gr\xc3\xb6\xc3\x9f"
       "e.txt",
       test::TextBytes(16384, 5)},
      {"spaced folder/\xe6\x97\xa5\xe6\x9c\xac.txt", test::TextBytes(40000, 6)},
      {"spaced folder/mixed.bin", test::TextBytes(30000, 7) + test::RandomBytes(30000, 8)},
  };
  Tree tree;
  std::time_t t = 1600000001;  // an odd second
  for (const auto& [name, bytes] : files) {
    // Windows takes a name's bytes in its ANSI code page, not as UTF-8.
    const std::string_view spelt = name;
    if (test::kOnWindows &&
        std::any_of(spelt.begin(), spelt.end(), [](char c) { return (c & 0x80) != 0; }))
      continue;
    const std::string path = Root + "/" + name;
    test::WriteFile(path, bytes);
    test::SetModificationTime(path, t);
    tree[name] = Entry{bytes, platform::FileTimeOfPath(path)};
    t += 86400 * 33 + 3601;
  }
  return tree;
}

Tree ReadTree(const std::string& Root) {
  Tree tree;
  for (const auto& e : fs::recursive_directory_iterator(Root)) {
    if (!e.is_regular_file()) continue;
    tree[fs::relative(e.path(), Root).generic_string()] =
        Entry{test::ReadFile(e.path().string()), platform::FileTimeOfPath(e.path().string())};
  }
  return tree;
}

void ExpectSameTree(const Tree& Expected, const Tree& Actual, const std::string& What) {
  ASSERT_EQ(Expected.size(), Actual.size()) << What;
  for (const auto& [name, entry] : Expected) {
    const auto found = Actual.find(name);
    ASSERT_NE(found, Actual.end()) << What << ": " << name;
    EXPECT_TRUE(found->second.bytes == entry.bytes) << What << ": " << name;
    EXPECT_EQ(found->second.stamp, entry.stamp) << What << ": " << name;
  }
}

TEST(RestoreRoundTrip, EveryLevelInOneVolume) {
  test::TempDir dir;
  const std::string src = dir / "src";
  const Tree tree = MakeTree(src);
  for (const TCompressionLevel level : {clFastest, clNone, clDefault, clMax}) {
    const std::string archive = dir / ("level" + std::to_string(level) + ".bkp");
    const std::string out = dir / ("out" + std::to_string(level));
    TBackupFile engine;
    engine.CompressionLevel = level;
    ASSERT_TRUE(engine.Backup({src + "/*.* /s"}, archive));
    engine.RestoreFullPath = true;
    ASSERT_TRUE(engine.Restore(archive, out)) << int(level);
    EXPECT_EQ(engine.FilesDone(), static_cast<int32_t>(tree.size()));
    EXPECT_EQ(engine.FileCount(), static_cast<int32_t>(tree.size()));
    ExpectSameTree(tree, ReadTree(test::BelowFolder(out, src)), "level " + std::to_string(level));
  }
}

TEST(RestoreRoundTrip, ManyVolumes) {
  test::TempDir dir;
  const std::string src = dir / "src";
  const Tree tree = MakeTree(src);
  const std::string archive = dir / "vol/set.bkp";
  fs::create_directories(dir / "vol");
  TBackupFile engine;
  engine.MaxSize = 20000;
  engine.SaveFileID = true;
  int backupDisks = 0;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool&) { ++backupDisks; };
  ASSERT_TRUE(engine.Backup({src + "/*.* /s"}, archive));
  ASSERT_GT(backupDisks, 10);
  EXPECT_EQ(static_cast<int>(
                std::distance(fs::directory_iterator(dir / "vol"), fs::directory_iterator())),
            backupDisks + 1);

  std::vector<int> restoreDisks;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool&) { restoreDisks.push_back(Disk); };
  engine.RestoreFullPath = true;
  ASSERT_TRUE(engine.Restore(archive, dir / "out"));
  ASSERT_EQ(static_cast<int>(restoreDisks.size()), backupDisks);
  for (size_t i = 0; i < restoreDisks.size(); ++i) EXPECT_EQ(restoreDisks[i], int(i) + 2);
  ExpectSameTree(tree, ReadTree(test::BelowFolder(dir / "out", src)), "volumes");
}

TEST(RestoreRoundTrip, ThroughAStream) {
  test::TempDir dir;
  const std::string src = dir / "src";
  const Tree tree = MakeTree(src);
  TMemoryStream stream;
  stream.WriteBuffer("lead", 4);
  TBackupFile engine;
  engine.SaveFileID = true;
  ASSERT_TRUE(engine.BackupToStream({src + "/*.* /s"}, &stream));
  stream.Seek(4, SeekOrigin::Begin);
  TStringList ids;
  engine.GetArchiveTitleFromStream(&stream, &ids);
  EXPECT_EQ(ids.size(), tree.size());
  stream.Seek(4, SeekOrigin::Begin);
  engine.RestoreFullPath = true;
  ASSERT_TRUE(engine.RestoreFromStream(&stream, dir / "out"));
  ExpectSameTree(tree, ReadTree(test::BelowFolder(dir / "out", src)), "stream");
  EXPECT_EQ(stream.Position(), static_cast<int64_t>(stream.Data().size()));
}

TEST(RestoreRoundTrip, BackToTheStoredPaths) {
  test::TempDir dir;
  const std::string src = dir / "src";
  const Tree tree = MakeTree(src);
  TBackupFile engine;
  ASSERT_TRUE(engine.Backup({src + "/*.* /s"}, dir / "a.bkp"));
  fs::remove_all(src);
  ASSERT_TRUE(engine.Restore(dir / "a.bkp", ""));
  ExpectSameTree(tree, ReadTree(src), "stored paths");
}

// A sparse file comes back sparse: its runs of zero pieces become holes
// again instead of being written out in full.
TEST(RestoreRoundTrip, SparseFileComesBackWithItsHoles) {
  test::TempDir dir;
  const std::string source = dir / "src/sparse.img";
  const int64_t size = 96LL << 20;
  test::WriteFile(source, "head");
  fs::resize_file(source, size);
  {
    std::fstream tail(source, std::ios::in | std::ios::out | std::ios::binary);
    tail.seekp(size / 2);
    tail.write("middle", 6);
    tail.seekp(size - 4);
    tail.write("tail", 4);
  }
  TBackupFile engine;
  ASSERT_TRUE(engine.Backup({source}, dir / "a.bkp"));
  ASSERT_TRUE(engine.Restore(dir / "a.bkp", dir / "out"));
  const std::string restored = dir / "out/sparse.img";
  EXPECT_TRUE(test::ReadFile(restored) == test::ReadFile(source));
  EXPECT_EQ(static_cast<int64_t>(fs::file_size(restored)), size);
#ifndef _WIN32
  // NTFS makes holes only in files marked sparse first.
  struct stat st;
  ASSERT_EQ(::stat(restored.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "allocated " << st.st_blocks * 512 << " bytes";
#endif
}

}  // namespace
}  // namespace kelmora
