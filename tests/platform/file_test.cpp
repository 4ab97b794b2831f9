// SPDX-License-Identifier: GPL-3.0-or-later
//
// The open file behind every stream: what opens, what is refused and with
// which error number, and that failures keep the system's reason.
#include "platform/file.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::TempDir;

TEST(PlatformFile, RefusalsCarryTheSystemsReason) {
  TempDir dir;
  test::WriteFile(dir / "f.txt", "x");
  struct Case {
    std::string path;
    OpenMode mode;
    bool followLinks;
    int error;
  };
  std::vector<Case> cases = {
      {dir / "missing", OpenMode::Read, true, ENOENT},
      {dir / "missing", OpenMode::Write, true, ENOENT},
      {dir / "no/such/f", OpenMode::Create, true, ENOENT},
      {dir.path(), OpenMode::Read, true, EISDIR},
  };
  // Only an administrator may make symbolic links on Windows.
  if (!test::kOnWindows) {
    test::MakeSymlink(dir / "f.txt", dir / "link");
    cases.push_back({dir / "link", OpenMode::Read, false, ELOOP});
    cases.push_back({dir / "link", OpenMode::Create, false, ELOOP});
    EXPECT_TRUE(File::Open(dir / "link", OpenMode::Read).Valid());
  }
  for (const auto& c : cases) {
    const File file = File::Open(c.path, c.mode, c.followLinks);
    EXPECT_FALSE(file.Valid()) << c.path;
    EXPECT_EQ(file.LastError(), c.error) << c.path;
  }
  EXPECT_EQ(ErrorText(ENOSPC), "No space left on device");
}

TEST(PlatformFile, WritesReadsSeeksAndResizes) {
  TempDir dir;
  File file = File::Open(dir / "f.bin", OpenMode::Create);
  ASSERT_TRUE(file.Valid());
  EXPECT_TRUE(file.CanSeek());
  ASSERT_TRUE(file.Write("0123456789", 10));
  EXPECT_EQ(file.Seek(2, SeekFrom::Begin), 2);
  char buf[16] = {};
  EXPECT_EQ(file.Read(buf, sizeof buf), 8);
  EXPECT_STREQ(buf, "23456789");
  EXPECT_EQ(file.Read(buf, sizeof buf), 0);  // the end
  EXPECT_EQ(file.Seek(-3, SeekFrom::End), 7);
  EXPECT_EQ(file.Seek(1, SeekFrom::Current), 8);

  // Growing leaves the offset where it was; ExtendTo moves it to the end.
  ASSERT_TRUE(file.Resize(4));
  FileState state;
  ASSERT_TRUE(file.State(state));
  EXPECT_EQ(state.Kind, FileKind::Regular);
  EXPECT_EQ(state.Size, 4);
  ASSERT_TRUE(file.ExtendTo(1 << 20));
  EXPECT_EQ(file.Seek(0, SeekFrom::Current), 1 << 20);
  ASSERT_TRUE(file.State(state));
  EXPECT_EQ(state.Size, 1 << 20);
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.Valid());
  const std::string bytes = test::ReadFile(dir / "f.bin");
  EXPECT_EQ(bytes.substr(0, 4), "0123");
  EXPECT_EQ(bytes.find_first_not_of('\0', 4), std::string::npos);

  // The size and time seen through the open file are the path's.
  File again = File::Open(dir / "f.bin", OpenMode::Read);
  ASSERT_TRUE(again.State(state));
  EXPECT_EQ(state.Size, static_cast<int64_t>(std::filesystem::file_size(dir / "f.bin")));
  const auto modified = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::file_clock::to_sys(std::filesystem::last_write_time(dir / "f.bin"))
          .time_since_epoch());
  // mingw's library reads whole seconds only.
  if (test::kOnWindows) {
    EXPECT_EQ(state.ModifiedSeconds, modified.count() / 1000000000);
  } else {
    EXPECT_EQ(state.ModifiedNs(), modified.count());
  }
}

TEST(PlatformFile, AFullDeviceFailsWithItsReason) {
  File full = File::Open("/dev/full", OpenMode::Write);
  if (!full.Valid()) GTEST_SKIP() << "no /dev/full here";
  EXPECT_FALSE(full.CanSeek());
  EXPECT_FALSE(full.Write("x", 1));
  EXPECT_EQ(full.LastError(), ENOSPC);
}

TEST(PlatformFile, AFifoOpensWithoutAPartnerAndCannotSeek) {
  KELMORA_POSIX_ONLY("FIFOs");
  TempDir dir;
  test::MakeFifo(dir / "fifo");
  // With no reader, opening to write fails at once instead of waiting.
  const File early = File::Open(dir / "fifo", OpenMode::Write);
  EXPECT_FALSE(early.Valid());
  EXPECT_EQ(early.LastError(), ENXIO);
  // Opening to read does not wait for a writer.
  const File reader = File::Open(dir / "fifo", OpenMode::Read);
  ASSERT_TRUE(reader.Valid());
  EXPECT_FALSE(reader.CanSeek());
  const File writer = File::Open(dir / "fifo", OpenMode::Write);
  EXPECT_TRUE(writer.Valid());
}

#ifdef _WIN32
TEST(PlatformFile, AnAdoptedHandleIsClosedOnlyWhenOwned) {
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  {
    File borrowed = File::Adopt(reinterpret_cast<NativeHandle>(readEnd), false);
    EXPECT_FALSE(borrowed.CanSeek());
    File owned = File::Adopt(reinterpret_cast<NativeHandle>(writeEnd), true);
    File moved = std::move(owned);
    EXPECT_FALSE(owned.Valid());
    EXPECT_TRUE(moved.Write("hi", 2));
  }
  DWORD flags = 0;
  EXPECT_TRUE(::GetHandleInformation(readEnd, &flags));
  EXPECT_FALSE(::GetHandleInformation(writeEnd, &flags));
  char buf[3] = {};
  DWORD n = 0;
  EXPECT_TRUE(::ReadFile(readEnd, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 2u);
  // The writer is gone: the pipe's end reads as the end, not a failure.
  File reader = File::Adopt(reinterpret_cast<NativeHandle>(readEnd), true);
  EXPECT_EQ(reader.Read(buf, sizeof buf), 0);
}
#else
TEST(PlatformFile, AnAdoptedHandleIsClosedOnlyWhenOwned) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    File borrowed = File::Adopt(fds[0], false);
    EXPECT_FALSE(borrowed.CanSeek());
    File owned = File::Adopt(fds[1], true);
    File moved = std::move(owned);
    EXPECT_FALSE(owned.Valid());
    EXPECT_TRUE(moved.Write("hi", 2));
  }
  EXPECT_NE(::fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(::fcntl(fds[1], F_GETFD), -1);
  char buf[3] = {};
  EXPECT_EQ(::read(fds[0], buf, sizeof buf), 2);
  ::close(fds[0]);
}
#endif

}  // namespace
}  // namespace kelmora::platform
