// SPDX-License-Identifier: GPL-3.0-or-later
//
// The runs that read an archive with its companion: a listing from the
// index, a restore of a few files that seeks to them, a test that names
// what each changed byte hits, volumes of another archive taken for
// damage, a companion never written over or trusted to send anything
// outside, and repair and protect on real volumes.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "engine/archive_companion.h"
#include "engine/archive_records.h"
#include "engine/companion/builder.h"
#include "engine/companion/container.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> FilesIn(const std::string& Folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Mixed files over several volumes, with a companion and a recovery record.
void MakeArchive(const std::string& Source, const std::string& Archive, int32_t MaxSize = 0,
                 uint8_t Recovery = 0) {
  TBackupFile engine;
  engine.WriteCompanion = true;
  engine.MaxSize = MaxSize;
  engine.RecoveryPercent = Recovery;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  fs::create_directories(fs::path(Archive).parent_path());
  ASSERT_TRUE(engine.Backup({Source + "/*.* /s"}, Archive)) << DescribeFailure(engine.Failure());
}

void MakeSources(const std::string& Folder) {
  test::WriteFile(Folder + "/a.txt", test::TextBytes(60000, 1));
  test::WriteFile(Folder + "/photo.jpg", test::RandomBytes(50000, 2));
  test::WriteFile(Folder + "/sub/notes.txt", test::TextBytes(3000, 3));
  test::WriteFile(Folder + "/sub/z-last.txt", "the last file");
}

std::set<std::string> DamagedNames(TBackupFile& Engine,
                                   std::vector<std::string>* Reasons = nullptr) {
  std::set<std::string> names;
  for (const TDamage& d : Engine.Damages()) {
    names.insert(d.Filename);
    if (Reasons) Reasons->push_back(d.Reason);
  }
  return names;
}

void Flip(const std::string& Path, size_t At, uint8_t Mask = 0x20) {
  std::string bytes = test::ReadFile(Path);
  bytes[At] = static_cast<char>(bytes[At] ^ Mask);
  test::WriteFile(Path, bytes);
}

// The listing from the index is the walk's listing with every size told.
TEST(CompanionRead, TheListingFromTheIndexIsTheWalksWithSizes) {
  TempDir dir;
  MakeSources(dir / "src");
  MakeArchive(dir / "src", dir / "x.bkp", 40000);
  std::vector<TArchiveEntry> fromIndex, walked;
  TBackupFile engine;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  ASSERT_TRUE(engine.ListArchive(
      dir / "x.bkp", [&](TBackupFile&, const TArchiveEntry& E) { fromIndex.push_back(E); }));
  EXPECT_EQ(engine.CompanionState(), csSound);
  ListArchiveRecords(engine, dir / "x.bkp",
                     [&](const TArchiveEntry& E, int64_t, bool) { walked.push_back(E); });
  ASSERT_EQ(fromIndex.size(), walked.size());
  for (size_t i = 0; i < walked.size(); ++i) {
    EXPECT_EQ(fromIndex[i].Name, walked[i].Name);
    EXPECT_EQ(fromIndex[i].Volume, walked[i].Volume);
    EXPECT_EQ(fromIndex[i].Packed, walked[i].Packed);
    EXPECT_EQ(fromIndex[i].Chunks, walked[i].Chunks);
    EXPECT_EQ(fromIndex[i].Stamp, walked[i].Stamp);
    EXPECT_EQ(fromIndex[i].Size, static_cast<int64_t>(fs::file_size(fromIndex[i].Name)));
  }
  EXPECT_EQ(walked[0].Size, -1) << "the archive alone cannot tell a compressed file's size";

  // A volume not as written: listed from the records, with a note.
  Flip(dir / "x.003", 10);
  TBackupFile changed;
  changed.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  std::vector<TCompanionState> notes;
  changed.OnCompanion = [&](TBackupFile&, const TCompanionNote& N) { notes.push_back(N.State); };
  std::vector<TArchiveEntry> listed;
  changed.ListArchive(dir / "x.bkp",
                      [&](TBackupFile&, const TArchiveEntry& E) { listed.push_back(E); });
  EXPECT_EQ(notes, std::vector<TCompanionState>{csMismatched});
  EXPECT_EQ(listed.front().Size, -1);
}

