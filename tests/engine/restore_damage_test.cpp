// SPDX-License-Identifier: GPL-3.0-or-later
//
// Damaged archives: damage costs the file it falls in, is reported with its
// place, and the run goes on to restore every sound file.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::Deflate;

const int32_t kStored = test::Stamp(2018, 8, 8, 8, 8, 8);

// A sound first file, then whatever Damage appends.
std::string WithSoundFirstFile(const std::string& Damage) {
  return ArchiveBuilder().Header().File("/first.txt", kStored, "intact").Raw(Damage).Bytes();
}

struct RunResult {
  bool result = false;
  bool threw = false;
  bool incomplete = false;
  std::string what;
  std::vector<int32_t> errors;
  std::vector<TDamage> damages;
  int finalProgress = 0;
};

RunResult RestoreFile(const std::string& Archive, const std::string& Folder,
                      bool KeepDamaged = false, TRestoreMode Mode = rmAll) {
  TBackupFile engine;
  engine.KeepDamaged = KeepDamaged;
  engine.RestoreMode = Mode;
  RunResult r;
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
    r.errors.push_back(Code);
  };
  engine.OnDamage = [&](TBackupFile&, const TDamage& D) { r.damages.push_back(D); };
  engine.OnProgress = [&](TBackupFile&, const std::string& Name, TPercentage P, bool&) {
    if (Name.empty() && P == 100) ++r.finalProgress;
  };
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  try {
    r.result = engine.Restore(Archive, Folder);
  } catch (const Exception& e) {
    r.threw = true;
    r.what = e.what();
  }
  r.incomplete = engine.Incomplete();
  EXPECT_FALSE(engine.Busy());
  EXPECT_EQ(engine.Damages().size(), r.damages.size());
  return r;
}

size_t FilesIn(const std::string& Folder) {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator(Folder), fs::directory_iterator()));
}

TEST(RestoreDamage, DamageInsideAFileCostsThatFileAloneAndIsCodeSix) {
  const std::string third = ArchiveBuilder().File("/third.txt", kStored, "third").End().Bytes();
  struct Case {
    const char* what;
    std::string damage;
    size_t damageAt;  // from the start of /second.txt's entry
    bool cut;         // the archive ends inside the damaged file
  };
  const size_t body = 4 + 11 + 4;  // name length, name, time stamp
  const Case cases[] = {
      {"wrong signature",
       ArchiveBuilder().Name("/second.txt").Int(kStored).Raw("EC3").Int(0).Int(0).Bytes() + third,
       body, false},
      {"chunk length beyond 16384",
       ArchiveBuilder().Name("/second.txt").Int(kStored).Signature().Int(16385).Bytes() + third,
       body + 4, false},
      {"stored length running into the next entry",
       ArchiveBuilder()
               .Name("/second.txt")
               .Int(kStored)
               .Signature()
               .Int(-600)
               .Raw(std::string(500, 's'))
               .Int(0)
               .Bytes() +
           third,
       body + 4, false},
      {"ends inside a chunk",
       ArchiveBuilder().Name("/second.txt").Int(kStored).Signature().Int(-500).Raw("abc").Bytes(),
       body + 4, true},
      {"ends before the terminator",
       ArchiveBuilder().Name("/second.txt").Int(kStored).Signature().StoredChunk("abc").Bytes(),
       body + 4 + 7, true},
  };
  const size_t second = WithSoundFirstFile("").size();
  for (const Case& c : cases) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", WithSoundFirstFile(c.damage));
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_FALSE(r.result) << c.what;
    EXPECT_FALSE(r.threw) << c.what << ": " << r.what;
    EXPECT_EQ(r.errors, std::vector<int32_t>{6}) << c.what;
    EXPECT_EQ(r.finalProgress, 1) << c.what;
    EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact") << c.what;
    EXPECT_EQ(platform::FileTimeOfPath(out / "first.txt"), kStored) << c.what;
    EXPECT_FALSE(fs::exists(out / "second.txt")) << c.what << ": a broken file is not put in place";
    ASSERT_FALSE(r.damages.empty()) << c.what;
    EXPECT_EQ(r.damages.front().Filename, "/second.txt") << c.what;
    EXPECT_EQ(r.damages.front().Volume, 1) << c.what;
    EXPECT_EQ(r.damages.front().Offset, static_cast<int64_t>(second + c.damageAt)) << c.what;
    EXPECT_EQ(r.incomplete, c.cut) << c.what;
    if (!c.cut) {
      EXPECT_EQ(test::ReadFile(out / "third.txt"), "third") << c.what;
    }
    EXPECT_EQ(FilesIn(out.path()), c.cut ? 1u : 2u) << c.what;
  }
}

