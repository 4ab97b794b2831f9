// A restore's decisions apart from its folders: the mode against what stands
// there, the claims that keep two stored names off one target, and the
// target's name held by the open target, whatever a handler does to the
// name it is shown.
#include "engine/restore_decisions.h"

#include <gtest/gtest.h>

#include <filesystem>
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

TEST(RestoreDecisions, ModeAgainstWhatStandsThere) {
  const int32_t stored = Stamp(2020, 6, 15, 12, 0, 0);
  const platform::PathInfo missing;
  const platform::PathInfo older{platform::PathKind::File, Stamp(2019, 1, 1, 0, 0, 0), 0};
  const platform::PathInfo same{platform::PathKind::File, stored, 0};
  const platform::PathInfo newer{platform::PathKind::File, Stamp(2021, 1, 1, 0, 0, 0), 0};
  const platform::PathInfo undated{platform::PathKind::File, -1, 0};
  const platform::PathInfo folder{platform::PathKind::Directory, -1, 0};
  struct Case {
    TRestoreMode Mode;
    // missing, older, same, newer, undated, folder
    bool Writes[6];
  };
  const Case cases[] = {
      {rmAll, {true, true, true, true, true, true}},
      {rmNoOverwrite, {true, false, false, false, false, true}},
      {rmNewer, {true, true, false, false, true, true}},
      {rmExisting, {false, true, true, true, true, false}},
      {rmExistingNewer, {false, true, false, false, true, false}},
  };
  for (const Case& c : cases) {
    int i = 0;
    for (const platform::PathInfo* there : {&missing, &older, &same, &newer, &undated, &folder}) {
      EXPECT_EQ(restore::ModeWrites(c.Mode, stored, *there), c.Writes[i])
          << "mode " << int(c.Mode) << ", case " << i;
      ++i;
    }
  }
  // A stored file without a date is never the newer one.
  EXPECT_FALSE(restore::ModeWrites(rmNewer, -1, older));
  EXPECT_TRUE(restore::ModeWrites(rmNewer, -1, missing));
}

TEST(RestoreDecisions, ClaimsKeepStoredNamesApartAndSeeQueuedFolders) {
  restore::TargetClaims claims;
  claims.Claim("/o/d", "/s/d");
  // The same stored name again is the same file backed up twice.
  EXPECT_EQ(claims.Clash("/o/d", "/s/d"), nullptr);
  const std::string* earlier = claims.Clash("/o/d", "/t/d");
  ASSERT_NE(earlier, nullptr);
  EXPECT_EQ(*earlier, "/s/d");
  EXPECT_EQ(claims.Clash("/o/e", "/t/e"), nullptr);

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
  ASSERT_NE(earlier, nullptr);
  EXPECT_EQ(*earlier, "/s/k");
}

}  // namespace
}  // namespace kelmora
