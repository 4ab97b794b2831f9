// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli backup accounts for every file and folder, as an ordinary
// user on a real tree: what it cannot read is named with the reason and the
// run never ends as a plain success; --skip-unreadable completes the
// archive without it; hidden folders are counted and taken in on request;
// a folder whose files are out of reach is a failure; and a folder under
// /srv is a folder, whatever the switch looks like.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli_runner.h"
#include "cli/user_runner.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using Result = test::CliResult;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// The stored names of an archive, one a line, as list prints them.
std::string Listed(const test::TempDir& Dir, const std::string& Archive) {
  return test::RunCli(Dir, {"list", Archive}).Out;
}

class AccountedCli : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "src/open/a.txt", "a");
    test::WriteFile(dir_ / "src/closed/b.txt", "b");
    test::WriteFile(dir_ / "src/top.txt", "top");
  }
  test::TempDir dir_;
};

#ifndef _WIN32
TEST_F(AccountedCli, AnUnreadableFolderIsNamedAndNeverASuccess) {
  test::GiveToOrdinaryUser(dir_.path());
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ / "src/closed").c_str(), 0), 0);
  const std::string archive = dir_ / "x.bkp";
  const std::string closed = dir_ / "src/closed/";

  const Result failed = test::RunCliAsUser(dir_, {"backup", "-q", archive, dir_ / "src"});
  EXPECT_EQ(failed.Status, 1) << failed.Err;
  EXPECT_TRUE(Contains(failed.Err, closed + ": Permission denied")) << failed.Err;
  EXPECT_FALSE(fs::exists(archive)) << "nothing is written when a folder cannot be read";

  const Result skipped =
      test::RunCliAsUser(dir_, {"backup", "--skip-unreadable", archive, dir_ / "src"});
  EXPECT_EQ(skipped.Status, 1) << skipped.Err;
  EXPECT_TRUE(Contains(skipped.Err, closed + ": Permission denied")) << skipped.Err;
  EXPECT_TRUE(Contains(skipped.Err, "archive complete except 1 folder")) << skipped.Err;
  EXPECT_TRUE(Contains(skipped.Out, "1 unreadable")) << skipped.Out;
  const std::string stored = Listed(dir_, archive);
  EXPECT_TRUE(Contains(stored, dir_ / "src/open/a.txt")) << stored;
  EXPECT_TRUE(Contains(stored, dir_ / "src/top.txt")) << stored;
  EXPECT_EQ(test::RunCli(dir_, {"test", "-q", archive}).Status, 0);
}

// A folder the user may not read given as SOURCE (/root for a user) is no
// empty archive.
TEST_F(AccountedCli, AnUnreadableSourceFolderWritesNothing) {
  ::chmod(dir_.path().c_str(), 0755);
  test::WriteFile(dir_ / "private/secret.txt", "s");
  test::KeepFromOrdinaryUser(dir_ / "private", 0700);  // like /root
  fs::create_directory(dir_ / "home");
  test::GiveToOrdinaryUser(dir_ / "home");
  const std::string archive = dir_ / "home/x.bkp";
  const Result r = test::RunCliAsUser(dir_, {"backup", archive, dir_ / "private"});
  EXPECT_EQ(r.Status, 1) << r.Err;
  EXPECT_TRUE(Contains(r.Err, dir_ / "private/")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "Permission denied")) << r.Err;
  EXPECT_FALSE(fs::exists(archive));
}

TEST_F(AccountedCli, UnreadableFilesEndTheBackupUnlessSkipped) {
  test::WriteFile(dir_ / "src/secret.txt", "s");
  test::GiveToOrdinaryUser(dir_.path());
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  test::KeepFromOrdinaryUser(dir_ / "src/secret.txt", 0600);
  const std::string archive = dir_ / "x.bkp";

  const Result failed = test::RunCliAsUser(dir_, {"backup", "-q", archive, dir_ / "src"});
  EXPECT_EQ(failed.Status, 1);
  EXPECT_TRUE(Contains(failed.Err, dir_ / "src/secret.txt") &&
              Contains(failed.Err, "Permission denied"))
      << failed.Err;
  EXPECT_FALSE(fs::exists(archive));

  const Result skipped =
      test::RunCliAsUser(dir_, {"backup", "-q", "--skip-unreadable", archive, dir_ / "src"});
  EXPECT_EQ(skipped.Status, 1);
  EXPECT_TRUE(Contains(skipped.Err, dir_ / "src/secret.txt: Permission denied")) << skipped.Err;
  EXPECT_TRUE(Contains(skipped.Err, "archive complete except 1 file")) << skipped.Err;
  const std::string stored = Listed(dir_, archive);
  EXPECT_FALSE(Contains(stored, "secret.txt")) << stored;
  EXPECT_TRUE(Contains(stored, dir_ / "src/closed/b.txt")) << stored;
}
#endif