TEST(RestoreDamage, ADamagedChunkIsZerosInTheKeptCopyAndTheRunGoesOn) {
  std::string bad = Deflate(test::TextBytes(3000));
  bad.back() ^= 1;
  const std::string tooLong = Deflate(std::string(16385, 'x'));
  const std::pair<std::string, size_t> payloads[] = {{bad, 3000}, {tooLong, 16384}};
  for (const auto& [payload, produced] : payloads) {
    for (const bool keep : {false, true}) {
      test::TempDir src, out;
      test::WriteFile(src / "a.bkp", WithSoundFirstFile(ArchiveBuilder()
                                                            .Name("/second.txt")
                                                            .Int(kStored)
                                                            .Signature()
                                                            .StoredChunk("kept ")
                                                            .DeflatedChunk(payload)
                                                            .Int(0)
                                                            .File("/third.txt", kStored, "third")
                                                            .End()
                                                            .Bytes()));
      const RunResult r = RestoreFile(src / "a.bkp", out.path(), keep);
      EXPECT_FALSE(r.result);
      EXPECT_EQ(r.errors, std::vector<int32_t>{6});
      EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact");
      EXPECT_FALSE(fs::exists(out / "second.txt"));
      EXPECT_EQ(test::ReadFile(out / "third.txt"), "third");
      ASSERT_EQ(r.damages.size(), 1u);
      EXPECT_EQ(r.damages[0].Filename, "/second.txt");
      EXPECT_FALSE(r.incomplete);
      if (keep) {
        // The damaged chunk was the section's last, so it keeps the length
        // it still inflated to.
        EXPECT_EQ(test::ReadFile(out / "second.txt.damaged"),
                  "kept " + std::string(produced, '\0'));
        EXPECT_EQ(platform::FileTimeOfPath(out / "second.txt.damaged"), kStored);
      } else {
        EXPECT_FALSE(fs::exists(out / "second.txt.damaged"));
      }
    }
  }
}

TEST(RestoreDamage, DamageOutsideAnyFileIsReportedAndNeverPassesOut) {
  struct Case {
    const char* what;
    std::string damage;
    bool cut;
    bool firstKept;
    bool trailing = false;
  };
  const Case cases[] = {
      {"archive ends inside a name", ArchiveBuilder().Int(20).Raw("/sec").Bytes(), true, true},
      // A backup that stopped: the last file's section may hold only its
      // first part.
      {"archive ends before its end marker", "", true, false},
      {"archive ends inside a time stamp", ArchiveBuilder().Name("/s").Raw("\1").Bytes(), true,
       true},
      {"absurd name length", ArchiveBuilder().Int(0x7FFFFFFF).Bytes(), true, true},
      {"wrong signature of the file-ID list",
       ArchiveBuilder().Name("FILE:LIST").Int(0).Raw("XXXX").Int(0).End().Bytes(), false, true},
      {"bytes after the end marker", ArchiveBuilder().End().Raw(std::string(40, '\0')).Bytes(),
       false, true, true},
  };
  for (const Case& c : cases) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", WithSoundFirstFile(c.damage));
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_FALSE(r.threw) << c.what << ": " << r.what;
    EXPECT_FALSE(r.result) << c.what;
    EXPECT_EQ(r.errors, std::vector<int32_t>{6}) << c.what;
    EXPECT_EQ(r.finalProgress, 1) << c.what;
    EXPECT_FALSE(r.damages.empty()) << c.what;
    EXPECT_EQ(r.incomplete, c.cut) << c.what;
    EXPECT_EQ(fs::exists(out / "first.txt"), c.firstKept) << c.what;
    if (c.firstKept) {
      EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact") << c.what;
    }

    // A caller's stream may go on after the archive; everything else is
    // damage there as well.
    TBackupFile engine;
    engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
    TMemoryStream stream = test::StreamOf(WithSoundFirstFile(c.damage));
    EXPECT_EQ(engine.RestoreFromStream(&stream, out.path()), c.trailing) << c.what;
  }
}

