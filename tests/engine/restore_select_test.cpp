// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restoring part of an archive and restoring below a shared folder.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/restore_builder.h"
#include "engine/restore_target.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

const int32_t kStamp = test::Stamp(2019, 1, 2, 3, 4, 6);

// Entries the filter refuses are stepped over unread: their garbage chunk
// would otherwise be damage (code 6).
TEST(RestoreSelect, FilterRestoresOnlyAcceptedNamesAndNeverInflatesTheRest) {
  const std::string bytes = ArchiveBuilder()
                                .Header()
                                .Name("/docs/broken.bin")
                                .Int(kStamp)
                                .Signature()
                                // A zlib stream's head, then garbage.
                                .DeflatedChunk("\x78\x01" + std::string(198, 'z'))
                                .Int(0)
                                .File("/docs/keep.txt", kStamp, "keep")
                                .End()
                                .Bytes();
  test::TempDir dir;
  TBackupFile engine;
  engine.RestoreFullPath = true;
  std::vector<std::string> asked;
  engine.RestoreFilter = [&](const std::string& Stored) {
    asked.push_back(Stored);
    return Stored == "/docs/keep.txt";
  };
  TMemoryStream in = test::StreamOf(bytes);
  EXPECT_TRUE(engine.RestoreFromStream(&in, dir.path()));
  EXPECT_EQ(engine.ErrorCode(), beNone);
  EXPECT_EQ(test::ReadFile(dir / "docs/keep.txt"), "keep");
  EXPECT_FALSE(fs::exists(dir / "docs/broken.bin"));
  EXPECT_EQ(engine.FilesDone(), 1);
  EXPECT_EQ(asked, (std::vector<std::string>{"/docs/broken.bin", "/docs/keep.txt"}));

  // Without the filter the garbage is met.
  test::TempDir all;
  TBackupFile plain;
  plain.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  TMemoryStream again = test::StreamOf(bytes);
  EXPECT_FALSE(plain.RestoreFromStream(&again, all.path()));
  EXPECT_EQ(plain.ErrorCode(), beCompression);
}

// A target is spelt with this system's separator ("\\" on Windows).
std::string Spelt(std::string Path) {
  for (char& c : Path)
    if (c == '/') c = test::kSeparator;
  return Path;
}

TEST(RestoreSelect, BaseFolderIsLeftOutOnlyAsWholeLeadingComponents) {
  const auto TargetName = [](const std::string& Stored, const std::string& Folder, bool FullPath,
                             const std::string& Base) {
    return restore::TargetName(Stored, Spelt(Folder), FullPath, Base);
  };
  EXPECT_EQ(TargetName("/home/ann/docs/a.txt", "/r/", true, "home/ann/docs"), Spelt("/r/a.txt"));
  EXPECT_EQ(TargetName("/home/ann/docs/sub/b.txt", "/r/", true, "home/ann/docs"),
            Spelt("/r/sub/b.txt"));
  EXPECT_EQ(TargetName("c:\\home\\ann\\docs\\w.txt", "/r/", true, "home/ann/docs"),
            Spelt("/r/w.txt"));
  // Not below the base: the whole path is kept.
  EXPECT_EQ(TargetName("/home/ann/docs2/c.txt", "/r/", true, "home/ann/docs"),
            Spelt("/r/home/ann/docs2/c.txt"));
  EXPECT_EQ(TargetName("/other/d.txt", "/r/", true, "home/ann/docs"), Spelt("/r/other/d.txt"));
  // The base never applies to flat restores or to stored paths.
  EXPECT_EQ(TargetName("/home/ann/docs/sub/b.txt", "/r/", false, "home/ann/docs"),
            Spelt("/r/b.txt"));
  EXPECT_EQ(TargetName("/home/ann/docs/a.txt", "", true, "home/ann/docs"),
            Spelt("/home/ann/docs/a.txt"));
  EXPECT_EQ(restore::StoredPath("c:\\x\\y.txt"), "x/y.txt");
  EXPECT_EQ(restore::StoredPath("/a/../b"), "");

  test::TempDir dir;
  TBackupFile engine;
  engine.RestoreFullPath = true;
  engine.RestoreBaseFolder = "home/ann";
  TMemoryStream in = test::StreamOf(ArchiveBuilder()
                                        .Header()
                                        .File("/home/ann/a.txt", kStamp, "A")
                                        .File("/home/ann/sub/b.txt", kStamp, "B")
                                        .End()
                                        .Bytes());
  EXPECT_TRUE(engine.RestoreFromStream(&in, dir.path()));
  EXPECT_EQ(test::ReadFile(dir / "a.txt"), "A");
  EXPECT_EQ(test::ReadFile(dir / "sub/b.txt"), "B");
}

}  // namespace
}  // namespace kelmora
