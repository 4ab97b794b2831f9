// SPDX-License-Identifier: GPL-3.0-or-later
//
// A failure is recorded where it happens: its code, the file or archive it
// concerns and the system's reason. The run goes on to later, healthy
// files, so whatever the run reached last must not stand in for the file
// that failed.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mount.h>
#endif

#include <cstring>
#include <filesystem>
#include <string>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

const int32_t kStored = test::Stamp(2021, 1, 1, 1, 1, 2);

struct RestoreCase {
  const char* what;
  std::string stored;    // the entry that fails; "/fine.txt" follows it
  std::string subject;   // relative to the restore folder, or the stored name
  std::string inReason;  // a part of the reason
};

TEST(FailureRecord, RestoreNamesTheEntryThatFailedNotTheLastOne) {
  const RestoreCase cases[] = {
      {"an entry that climbs out", "/../../escape.txt", "/../../escape.txt", "\"..\""},
      {"a folder that cannot be made", "/sub/a.txt", "sub/a.txt",
       test::kSeparator + std::string("sub: ") + std::strerror(ENOTDIR)},
      {"a folder in the file's place", "/taken.txt", "taken.txt", std::strerror(EISDIR)},
  };
  for (const RestoreCase& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir dir;
    test::WriteFile(dir / "sub", "in the way");
    fs::create_directories(dir / "taken.txt");
    TBackupFile engine;
    engine.RestoreFullPath = true;
    std::vector<std::string> boxes;
    engine.Hooks.ShowError = [&](const std::string&, const std::string& Text) {
      boxes.push_back(Text);
    };
    TMemoryStream archive = test::StreamOf(ArchiveBuilder()
                                               .Header()
                                               .File(c.stored, kStored, "x")
                                               .File("/fine.txt", kStored, "good")
                                               .End()
                                               .Bytes());
    EXPECT_FALSE(engine.RestoreFromStream(&archive, dir.path()));
    const TFailure failure = engine.Failure();
    EXPECT_EQ(failure.Code, beCannotReadFile);
    const std::string subject = c.subject[0] == '/' ? c.subject : dir / c.subject;
    EXPECT_EQ(failure.Subject, subject);
    EXPECT_NE(failure.Reason.find(c.inReason), std::string::npos) << failure.Reason;
    // The box the front end shows is printed from that record.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], DescribeFailure(failure));
    EXPECT_EQ(boxes[0].find("fine.txt"), std::string::npos) << boxes[0];
  }
}

// A volume after the first runs out of room: the record names that volume
// and the system's reason, not the archive's first volume and not a source.
TEST(FailureRecord, AFullDiskNamesTheVolumeBeingWritten) {
#ifdef _WIN32
  KELMORA_POSIX_ONLY("a small file system is mounted for it");
#else
  test::TempDir dir;
  fs::create_directories(dir / "disk");
  test::WriteFile(dir / "src.bin", test::RandomBytes(200000));
  if (::mount("tmpfs", (dir / "disk").c_str(), "tmpfs", 0, "size=128k") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  TBackupFile engine;
  engine.CompressionLevel = clNone;
  engine.MaxSize = 100000;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};  // every volume is at hand
  const bool done = engine.Backup({dir / "src.bin"}, dir / "disk/x.bkp");
  const TFailure failure = engine.Failure();
  ::umount2((dir / "disk").c_str(), MNT_DETACH);
  EXPECT_FALSE(done);
  EXPECT_EQ(failure.Code, beCannotWriteArchive);
  EXPECT_EQ(failure.Subject, dir / "disk/x.002");
  EXPECT_EQ(failure.Reason, std::strerror(ENOSPC));
#endif
}

}  // namespace
}  // namespace kelmora