TEST(RestoreDamage, FewerEntriesThanTheHeaderCountsIsNoSuccess) {
  // Zeros after the first entry read as an end marker with bytes after it.
  const std::string sound = ArchiveBuilder()
                                .Header("", 0, 3)
                                .File("/one.txt", kStored, "1")
                                .File("/two.txt", kStored, "2")
                                .File("/three.txt", kStored, "3")
                                .End()
                                .Bytes();
  const std::string head = ArchiveBuilder().Header("", 0, 3).File("/one.txt", kStored, "1").Bytes();
  const std::string zeroed = head + std::string(sound.size() - head.size(), '\0');
  const std::string counted = head + ArchiveBuilder().End().Bytes();
  for (const std::string& bytes : {zeroed, counted}) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", bytes);
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.errors, std::vector<int32_t>{6});
    EXPECT_EQ(test::ReadFile(out / "one.txt"), "1");
    ASSERT_EQ(r.damages.size(), 1u);
    EXPECT_TRUE(r.damages[0].Filename.empty());
  }
  test::TempDir src, out;
  test::WriteFile(src / "a.bkp", head + ArchiveBuilder().End().Bytes());
  EXPECT_NE(RestoreFile(src / "a.bkp", out.path()).damages.at(0).Reason.find("counts 3 files"),
            std::string::npos);
}

TEST(RestoreDamage, NegativeNameLengthsAreDamageAndTheNextEntryIsFound) {
  test::TempDir src, out;
  test::WriteFile(
      src / "a.bkp",
      WithSoundFirstFile(
          ArchiveBuilder().Int(-7).Int(-1).File("/second.txt", kStored, "2").End().Bytes()));
  const RunResult r = RestoreFile(src / "a.bkp", out.path());
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{6});
  EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact");
  EXPECT_EQ(test::ReadFile(out / "second.txt"), "2");
}

// Found after damage, an entry whose data read soundly is restored even
// when the record after it is damaged too.
TEST(RestoreDamage, AnEntryFoundBetweenTwoDamagesIsRestored) {
  // An empty file too: its signature and terminator are all its section.
  for (const std::string second : {"two", ""}) {
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", WithSoundFirstFile(ArchiveBuilder()
                                                          .Int(-7)
                                                          .File("/second.txt", kStored, second)
                                                          .Int(-5)
                                                          .Raw("junk")
                                                          .File("/third.txt", kStored, "three")
                                                          .End()
                                                          .Bytes()));
    const RunResult r = RestoreFile(src / "a.bkp", out.path());
    EXPECT_FALSE(r.result);
    EXPECT_EQ(r.damages.size(), 2u);
    EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact");
    EXPECT_EQ(test::ReadFile(out / "second.txt"), second);
    EXPECT_EQ(test::ReadFile(out / "third.txt"), "three");
  }
}

// The search reads a short stretch at a time and jumps from one byte a
// stored name can begin with to the next. An entry is found wherever its
// head falls against such a stretch, behind junk with none of those bytes
// or thick with them, whether its name is long, of a drive or of Linux.
TEST(RestoreDamage, EntriesAreFoundAfterDamageOfAnyLengthAndContent) {
  std::string longName;
  while (longName.size() < 2900) longName += "/dddddddddd";
  longName += "/long.txt";
  const std::string nameBytes("/x:\\\0\0:/FILE:\\a:\3\0\0\0", 20);
  for (const bool thick : {false, true}) {
    for (const size_t junk : {1u, 9u, 12000u, 16300u, 16330u, 16379u, 16384u, 40000u}) {
      SCOPED_TRACE(std::to_string(junk) + (thick ? " thick" : ""));
      std::string noise;
      while (noise.size() < junk) noise += thick ? nameBytes : std::string(64, '\xff');
      noise.resize(junk);
      test::TempDir src, out;
      test::WriteFile(src / "a.bkp", WithSoundFirstFile(ArchiveBuilder()
                                                            .Raw(noise)
                                                            .File(longName, kStored, "long")
                                                            .Raw(noise)
                                                            .File("d:\\w\\drive.txt", kStored, "d")
                                                            .File("/after.txt", kStored, "after")
                                                            .End()
                                                            .Bytes()));
      const RunResult r = RestoreFile(src / "a.bkp", out.path());
      EXPECT_FALSE(r.result);
      EXPECT_EQ(r.damages.size(), 2u);
      EXPECT_EQ(test::ReadFile(out / "first.txt"), "intact");
      EXPECT_EQ(test::ReadFile(out / "long.txt"), "long");
      EXPECT_EQ(test::ReadFile(out / "drive.txt"), "d");
      EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
    }
  }
}