// Bytes this process has read so far, through any file.
int64_t BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

// A filtered restore goes straight to its entries: the last file of a
// split archive costs a few blocks, not the volumes before it.
TEST(CompanionRead, ARestoreOfOneFileSeeksToIt) {
  TempDir dir;
  MakeSources(dir / "src");
  test::WriteFile(dir / "src/big.bin", test::RandomBytes(3 << 20, 7));
  MakeArchive(dir / "src", dir / "x.bkp", 1 << 20);
  const std::string wanted = dir / "src/sub/z-last.txt";
  TBackupFile engine;
  engine.RestoreFullPath = true;
  engine.RestoreFilter = [&](const std::string& Stored) { return Stored == wanted; };
  const int64_t before = BytesRead();
  ASSERT_TRUE(engine.Restore(dir / "x.bkp", dir / "out"));
  const int64_t read = BytesRead() - before;
  if (before < 0) GTEST_SKIP() << "no /proc/self/io";
  EXPECT_EQ(test::ReadFile(dir / "out" + wanted), "the last file");
  EXPECT_EQ(FilesIn(dir / "out" + (dir / "src/sub")), std::vector<std::string>{"z-last.txt"});
  EXPECT_LT(read, 1 << 20) << "of an archive of " << fs::file_size(dir / "x.bkp") * 4;

  // Damage inside the stretch is met as a whole restore meets it.
  const std::string photo = dir / "src/photo.jpg";
  const std::string volume = test::ReadFile(dir / "x.bkp");
  Flip(dir / "x.bkp", volume.find(photo) + photo.size() + 8 + 4 + 100);
  TBackupFile damaged;
  damaged.RestoreFullPath = true;
  damaged.RestoreFilter = [&](const std::string& Stored) { return Stored == photo; };
  EXPECT_FALSE(damaged.Restore(dir / "x.bkp", dir / "out2"));
  EXPECT_FALSE(fs::exists(dir / "out2" + photo));
}

// A restore holds no file record: each is read again from the companion
// when its file is begun. A companion cut short under the run (its records
// far larger than what a read keeps buffered) costs the files their mode
// and time, never in silence: each is named with the companion, the run
// fails, and their bytes still come back.
TEST(CompanionRead, ARecordThatCannotBeReadAgainIsNamedAndTheBytesStillComeBack) {
  TempDir dir;
  MakeSources(dir / "src");
  for (int i = 0; i < 1500; ++i)
    test::WriteFile(dir / "src/many/a-file-with-a-name-long-enough-" + std::to_string(i), "x");
  MakeArchive(dir / "src", dir / "x.bkp");
  const std::string companion = dir / "x.bkp.kx";
  TBackupFile engine;
  engine.RestoreFullPath = true;
  bool cut = false;
  engine.OnRestoreFile = [&](TBackupFile&, std::string&, int32_t, bool&) {
    if (!cut) fs::resize_file(companion, 64);
    cut = true;
  };
  std::set<std::string> named;
  engine.OnFileRefused = [&](TBackupFile&, const TFailure& F) {
    named.insert(F.Subject);
    EXPECT_NE((F.Subject + " " + F.Reason).find(companion), std::string::npos) << F.Reason;
  };
  EXPECT_FALSE(engine.Restore(dir / "x.bkp", dir / "out"));
  EXPECT_EQ(engine.ErrorCode(), beCannotReadFile);
  const std::string out = dir / "out";
  EXPECT_EQ(test::ReadFile(out + (dir / "src/sub/z-last.txt")), "the last file");
  EXPECT_EQ(test::ReadFile(out + (dir / "src/many/a-file-with-a-name-long-enough-7")), "x");
  // Every file, and the companion for the folders it could no longer give.
  EXPECT_EQ(named.size(), 1504u + 1);
  EXPECT_EQ(named.count(out + (dir / "src/a.txt")), 1u);
  EXPECT_EQ(named.count(companion), 1u);
}

