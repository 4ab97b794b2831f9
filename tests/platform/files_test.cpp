// SPDX-License-Identifier: GPL-3.0-or-later
//
// Paths, folders, temporary files and packed last-write times.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::TempDir;
using test::WriteFile;

std::string CurrentDirectory() {
  return std::filesystem::current_path().string();
}

// Restores an environment variable when the test ends.
class SavedEnv {
 public:
  explicit SavedEnv(const char* name) : name_(name) {
    const char* v = std::getenv(name);
    had_ = v != nullptr;
    if (had_) value_ = v;
  }
  ~SavedEnv() {
    if (had_)
      test::SetEnvironment(name_, value_);
    else
      test::UnsetEnvironment(name_);
#ifndef _WIN32
    ::tzset();
#endif
  }

 private:
  const char* name_;
  bool had_;
  std::string value_;
};

TEST(FullPath, ResolvesAgainstTheCurrentDirectory) {
  KELMORA_POSIX_ONLY("paths rooted at \"/\" (FullPathOnWindows has drives)");
  const std::string cwd = CurrentDirectory();
  ASSERT_FALSE(cwd.empty());
  EXPECT_EQ(FullPath("a/b.txt"), cwd + "/a/b.txt");
  EXPECT_EQ(FullPath("./a.txt"), cwd + "/a.txt");
  EXPECT_EQ(FullPath("."), cwd);
  EXPECT_EQ(FullPath(""), cwd);
  EXPECT_EQ(FullPath("x/.."), cwd);
}

TEST(FullPath, RemovesDotComponentsLexically) {
  KELMORA_POSIX_ONLY("paths rooted at \"/\" (FullPathOnWindows has drives)");
  EXPECT_EQ(FullPath("/a/./b/../c.txt"), "/a/c.txt");
  EXPECT_EQ(FullPath("/a//b///c"), "/a/b/c");
  EXPECT_EQ(FullPath("/a/b/"), "/a/b");
  EXPECT_EQ(FullPath("/.."), "/");
  EXPECT_EQ(FullPath("/../../x"), "/x");
  EXPECT_EQ(FullPath("/"), "/");
  EXPECT_EQ(FullPath("/a/b/../../.."), "/");
  EXPECT_EQ(FullPath("/a/...b/c"), "/a/...b/c");  // not a dot component
  EXPECT_EQ(FullPath("/a/*.txt"), "/a/*.txt");
}

#ifdef _WIN32
TEST(FullPath, FullPathOnWindows) {
  const std::string cwd = CurrentDirectory();
  EXPECT_EQ(FullPath("a/b.txt"), cwd + "\\a\\b.txt");
  EXPECT_EQ(FullPath(""), cwd);
  EXPECT_EQ(FullPath("c:/a/./b/../c.txt"), "c:\\a\\c.txt");
  EXPECT_EQ(FullPath("C:\\a\\..\\..\\x"), "C:\\x");
  EXPECT_EQ(FullPath("c:\\a\\*.txt"), "c:\\a\\*.txt");
}
#endif

TEST(Files, ExistenceOfFilesAndFolders) {
  TempDir dir;
  WriteFile(dir / "f", "x");
  if (!test::kOnWindows) {
    test::MakeSymlink("f", dir / "link");
    test::MakeSymlink("none", dir / "dangling");
    EXPECT_TRUE(FileExists(dir / "link"));
    EXPECT_FALSE(FileExists(dir / "dangling"));
  }
  EXPECT_TRUE(FileExists(dir / "f"));
  EXPECT_FALSE(FileExists(dir.path()));
  EXPECT_FALSE(FileExists(dir / "none"));
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_FALSE(DirectoryExists(dir / "f"));
  EXPECT_FALSE(DirectoryExists(""));
  EXPECT_TRUE(DeleteFile(dir / "f"));
  EXPECT_FALSE(FileExists(dir / "f"));
  EXPECT_FALSE(DeleteFile(dir / "f"));
}

TEST(Files, ForceDirectoriesCreatesParents) {
  TempDir dir;
  EXPECT_TRUE(ForceDirectories(dir / "a/b/c"));
  EXPECT_TRUE(DirectoryExists(dir / "a/b/c"));
  EXPECT_TRUE(ForceDirectories(dir / "a/b/c"));  // already there
  EXPECT_TRUE(ForceDirectories(dir / "a/x/"));
  EXPECT_TRUE(DirectoryExists(dir / "a/x"));
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(ForceDirectories(dir / "file/sub"));
  EXPECT_FALSE(ForceDirectories(dir / "file"));
  EXPECT_FALSE(ForceDirectories(""));
}