// First as the first volume, then a second that goes on with Data for the
// entry split over them and ends with a sound /after.txt; restored into Out.
RunResult RestoreWithSecondVolume(const std::string& First, const std::string& Data,
                                  const test::TempDir& Out) {
  test::TempDir src;
  test::WriteFile(src / "v.bkp", First);
  test::WriteFile(
      src / "v.002",
      ArchiveBuilder().Section(Data).File("/after.txt", kStored, "after").End().Bytes());
  return RestoreFile(src / "v.bkp", Out.path());
}

// The first volume holds the header and a split file's head; a title length
// grown by that head's size makes the header end at the volume change.
// Grown further, the header takes in the volume-change entry as well and
// ends where the volume does.
TEST(RestoreDamage, AFirstEntrySwallowedByTheTitleBeforeAVolumeChangeIsFound) {
  const std::string title = "t";
  const std::string head = ArchiveBuilder().Name("/split.bin").Int(kStored).Section("").Bytes();
  for (const size_t over : {size_t{0}, size_t{16}}) {
    std::string first = ArchiveBuilder().Header(title).Raw(head).VolumeChange(2).Bytes();
    first[0] = static_cast<char>(title.size() + head.size() + over);
    test::TempDir out;
    const RunResult r = RestoreWithSecondVolume(first, "the split file's data", out);
    EXPECT_FALSE(r.result) << over;
    ASSERT_EQ(r.damages.size(), 1u) << over;
    EXPECT_EQ(r.damages[0].Offset, 0) << over;
    EXPECT_EQ(test::ReadFile(out / "split.bin"), "the split file's data") << over;
    EXPECT_EQ(test::ReadFile(out / "after.txt"), "after") << over;
  }
}

// A damaged entry between a whole file and a damaged volume change: the
// file before them ended at its terminator and comes back.
TEST(RestoreDamage, AFileBeforeADamagedEntryAndADamagedVolumeChangeIsWhole) {
  std::string first = ArchiveBuilder()
                          .Header()
                          .File("/a.txt", kStored, "all of a")
                          .Int(-5)
                          .Raw("the damaged entry's head")
                          .VolumeChange(2)
                          .Bytes();
  first[first.size() - 6] ^= 0x20;
  test::TempDir out;
  const RunResult r = RestoreWithSecondVolume(first, "the damaged entry's data", out);
  EXPECT_FALSE(r.result);
  EXPECT_FALSE(r.damages.empty());
  EXPECT_EQ(test::ReadFile(out / "a.txt"), "all of a");
  EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
}

// A volume-change entry damaged in three bytes, its length among them, is
// still where a volume change must be, and the next volume is there.
TEST(RestoreDamage, AVolumeChangeDamagedPastRecognitionStillLeadsToTheNextVolume) {
  std::string first =
      ArchiveBuilder().Header().Name("/split.bin").Int(kStored).Section("").VolumeChange(2).Bytes();
  const size_t change = first.size() - 16;
  first[change + 3] = '\xff';
  first[change + 4] ^= 0x40;
  first[change + 5] ^= 0x40;
  test::TempDir out;
  const RunResult r = RestoreWithSecondVolume(first, "the split file's data", out);
  EXPECT_FALSE(r.result);
  ASSERT_EQ(r.damages.size(), 1u);
  EXPECT_EQ(r.damages[0].Offset, static_cast<int64_t>(change));
  EXPECT_EQ(test::ReadFile(out / "split.bin"), "the split file's data");
  EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
}