// With the companion a test sees a changed byte where the archive has no
// check value, and names what it falls in.
TEST(CompanionRead, TestNamesAChangedPieceNameStampAndTitle) {
  TempDir dir;
  MakeSources(dir / "src");
  TBackupFile writer;
  writer.WriteCompanion = true;
  writer.BackupTitle = "my title";
  ASSERT_TRUE(writer.Backup({dir / "src/*.* /s"}, dir / "x.bkp"));
  const std::string sound = test::ReadFile(dir / "x.bkp");
  const std::string photo = dir / "src/photo.jpg";
  const std::string notes = dir / "src/sub/notes.txt";
  struct Case {
    const char* what;
    size_t at;
    std::string file;
    const char* reason;
  };
  const size_t photoAt = sound.find(photo);
  const size_t notesAt = sound.find(notes);
  for (const Case& c : {
           Case{"a stored piece", photoAt + photo.size() + 4 + 4 + 4 + 9000, photo, "data"},
           Case{"a name", notesAt + 5, notes, "name"},
           Case{"a stamp", notesAt + notes.size() + 1, notes, "time stamp"},
           Case{"the title", 6, "", "title"},
       }) {
    SCOPED_TRACE(c.what);
    test::WriteFile(dir / "x.bkp", sound);
    TBackupFile before;
    ASSERT_TRUE(before.Test(dir / "x.bkp"));
    Flip(dir / "x.bkp", c.at, 0x01);
    TBackupFile engine;
    std::vector<std::string> reasons;
    EXPECT_FALSE(engine.Test(dir / "x.bkp"));
    EXPECT_EQ(engine.ErrorCode(), beCompression);
    EXPECT_EQ(DamagedNames(engine, &reasons), std::set<std::string>{c.file});
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find(c.reason), std::string::npos) << reasons[0];
  }
  // A compressed piece the walk finds is named once.
  test::WriteFile(dir / "x.bkp", sound);
  const std::string text = dir / "src/a.txt";
  Flip(dir / "x.bkp", sound.find(text) + text.size() + 4 + 4 + 4 + 50);
  TBackupFile engine;
  EXPECT_FALSE(engine.Test(dir / "x.bkp"));
  EXPECT_EQ(engine.Damages().size(), 1u);
  EXPECT_EQ(engine.Damages()[0].Filename, text);
}

// Two archives whose names differ after the last dot share their volume
// names; where the companion exists, the other's volume is damage, never
// data: what lies in it is named, the rest restored, and the run fails.
TEST(CompanionRead, AnotherArchivesVolumeIsDamageNeverData) {
  TempDir dir;
  test::WriteFile(dir / "y2025/a.txt", test::RandomBytes(70000, 11));
  test::WriteFile(dir / "y2026/a.txt", test::RandomBytes(70000, 12));
  test::WriteFile(dir / "y2026/b.txt", "second file");
  MakeArchive(dir / "y2025", dir / "a/docs.2025", 30000);
  MakeArchive(dir / "y2026", dir / "b/docs.2026", 30000);
  fs::copy_file(dir / "a/docs.002", dir / "b/docs.002", fs::copy_options::overwrite_existing);
  for (const bool restore : {false, true}) {
    SCOPED_TRACE(restore ? "restore" : "test");
    TBackupFile engine;
    engine.RestoreFullPath = true;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    const bool ok = restore ? engine.Restore(dir / "b/docs.2026", dir / "out")
                            : engine.Test(dir / "b/docs.2026");
    EXPECT_FALSE(ok);
    EXPECT_EQ(engine.ErrorCode(), beCompression);
    bool foreign = false;
    for (const TDamage& d : engine.Damages())
      foreign =
          foreign || (d.Volume == 2 && d.Reason.find("not this archive") != std::string::npos);
    EXPECT_TRUE(foreign);
    EXPECT_TRUE(DamagedNames(engine).count(dir / "y2026/a.txt"));
  }
  EXPECT_FALSE(fs::exists(dir / "out" + (dir / "y2026/a.txt")));
  EXPECT_EQ(test::ReadFile(dir / "out" + (dir / "y2026/b.txt")), "second file");
}

