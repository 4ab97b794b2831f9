// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli test, backup --verify, restore --keep-damaged and list on
// sound, damaged and incomplete archives, run as a user would run them.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/cli_runner.h"
#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::RunCli;

// Three files backed up by the program itself; the middle one is text, so
// its first piece is a compressed chunk whose payload can be damaged.
struct Backed {
  test::TempDir dir;
  std::string archive = dir / "a.bkp";
  std::string middle = test::TextBytes(40000, 7);
  Backed() {
    test::WriteFile(dir / "src/one.txt", "first file");
    test::WriteFile(dir / "src/two.txt", middle);
    test::WriteFile(dir / "src/three.txt", "third file");
    const auto r = RunCli(dir, {"backup", "-q", "--verify", archive, dir / "src/one.txt",
                                dir / "src/two.txt", dir / "src/three.txt"});
    if (r.Status != 0) throw std::runtime_error("backup failed: " + r.Err);
  }
  // Offset of the first payload byte of two.txt's first chunk.
  size_t MiddlePayload() const {
    const std::string bytes = test::ReadFile(archive);
    const std::string name = dir / "src/two.txt";
    const size_t at = bytes.find(name);
    return at + name.size() + 4 + 4 + 4;
  }
  void DamageByte(size_t Offset) const {
    std::string bytes = test::ReadFile(archive);
    bytes[Offset] = static_cast<char>(bytes[Offset] ^ 0x5A);
    test::WriteFile(archive, bytes);
  }
};

TEST(TestCli, SoundArchivePassesWithASummary) {
  Backed b;
  // "-" reads the archive from standard input, as list and restore do.
  const std::string bytes = test::ReadFile(b.archive);
  for (const std::string& archive : {b.archive, std::string("-")}) {
    SCOPED_TRACE(archive);
    const auto r = RunCli(b.dir, {"test", archive}, &bytes);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_NE(r.Out.find("3 checked, 0 damaged"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("40,020 bytes of file data"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find("damaged:"), std::string::npos) << r.Out;
  }
}

TEST(TestCli, DamagedChunkNamesTheFileVolumeAndOffsetAndFails) {
  Backed b;
  const size_t payload = b.MiddlePayload();
  b.DamageByte(payload + 20);
  const auto r = RunCli(b.dir, {"test", b.archive});
  EXPECT_EQ(r.Status, 1);
  const std::string line = "damaged: " + (b.dir / "src/two.txt") + " (volume 1, offset " +
                           std::to_string(payload - 4) + ": ";
  EXPECT_NE(r.Out.find(line), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("3 checked, 1 damaged"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Err.find("Compression error"), std::string::npos) << r.Err;
  // Through standard input the same damage is found in the same place.
  const std::string damaged = test::ReadFile(b.archive);
  const auto piped = RunCli(b.dir, {"test", "-"}, &damaged);
  EXPECT_EQ(piped.Status, 1);
  EXPECT_NE(piped.Out.find(line), std::string::npos) << piped.Out;
  EXPECT_NE(piped.Out.find("3 checked, 1 damaged"), std::string::npos) << piped.Out;

  // The restore loses that file alone; kept on request with zeros in place
  // of the damaged piece.
  const auto restore = RunCli(b.dir, {"restore", "-q", "--flat", b.archive, b.dir / "out"});
  EXPECT_EQ(restore.Status, 1);
  EXPECT_NE(restore.Err.find(line), std::string::npos) << restore.Err;
  EXPECT_EQ(test::ReadFile(b.dir / "out/one.txt"), "first file");
  EXPECT_EQ(test::ReadFile(b.dir / "out/three.txt"), "third file");
  EXPECT_FALSE(fs::exists(b.dir / "out/two.txt"));
  EXPECT_FALSE(fs::exists(b.dir / "out/two.txt.damaged"));

  const auto kept =
      RunCli(b.dir, {"restore", "-q", "--flat", "--keep-damaged", b.archive, b.dir / "kept"});
  EXPECT_EQ(kept.Status, 1);
  EXPECT_FALSE(fs::exists(b.dir / "kept/two.txt"));
  const std::string copy = test::ReadFile(b.dir / "kept/two.txt.damaged");
  ASSERT_EQ(copy.size(), b.middle.size());
  EXPECT_EQ(copy.substr(0, 16384), std::string(16384, '\0'));
  EXPECT_EQ(copy.substr(16384), b.middle.substr(16384));
}

TEST(TestCli, BackupVerifyFailsOnDamageAndListAndTestSeeAnIncompleteArchive) {
  Backed b;
  // A backup stopped part way leaves no end marker; cut one by hand.
  std::string bytes = test::ReadFile(b.archive);
  bytes.resize(bytes.size() - 4);
  test::WriteFile(b.dir / "cut.bkp", bytes);
  const auto test = RunCli(b.dir, {"test", b.dir / "cut.bkp"});
  EXPECT_EQ(test.Status, 1);
  EXPECT_NE(test.Out.find("incomplete:"), std::string::npos) << test.Out;
  const auto list = RunCli(b.dir, {"list", b.dir / "cut.bkp"});
  EXPECT_EQ(list.Status, 1);
  EXPECT_NE(list.Err.find("incomplete"), std::string::npos) << list.Err;
  const auto sound = RunCli(b.dir, {"list", b.archive});
  EXPECT_EQ(sound.Status, 0);
  EXPECT_EQ(sound.Err.find("incomplete"), std::string::npos) << sound.Err;

  const auto usage = RunCli(b.dir, {"backup", "--verify", "-", b.dir / "src/one.txt"});
  EXPECT_EQ(usage.Status, 2);
  // A stream cut short is incomplete, as the file was.
  const auto piped = RunCli(b.dir, {"test", "-"}, &bytes);
  EXPECT_EQ(piped.Status, 1);
  EXPECT_NE(piped.Out.find("incomplete:"), std::string::npos) << piped.Out;
}

TEST(TestCli, MissingArchiveAndMissingVolumeFail) {
  test::TempDir dir;
  const auto missing = RunCli(dir, {"test", dir / "none.bkp"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_NE(missing.Err.find(dir / "none.bkp"), std::string::npos) << missing.Err;

  test::WriteFile(dir / "src/big.bin", test::RandomBytes(60000, 3));
  ASSERT_EQ(RunCli(dir, {"backup", "-q", "-v", "20k", dir / "v.bkp", dir / "src/big.bin"}).Status,
            0);
  ASSERT_TRUE(fs::exists(dir / "v.002"));
  fs::remove(dir / "v.002");
  const auto r = RunCli(dir, {"test", dir / "v.bkp"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Out.find("missing: volume 2"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("incomplete:"), std::string::npos) << r.Out;
}

}  // namespace
}  // namespace kelmora
