// SPDX-License-Identifier: GPL-3.0-or-later
//
// The engine object's own small behaviour: defaults, the backup mode and
// its archive flag, the compression rate and error reporting.
#include "kelmora/backup_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelmora {
namespace {

TEST(BackupFileDefaults, NewInstanceHoldsZeroValues) {
  TBackupFile engine;
  EXPECT_EQ(engine.GetVersion(), "5.00");
  EXPECT_EQ(engine.BackupTitle, "");
  EXPECT_EQ(engine.GetBackupMode(), bmAll);
  EXPECT_EQ(engine.CompressionLevel, clFastest);
  EXPECT_EQ(engine.RestoreMode, rmAll);
  EXPECT_EQ(engine.MaxSize, 0);
  EXPECT_FALSE(engine.SetArchiveFlag);
  EXPECT_FALSE(engine.RestoreFullPath);
  EXPECT_FALSE(engine.SaveFileID);
  EXPECT_FALSE(engine.OnProgress);
  EXPECT_FALSE(engine.OnNeedDisk);
  EXPECT_FALSE(engine.OnRestoreFile);
  EXPECT_FALSE(engine.OnFileRestored);
  EXPECT_FALSE(engine.OnError);
  EXPECT_FALSE(engine.Busy());
  EXPECT_EQ(engine.FileCount(), 0);
  EXPECT_EQ(engine.TotalSize(), 0);
  EXPECT_EQ(engine.FilesDone(), 0);
  EXPECT_EQ(engine.BytesDone(), 0);
  EXPECT_EQ(engine.ArchiveBytes(), 0);
  EXPECT_EQ(engine.CurrentFile(), "");
  EXPECT_EQ(engine.ErrorCode(), 0);
  EXPECT_EQ(engine.SourceStream(), nullptr);
  EXPECT_EQ(engine.TargetStream(), nullptr);
  EXPECT_EQ(engine.CompressionRate(), 0);
}

TEST(BackupFileDefaults, EnumerationOrdinalsAreFixed) {
  // Settings files store these ordinals; clNone sits between the levels.
  EXPECT_EQ(static_cast<int>(clFastest), 0);
  EXPECT_EQ(static_cast<int>(clNone), 1);
  EXPECT_EQ(static_cast<int>(clDefault), 2);
  EXPECT_EQ(static_cast<int>(clMax), 3);
  EXPECT_EQ(static_cast<int>(rmExistingNewer), 4);
  EXPECT_EQ(static_cast<int>(bmIncremental), 1);
}

TEST(BackupFileDefaults, VersionIgnoresAssignment) {
  TBackupFile engine;
  engine.SetVersion("9.99");
  EXPECT_EQ(engine.GetVersion(), "5.00");
}

TEST(BackupFileMode, IncrementalTurnsArchiveFlagOn) {
  TBackupFile engine;
  engine.SetBackupMode(bmIncremental);
  EXPECT_EQ(engine.GetBackupMode(), bmIncremental);
  EXPECT_TRUE(engine.SetArchiveFlag);
}

TEST(BackupFileMode, SameModeAgainLeavesFlagAlone) {
  TBackupFile engine;
  engine.SetBackupMode(bmIncremental);
  engine.SetArchiveFlag = false;
  engine.SetBackupMode(bmIncremental);  // no change of mode, no change of flag
  EXPECT_FALSE(engine.SetArchiveFlag);
  EXPECT_EQ(engine.GetBackupMode(), bmIncremental);
}

TEST(BackupFileMode, ReturningToAllKeepsFlag) {
  TBackupFile engine;
  engine.SetBackupMode(bmIncremental);
  engine.SetBackupMode(bmAll);
  EXPECT_EQ(engine.GetBackupMode(), bmAll);
  EXPECT_TRUE(engine.SetArchiveFlag);

  TBackupFile other;
  other.SetBackupMode(bmAll);  // unchanged: the flag stays off
  EXPECT_FALSE(other.SetArchiveFlag);
}

TEST(BackupFileMode, StopWhileIdleChangesNothingVisible) {
  TBackupFile engine;
  engine.Stop();
  EXPECT_FALSE(engine.Busy());
  EXPECT_EQ(engine.ErrorCode(), 0);
}

TEST(CompressionRate, ZeroTotalGivesZero) {
  EXPECT_EQ(CompressionRateOf(0, 0), 0);
  EXPECT_EQ(CompressionRateOf(1000, 0), 0);
}

TEST(CompressionRate, TruncatesTowardZero) {
  EXPECT_EQ(CompressionRateOf(25, 100), 75);
  EXPECT_EQ(CompressionRateOf(1, 3), 67);  // 100 - 33
  EXPECT_EQ(CompressionRateOf(100, 100), 0);
}

TEST(CompressionRate, GrowthGivesNegativeRate) {
  // One byte stored: signature 4 + chunk length 4 + payload 1 = 9 bytes.
  EXPECT_EQ(CompressionRateOf(9, 1), -800);
  EXPECT_EQ(CompressionRateOf(150, 100), -50);
  EXPECT_EQ(CompressionRateOf(101, 100), -1);
}

TEST(CompressionRate, ProductDoesNotOverflow32Bits) {
  // 30,000,000 * 100 overflows an int32 product.
  EXPECT_EQ(CompressionRateOf(30000000, 60000000), 50);
  EXPECT_EQ(CompressionRateOf(2000000000, 2000000000), 0);
  EXPECT_EQ(CompressionRateOf(int64_t{5} << 32, int64_t{10} << 32), 50);
}

TEST(PercentOf, ClampsAndHandlesZeroTotal) {
  EXPECT_EQ(PercentOf(0, 0), 0);
  EXPECT_EQ(PercentOf(5, 0), 100);
  EXPECT_EQ(PercentOf(0, 100), 0);
  EXPECT_EQ(PercentOf(-5, 100), 0);
  EXPECT_EQ(PercentOf(50, 100), 50);
  EXPECT_EQ(PercentOf(99, 100), 99);
  EXPECT_EQ(PercentOf(100, 100), 100);
  EXPECT_EQ(PercentOf(250, 100), 100);  // a capped header total
  EXPECT_EQ(PercentOf(int64_t{3} << 40, int64_t{4} << 40), 75);
}

// ---- MessageError

struct ErrorCase {
  int32_t code;
  const char* text;
};

const std::vector<ErrorCase>& ErrorCases() {
  static const std::vector<ErrorCase> cases = {
      {1, "Cannot read file"},
      {2, "Overwriting file failed"},
      {3, "Cannot read archive"},
      {4, "Cannot write to archive"},
      {5, "Invalid archive type"},
      {6, "Compression error"},
      {7, "Cannot create temporary file to save the file IDs"},
      {8, "File changed while it was read"},
      {9, "Files that could not be read were left out"},
      {10, "No file selected in folder"},
      {0, ""},
      {11, ""},
      {-1, ""},
  };
  return cases;
}

TEST(MessageError, OnErrorReceivesCodeAndText) {
  for (const ErrorCase& c : ErrorCases()) {
    TBackupFile engine;
    int calls = 0;
    bool shown = false;
    engine.Hooks.ShowError = [&](const std::string&, const std::string&) { shown = true; };
    engine.OnError = [&](TBackupFile& sender, int32_t code, const std::string& text) {
      ++calls;
      EXPECT_EQ(&sender, &engine);
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(text, c.text) << "code " << c.code;
    };
    testing::internal::CaptureStderr();
    engine.MessageError(c.code);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 1) << "code " << c.code;
    EXPECT_FALSE(shown) << "the box must not show when OnError is set, code " << c.code;
    EXPECT_EQ(err, "") << "code " << c.code;
  }
}

