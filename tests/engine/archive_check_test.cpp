// SPDX-License-Identifier: GPL-3.0-or-later
//
// What stands at an archive's name, told as a kind a front end can put in
// its own words, with the failure record the command line prints.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <string>

#include "engine/restore_builder.h"
#include "kelmora/helpers.h"
#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

TEST(CheckArchive, EachObstacleHasItsKindCodeAndNamedFile) {
  test::TempDir dir;
  fs::create_directory(dir / "folder.bkp");
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "pipe.bkp").c_str(), 0600), 0);
#endif
  test::WriteFile(dir / "empty.bkp", "");
  test::WriteFile(dir / "text.bkp", "Dear diary, today I made no backup at all.\n");
  test::WriteFile(dir / "plain", "x");
  struct Case {
    std::string name;
    TArchiveObstacle kind;
    TBackupError code;
  };
  for (const Case& c : {Case{"none.bkp", aoMissing, beCannotReadArchive},
                        Case{"plain/under.bkp", aoMissing, beCannotReadArchive},
                        Case{"folder.bkp", aoFolder, beCannotReadArchive},
#ifndef _WIN32
                        Case{"pipe.bkp", aoNotRegular, beCannotReadArchive},
#endif
                        Case{"empty.bkp", aoEmpty, beInvalidArchive},
                        Case{"text.bkp", aoForeign, beInvalidArchive}}) {
    const TArchiveCheck check = CheckArchive(dir / c.name);
    EXPECT_EQ(check.Obstacle, c.kind) << c.name;
    EXPECT_EQ(check.Failure.Code, c.code) << c.name;
    EXPECT_EQ(check.Failure.Subject, dir / c.name);
    EXPECT_FALSE(check.Failure.Reason.empty()) << c.name;
    EXPECT_EQ(CheckArchiveFile(dir / c.name).Code, c.code) << "the record alone, as before";
  }

  // An archive, and one whose header is damaged but whose entries can be
  // found, may be read; what is wrong further on is a run's to find.
  const std::string archive = test::ArchiveBuilder()
                                  .Header("t", 1, 1)
                                  .File("/a", test::Stamp(2023, 5, 6, 7, 8, 10), "a")
                                  .End()
                                  .Bytes();
  test::WriteFile(dir / "good.bkp", archive);
  std::string damaged = archive;
  damaged[0] = '\x7f';
  test::WriteFile(dir / "damaged.bkp", damaged);
  for (const char* name : {"good.bkp", "damaged.bkp"}) {
    const TArchiveCheck check = CheckArchive(dir / name);
    EXPECT_EQ(check.Obstacle, aoNone) << name;
    EXPECT_EQ(check.Failure.Code, beNone) << name;
  }
}

TEST(CheckArchive, AFileThatMayNotBeReadIsNoPermissionWithTheSystemsReason) {
  KELMORA_POSIX_ONLY("a file's mode that forbids reading it");
#ifndef _WIN32
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  test::TempDir dir;
  test::WriteFile(dir / "locked.bkp", "x");
  ::chmod((dir / "locked.bkp").c_str(), 0);
  const TArchiveCheck check = CheckArchive(dir / "locked.bkp");
  EXPECT_EQ(check.Obstacle, aoNoPermission);
  EXPECT_EQ(check.Failure.Reason, platform::ErrorText(EACCES));
#endif
}

}  // namespace
}  // namespace kelmora
