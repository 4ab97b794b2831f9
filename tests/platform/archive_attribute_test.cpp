// The archive attribute emulated with an extended attribute: set until a
// backup clears it, set again once the file changes, and clearing never
// touches the file itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

bool UserAttributesWork(const std::string& path) {
  return ::setxattr(path.c_str(), "user.kelmora.probe", "1", 1, 0) == 0 &&
         ::removexattr(path.c_str(), "user.kelmora.probe") == 0;
}

class ArchiveAttribute : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "file.txt";
    WriteFile(path_, "first contents");
    if (!UserAttributesWork(path_))
      GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  struct stat Stat() const {
    struct stat st {};
    EXPECT_EQ(::stat(path_.c_str(), &st), 0);
    return st;
  }
  TempDir dir_;
  std::string path_;
};

TEST_F(ArchiveAttribute, NewFileHasItSet) {
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, ClearingKeepsContentsAndTimes) {
  const struct stat before = Stat();
  ClearArchiveAttribute(path_);
  EXPECT_FALSE(HasArchiveAttribute(path_));
  const struct stat after = Stat();
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(ReadFile(path_), "first contents");
  EXPECT_FALSE(HasArchiveAttribute(path_));  // reading it changes nothing
}

TEST_F(ArchiveAttribute, ChangedContentsSetItAgain) {
  ClearArchiveAttribute(path_);
  ASSERT_FALSE(HasArchiveAttribute(path_));
  WriteFile(path_, "other contents, longer");
  EXPECT_TRUE(HasArchiveAttribute(path_));
  ClearArchiveAttribute(path_);
  EXPECT_FALSE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, NewTimeAloneSetsItAgain) {
  ClearArchiveAttribute(path_);
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 123}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, SameSizeRewriteSetsItAgain) {
  const struct timespec old[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), old, 0), 0);
  ClearArchiveAttribute(path_);
  WriteFile(path_, "FIRST CONTENTS");  // same size, new modification time
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, ForeignRecordCountsAsSet) {
  const std::string junk = "not a record";
  ASSERT_EQ(::setxattr(path_.c_str(), "user.kelmora.archived", junk.data(), junk.size(), 0), 0);
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, MissingFileCountsAsSetAndIsNotCreated) {
  const std::string missing = dir_ / "missing.txt";
  EXPECT_TRUE(HasArchiveAttribute(missing));
  ClearArchiveAttribute(missing);
  EXPECT_FALSE(FileExists(missing));
}

}  // namespace
}  // namespace kelmora::platform