TEST_F(AccountedCli, HiddenFoldersAreCountedAndTakenInWithHidden) {
  KELMORA_POSIX_ONLY("a leading dot hides nothing there");
  test::WriteFile(dir_ / "src/.git/config", "c");
  test::WriteFile(dir_ / "src/open/.cache/blob", "b");
  const Result left = test::RunCli(dir_, {"backup", dir_ / "x.bkp", dir_ / "src"});
  ASSERT_EQ(left.Status, 0) << left.Err;
  EXPECT_TRUE(Contains(left.Out, "2 hidden folders")) << left.Out;
  EXPECT_TRUE(Contains(left.Out, "--hidden")) << left.Out;
  EXPECT_FALSE(Contains(Listed(dir_, dir_ / "x.bkp"), ".git"));

  const Result taken = test::RunCli(dir_, {"backup", "--hidden", dir_ / "y.bkp", dir_ / "src"});
  ASSERT_EQ(taken.Status, 0) << taken.Err;
  EXPECT_FALSE(Contains(taken.Out, "hidden folder")) << taken.Out;
  const std::string stored = Listed(dir_, dir_ / "y.bkp");
  EXPECT_TRUE(Contains(stored, dir_ / "src/.git/config")) << stored;
  EXPECT_TRUE(Contains(stored, dir_ / "src/open/.cache/blob")) << stored;
}

// Files only in hidden folders: the folder is named and nothing written;
// a truly empty folder is only warned about.
TEST_F(AccountedCli, AFolderHoldingFilesButSelectingNoneFails) {
  KELMORA_POSIX_ONLY("a leading dot hides nothing there");
  test::WriteFile(dir_ / "project/.git/HEAD", "ref");
  fs::create_directories(dir_ / "empty/inner");
  const Result r = test::RunCli(dir_, {"backup", "-q", dir_ / "p.bkp", dir_ / "project"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Contains(r.Err, dir_ / "project/")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "--hidden")) << r.Err;
  EXPECT_FALSE(fs::exists(dir_ / "p.bkp"));

  const Result empty = test::RunCli(dir_, {"backup", "-q", dir_ / "e.bkp", dir_ / "empty"});
  EXPECT_EQ(empty.Status, 0) << empty.Err;
  EXPECT_TRUE(Contains(empty.Err, "warning")) << empty.Err;
}

// A folder whose path begins with "/s" is a folder, not the switch.
TEST_F(AccountedCli, AFolderUnderSrvIsBackedUpWhole) {
  KELMORA_POSIX_ONLY("/srv");
#ifndef _WIN32
  char made[] = "/srv/kelmora-test-XXXXXX";
  if (!fs::is_directory("/srv") || ::mkdtemp(made) == nullptr)
    GTEST_SKIP() << "no folder can be made under /srv here";
  const std::string docs = std::string(made) + "/docs";
  test::WriteFile(docs + "/a.txt", "a");
  test::WriteFile(docs + "/deep/b.txt", "b");
  const Result r = test::RunCli(dir_, {"backup", "-q", dir_ / "s.bkp", docs});
  const std::string stored = Listed(dir_, dir_ / "s.bkp");
  fs::remove_all(made);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_FALSE(Contains(r.Err, "warning")) << r.Err;
  EXPECT_TRUE(Contains(stored, docs + "/a.txt")) << stored;
  EXPECT_TRUE(Contains(stored, docs + "/deep/b.txt")) << stored;
#endif
}

// A few bytes of data gain nothing: the summary says what the records
// add, not a negative percentage.
TEST_F(AccountedCli, ATinyArchiveHasNoNegativeCompression) {
  const Result r = test::RunCli(dir_, {"backup", dir_ / "t.bkp", dir_ / "src/top.txt"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_FALSE(Contains(r.Out, "-")) << r.Out;
  EXPECT_TRUE(Contains(r.Out, "3 bytes of data")) << r.Out;
}

}  // namespace
}  // namespace kelmora