// Header and volume change both damaged: the split file's empty first
// section, ending where the volume change belongs, is what the search finds.
TEST(RestoreDamage, ASplitFileAfterADamagedHeaderIsFoundBeforeADamagedVolumeChange) {
  std::string first = ArchiveBuilder()
                          .Header("t")
                          .Name("/split.bin")
                          .Int(kStored)
                          .Section("")
                          .VolumeChange(2)
                          .Bytes();
  first[3] = '\x7f';
  first[first.size() - 13] = '\xff';
  test::TempDir out;
  const RunResult r = RestoreWithSecondVolume(first, "the split file's data", out);
  EXPECT_FALSE(r.threw) << r.what;
  EXPECT_FALSE(r.result);
  EXPECT_EQ(test::ReadFile(out / "split.bin"), "the split file's data");
  EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
}

// A terminator damaged into a chunk length that takes in the next entry's
// head: that entry's chunks and terminator end the section soundly. Read
// or stepped over (the file left in place by the mode), the damage is seen.
TEST(RestoreDamage, AnEntryTakenInByADamagedTerminatorIsFound) {
  const std::string b = ArchiveBuilder().File("/b.txt", kStored, "bbb").Bytes();
  const int32_t head = static_cast<int32_t>(4 + 6 + 4 + 4);
  for (const TRestoreMode mode : {rmAll, rmNoOverwrite}) {
    SCOPED_TRACE(mode);
    test::TempDir src, out;
    test::WriteFile(src / "a.bkp", ArchiveBuilder()
                                       .Header()
                                       .Name("/a.txt")
                                       .Int(kStored)
                                       .Signature()
                                       .Chunks("all of a")
                                       .Int(head)
                                       .Raw(b)
                                       .File("/c.txt", kStored, "ccc")
                                       .End()
                                       .Bytes());
    if (mode == rmNoOverwrite) test::WriteFile(out / "a.txt", "older a");
    const RunResult r = RestoreFile(src / "a.bkp", out.path(), false, mode);
    EXPECT_FALSE(r.result);
    ASSERT_FALSE(r.damages.empty());
    EXPECT_EQ(r.damages[0].Filename, "/a.txt");
    EXPECT_EQ(fs::exists(out / "a.txt"), mode == rmNoOverwrite);
    if (mode == rmNoOverwrite) {
      EXPECT_EQ(test::ReadFile(out / "a.txt"), "older a");
    }
    EXPECT_EQ(test::ReadFile(out / "b.txt"), "bbb");
    EXPECT_EQ(test::ReadFile(out / "c.txt"), "ccc");
  }
}

// A name length grown to take in the rest of the entry and the next
// entry's length and name: the name holds NULs, and the stamp, signature
// and data after it are the next file's.
TEST(RestoreDamage, ANameThatTookInTheNextEntrysHeadIsDamage) {
  std::string archive = ArchiveBuilder()
                            .Header()
                            .File("/a.txt", kStored, "")
                            .File("/b.txt", kStored, "bbb")
                            .End()
                            .Bytes();
  const size_t a = ArchiveBuilder().Header().Bytes().size();
  archive[a] = static_cast<char>(6 + 4 + 4 + 4 + 4 + 6);
  test::TempDir src, out;
  test::WriteFile(src / "a.bkp", archive);
  const RunResult r = RestoreFile(src / "a.bkp", out.path());
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{6});
  ASSERT_EQ(r.damages.size(), 1u);
  EXPECT_EQ(r.damages[0].Offset, static_cast<int64_t>(a));
  EXPECT_EQ(test::ReadFile(out / "b.txt"), "bbb");
  EXPECT_EQ(FilesIn(out.path()), 1u);
}

// A chunk length grown to take in the terminator and the head of an empty
// file's entry: the stream inflates soundly, and the empty file's own
// terminator ends the section. The bytes after the stream give it away.
TEST(RestoreDamage, AChunkLengthGrownOverTheNextEntrysHeadIsDamage) {
  const std::string z = Deflate("all of a");
  const std::string e = ArchiveBuilder().Name("/e").Int(kStored).Signature().Bytes();
  test::TempDir src, out;
  test::WriteFile(src / "a.bkp", ArchiveBuilder()
                                     .Header()
                                     .Name("/a.txt")
                                     .Int(kStored)
                                     .Signature()
                                     .Int(static_cast<int32_t>(z.size() + 4 + e.size()))
                                     .Raw(z)
                                     .Int(0)
                                     .Raw(e)
                                     .Int(0)
                                     .File("/c.txt", kStored, "ccc")
                                     .End()
                                     .Bytes());
  const RunResult r = RestoreFile(src / "a.bkp", out.path());
  EXPECT_FALSE(r.result);
  ASSERT_EQ(r.damages.size(), 1u);
  EXPECT_EQ(r.damages[0].Filename, "/a.txt");
  EXPECT_FALSE(fs::exists(out / "a.txt"));
  EXPECT_EQ(test::ReadFile(out / "e"), "");
  EXPECT_EQ(test::ReadFile(out / "c.txt"), "ccc");
}

