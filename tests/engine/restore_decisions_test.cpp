// SPDX-License-Identifier: GPL-3.0-or-later
//
// A restore's decisions apart from its folders: the claims that keep two
// stored names off one target and tell when a queued file may be in the
// way, and the target's name held by the open target, whatever a handler
// does to the name it is shown.
#include "engine/restore_decisions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Stamp;

// OnFileRestored may rewrite the name it is handed. Each file still lands
// under its own name, nothing appears under the rewritten one, and a file
// that cannot be put in place (a folder was made at its name meanwhile) is
// reported under its own name too.
TEST(RestoreTarget, AHandlerRewritingTheNameMovesNoFile) {
  test::TempDir dir;
  const int32_t stored = Stamp(2020, 6, 15, 12, 0, 0);
  const std::string archive = ArchiveBuilder()
                                  .Header()
                                  .File("/a", stored, test::RandomBytes(30000, 1))
                                  .File("/b", stored, "bee")
                                  .File("/c", stored, "sea")
                                  .End()
                                  .Bytes();
  TBackupFile engine;
  std::vector<std::string> shown;
  std::vector<std::string> refused;
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  engine.OnFileRestored = [&](TBackupFile&, std::string& Name, std::unique_ptr<TFileStream>&) {
    shown.push_back(Name);
    if (Name == dir / "out/b") fs::create_directory(dir / "out/b");
    Name = dir / "elsewhere/x";
  };
  engine.OnFileRefused = [&](TBackupFile&, const TFailure& Refusal) {
    refused.push_back(Refusal.Subject);
  };
  TMemoryStream stream = test::StreamOf(archive);
  EXPECT_FALSE(engine.RestoreFromStream(&stream, dir / "out"));

  EXPECT_EQ(shown, (std::vector<std::string>{dir / "out/a", dir / "out/b", dir / "out/c"}));
  EXPECT_EQ(test::ReadFile(dir / "out/a"), test::RandomBytes(30000, 1));
  EXPECT_EQ(test::ReadFile(dir / "out/c"), "sea");
  EXPECT_TRUE(fs::is_directory(dir / "out/b"));
  EXPECT_TRUE(fs::is_empty(dir / "out/b"));
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
  EXPECT_EQ(engine.FilesDone(), 2);
  EXPECT_EQ(refused, std::vector<std::string>{dir / "out/b"});
  EXPECT_EQ(engine.Failure().Code, beCannotReadFile);
  EXPECT_EQ(engine.Failure().Subject, dir / "out/b");
  EXPECT_EQ(engine.CurrentFile(), dir / "out/b");
}

TEST(RestoreDecisions, ClaimsKeepStoredNamesApartAndSeeQueuedFolders) {
  restore::TargetClaims claims;
  claims.Claim("/o/d", "/s/d");
  // The same stored name again is the same file backed up twice.
  EXPECT_FALSE(claims.Clash("/o/d", "/s/d"));
  std::optional<std::string> earlier = claims.Clash("/o/d", "/t/d");
  ASSERT_TRUE(earlier);
  EXPECT_EQ(*earlier, "/s/d");
  EXPECT_FALSE(claims.Clash("/o/e", "/t/e"));

  // A file restored at /o/d stands where a folder of /o/d/x/y goes.
  EXPECT_TRUE(claims.MayMeet("/o/d"));
  EXPECT_TRUE(claims.MayMeet("/o/d/x/y"));
  EXPECT_FALSE(claims.MayMeet("/o/e/f"));
  EXPECT_FALSE(claims.MayMeet("/o/e/g"));
  claims.Claim("/o/e", "/s/e");
  EXPECT_TRUE(claims.MayMeet("/o/e"));

  // A kept copy moving on takes its claim with it.
  claims.ClaimComparable("/o/k.damaged", "/s/k");
  claims.Move("/o/k.damaged", "/o/k.damaged.1");
  EXPECT_FALSE(claims.Holds("/o/k.damaged"));
  EXPECT_TRUE(claims.Holds("/o/k.damaged.1"));
  earlier = claims.Clash("/o/k.damaged.1", "/s/other");
  ASSERT_TRUE(earlier);
  EXPECT_EQ(*earlier, "/s/k");
}

}  // namespace
}  // namespace kelmora
