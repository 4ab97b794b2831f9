// The open file behind every stream: what opens, what is refused and with
// which error number, and that failures keep the system's reason.
#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::TempDir;

TEST(PlatformFile, RefusalsCarryTheSystemsReason) {
  TempDir dir;
  test::WriteFile(dir / "f.txt", "x");
  ASSERT_EQ(::symlink((dir / "f.txt").c_str(), (dir / "link").c_str()), 0);
  const struct {
    std::string path;
    OpenMode mode;
    bool followLinks;
    int error;
  } cases[] = {
      {dir / "missing", OpenMode::Read, true, ENOENT},
      {dir / "missing", OpenMode::Write, true, ENOENT},
      {dir / "no/such/f", OpenMode::Create, true, ENOENT},
      {dir.path(), OpenMode::Read, true, EISDIR},
      {dir / "link", OpenMode::Read, false, ELOOP},
      {dir / "link", OpenMode::Create, false, ELOOP},
  };
  for (const auto& c : cases) {
    const File file = File::Open(c.path, c.mode, c.followLinks);
    EXPECT_FALSE(file.Valid()) << c.path;
    EXPECT_EQ(file.LastError(), c.error) << c.path;
  }
  EXPECT_TRUE(File::Open(dir / "link", OpenMode::Read).Valid());
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
  struct stat st;
  ASSERT_EQ(::stat((dir / "f.bin").c_str(), &st), 0);
  File again = File::Open(dir / "f.bin", OpenMode::Read);
  ASSERT_TRUE(again.State(state));
  EXPECT_EQ(state.Size, st.st_size);
  EXPECT_EQ(state.ModifiedSeconds, st.st_mtim.tv_sec);
  EXPECT_EQ(state.ModifiedNanoseconds, st.st_mtim.tv_nsec);
}

TEST(PlatformFile, AFullDeviceFailsWithItsReason) {
  File full = File::Open("/dev/full", OpenMode::Write);
  if (!full.Valid()) GTEST_SKIP() << "no /dev/full here";
  EXPECT_FALSE(full.CanSeek());
  EXPECT_FALSE(full.Write("x", 1));
  EXPECT_EQ(full.LastError(), ENOSPC);
}

TEST(PlatformFile, AFifoOpensWithoutAPartnerAndCannotSeek) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
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

}  // namespace
}  // namespace kelmora::platform
