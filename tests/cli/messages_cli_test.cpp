// SPDX-License-Identifier: GPL-3.0-or-later
//
// Messages that say what is true: a path given as an archive that is none
// (in one wording for list, test and restore), a restore that meets a full
// disk or a folder it may not write to, and summaries that count what was
// selected; and the file-ID list read within its bounds by one parser.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli_runner.h"
#include "cli/user_runner.h"
#include "engine/archive_format.h"
#include "engine/restore_builder.h"
#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using Result = test::CliResult;
using test::ArchiveBuilder;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// list, test and restore of Path: each fails with status 1, and all say the
// same line, which names Path and holds Reason.
void ExpectRefusedAlike(const test::TempDir& Dir, const std::string& Path,
                        const std::string& Reason, bool AsUser = false) {
  const auto run = [&](const std::vector<std::string>& Args) {
#ifndef _WIN32
    if (AsUser) return test::RunCliAsUser(Dir, Args);
#else
    static_cast<void>(AsUser);  // no user to become
#endif
    return test::RunCli(Dir, Args);
  };
  const Result list = run({"list", Path});
  const Result check = run({"test", "-q", Path});
  const Result restore = run({"restore", "-q", Path, Dir / "out"});
  SCOPED_TRACE(Path);
  EXPECT_EQ(list.Status, 1);
  EXPECT_EQ(check.Status, 1);
  EXPECT_EQ(restore.Status, 1);
  EXPECT_TRUE(Contains(list.Err, Path + ": ")) << list.Err;
  EXPECT_TRUE(Contains(list.Err, Reason)) << list.Err;
  EXPECT_FALSE(Contains(list.Err, "archive not found") && Reason != "archive not found")
      << list.Err;
  EXPECT_EQ(check.Err, list.Err);
  EXPECT_EQ(restore.Err, list.Err);
}

TEST(MessagesCli, WhatIsGivenAsAnArchiveIsNamedForWhatItIs) {
  test::TempDir dir;
  ExpectRefusedAlike(dir, dir / "none.bkp", "archive not found");
  fs::create_directory(dir / "folder");
  ExpectRefusedAlike(dir, dir / "folder", "folder");
  test::WriteFile(dir / "empty.bkp", "");
  ExpectRefusedAlike(dir, dir / "empty.bkp", "empty");
  test::WriteFile(dir / "notes.txt", "Dear diary, today I backed up nothing at all.\n");
  ExpectRefusedAlike(dir, dir / "notes.txt", "not a Kelmora archive");
#ifndef _WIN32
  ExpectRefusedAlike(dir, "/dev/null", "no regular file");
  // Root may read anything: the file is kept from the ordinary user.
  ArchiveBuilder().Header().File("/a.txt", 0, "a").End().Save(dir / "kept.bkp");
  test::KeepFromOrdinaryUser(dir / "kept.bkp", 0600);
  fs::create_directory(dir / "out");
  test::GiveToOrdinaryUser(dir / "out");
  ::chmod(dir.path().c_str(), 0755);
  ExpectRefusedAlike(dir, dir / "kept.bkp", platform::ErrorText(EACCES), true);
#endif
}