// The same in data that go on in the next volume after an entry lost to
// damage: with no file open they are checked all the same, and the entry
// their damaged terminator took in is found.
TEST(RestoreDamage, AnEntryTakenInByTheContinuationOfALostFileIsFound) {
  const std::string b = ArchiveBuilder().File("/b.txt", kStored, "bbb").Bytes();
  const int32_t head = static_cast<int32_t>(4 + 6 + 4 + 4);
  test::TempDir src, out;
  ArchiveBuilder()
      .Header()
      .Int(-5)
      .Raw("a damaged entry's head")
      .VolumeChange(2)
      .Save(src / "v.bkp");
  test::WriteFile(src / "v.002", ArchiveBuilder()
                                     .Signature()
                                     .Chunks("the lost file's data")
                                     .Int(head)
                                     .Raw(b)
                                     .File("/after.txt", kStored, "after")
                                     .End()
                                     .Bytes());
  const RunResult r = RestoreFile(src / "v.bkp", out.path());
  EXPECT_FALSE(r.threw) << r.what;
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{6});
  EXPECT_EQ(test::ReadFile(out / "b.txt"), "bbb");
  EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
  EXPECT_EQ(FilesIn(out.path()), 2u);
}

TEST(RestoreDamage, ContinuationVolumeThatIsDamagedCostsTheSplitFileOnly) {
  test::TempDir src, out;
  ArchiveBuilder().Header().File("/s.bin", kStored, "part one").VolumeChange(2).Save(src / "v.bkp");
  test::WriteFile(src / "v.002",
                  "garbage" + ArchiveBuilder().File("/after.txt", kStored, "after").End().Bytes());
  const RunResult r = RestoreFile(src / "v.bkp", out.path());
  EXPECT_FALSE(r.threw) << r.what;
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.errors, std::vector<int32_t>{6});
  ASSERT_FALSE(r.damages.empty());
  EXPECT_EQ(r.damages[0].Filename, "/s.bin");
  EXPECT_EQ(r.damages[0].Volume, 2);
  EXPECT_EQ(r.damages[0].Offset, 0);
  EXPECT_FALSE(fs::exists(out / "s.bin"));
  EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
}

TEST(RestoreDamage, VolumeChangeSwallowedByADamagedLengthStillLeadsOn) {
  // The title length grown by the volume-change entry's 16 bytes: the
  // header then ends exactly where the first volume does.
  const std::string title = "t";
  const std::string first = ArchiveBuilder().Header(title).VolumeChange(2).Bytes();
  std::string damaged = first;
  damaged[0] = static_cast<char>(title.size() + 16);
  const std::string second = ArchiveBuilder().File("/after.txt", kStored, "after").End().Bytes();
  // And a chunk length grown the same way in a file's last section.
  const std::string withFile =
      ArchiveBuilder().Header().Name("/s.bin").Int(kStored).Signature().StoredChunk("abc").Bytes();
  const std::string chunkDamaged = ArchiveBuilder()
                                       .Raw(withFile.substr(0, withFile.size() - 7))
                                       .Int(-(3 + 4 + 16))
                                       .Raw("abc")
                                       .Int(0)
                                       .VolumeChange(2)
                                       .Bytes();
  // A title length past the end of the volume, whose volume-change entry
  // is damaged as well: nothing in the volume reads, yet it leads on.
  std::string unreadable = first;
  unreadable[0] = 100;
  unreadable[first.size() - 13] ^= 0x33;
  // The same with three bytes of the volume-change entry damaged.
  std::string unreadableThree = unreadable;
  unreadableThree[first.size() - 11] ^= 0x40;
  unreadableThree[first.size() - 5] ^= 0x21;
  for (const std::string& volume : {damaged, chunkDamaged, unreadable, unreadableThree}) {
    test::TempDir src, out;
    test::WriteFile(src / "v.bkp", volume);
    test::WriteFile(src / "v.002", ArchiveBuilder().Raw(second).Bytes());
    const RunResult r = RestoreFile(src / "v.bkp", out.path());
    EXPECT_FALSE(r.threw) << r.what;
    EXPECT_FALSE(r.result);
    EXPECT_FALSE(r.incomplete);
    EXPECT_EQ(test::ReadFile(out / "after.txt"), "after");
    ASSERT_FALSE(r.damages.empty());
  }
}

