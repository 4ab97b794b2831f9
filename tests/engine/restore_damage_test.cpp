// Damaged archives: each failure ends the run the documented way and
// leaves the files restored before it intact.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/backup_file.h"
#include "engine/restore_builder.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Deflate;

const int32_t kStored = test::Stamp(2018, 8, 8, 8, 8, 8);

// A sound first file, then whatever Damage appends.
std::string WithSoundFirstFile(const std::string& Damage) {
  return ArchiveBuilder().Header().File("/first.txt", kStored, "intact").Raw(Damage).Bytes();
}

struct RunResult {
  bool result = false;
  bool threw = false;
  std::string what;
  std::vector<int32_t> errors;
  int finalProgress = 0;
};

RunResult RestoreFile(const std::string& Archive, const std::string& Folder) {
  TBackupFile engine;
  RunResult r;
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
    r.errors.push_back(Code);
  };
  engine.OnProgress = [&](TBackupFile&, const std::string& Name, TPercentage P, bool&) {
    if (Name.empty() && P == 100) ++r.finalProgress;
  };
  try {
    r.result = engine.Restore(Archive, Folder);
  } catch (const Exception& e) {
    r.threw = true;
    r.what = e.what();
  }
  EXPECT_FALSE(engine.Busy());
  return r;
}

TEST(RestoreDamage, DamageInsideAFileBeingWrittenIsCodeOne) {
  const std::string cases[] = {
      // a wrong signature
      ArchiveBuilder().Name("/second.txt").Int(kStored).Raw("EC3").Int(0).Bytes(),
      // a chunk length beyond 16384
      ArchiveBuilder().Name("/second.txt").Int(kStored).Signature().Int(16385).Bytes(),
      // the archive ends inside a chunk
      ArchiveBuilder().Name("/second.txt").Int(kStored).Signature().Int(-500).Raw("abc").Bytes(),
      // the archive ends before the terminator
      ArchiveBuilder().Name("/second.txt").Int(kStored).Signature().StoredChunk("abc").Bytes(),
  };
  for (const std::string& damage : cases) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", WithSoundFirstFile(damage));
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_FALSE(r.result);
    EXPECT_FALSE(r.threw) << r.what;
    EXPECT_EQ(r.errors, std::vector<int32_t>{1});
    EXPECT_EQ(r.finalProgress, 1);
    EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact");
    EXPECT_EQ(platform::FileTimeOfPath(out / "first.txt"), kStored);
    EXPECT_FALSE(fs::exists(out / "second.txt")) << "a broken file is not put in place";
    EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 1);
  }
}

TEST(RestoreDamage, InflateFailureIsCodeSixAndPutsNoPartInPlace) {
  std::string bad = Deflate(test::TextBytes(3000));
  bad.back() ^= 1;
  const std::string tooLong = Deflate(std::string(16385, 'x'));
  for (const std::string& payload : {bad, tooLong}) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", WithSoundFirstFile(ArchiveBuilder()
                                                          .Name("/second.txt")
                                                          .Int(kStored)
                                                          .Signature()
                                                          .StoredChunk("kept ")
                                                          .DeflatedChunk(payload)
                                                          .Int(0)
                                                          .File("/third.txt", kStored, "never")
                                                          .End()
                                                          .Bytes()));
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.errors, std::vector<int32_t>{6});
    EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact");
    EXPECT_FALSE(fs::exists(out / "second.txt"));
    EXPECT_FALSE(fs::exists(out / "third.txt"));
  }
}

TEST(RestoreDamage, DamageOutsideAWrittenFilePassesOutAsAnException) {
  struct Case {
    const char* what;
    std::string damage;
    std::string message;
  };
  const Case cases[] = {
      {"archive ends inside a name", ArchiveBuilder().Int(20).Raw("/sec").Bytes(),
       "Stream read error"},
      {"archive ends before its end marker", "", "Stream read error"},
      {"archive ends inside a time stamp", ArchiveBuilder().Name("/s").Raw("\1").Bytes(),
       "Stream read error"},
      {"absurd name length", ArchiveBuilder().Int(0x7FFFFFFF).Bytes(), "Invalid archive type"},
      {"wrong signature of the file-ID list",
       ArchiveBuilder().Name("FILE:LIST").Int(0).Raw("XXXX").Int(0).Bytes(),
       "Invalid archive type"},
  };
  for (const Case& c : cases) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", WithSoundFirstFile(c.damage));
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_TRUE(r.threw) << c.what;
    EXPECT_EQ(r.what, c.message) << c.what;
    EXPECT_TRUE(r.errors.empty()) << c.what;
    EXPECT_EQ(r.finalProgress, 0) << c.what;
    EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact") << c.what;

    TBackupFile engine;
    TMemoryStream stream = test::StreamOf(WithSoundFirstFile(c.damage));
    EXPECT_FALSE(engine.RestoreFromStream(&stream, out.path())) << c.what;
  }
}

TEST(RestoreDamage, NegativeNameLengthsArePassedOver) {
  test::TempDir src, out;
  test::WriteFile(
      src / "a.bkp",
      WithSoundFirstFile(
          ArchiveBuilder().Int(-7).Int(-1).File("/second.txt", kStored, "2").End().Bytes()));
  const RunResult r = RestoreFile(src / "a.bkp", out.path());
  EXPECT_TRUE(r.result);
  EXPECT_EQ(test::ReadFile(out / "second.txt"), "2");
}

TEST(RestoreDamage, ContinuationVolumeThatIsDamagedPassesOutAndLeavesNoPart) {
  test::TempDir src, out;
  ArchiveBuilder().Header().File("/s.bin", kStored, "part one").VolumeChange(2).Save(src / "v.bkp");
  test::WriteFile(src / "v.002", "garbage");
  TBackupFile engine;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  EXPECT_THROW(engine.Restore(src / "v.bkp", out.path()), Exception);
  EXPECT_FALSE(engine.Busy());
  EXPECT_TRUE(fs::is_empty(out.path()));
}

}  // namespace
}  // namespace kelmora
