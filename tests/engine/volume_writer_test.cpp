// SPDX-License-Identifier: GPL-3.0-or-later
//
// The volume writer: the first volume kept open for the count and for an
// entry taken back into it, never reopened by a name that may lead
// elsewhere by then; the volumes removed unless handed on; a caller's
// stream written in place. And the archive target: a stream run takes its
// one volume from its target, not from the caller's limit.
#include "engine/volume_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/backup_run.h"
#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// A stream that writes and cannot seek back, as a pipe.
class PipeLike : public TMemoryStream {
 public:
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override {
    if (Origin == SeekOrigin::Current && Offset == 0) return Position();
    throw EStreamError(kStreamReadError);
  }
};

// The first volume's temporary name is made to lead to another file once a
// later volume is begun; the count and a rewind still reach the file the
// writer created, and the other file is left alone.
TEST(VolumeWriter, FirstVolumeIsReachedThroughItsOwnDescriptor) {
  KELMORA_POSIX_ONLY("a file open for writing cannot be renamed there");
  for (const bool rewind : {false, true}) {
    const char* what = rewind ? "rewound into it" : "count patched";
    TempDir dir;
    std::string volume2;
    {
      VolumeWriter out(ArchiveTarget::File(dir / "v.bkp", 100000), false);
      out.Begin();
      format::WriteHeader(out.Archive(), {"t", 0, 7});
      const int64_t countAt = out.Position() - 4;
      out.Archive().WriteBuffer("AAAA", 4);
      const int64_t mark = out.Position();
      out.Archive().WriteBuffer("BBBB", 4);
      ASSERT_EQ(out.EndVolume(), 0) << what;
      out.BeginVolume(dir / "v.002");
      out.Archive().WriteBuffer("CCCC", 4);
      ASSERT_EQ(out.Volumes().size(), 2u);
      const std::string first = out.Volumes()[0].Temp;
      volume2 = out.Volumes()[1].Temp;
      ASSERT_FALSE(first.empty());
      fs::rename(first, dir / "moved");
      test::WriteFile(first, "decoy");

      if (rewind) {
        out.RewindTo(0, mark);
        EXPECT_EQ(out.Volumes().size(), 1u);
        EXPECT_FALSE(fs::exists(volume2)) << "a volume begun after the mark is removed";
        EXPECT_EQ(out.Written(), dir / "v.bkp");
        out.Archive().WriteBuffer("DD", 2);
      }
      ASSERT_TRUE(out.PatchCount(countAt, 5)) << what;
      std::string failed;
      ASSERT_EQ(out.Close(failed), 0) << failed;

      EXPECT_EQ(test::ReadFile(first), "decoy") << what;
      const std::string bytes = test::ReadFile(dir / "moved");
      EXPECT_EQ(test::LE32(bytes, countAt), 5) << what;
      EXPECT_EQ(bytes.substr(countAt + 4), rewind ? "AAAADD" : "AAAABBBB") << what;
      if (!rewind) {
        EXPECT_EQ(test::ReadFile(volume2), "CCCC");
      }
    }
    // Not handed on: the writer's files are gone with it.
    EXPECT_FALSE(fs::exists(volume2)) << what;
  }
}

TEST(VolumeWriter, HandedOnVolumesStayAndFailuresNameTheVolume) {
  TempDir dir;
  {
    VolumeWriter out(ArchiveTarget::File(dir / "v.bkp", 0), false);
    out.Begin();
    out.Archive().WriteBuffer("xyz", 3);
    std::string failed;
    ASSERT_EQ(out.Close(failed), 0);
    ASSERT_EQ(out.Sync(failed), 0);
    const std::string temp = out.Volumes()[0].Temp;
    fs::rename(temp, dir / "v.bkp");
    out.Release();
    EXPECT_TRUE(out.Volumes()[0].Temp.empty());
  }
  EXPECT_EQ(test::ReadFile(dir / "v.bkp"), "xyz");
  EXPECT_EQ(fs::directory_iterator(dir.path())->path(), fs::path(dir / "v.bkp"));

  // A folder that is not there: the first volume cannot be made, and the
  // failure carries the system's reason.
  VolumeWriter missing(ArchiveTarget::File(dir / "none/v.bkp", 0), false);
  try {
    missing.Begin();
    ADD_FAILURE() << "a volume was made in a missing folder";
  } catch (const EArchiveWrite& e) {
    EXPECT_EQ(e.SystemError(), ENOENT);
  }
  EXPECT_EQ(missing.Written(), dir / "none/v.bkp");
  EXPECT_TRUE(missing.Volumes().empty());
}