// Each run starts from nothing: what one run found is not left over for the
// next to report, while reading a title is no run and keeps the record.
TEST(RunState, ARunStartsFromNothingTheLastRunLeft) {
  test::TempDir dir;
  ArchiveBuilder()
      .Header("damaged", 4, 1)
      .Name("/a.txt")
      .Int(0)
      .Signature()
      .DeflatedChunk("not a zlib stream")
      .Int(0)
      .Save(dir / "bad.bkp");  // no end marker either
  TBackupFile engine;
  EXPECT_FALSE(engine.Test(dir / "bad.bkp"));
  EXPECT_EQ(engine.ErrorCode(), beCompression);
  EXPECT_FALSE(engine.Damages().empty());
  EXPECT_TRUE(engine.Incomplete());

  EXPECT_EQ(engine.GetArchiveTitle(dir / "bad.bkp", nullptr), "damaged");
  EXPECT_EQ(engine.ErrorCode(), beCompression);

  test::WriteFile(dir / "src/b.txt", "b");
  ASSERT_TRUE(engine.Backup({dir / "src/b.txt"}, dir / "good.bkp"));
  EXPECT_EQ(engine.ErrorCode(), beNone);
  EXPECT_TRUE(engine.Damages().empty());
  EXPECT_FALSE(engine.Incomplete());
  EXPECT_EQ(engine.FilesDone(), 1);
}

// Counts what a test run reads of an archive held in memory.
class CountingStream : public TMemoryStream {
 public:
  size_t Read(void* Buffer, size_t Count) override {
    const size_t n = TMemoryStream::Read(Buffer, Count);
    read += n;
    return n;
  }
  size_t read = 0;
};

struct TestRun {
  size_t archive = 0;
  size_t read = 0;
  size_t damages = 0;
};

TestRun TestInMemory(const std::string& Archive) {
  CountingStream stream;
  stream.WriteBuffer(Archive.data(), Archive.size());
  stream.Seek(0, SeekOrigin::Begin);
  TBackupFile engine;
  TestRun run;
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  engine.OnDamage = [&](TBackupFile&, const TDamage&) { ++run.damages; };
  EXPECT_FALSE(engine.TestFromStream(&stream));
  run.archive = Archive.size();
  run.read = stream.read;
  return run;
}

// The search after damage must cost about what it reads past, however the
// damage is laid out: bytes made to look like one long-named entry after
// another, and file after file whose every chunk is damaged, so that nothing
// sound follows any of them.
TEST(RestoreDamage, TheSearchAfterDamageReadsInTimeProportionalToTheArchive) {
  std::string heads;
  for (int i = 0; i < 20000; ++i) heads += std::string("\xff\xff\0\0/", 5);
  const TestRun junk = TestInMemory(
      WithSoundFirstFile(ArchiveBuilder().Raw(heads).File("/after.txt", kStored, "after").End().Bytes()));
  EXPECT_EQ(junk.damages, 1u);
  EXPECT_LT(junk.read, 10 * junk.archive);

  const auto damagedFiles = [](int Count) {
    ArchiveBuilder archive;
    archive.Header();
    const std::string bad = Deflate(std::string(4000, 'b')).substr(0, 600) + std::string(400, '/');
    for (int i = 0; i < Count; ++i)
      archive.Name("/f" + std::to_string(i)).Int(kStored).Signature().DeflatedChunk(bad).Int(0);
    return TestInMemory(archive.End().Bytes());
  };
  const TestRun few = damagedFiles(200);
  const TestRun many = damagedFiles(800);
  EXPECT_EQ(few.damages, 200u);
  EXPECT_EQ(many.damages, 800u);
  EXPECT_LT(many.read, 5 * few.read);
}

}  // namespace
}  // namespace kelmora