TEST(MessageError, WithoutOnErrorTheHookShowsTheBox) {
  for (const ErrorCase& c : ErrorCases()) {
    TBackupFile engine;
    std::vector<std::pair<std::string, std::string>> boxes;
    engine.Hooks.ShowError = [&](const std::string& caption, const std::string& text) {
      boxes.emplace_back(caption, text);
    };
    testing::internal::CaptureStderr();
    engine.MessageError(c.code);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "code " << c.code;
    ASSERT_EQ(boxes.size(), 1u) << "code " << c.code;
    EXPECT_EQ(boxes[0].first, "Error");
    EXPECT_EQ(boxes[0].second, c.text) << "code " << c.code;
  }
}

// The engine never prints: unhooked, a failure is only recorded, for the
// front end to show.
TEST(MessageError, WithoutAnyHandlerNothingIsPrinted) {
  for (const ErrorCase& c : ErrorCases()) {
    TBackupFile engine;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    engine.MessageError(c.code);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "code " << c.code;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "code " << c.code;
  }
}

TEST(MessageError, DescriptionLeavesOutWhatIsNotKnown) {
  EXPECT_EQ(DescribeFailure({beCannotWriteArchive, "/b/x.bkp", "No space left on device"}),
            "Cannot write to archive: /b/x.bkp: No space left on device");
  EXPECT_EQ(DescribeFailure({beCannotReadFile, "/s/a.txt", ""}), "Cannot read file: /s/a.txt");
  EXPECT_EQ(DescribeFailure({beCompression, "", ""}), "Compression error");
}

TEST(MessageError, TableIsTheOnlySource) {
  for (const ErrorCase& c : ErrorCases()) EXPECT_STREQ(ErrorMessage(c.code), c.text);
  EXPECT_STREQ(ErrorMessage(INT32_MIN), "");
  EXPECT_STREQ(ErrorMessage(INT32_MAX), "");
}

}  // namespace
}  // namespace kelmora
