// SPDX-License-Identifier: GPL-3.0-or-later
//
// The companion through kelmora-cli: written by default beside the
// archive, its absence said once and nothing else changed, a home tree
// given back to a user as stat showed it (less the umask unless asked),
// test naming a changed name, repair and protect with their statuses.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cli/cli_runner.h"
#include "cli/user_runner.h"
#include "engine/home_tree.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using Result = test::CliResult;
using test::RunCli;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

size_t Count(const std::string& Text, const std::string& Part) {
  size_t n = 0;
  for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++n;
  return n;
}

class CompanionCli : public ::testing::Test {
 protected:
  test::TempDir dir_;
};

TEST_F(CompanionCli, WrittenByDefaultAndItsAbsenceSaidOnce) {
  test::WriteFile(dir_ / "src/a.txt", test::TextBytes(30000, 1));
  test::WriteFile(dir_ / "src/b.txt", "bee");
  ASSERT_EQ(RunCli(dir_, {"backup", "-q", dir_ / "out/x.bkp", dir_ / "src"}).Status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "out/x.bkp.kx"));
  const Result listed = RunCli(dir_, {"list", "-l", dir_ / "out/x.bkp"});
  EXPECT_EQ(listed.Status, 0);
  EXPECT_TRUE(Contains(listed.Out, "30,000")) << listed.Out;  // a compressed file's size
  EXPECT_EQ(listed.Err, "");

  ASSERT_EQ(
      RunCli(dir_, {"backup", "-q", "--no-companion", dir_ / "bare/y.bkp", dir_ / "src"}).Status,
      0);
  EXPECT_FALSE(fs::exists(dir_ / "bare/y.bkp.kx"));
  const Result restore = RunCli(dir_, {"restore", "-q", dir_ / "bare/y.bkp", dir_ / "r"});
  EXPECT_EQ(restore.Status, 0);
  EXPECT_EQ(Count(restore.Err, "companion"), 1u) << restore.Err;
  EXPECT_TRUE(Contains(restore.Err,
                       "modes, links and exact times are not restored: the "
                       "companion " +
                           dir_ / "bare/y.bkp.kx" + " is missing"));
  EXPECT_EQ(test::ReadFile(dir_ / "r" + (dir_ / "src/b.txt")), "bee");
  EXPECT_EQ(RunCli(dir_, {"list", dir_ / "bare/y.bkp"}).Err, "") << "names lose nothing";
  const Result sizes = RunCli(dir_, {"list", "-l", dir_ / "bare/y.bkp"});
  EXPECT_EQ(Count(sizes.Err, "companion"), 1u) << sizes.Err;
  const Result tested = RunCli(dir_, {"test", "-q", dir_ / "bare/y.bkp"});
  EXPECT_EQ(tested.Status, 0);
  EXPECT_EQ(Count(tested.Err, "companion"), 1u) << tested.Err;

  for (const std::vector<std::string>& usage :
       {std::vector<std::string>{"backup", "--recovery", "5", "-", dir_ / "src"},
        std::vector<std::string>{"backup", "--recovery", "101", dir_ / "z.bkp", dir_ / "src"},
        std::vector<std::string>{"backup", "--recovery", "5", "--no-companion", dir_ / "z.bkp",
                                 dir_ / "src"}})
    EXPECT_EQ(RunCli(dir_, usage).Status, 2) << usage[1] << " " << usage[3];
  EXPECT_FALSE(fs::exists(dir_ / "z.bkp"));
}

