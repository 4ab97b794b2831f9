// SPDX-License-Identifier: GPL-3.0-or-later
//
// Listing an archive: what each entry shows, that no data is inflated to
// show it, split archives, streams, and archives that end too soon.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "engine/restore_builder.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Stamp;

const int32_t kStamp = Stamp(2021, 7, 8, 9, 10, 12);

std::vector<TArchiveEntry> List(TBackupFile& Engine, const std::string& Archive, bool& Complete) {
  std::vector<TArchiveEntry> entries;
  Complete = Engine.ListArchive(
      Archive, [&](TBackupFile&, const TArchiveEntry& Entry) { entries.push_back(Entry); });
  return entries;
}

// Chunks that would fail to inflate prove that a listing never inflates:
// a restore of the same archive reports them as damage.
TEST(ArchiveList, EntriesShowChunkFiguresAndSizesWithoutInflating) {
  test::TempDir dir;
  const std::string garbage(300, 'x');  // no zlib stream
  const std::string fileIds = format::FileIdLine("/ids/known.txt", kStamp, 123456) + "\r\n";
  ArchiveBuilder()
      .Header("t", 0, 4)
      .File(format::kFileListName, 0, fileIds)
      .Name("/ids/known.txt")
      .Int(kStamp)
      .Signature()
      .DeflatedChunk(garbage)
      .Int(0)
      .Name("/raw.bin")
      .Int(kStamp)
      .Signature()
      .StoredChunk(std::string(16384, 'a'))
      .StoredChunk("tail")
      .Int(0)
      .File("/text.txt", kStamp, test::TextBytes(40000))
      .File("/empty", -1, "")
      .End()
      .Save(dir / "a.bkp");

  TBackupFile engine;
  bool complete = false;
  const std::vector<TArchiveEntry> entries = List(engine, dir / "a.bkp", complete);
  EXPECT_TRUE(complete);
  EXPECT_EQ(engine.ErrorCode(), beNone);
  ASSERT_EQ(entries.size(), 4u);  // the file-ID list is no entry

  EXPECT_EQ(entries[0].Name, "/ids/known.txt");
  EXPECT_EQ(entries[0].Stamp, kStamp);
  EXPECT_EQ(entries[0].Size, 123456);  // from the file-ID list
  EXPECT_EQ(entries[0].Packed, 300);
  EXPECT_EQ(entries[0].Chunks, 1);

  EXPECT_EQ(entries[1].Size, 16388);  // every chunk stored: size is exact
  EXPECT_EQ(entries[1].Packed, 16388);
  EXPECT_EQ(entries[1].Chunks, 2);

  EXPECT_EQ(entries[2].Size, -1);  // compressed and not in the list: unknown
  EXPECT_EQ(entries[2].Chunks, 3);
  EXPECT_GT(entries[2].Packed, 0);
  EXPECT_LT(entries[2].Packed, 40000);

  EXPECT_EQ(entries[3].Name, "/empty");
  EXPECT_EQ(entries[3].Stamp, -1);
  EXPECT_EQ(entries[3].Chunks, 0);
  EXPECT_EQ(entries[3].Size, 0);
  for (const TArchiveEntry& e : entries) EXPECT_EQ(e.Volume, 1);

  // The same archive restored meets the garbage.
  TBackupFile restore;
  restore.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  EXPECT_FALSE(restore.Restore(dir / "a.bkp", dir / "out"));
  EXPECT_EQ(restore.ErrorCode(), beCompression);
}

// A real split backup: each entry is listed once, in the volume its record
// starts in, with the chunks of every volume it spans.
TEST(ArchiveList, SplitArchiveFollowsItsVolumes) {
  test::TempDir dir;
  test::WriteFile(dir / "src/a.bin", test::RandomBytes(50000, 4));
  test::WriteFile(dir / "src/b.txt", "bee");
  TBackupFile writer;
  writer.MaxSize = 20000;
  writer.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  ASSERT_TRUE(writer.Backup({dir / "src/*.*"}, dir / "set.bkp"));
  ASSERT_TRUE(fs::exists(dir / "set.004"));

  TBackupFile engine;
  std::vector<uint16_t> asked;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool&) { asked.push_back(Disk); };
  bool complete = false;
  const std::vector<TArchiveEntry> entries = List(engine, dir / "set.bkp", complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Name, dir / "src/a.bin");
  EXPECT_EQ(entries[0].Volume, 1);
  EXPECT_EQ(entries[0].Chunks, 4);  // 50,000 bytes in pieces of 16,384
  EXPECT_EQ(entries[1].Name, dir / "src/b.txt");
  EXPECT_GT(entries[1].Volume, 1);
  EXPECT_FALSE(asked.empty());

  // A volume that stays missing ends the listing as incomplete.
  fs::remove(dir / "set.003");
  TBackupFile cut;
  cut.OnNeedDisk = [](TBackupFile&, uint16_t, bool& Continue) { Continue = false; };
  const std::vector<TArchiveEntry> part = List(cut, dir / "set.bkp", complete);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(part.empty() || part[0].Name != dir / "src/b.txt");
}

TEST(ArchiveList, StreamsListOneVolumeAndReportWhatLiesBeyond) {
  const std::string one =
      ArchiveBuilder().Header().File("/a", kStamp, "aaa").File("/b", kStamp, "b").End().Bytes();
  TMemoryStream stream = test::StreamOf(one);
  TBackupFile engine;
  std::vector<std::string> names;
  const TListEntryEvent each = [&](TBackupFile&, const TArchiveEntry& E) {
    names.push_back(E.Name);
  };
  EXPECT_TRUE(engine.ListArchiveFromStream(&stream, each));
  EXPECT_EQ(names, (std::vector<std::string>{"/a", "/b"}));

  const std::string split =
      ArchiveBuilder().Header().File("/a", kStamp, "aaa").VolumeChange(2).Bytes();
  TMemoryStream splitStream = test::StreamOf(split);
  std::vector<int32_t> errors;
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) { errors.push_back(Code); };
  names.clear();
  EXPECT_FALSE(engine.ListArchiveFromStream(&splitStream, each));
  EXPECT_EQ(errors, std::vector<int32_t>{beCannotReadArchive});
}

TEST(ArchiveList, ArchiveCutShortThrowsAfterTheEntriesReadWhole) {
  test::TempDir dir;
  const std::string whole =
      ArchiveBuilder().Header().File("/a", kStamp, "aaa").File("/b", kStamp, "bbb").End().Bytes();
  // Cut inside /b's section, then right after it before the end marker.
  for (const size_t cut : {whole.size() - 8, whole.size() - 4}) {
    test::WriteFile(dir / "cut.bkp", whole.substr(0, cut));
    TBackupFile engine;
    std::vector<std::string> names;
    EXPECT_THROW(
        engine.ListArchive(dir / "cut.bkp",
                           [&](TBackupFile&, const TArchiveEntry& E) { names.push_back(E.Name); }),
        EStreamError);
    const std::vector<std::string> expected = cut == whole.size() - 4
                                                  ? std::vector<std::string>{"/a", "/b"}
                                                  : std::vector<std::string>{"/a"};
    EXPECT_EQ(names, expected);
  }
  TBackupFile engine;
  EXPECT_FALSE(engine.ListArchive(dir / "none.bkp", [](TBackupFile&, const TArchiveEntry&) {}));
}

}  // namespace
}  // namespace kelmora
