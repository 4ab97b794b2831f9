// SPDX-License-Identifier: GPL-3.0-or-later
//
// Files whose names hold blanks, bytes that are no UTF-8, control
// characters, line breaks, ":" and "\\", or that lie deeper than 1,000
// bytes, through the real kelmora-cli: backed up, listed and restored
// under their own names.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "cli/cli_runner.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> ReadTree(const std::string& Root) {
  std::map<std::string, std::string> tree;
  for (const auto& e : fs::recursive_directory_iterator(Root))
    if (e.is_regular_file())
      tree[fs::relative(e.path(), Root).string()] = test::ReadFile(e.path().string());
  return tree;
}

TEST(NamesCli, StrangeAndLongNamesComeBackUnderTheirOwnNames) {
  KELMORA_POSIX_ONLY("names with tabs, line breaks, \":\" or \"\\\"");
  test::TempDir dir;
  std::string deep;
  while (deep.size() < 1100) deep += "a rather long folder name of forty bytes/";
  const std::vector<std::string> names = {
      "two  blanks and a trailing one ",
      " leading blank",
      "latin1 caf\xe9 and \xff\xfe bytes",
      "tab\tinside",
      "dash -s and /s look-alikes",
      "percent %s %d and * ? [x]",
      "sub dir/\x01\x1f control bytes",
      deep + "deepest file.txt",
      // Separators elsewhere, and a line break, are plain bytes of a name
      // written here.
      "12:30 notes.txt",
      "x\\b.txt",
      "c:\\not a drive",
      "line\nfeed and\r return",
  };
  std::map<std::string, std::string> expected;
  for (size_t i = 0; i < names.size(); ++i) {
    expected[names[i]] = test::TextBytes(100 + 20000 * (i % 3), static_cast<uint32_t>(i));
    test::WriteFile(dir / ("src/" + names[i]), expected[names[i]]);
  }
  ASSERT_GT((dir / ("src/" + deep)).size(), 1000u);

  const std::string archive = dir / "names.bkp";
  const test::CliResult backup =
      test::RunCli(dir, {"backup", "-q", "--file-ids", archive, dir / "src/*.* /s"});
  ASSERT_EQ(backup.Status, 0) << backup.Err;

  const test::CliResult list = test::RunCli(dir, {"list", archive});
  EXPECT_EQ(list.Status, 0) << list.Err;
  // One stored name a line, a name's own line break printed as it is.
  size_t breaks = 0;
  for (const std::string& name : names) breaks += std::count(name.begin(), name.end(), '\n');
  EXPECT_EQ(static_cast<size_t>(std::count(list.Out.begin(), list.Out.end(), '\n')),
            names.size() + breaks);
  for (const std::string& name : names)
    EXPECT_NE(list.Out.find(dir / ("src/" + name)), std::string::npos) << name;

  const test::CliResult full =
      test::RunCli(dir, {"restore", "-q", "--full-path", archive, dir / "full"});
  EXPECT_EQ(full.Status, 0) << full.Err;
  EXPECT_EQ(ReadTree(dir / "full" + dir / "src"), expected);

  // Without the folder tree every file lands in the folder by its last
  // component, which for each of these is its own.
  const test::CliResult flat =
      test::RunCli(dir, {"restore", "-q", "--flat", archive, dir / "flat"});
  EXPECT_EQ(flat.Status, 0) << flat.Err;
  std::map<std::string, std::string> flatExpected;
  for (const auto& [name, bytes] : expected)
    flatExpected[fs::path(name).filename().string()] = bytes;
  EXPECT_EQ(ReadTree(dir / "flat"), flatExpected);
}

}  // namespace
}  // namespace kelmora