// An archive cut short is still an archive, damaged: it is read, not refused.
TEST(MessagesCli, ACutArchiveIsReadNotRefused) {
  test::TempDir dir;
  const std::string whole =
      ArchiveBuilder().Header("", 0, 1).File("/a.txt", 0, test::TextBytes(40000)).End().Bytes();
  test::WriteFile(dir / "cut.bkp", whole.substr(0, whole.size() / 2));
  const Result list = test::RunCli(dir, {"list", dir / "cut.bkp"});
  EXPECT_EQ(list.Status, 1);
  EXPECT_FALSE(Contains(list.Err, "not a Kelmora archive")) << list.Err;
  const Result restore = test::RunCli(dir, {"restore", dir / "cut.bkp", dir / "out"});
  EXPECT_EQ(restore.Status, 1);
  EXPECT_TRUE(Contains(restore.Err, "damaged: /a.txt")) << restore.Err;
  // Said once: no claim that every other file was restored, beside a count
  // of none.
  EXPECT_FALSE(Contains(restore.Err, "every other file")) << restore.Err;
  EXPECT_TRUE(Contains(restore.Out, "0 restored of 1")) << restore.Out;
  EXPECT_TRUE(Contains(restore.Out, "Incomplete")) << restore.Out;

  // A damaged title length: the entries after the header are still found.
  std::string bad = ArchiveBuilder().Header("title").File("/b.txt", 0, "bee").End().Bytes();
  bad[3] = '\x7f';
  test::WriteFile(dir / "bad.bkp", bad);
  const Result damaged = test::RunCli(dir, {"restore", "-f", dir / "bad.bkp", dir / "again"});
  EXPECT_FALSE(Contains(damaged.Err, "not a Kelmora archive")) << damaged.Err;
  EXPECT_EQ(test::ReadFile(dir / "again/b.txt"), "bee");
}

TEST(MessagesCli, ARestoreOntoAFullDiskNamesTheWriteAndTheReason) {
  test::TempDir dir;
  fs::create_directory(dir / "disk");
  if (!test::MountSmallFileSystem(dir / "disk", "256k"))
    GTEST_SKIP() << "cannot mount a small file system here";
  ArchiveBuilder()
      .Header("", 0, 2)
      .File("/small.txt", 0, "small")
      .File("/big.bin", 0, test::RandomBytes(1 << 20, 5))
      .End()
      .Save(dir / "x.bkp");
  const Result r = test::RunCli(dir, {"restore", "-f", dir / "x.bkp", dir / "disk/out"});
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(dir / "disk"))
    left.push_back(e.path().filename().string());
  test::UnmountFileSystem(dir / "disk");
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Contains(r.Err, dir / "disk/out/big.bin")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "writing")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, platform::ErrorText(ENOSPC))) << r.Err;
  EXPECT_FALSE(Contains(r.Err, "Cannot read file")) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "1 restored of 2")) << r.Out;
  for (const std::string& name : left) EXPECT_EQ(name.find(".part"), std::string::npos) << name;
}

TEST(MessagesCli, TheRestoreFolderThatCannotBeMadeIsNamedWithTheReason) {
  test::TempDir dir;
  ArchiveBuilder().Header().File("/a.txt", 0, "a").End().Save(dir / "x.bkp");
  test::WriteFile(dir / "plain", "a file where a folder would go");
  const Result r = test::RunCli(dir, {"restore", dir / "x.bkp", dir / "plain/out"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Contains(r.Err, dir / "plain/out")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, platform::ErrorText(ENOTDIR))) << r.Err;
}

// Nine files into a folder the user may not write to: nine lines, each
// naming its file.
TEST(MessagesCli, ARestoreIntoAReadOnlyFolderNamesEveryFile) {
  KELMORA_POSIX_ONLY("permissions of an ordinary user");
#ifndef _WIN32
  test::TempDir dir;
  ArchiveBuilder builder;
  builder.Header("", 0, 9);
  for (int i = 1; i <= 9; ++i)
    builder.File("/f" + std::to_string(i) + ".txt", 0, std::string(i, 'x'));
  builder.End().Save(dir / "x.bkp");
  fs::create_directory(dir / "ro");
  test::GiveToOrdinaryUser(dir.path());
  ::chmod(dir.path().c_str(), 0755);
  ::chmod((dir / "ro").c_str(), 0555);
  for (const char* threads : {"1", "4"}) {
    SCOPED_TRACE(threads);
    const Result r =
        test::RunCliAsUser(dir, {"restore", "--threads", threads, "-f", dir / "x.bkp", dir / "ro"});
    EXPECT_EQ(r.Status, 1);
    for (int i = 1; i <= 9; ++i)
      EXPECT_TRUE(Contains(r.Err, dir / ("ro/f" + std::to_string(i) + ".txt: Permission denied")))
          << i << ": " << r.Err;
    EXPECT_TRUE(Contains(r.Out, "0 restored of 9")) << r.Out;
    EXPECT_TRUE(Contains(r.Out, "Left out:     9")) << r.Out;
  }
#endif
}