// Run as a user: modes come back less the umask, exactly with
// --same-permissions; the owner stays the user's; times and links as
// they were.
TEST_F(CompanionCli, AHomeTreeComesBackToItsUser) {
  const std::string home = dir_ / "home";
  test::MakeHomeTree(home);
  fs::create_directories(dir_ / "out");
  test::GiveToOrdinaryUser(dir_.path());
  const auto expected = test::StatTree(home);
  const mode_t mask = ::umask(022);
  const Result backup = test::RunCliAsUser(dir_, {"backup", "-q", dir_ / "out/home.bkp", home});
  const Result plain =
      test::RunCliAsUser(dir_, {"restore", "-q", dir_ / "out/home.bkp", dir_ / "out/a"});
  const Result exact = test::RunCliAsUser(
      dir_, {"restore", "-q", "--same-permissions", dir_ / "out/home.bkp", dir_ / "out/b"});
  const Result counted =
      test::RunCliAsUser(dir_, {"restore", dir_ / "out/home.bkp", dir_ / "out/c"});
  ::umask(mask);
  ASSERT_EQ(backup.Status, 0) << backup.Err;
  ASSERT_EQ(plain.Status, 0) << plain.Err;
  ASSERT_EQ(exact.Status, 0) << exact.Err;
  // The summary counts files: the folders and links given back are none.
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(home))
    files += entry.is_regular_file() && !entry.is_symlink() ? 1 : 0;
  const std::string n = std::to_string(files);
  EXPECT_TRUE(Contains(counted.Out, "Files:        " + n + " restored of " + n + "\n"))
      << counted.Out;
  EXPECT_EQ(test::StatTree(dir_ / "out/b" + home), expected);
  auto lessUmask = expected;
  struct stat st;
  ::lstat((home + "/shared.txt").c_str(), &st);
  const std::string before = lessUmask["/shared.txt"];
  lessUmask["/shared.txt"] =
      std::to_string((st.st_mode & ~0777) | 0644) + before.substr(before.find(' '));
  EXPECT_EQ(test::StatTree(dir_ / "out/a" + home), lessUmask);
}

TEST_F(CompanionCli, TestNamesAChangedNameAndRepairPutsItBack) {
  test::WriteFile(dir_ / "src/a-report.txt", test::TextBytes(20000, 2));
  test::WriteFile(dir_ / "src/photo.jpg", test::RandomBytes(90000, 3));
  ASSERT_EQ(RunCli(dir_, {"backup", "-q", "-v", "40k", "--recovery", "50", dir_ / "out/x.bkp",
                          dir_ / "src"})
                .Status,
            0);
  const std::string first = test::ReadFile(dir_ / "out/x.bkp");
  const std::string second = test::ReadFile(dir_ / "out/x.002");
  std::string renamed = first;
  ASSERT_NE(renamed.find("a-report.txt"), std::string::npos);
  renamed[renamed.find("a-report.txt")] = 'R';
  test::WriteFile(dir_ / "out/x.bkp", renamed);
  fs::remove(dir_ / "out/x.002");

  const Result before = RunCli(dir_, {"test", dir_ / "out/x.bkp"});
  EXPECT_EQ(before.Status, 1);
  const Result dry = RunCli(dir_, {"repair", "--dry-run", dir_ / "out/x.bkp"});
  EXPECT_EQ(dry.Status, 0) << dry.Err;
  EXPECT_FALSE(fs::exists(dir_ / "out/x.002"));
  const Result repaired = RunCli(dir_, {"repair", dir_ / "out/x.bkp"});
  EXPECT_EQ(repaired.Status, 0) << repaired.Err;
  EXPECT_TRUE(test::ReadFile(dir_ / "out/x.bkp") == first);
  EXPECT_TRUE(test::ReadFile(dir_ / "out/x.002") == second);
  EXPECT_EQ(RunCli(dir_, {"test", "-q", dir_ / "out/x.bkp"}).Status, 0);

  // The same name damaged in a backup protected afterwards.
  ASSERT_EQ(RunCli(dir_, {"backup", "-q", "--no-companion", dir_ / "p/y.bkp", dir_ / "src"}).Status,
            0);
  EXPECT_EQ(RunCli(dir_, {"protect", "-q", dir_ / "p/y.bkp", "5"}).Status, 0);
  std::string bytes = test::ReadFile(dir_ / "p/y.bkp");
  ASSERT_NE(bytes.find("a-report.txt"), std::string::npos);
  bytes[bytes.find("a-report.txt")] = 'R';
  test::WriteFile(dir_ / "p/y.bkp", bytes);
  const Result found = RunCli(dir_, {"test", "-q", dir_ / "p/y.bkp"});
  EXPECT_EQ(found.Status, 1);
  EXPECT_TRUE(Contains(found.Out, "damaged: " + dir_ / "src/a-report.txt")) << found.Out;
  EXPECT_TRUE(Contains(found.Out, "stored name")) << found.Out;
  EXPECT_EQ(RunCli(dir_, {"protect", "-q", dir_ / "p/y.bkp"}).Status, 1) << "damage is refused";
  EXPECT_EQ(RunCli(dir_, {"repair", dir_ / "missing.bkp"}).Status, 1);
}

}  // namespace
}  // namespace kelmora
#endif