// The companion is the archive's own: no target replaces it.
TEST(CompanionRead, ARestoreNeverWritesOverTheCompanion) {
  TempDir dir;
  test::WriteFile(dir / "src/x.bkp.kx", "a file of the companion's name");
  MakeArchive(dir / "src", dir / "out/x.bkp");
  const std::string companion = test::ReadFile(dir / "out/x.bkp.kx");
  TBackupFile engine;  // flat, into the archive's own folder
  EXPECT_FALSE(engine.Restore(dir / "out/x.bkp", dir / "out"));
  EXPECT_EQ(engine.ErrorCode(), beCannotReadFile);
  EXPECT_EQ(test::ReadFile(dir / "out/x.bkp.kx"), companion);
}

// Records of a hostile or damaged companion send nothing outside the
// restore folder; a link's text is written as it is, never followed.
TEST(CompanionRead, RecordsNeverLeadOutside) {
  TempDir dir;
  test::WriteFile(dir / "src/a.txt", "alpha");
  TBackupFile plain;
  ASSERT_TRUE(plain.Backup({dir / "src/*.*"}, dir / "x.bkp"));
  std::vector<companion::MetadataRecord> records(4);
  records[0] = {companion::EntryKind::Link,
                companion::kHasTime,
                dir / "src/../../escape",
                0,
                0,
                0,
                "",
                "",
                1,
                0,
                0,
                "/etc"};
  records[1] = {companion::EntryKind::Folder,
                companion::kHasTime,
                dir / "src/../..",
                0,
                0,
                0,
                "",
                "",
                1,
                0,
                0,
                ""};
  records[2] = {companion::EntryKind::Link,
                companion::kHasTime,
                dir / "src/to-etc",
                0,
                0,
                0,
                "",
                "",
                1,
                0,
                0,
                "/etc"};
  records[3] = {companion::EntryKind::File,
                companion::kHasTime,
                dir / "src/a.txt",
                0,
                0,
                0,
                "",
                "",
                1700000000,
                5,
                0,
                ""};
  {
    companion::FileVolumes volumes(dir / "x.bkp");
    TFileStream out(dir / "x.bkp.kx", TFileStream::fmCreate);
    std::vector<companion::IndexEntry> index;
    ListArchiveRecords(plain, dir / "x.bkp", [&](const TArchiveEntry& E, int64_t At, bool) {
      index.push_back({E.Name, E.Volume, 0, At, 5, E.Packed, 1, E.Stamp});
    });
    ASSERT_TRUE(companion::BuildCompanion(volumes, 1, index, records, {}, out).Done);
  }
  TBackupFile engine;
  engine.RestoreFullPath = true;
  EXPECT_FALSE(engine.Restore(dir / "x.bkp", dir / "out"));
  EXPECT_EQ(engine.ErrorCode(), beCannotReadFile);
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"out", "src", "x.bkp", "x.bkp.kx"}));
  const std::string back = dir / "out" + (dir / "src");
  EXPECT_EQ(fs::read_symlink(back + "/to-etc"), "/etc");
  EXPECT_EQ(FilesIn(back), (std::vector<std::string>{"a.txt", "to-etc"}));
  struct stat st;
  ASSERT_EQ(::stat((back + "/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 5);
}

}  // namespace
}  // namespace kelmora
#endif