// One file restored of many: its size, not the archive's total.
TEST(MessagesCli, TheSummaryCountsWhatWasSelected) {
  test::TempDir dir;
  ArchiveBuilder()
      .Header("", 300000, 3)
      .File("/docs/one.txt", 0, test::TextBytes(1234))
      .File("/docs/two.bin", 0, test::RandomBytes(100000))
      .File("/docs/three.bin", 0, test::RandomBytes(200000))
      .End()
      .Save(dir / "x.bkp");
  const Result r = test::RunCli(dir, {"restore", "-i", "one.txt", dir / "x.bkp", dir / "out"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "1 restored of 1 selected (3 in the archive)")) << r.Out;
  EXPECT_TRUE(Contains(r.Out, "1,234 bytes")) << r.Out;
  EXPECT_FALSE(Contains(r.Out, "300,000")) << r.Out;
}

// A name holding a TAB is written quoted in the file-ID list; the listing
// reads it with the one parser and shows its size.
TEST(MessagesCli, ListShowsTheSizeOfANameWithATab) {
  KELMORA_POSIX_ONLY("a TAB in a file name");
  test::TempDir dir;
  test::WriteFile(dir / "src/a\tb.txt", test::TextBytes(5000));
  ASSERT_EQ(test::RunCli(dir, {"backup", "-q", "--file-ids", dir / "x.bkp", dir / "src"}).Status,
            0);
  const Result r = test::RunCli(dir, {"list", "-l", dir / "x.bkp"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "5,000")) << r.Out;
  const Result json = test::RunCli(dir, {"list", "--json", dir / "x.bkp"});
  EXPECT_TRUE(Contains(json.Out, "\"size\":5000")) << json.Out;
}

// A file-ID list that inflates beyond 64 MiB is damage, named, stepped
// over, never held: the listing goes on and ends with status 1.
TEST(MessagesCli, AFileIdListBeyondItsBoundsIsDamageNotMemory) {
  test::TempDir dir;
  const std::string line = "/data/file.txt\t0=1\r\n";
  std::string piece;
  while (piece.size() < static_cast<size_t>(format::kPieceSize)) piece += line;
  piece.resize(format::kPieceSize);
  const std::string z = test::Deflate(piece, 9);
  ArchiveBuilder builder;
  builder.Header("", 0, 1).Name(format::kFileListName).Int(0).Signature();
  const size_t chunks = format::kMaxFileIdListBytes / format::kPieceSize + 8;
  for (size_t i = 0; i < chunks; ++i) builder.DeflatedChunk(z);
  builder.Int(0).File("/after.txt", 0, std::string(100, 'x')).End().Save(dir / "big.bkp");
  ASSERT_LT(fs::file_size(dir / "big.bkp"), 4u << 20) << "a small archive";

  const Result list = test::RunCli(dir, {"list", "-l", dir / "big.bkp"});
  EXPECT_EQ(list.Status, 1);
  EXPECT_TRUE(Contains(list.Err, format::kFileListName)) << list.Err;
  EXPECT_TRUE(Contains(list.Out, "/after.txt")) << "the entries after it are listed";
  const Result relative = test::RunCli(dir, {"restore", "-q", "-r", dir / "big.bkp", dir / "out"});
  EXPECT_EQ(relative.Status, 1);
  EXPECT_TRUE(Contains(relative.Err, format::kFileListName)) << relative.Err;
  EXPECT_EQ(test::ReadFile(dir / "out/after.txt"), std::string(100, 'x'));
}

}  // namespace
}  // namespace kelmora