TEST(TempFile, UniqueNameWithPrefixInTmpdir) {
  TempDir dir;
  SavedEnv saved("TMPDIR");
  test::SetEnvironment("TMPDIR", dir.path());
  const std::string first = CreateTempFile("FID");
  const std::string second = CreateTempFile("FID");
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind(dir.path() + test::kSeparator + "FID", 0), 0u) << first;
  EXPECT_TRUE(FileExists(first));
  EXPECT_EQ(test::ReadFile(first), "");

  test::SetEnvironment("TMPDIR", dir / "missing");
  EXPECT_EQ(CreateTempFile("FID"), "");
}

TEST(TempFile, WithoutTmpdirUsesTmp) {
  KELMORA_POSIX_ONLY("/tmp; Windows has a temporary folder of its own");
  SavedEnv saved("TMPDIR");
  test::UnsetEnvironment("TMPDIR");
  const std::string name = CreateTempFile("FID");
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.rfind("/tmp/FID", 0), 0u) << name;
  EXPECT_TRUE(DeleteFile(name));
}

// ---- packed time stamps, in a fixed time zone so that layouts are exact

class PackedTime : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    // A Windows process has the system's zone; Wine takes the host's.
    TIME_ZONE_INFORMATION zone;
    if (::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID || zone.Bias != 0 ||
        zone.DaylightDate.wMonth != 0)
      GTEST_SKIP() << "the system's time zone is not UTC (run Wine with TZ=UTC)";
#else
    ::setenv("TZ", "UTC", 1);
    ::tzset();
#endif
  }
  static std::time_t Utc(int y, int mo, int d, int h, int mi, int s) {
    return static_cast<std::time_t>(test::UtcSeconds(y, mo, d, h, mi, s));
  }
  static int32_t Fields(int y, int mo, int d, int h, int mi, int s) {
    return static_cast<int32_t>(static_cast<uint32_t>(y - 1980) << 25 |
                                static_cast<uint32_t>(mo) << 21 | static_cast<uint32_t>(d) << 16 |
                                static_cast<uint32_t>(h) << 11 | static_cast<uint32_t>(mi) << 5 |
                                static_cast<uint32_t>(s / 2));
  }
  SavedEnv savedTz_{"TZ"};
};

TEST_F(PackedTime, BitLayout) {
  EXPECT_EQ(PackTime(Utc(1980, 1, 1, 0, 0, 0)), 0x00210000);
  EXPECT_EQ(PackTime(Utc(2020, 2, 29, 23, 59, 58)), Fields(2020, 2, 29, 23, 59, 58));
  EXPECT_EQ(PackTime(Utc(2021, 6, 15, 13, 45, 31)), Fields(2021, 6, 15, 13, 45, 30));
  EXPECT_EQ(PackTime(Utc(2107, 12, 31, 23, 59, 59)), Fields(2107, 12, 31, 23, 59, 58));
}

TEST_F(PackedTime, OutsideTheRangeIsMinusOne) {
  EXPECT_EQ(PackTime(0), -1);
  EXPECT_EQ(PackTime(Utc(1979, 12, 31, 23, 59, 59)), -1);
  EXPECT_EQ(PackTime(Utc(2108, 1, 1, 0, 0, 0)), -1);
  EXPECT_EQ(PackTime(-1000000), -1);
}

TEST_F(PackedTime, RoundTripRoundsSecondsDown) {
  for (const std::time_t t : {Utc(1980, 1, 1, 0, 0, 0), Utc(1999, 12, 31, 23, 59, 59),
                              Utc(2024, 2, 29, 12, 0, 1), Utc(2043, 7, 4, 5, 6, 7)}) {
    std::time_t back = 0;
    ASSERT_TRUE(UnpackTime(PackTime(t), back)) << t;
    EXPECT_EQ(back, t - (t % 2)) << t;
  }
}

TEST_F(PackedTime, InvalidStampsAreRefused) {
  std::time_t t = 12345;
  EXPECT_FALSE(UnpackTime(Fields(2020, 0, 1, 0, 0, 0), t));   // month 0
  EXPECT_FALSE(UnpackTime(Fields(2020, 13, 1, 0, 0, 0), t));  // month 13
  EXPECT_FALSE(UnpackTime(Fields(2020, 1, 0, 0, 0, 0), t));   // day 0
  EXPECT_FALSE(UnpackTime(Fields(2021, 2, 29, 0, 0, 0), t));  // no leap year
  EXPECT_FALSE(UnpackTime(Fields(2020, 4, 31, 0, 0, 0), t));  // April has 30
  EXPECT_FALSE(UnpackTime(Fields(2020, 1, 1, 24, 0, 0), t));  // hour 24
  EXPECT_FALSE(UnpackTime(Fields(2020, 1, 1, 0, 60, 0), t));  // minute 60
  EXPECT_FALSE(UnpackTime(Fields(2020, 1, 1, 0, 0, 60), t));  // seconds 60
  EXPECT_EQ(t, 12345);
  EXPECT_TRUE(UnpackTime(Fields(2020, 2, 29, 0, 0, 0), t));
}

