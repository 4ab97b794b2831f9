// SPDX-License-Identifier: GPL-3.0-or-later
//
// The archive attribute, emulated with an extended attribute on Linux and
// the file system's own on Windows: set until a backup clears it, set
// again once the file changes, and clearing never touches the file itself.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

namespace fs = std::filesystem;

struct FileState {
  fs::file_time_type Modified;
  uintmax_t Size;
};

class ArchiveAttribute : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "file.txt";
    WriteFile(path_, "first contents");
    if (!test::ArchiveAttributeWorks(path_))
      GTEST_SKIP() << "the temporary folder's file system keeps no archive attribute";
  }
  FileState Stat() const { return FileState{fs::last_write_time(path_), fs::file_size(path_)}; }
  // Sets the modification time alone, as a touch would.
  void SetModified(std::chrono::seconds SinceEpoch) const {
    fs::last_write_time(path_,
                        std::chrono::file_clock::from_sys(std::chrono::sys_seconds(SinceEpoch)));
  }
  TempDir dir_;
  std::string path_;
};

TEST_F(ArchiveAttribute, NewFileHasItSet) {
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, ClearingKeepsContentsAndTimes) {
  const FileState before = Stat();
  ClearArchiveAttribute(path_);
  EXPECT_FALSE(HasArchiveAttribute(path_));
  const FileState after = Stat();
  EXPECT_EQ(after.Modified, before.Modified);
  EXPECT_EQ(after.Size, before.Size);
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
  KELMORA_POSIX_ONLY("Windows sets the attribute when a file is written, not when its time is");
  ClearArchiveAttribute(path_);
  SetModified(std::chrono::seconds(1600000000));
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, SameSizeRewriteSetsItAgain) {
  SetModified(std::chrono::seconds(1500000000));
  ClearArchiveAttribute(path_);
  WriteFile(path_, "FIRST CONTENTS");  // same size, new modification time
  EXPECT_TRUE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, ForeignRecordCountsAsSet) {
  KELMORA_POSIX_ONLY("the attribute is the file system's own, with no record to spoil");
#ifndef _WIN32
  const std::string junk = "not a record";
  ASSERT_EQ(::setxattr(path_.c_str(), "user.kelmora.archived", junk.data(), junk.size(), 0), 0);
  EXPECT_TRUE(HasArchiveAttribute(path_));
#endif
}

TEST_F(ArchiveAttribute, ClearingTheStoredStateOfAChangedFileKeepsItSet) {
  // A backup clears the attribute for the state it stored; a file written
  // since, or whose time moved, must be taken by the next backup again.
  const FileState stored = Stat();
  const int64_t storedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::file_clock::to_sys(stored.Modified).time_since_epoch())
                               .count();
  ClearArchiveAttribute(path_, static_cast<int64_t>(stored.Size) + 1, storedNs);
  EXPECT_TRUE(HasArchiveAttribute(path_));
  ClearArchiveAttribute(path_, static_cast<int64_t>(stored.Size), storedNs + 1000);
  EXPECT_TRUE(HasArchiveAttribute(path_));
  ClearArchiveAttribute(path_, static_cast<int64_t>(stored.Size), storedNs);
  EXPECT_FALSE(HasArchiveAttribute(path_));
}

TEST_F(ArchiveAttribute, MissingFileCountsAsSetAndIsNotCreated) {
  const std::string missing = dir_ / "missing.txt";
  EXPECT_TRUE(HasArchiveAttribute(missing));
  ClearArchiveAttribute(missing);
  EXPECT_FALSE(FileExists(missing));
}

}  // namespace
}  // namespace kelmora::platform