TEST(VolumeWriter, StreamIsWrittenInPlaceAndHoldsOneVolume) {
  TMemoryStream stream;
  stream.WriteBuffer("XYZ", 3);
  VolumeWriter out(ArchiveTarget::Stream(&stream), true);
  out.Begin();
  format::WriteHeader(out.Archive(), {"", 0, 9});
  out.Archive().WriteBuffer("data", 4);
  EXPECT_NE(out.CannotAddVolume(), "");
  ASSERT_TRUE(out.PatchCount(3 + 8, 4));
  EXPECT_EQ(stream.Position(), 3 + 12 + 4) << "the stream is left at its end";
  std::string failed;
  EXPECT_EQ(out.Close(failed), 0);
  EXPECT_EQ(test::LE32(stream.Text(), 3 + 8), 4);
  EXPECT_EQ(stream.Text().substr(0, 3), "XYZ");

  PipeLike pipe;
  VolumeWriter piped(ArchiveTarget::Stream(&pipe), true);
  piped.Begin();
  format::WriteHeader(piped.Archive(), {"", 0, 9});
  EXPECT_FALSE(piped.PatchCount(8, 4));
  EXPECT_EQ(test::LE32(pipe.Text(), 8), 9);

  VolumeWriter none(ArchiveTarget::Stream(nullptr), true);
  EXPECT_THROW(none.Begin(), EStreamError);
  EXPECT_EQ(none.Written(), kStreamArchiveName);
}

// Through the public calls: a file that spans four volumes changes while it
// is read, so the run goes back into the first volume after it began the
// later ones, and a file removed meanwhile leaves the header's count to be
// put right at the end, in the first volume.
TEST(VolumeWriter, CountAndRewindOnASplitArchiveReadBackWhole) {
  TempDir dir;
  test::WriteFile(dir / "src/a", test::RandomBytes(60000, 1));
  test::WriteFile(dir / "src/b", "b");
  test::WriteFile(dir / "src/c", "c");
  const std::string changed = test::RandomBytes(60001, 2);
  TBackupFile engine;
  engine.MaxSize = kSmallestVolumeSize;
  std::vector<uint16_t> disks;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool& Continue) {
    disks.push_back(Disk);
    Continue = true;
  };
  bool touched = false;
  engine.OnProgress = [&](TBackupFile&, const std::string& File, TPercentage, bool&) {
    if (File != dir / "src/a" || touched) return;
    touched = true;
    test::WriteFile(dir / "src/a", changed);
    fs::remove(dir / "src/b");
  };
  ASSERT_TRUE(engine.Backup({dir / "src/a", dir / "src/b", dir / "src/c"}, dir / "s.bkp"))
      << DescribeFailure(engine.Failure());
  EXPECT_TRUE(touched);
  EXPECT_TRUE(engine.ChangedFiles().empty());
  EXPECT_EQ(engine.FileCount(), 2);
  // Both readings began later volumes: the second went back into the first.
  EXPECT_EQ(std::count(disks.begin(), disks.end(), 2), 2);
  ASSERT_GE(disks.back(), 4);
  EXPECT_TRUE(fs::exists(format::VolumeName(dir / "s.bkp", disks.back())));
  EXPECT_FALSE(fs::exists(format::VolumeName(dir / "s.bkp", disks.back() + 1u)));
  const std::string first = test::ReadFile(dir / "s.bkp");
  EXPECT_EQ(test::LE32(first, 8), 2);

  TBackupFile reader;
  reader.OnNeedDisk = [](TBackupFile&, uint16_t, bool& Continue) { Continue = true; };
  TStringList ids;
  reader.GetArchiveTitle(dir / "s.bkp", &ids);
  EXPECT_EQ(reader.FileCount(), 2);
  EXPECT_TRUE(reader.Test(dir / "s.bkp"));
  EXPECT_TRUE(reader.Damages().empty());
  ASSERT_TRUE(reader.Restore(dir / "s.bkp", dir / "out")) << DescribeFailure(reader.Failure());
  EXPECT_EQ(test::ReadFile(dir / "out/a"), changed);
  EXPECT_EQ(test::ReadFile(dir / "out/c"), "c");
  EXPECT_FALSE(fs::exists(dir / "out/b"));
}

// A stream run is one volume whatever limit the caller set, and it leaves
// that limit alone: the target, not the property, says so.
TEST(ArchiveTarget, StreamRunKeepsOneVolumeWithoutTouchingTheLimit) {
  TempDir dir;
  const std::string data = test::RandomBytes(60000);
  test::WriteFile(dir / "f", data);
  TBackupFile engine;
  engine.MaxSize = kSmallestVolumeSize;
  TMemoryStream stream;
  {
    BackupRun run(engine, ArchiveTarget::Stream(&stream));
    ASSERT_TRUE(run.Execute({dir / "f"})) << DescribeFailure(engine.Failure());
  }
  EXPECT_EQ(engine.MaxSize, kSmallestVolumeSize);
  test::WriteFile(dir / "copy", stream.Text());
  const auto archive = test::ReadArchiveFile(dir / "copy");
  EXPECT_TRUE(archive.EndMarker);
  EXPECT_EQ(archive.Volumes.size(), 1u);
  EXPECT_EQ(test::EntryData(archive.Entries[0]), data);

  // The same limit on a stream given as the target's own is refused at the
  // first volume change, the stream left open.
  TMemoryStream limited;
  {
    BackupRun run(engine, ArchiveTarget::Stream(&limited, engine.MaxSize));
    EXPECT_FALSE(run.Execute({dir / "f"}));
  }
  EXPECT_EQ(engine.Failure().Code, beCannotWriteArchive);
  EXPECT_EQ(engine.Failure().Subject, kStreamArchiveName);
  limited.WriteBuffer("x", 1);
}

}  // namespace
}  // namespace kelmora
