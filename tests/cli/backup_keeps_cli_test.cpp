// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli backup and what it must not lose: files named like the
// archive's volumes, a linked archive path, limits it cannot keep, and
// --verify, as a user meets them: exit statuses and the files named.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_runner.h"
#include "engine/backup_writer_support.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::RunCli;
using test::TempDir;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

TEST(BackupKeepsCli, FilesNamedLikeVolumesAreTheUsers) {
  TempDir dir;
  test::WriteFile(dir / "data/big.bin", test::RandomBytes(50000, 1));
  test::WriteFile(dir / "data/photos.002", "my photos");
  const std::string archive = dir / "data/photos.bkp";

  const auto split = RunCli(dir, {"backup", "-q", "-v", "20k", archive, dir / "data"});
  EXPECT_EQ(1, split.Status);
  EXPECT_TRUE(Contains(split.Err, "Cannot write to archive: " + (dir / "data/photos.002")))
      << split.Err;
  EXPECT_FALSE(fs::exists(archive));

  const auto plain = RunCli(dir, {"backup", "-q", archive, dir / "data"});
  EXPECT_EQ(0, plain.Status) << plain.Err;
  EXPECT_EQ("my photos", test::ReadFile(dir / "data/photos.002"));
  const auto list = RunCli(dir, {"list", archive});
  EXPECT_EQ(0, list.Status);
  EXPECT_TRUE(Contains(list.Out, dir / "data/photos.002")) << list.Out;
}

TEST(BackupKeepsCli, ALinkedArchiveIsReadAndWrittenWhereItLeads) {
  KELMORA_POSIX_ONLY("symbolic links any user may make");
  TempDir dir;
  test::WriteFile(dir / "src/f", test::RandomBytes(40000, 2));
  fs::create_directories(dir / "disk");
  test::MakeSymlink(dir / "disk/b.bkp", dir / "backup.bkp");
  for (int run = 0; run < 2; ++run) {
    const auto r =
        RunCli(dir, {"backup", "-q", "--verify", "-v", "20k", dir / "backup.bkp", dir / "src"});
    EXPECT_EQ(0, r.Status) << r.Err;
  }
  EXPECT_TRUE(fs::is_symlink(dir / "backup.bkp"));
  EXPECT_TRUE(fs::exists(dir / "disk/b.003"));
  EXPECT_FALSE(fs::exists(dir / "backup.002"));
  EXPECT_EQ(0, RunCli(dir, {"test", "-q", dir / "backup.bkp"}).Status);
  EXPECT_EQ(0, RunCli(dir, {"list", dir / "backup.bkp"}).Status);
  const auto restore = RunCli(dir, {"restore", "-q", "--flat", dir / "backup.bkp", dir / "out"});
  EXPECT_EQ(0, restore.Status) << restore.Err;
  EXPECT_EQ(test::ReadFile(dir / "src/f"), test::ReadFile(dir / "out/f"));
}

TEST(BackupKeepsCli, ALimitThatCannotBeKeptIsRefused) {
  TempDir dir;
  test::WriteFile(dir / "src/f", "data");
  fs::create_directories(dir / "out");
  const auto r = RunCli(dir, {"backup", "-q", "-v", "20k", "-t", std::string(30000, 'T'),
                              dir / "out/t.bkp", dir / "src"});
  EXPECT_EQ(1, r.Status);
  EXPECT_TRUE(Contains(r.Err, "Cannot write to archive: " + (dir / "out/t.bkp"))) << r.Err;
  EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
}  // namespace kelmora
