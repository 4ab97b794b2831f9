// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli list: names, the long form, JSON lines, split archives,
// standard input, and what a listing says about archives it cannot finish.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_runner.h"
#include "kelmora/backup_file.h"
#include "engine/restore_builder.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using Result = test::CliResult;
using test::ArchiveBuilder;
using test::RunCli;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = Text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Text.substr(at, end - at));
  return lines;
}

const int32_t kStamp = test::Stamp(2024, 2, 29, 23, 58, 30);

TEST(ListCli, LongFormAndJsonShowSizeTimeAndVolume) {
  test::TempDir dir;
  // A name JSON must escape, one that is not UTF-8, and a stamp that is no date.
  ArchiveBuilder()
      .Header("t", 0, 3)
      .File(format::kFileListName, 0, format::FileIdLine("/d/a \"q\".txt", kStamp, 5) + "\r\n")
      .File("/d/a \"q\".txt", kStamp, "hello")
      .Name("/d/raw\xff.bin")
      .Int(kStamp)
      .Signature()
      .StoredChunk("12345678")
      .Int(0)
      .File("/d/when", -1, test::TextBytes(20000))
      .End()
      .Save(dir / "a.bkp");

  const Result names = RunCli(dir, {"list", dir / "a.bkp"});
  EXPECT_EQ(names.Status, 0) << names.Err;
  EXPECT_EQ(names.Out, "/d/a \"q\".txt\n/d/raw\xff.bin\n/d/when\n");

  const Result longForm = RunCli(dir, {"list", "-l", dir / "a.bkp"});
  EXPECT_EQ(longForm.Status, 0) << longForm.Err;
  const std::vector<std::string> rows = Lines(longForm.Out);
  ASSERT_EQ(rows.size(), 3u) << longForm.Out;
  const std::string helloPacked = std::to_string(test::Deflate("hello", 1).size());
  EXPECT_TRUE(Contains(rows[0], " 5 ")) << rows[0];
  EXPECT_TRUE(Contains(rows[0], " " + helloPacked + "  2024-02-29 23:58:30    1  /d/a \"q\".txt"))
      << rows[0];
  EXPECT_TRUE(Contains(rows[1], "8               8  2024-02-29 23:58:30")) << rows[1];
  // Unknown size and no valid time both show as "-".
  EXPECT_EQ(rows[2].substr(0, 16), "              - ") << rows[2];
  EXPECT_TRUE(Contains(rows[2], "  -                      1  /d/when")) << rows[2];

  const Result json = RunCli(dir, {"list", "--json", dir / "a.bkp"});
  EXPECT_EQ(json.Status, 0) << json.Err;
  const std::vector<std::string> objects = Lines(json.Out);
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(objects[0], "{\"name\":\"/d/a \\\"q\\\".txt\",\"size\":5,\"packed\":" + helloPacked +
                            ",\"chunks\":1,\"time\":\"2024-02-29T23:58:30\",\"volume\":1}");
  EXPECT_EQ(objects[1],
            "{\"name\":\"/d/raw\\ufffd.bin\",\"size\":8,\"packed\":8,\"chunks\":1,"
            "\"time\":\"2024-02-29T23:58:30\",\"volume\":1}");
  EXPECT_TRUE(Contains(objects[2], "\"size\":null,")) << objects[2];
  EXPECT_TRUE(Contains(objects[2], "\"chunks\":2,\"time\":null,")) << objects[2];

  EXPECT_EQ(RunCli(dir, {"list", "-l", "--json", dir / "a.bkp"}).Status, 2);
}

TEST(ListCli, SplitArchivesAndStandardInput) {
  test::TempDir dir;
  test::WriteFile(dir / "src/big.bin", test::RandomBytes(60000, 5));
  test::WriteFile(dir / "src/small.txt", "small");
  ASSERT_EQ(RunCli(dir, {"backup", "-q", "--file-ids", "-v", "20000", dir / "s.bkp",
                         dir / "src/big.bin", dir / "src/small.txt"})
                .Status,
            0);
  ASSERT_TRUE(fs::exists(dir / "s.004"));
  const Result r = RunCli(dir, {"list", "--json", dir / "s.bkp"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  const std::vector<std::string> objects = Lines(r.Out);
  ASSERT_EQ(objects.size(), 2u) << r.Out;
  EXPECT_TRUE(Contains(objects[0], "\"size\":60000,")) << objects[0];
  EXPECT_TRUE(Contains(objects[0], "\"chunks\":4,")) << objects[0];
  EXPECT_TRUE(Contains(objects[0], "\"volume\":1}")) << objects[0];
  EXPECT_TRUE(Contains(objects[1], "\"size\":5,")) << objects[1];
  EXPECT_FALSE(Contains(objects[1], "\"volume\":1}")) << objects[1];

  // A missing volume is named and ends the listing with status 1.
  fs::rename(dir / "s.003", dir / "away");
  const Result cut = RunCli(dir, {"list", dir / "s.bkp"});
  EXPECT_EQ(cut.Status, 1);
  EXPECT_TRUE(Contains(cut.Err, "volume 3 of the archive is missing: " + dir / "s.003")) << cut.Err;

  // Standard input is a pipe that cannot seek; one volume lists whole, a
  // split one stops where the pipe ends.
  const std::string one = ArchiveBuilder()
                              .Header()
                              .File("/p/one", kStamp, test::RandomBytes(50000, 2))
                              .File("/p/two", kStamp, "2")
                              .End()
                              .Bytes();
  const Result piped = RunCli(dir, {"list", "-"}, &one);
  EXPECT_EQ(piped.Status, 0) << piped.Err;
  EXPECT_EQ(piped.Out, "/p/one\n/p/two\n");
  const std::string first = test::ReadFile(dir / "s.bkp");
  const Result split = RunCli(dir, {"list", "-"}, &first);
  EXPECT_EQ(split.Status, 1);
  EXPECT_TRUE(Contains(split.Err, "Cannot read archive")) << split.Err;
}

}  // namespace
}  // namespace kelmora