TEST_F(PackedTime, LocalTimeIsPacked) {
  KELMORA_POSIX_ONLY("a process choosing its own time zone");
#ifndef _WIN32
  ::setenv("TZ", "UTC-3", 1);  // POSIX sign: three hours east of UTC
  ::tzset();
#endif
  EXPECT_EQ(PackTime(Utc(2020, 5, 1, 22, 0, 0)), Fields(2020, 5, 2, 1, 0, 0));
  std::time_t back = 0;
  ASSERT_TRUE(UnpackTime(Fields(2020, 5, 2, 1, 0, 0), back));
  EXPECT_EQ(back, Utc(2020, 5, 1, 22, 0, 0));
}

// Stamps are unpacked without mktime; across daylight-saving changes the
// result must still be the moment whose local time the stamp holds.
TEST_F(PackedTime, UnpackAgreesWithMktimeAcrossDaylightSaving) {
  KELMORA_POSIX_ONLY("a process choosing its own time zone");
#ifndef _WIN32
  for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                           "LHST-10:30LHDT-11,M10.1.0,M4.1.0"}) {
    ::setenv("TZ", zone, 1);
    ::tzset();
    // Every 7 hours 13 minutes over three years hits both sides of every change.
    for (std::time_t t = Utc(2022, 1, 1, 0, 0, 0); t < Utc(2025, 1, 1, 0, 0, 0); t += 26000) {
      const int32_t stamp = PackTime(t);
      std::time_t back = 0;
      ASSERT_TRUE(UnpackTime(stamp, back)) << zone << " " << t;
      struct tm local {};
      ::localtime_r(&t, &local);
      local.tm_sec -= local.tm_sec % 2;
      local.tm_isdst = -1;
      const std::time_t expected = ::mktime(&local);
      EXPECT_EQ(PackTime(back), stamp) << zone << " " << t;
      // In the repeated hour of autumn the two may pick different moments
      // that both read as the same local time.
      EXPECT_TRUE(back == expected || PackTime(expected) == stamp) << zone << " " << t;
    }
  }
#endif
}

TEST_F(PackedTime, FileTimeRoundTripKeepsAccessTime) {
  TempDir dir;
  const std::string path = dir / "f.txt";
  WriteFile(path, "contents");
#ifndef _WIN32
  const struct timespec atime[2] = {{Utc(2001, 1, 1, 0, 0, 0), 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), atime, 0), 0);
#endif

  const int32_t stamp = Fields(2015, 6, 15, 10, 20, 30);
  ASSERT_TRUE(SetFileTimeOfPath(path, stamp));
  EXPECT_EQ(FileTimeOfPath(path), stamp);
  EXPECT_EQ(std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path)),
            std::chrono::sys_seconds(std::chrono::seconds(Utc(2015, 6, 15, 10, 20, 30))));
#ifndef _WIN32
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, Utc(2001, 1, 1, 0, 0, 0));
#endif
  EXPECT_EQ(test::ReadFile(path), "contents");

  EXPECT_FALSE(SetFileTimeOfPath(path, Fields(2015, 13, 1, 0, 0, 0)));
  EXPECT_FALSE(SetFileTimeOfPath(path, -1));
  EXPECT_EQ(FileTimeOfPath(path), stamp);  // a refused stamp changes nothing
}

TEST_F(PackedTime, OpenFileAgreesWithPaths) {
  TempDir dir;
  const std::string path = dir / "f.txt";
  WriteFile(path, "x");
  File file = File::Open(path, OpenMode::Write);
  ASSERT_TRUE(file.Valid());
  const int32_t stamp = Fields(1999, 12, 31, 23, 59, 58);
  EXPECT_TRUE(file.SetStamp(stamp));
  EXPECT_EQ(file.Stamp(), stamp);
  EXPECT_EQ(FileTimeOfPath(path), stamp);
  EXPECT_FALSE(file.SetStamp(-1));
  EXPECT_EQ(file.LastError(), EINVAL);
  EXPECT_EQ(FileTimeOfPath(path), stamp);
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(FileTimeOfPath(dir / "missing"), -1);
  EXPECT_FALSE(SetFileTimeOfPath(dir / "missing", stamp));
}

TEST_F(PackedTime, FileBefore1980HasNoStamp) {
  TempDir dir;
  const std::string path = dir / "old.txt";
  WriteFile(path, "x");
  test::SetModificationTime(path, Utc(1975, 3, 3, 0, 0, 0));
  EXPECT_EQ(FileTimeOfPath(path), -1);
}

}  // namespace
}  // namespace kelmora::platform
