// SPDX-License-Identifier: GPL-3.0-or-later
//
// The compact lists that keep a run's memory flat with many files: the
// restore's claimed names (exact even when every hash collides), the
// backup's selected files, the companion's sections made entry by entry
// and its records found by name. Each is held against the plain container
// it replaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/companion/metadata.h"
#include "engine/companion/sections.h"
#include "engine/name_claims.h"
#include "engine/restore_builder.h"
#include "engine/selected_files.h"
#include "kelmora/backup_file.h"
#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

// Every name one hash: only the exact comparison tells them apart.
struct OneHash {
  uint64_t operator()(std::string_view) const { return 0x5EED0000DEADBEEFu; }
};

// Names as a walk meets them: runs of leaves in a folder, some leaves long
// enough for two-byte lengths, some names a prefix of others.
std::string NameOf(int I) {
  std::string name = "/home/ann/d" + std::to_string(I / 37) + "/f" + std::to_string(I % 37);
  if (I % 11 == 0) name += std::string(150 + I % 7, 'x');
  if (I % 13 == 0) name += ".bak";
  return name;
}

template <typename Claims>
void CheckAgainstMap(Claims& Claims_, int Count, uint32_t Seed) {
  std::map<std::string, std::string> model;
  std::mt19937 random(Seed);
  for (int step = 0; step < Count * 3; ++step) {
    const std::string name = NameOf(static_cast<int>(random() % Count));
    switch (random() % 4) {
      case 0:
      case 1: {
        // Stored names that end the name (kept as where they begin), the
        // whole name, none, and others, mixed within one block.
        const size_t cut = random() % (name.size() + 1);
        const std::string stored =
            step % 3 == 0 ? "stored " + std::to_string(step) : name.substr(cut);
        Claims_.Set(name, stored);
        model[name] = stored;
        break;
      }
      case 2:
        EXPECT_EQ(Claims_.Erase(name), model.erase(name) == 1) << name;
        break;
      default: {
        const auto found = Claims_.Find(name);
        const auto it = model.find(name);
        ASSERT_EQ(found.has_value(), it != model.end()) << name;
        if (found) {
          EXPECT_EQ(*found, it->second) << name;
        }
      }
    }
  }
  EXPECT_EQ(Claims_.Size(), model.size());
  for (int i = 0; i < Count; ++i) {
    const std::string name = NameOf(i);
    EXPECT_EQ(Claims_.Contains(name), model.count(name) == 1) << name;
    // A name one byte off, its folder, and the name in another case are
    // other names, whatever their hash.
    EXPECT_FALSE(Claims_.Contains(name + "x"));
    EXPECT_FALSE(Claims_.Contains(name.substr(0, name.size() - 1)) &&
                 model.count(name.substr(0, name.size() - 1)) == 0);
  }
}

TEST(NameClaims, EveryHashCollidingStillFindsExactlyTheNameClaimed) {
  BasicNameClaims<OneHash> claims;
  claims.Set("/r/a.txt", "/a.txt");
  claims.Set("/r/A.txt", "/b/A.txt");
  // The same hash, another name: no earlier claim, so no clash.
  EXPECT_FALSE(claims.Contains("/r/b.txt"));
  EXPECT_EQ(claims.Find("/r/a.txt").value_or(""), "/a.txt");
  EXPECT_EQ(claims.Find("/r/A.txt").value_or(""), "/b/A.txt");
  EXPECT_TRUE(claims.Erase("/r/a.txt"));
  EXPECT_FALSE(claims.Contains("/r/a.txt"));
  EXPECT_EQ(claims.Find("/r/A.txt").value_or(""), "/b/A.txt");
  EXPECT_TRUE(claims.Erase("/r/A.txt"));
  EXPECT_EQ(claims.Size(), 0u);
  CheckAgainstMap(claims, 400, 1);
}

TEST(NameClaims, AgreesWithAMapOverManyNamesAndGrowths) {
  NameClaims claims;
  CheckAgainstMap(claims, 20000, 2);
  claims.Set("/r/a.txt", "/a.txt");
  EXPECT_EQ(claims.Find("/r/a.txt").value_or(""), "/a.txt");
  // Front-coded in blocks: far less than a map of two strings a name.
  NameClaims many;
  for (int i = 0; i < 100000; ++i) many.Set("/restore/home/ann/" + NameOf(i), NameOf(i));
  EXPECT_EQ(many.Size(), 100000u);
  EXPECT_EQ(many.Find("/restore/home/ann/" + NameOf(99999)).value_or(""), NameOf(99999));
  EXPECT_LT(many.Footprint(), size_t{100000} * 100);
}

TEST(SelectedFiles, HoldsWhatAListOfPathsHolds) {
  SelectedFiles files;
  TStringList model;
  const std::vector<std::string> paths = {"/a/b/one",   "/a/b/two", "/a/c/one", "top",
                                          "/a/b/three", "/a/b/",    "/x"};
  for (const std::string& path : paths) {
    files.push_back(path);
    model.push_back(path);
  }
  // Taken back as a duplicate or the archive, the last file and its folder go.
  files.pop_back();
  model.pop_back();
  files.push_back("/y/z");
  model.push_back("/y/z");
  files.push_front("/tmp/list");
  model.insert(model.begin(), "/tmp/list");
  ASSERT_EQ(files.size(), model.size());
  for (size_t i = 0; i < model.size(); ++i) EXPECT_EQ(files[i], model[i]);
  files.Remove({false, true, false, false, true});
  const TStringList kept = {"/tmp/list", "/a/b/two", "/a/c/one", "/a/b/three", "/a/b/", "/y/z"};
  ASSERT_EQ(files.size(), kept.size());
  for (size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(files[i], kept[i]);
  EXPECT_EQ(files.back(), "/y/z");
}

TEST(SectionBody, PiecesMakeTheBodiesTheWholeEncodersMake) {
  std::vector<companion::IndexEntry> entries;
  std::vector<companion::MetadataRecord> records;
  companion::SectionBody index, metadata;
  // Over a mebibyte each: several pieces, entries never split wrongly.
  for (int i = 0; i < 12000; ++i) {
    companion::IndexEntry e;
    e.Name = NameOf(i) + std::string(60, 'n');
    e.Offset = i * 100;
    e.Size = i;
    e.Chunks = static_cast<uint32_t>(i % 5);
    e.Stamp = i;
    entries.push_back(e);
    index.Add(e);
    companion::MetadataRecord m;
    m.Kind = i % 3 == 0 ? companion::EntryKind::Folder : companion::EntryKind::File;
    m.Name = e.Name;
    m.UserName = "ann";
    m.LinkTarget = i % 7 == 0 ? "../t" : "";
    m.Seconds = i;
    records.push_back(m);
    metadata.Add(m);
  }
  EXPECT_EQ(index.Text(), companion::EncodeIndex(entries));
  EXPECT_EQ(metadata.Text(), companion::EncodeMetadata(records));
  EXPECT_GT(index.Size(), int64_t{1} << 20);
  EXPECT_EQ(index.Size(), static_cast<int64_t>(index.Text().size()));
  std::vector<companion::IndexEntry> back;
  ASSERT_TRUE(companion::DecodeIndex(index.Text(), back));
  EXPECT_EQ(back, entries);
}

// Past a few mebibytes the body goes to its spill file, read back whole
// and in order; the file is gone with the body. A spill that cannot be
// opened keeps everything in memory, with the same bytes.
TEST(SectionBody, SpilledOrNotTheBodyIsTheSameAndItsFileGoes) {
  test::TempDir dir;
  std::vector<companion::IndexEntry> entries;
  for (int i = 0; i < 60000; ++i) {
    companion::IndexEntry e;
    e.Name = NameOf(i) + std::string(40, 'n');
    e.Offset = i;
    entries.push_back(e);
  }
  std::string spillName;
  {
    companion::SectionBody spilled, refused;
    spilled.SpillWith([&](std::string& Name) {
      Name = dir / "spill";
      return platform::File::Open(Name, platform::OpenMode::Create);
    });
    refused.SpillWith([](std::string&) { return platform::File::Failure(ENOSPC); });
    for (const companion::IndexEntry& e : entries) {
      spilled.Add(e);
      refused.Add(e);
    }
    spillName = spilled.SpillName();
    ASSERT_EQ(spillName, dir / "spill");
    EXPECT_GT(std::filesystem::file_size(spillName), uintmax_t{4} << 20);
    EXPECT_EQ(refused.SpillName(), "");
    const std::string whole = companion::EncodeIndex(entries);
    EXPECT_TRUE(spilled.Text() == whole);
    EXPECT_TRUE(refused.Text() == whole);
    // Read back twice (a companion rewritten after a stop would).
    EXPECT_EQ(spilled.Text().size(), whole.size());
  }
  EXPECT_FALSE(std::filesystem::exists(spillName));
}

bool DecodeInPieces(const std::string& Body, size_t Piece,
                    std::vector<companion::IndexEntry>& Entries) {
  companion::IndexDecoder decoder(Entries, Body.size());
  for (size_t at = 0; at < Body.size(); at += Piece)
    if (!decoder.Take(Body.data() + at, std::min(Piece, Body.size() - at))) return false;
  return decoder.Finish();
}

// The index read a piece at a time, pieces cutting counts, lengths and
// names anywhere, gives what the whole body gives, and refuses the same
// damage: cut short, a byte too many, a count or a length beyond the body.
TEST(IndexDecoder, PiecesOfAnySizeDecodeAndRefuseAsTheWholeBody) {
  std::vector<companion::IndexEntry> entries;
  for (int i = 0; i < 300; ++i) {
    companion::IndexEntry e;
    e.Name = NameOf(i);
    e.Offset = i * 10;
    e.Size = i;
    entries.push_back(e);
  }
  const std::string body = companion::EncodeIndex(entries);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, size_t{64}, size_t{4096}, body.size()}) {
    std::vector<companion::IndexEntry> back;
    ASSERT_TRUE(DecodeInPieces(body, piece, back)) << piece;
    EXPECT_EQ(back, entries) << piece;
  }
  std::string tooLong = body + "x";
  std::string cut = body.substr(0, body.size() - 3);
  std::string counted = body;
  counted[0] = static_cast<char>(counted[0] + 1);
  std::string longRecord = body;
  longRecord[4 + 3] = static_cast<char>(0x7F);  // the first record's length
  for (const std::string* damaged : {&tooLong, &cut, &counted, &longRecord})
    for (size_t piece : {size_t{1}, size_t{5}, damaged->size()}) {
      std::vector<companion::IndexEntry> back;
      EXPECT_FALSE(DecodeInPieces(*damaged, piece, back)) << piece;
      EXPECT_TRUE(back.empty());
      EXPECT_FALSE(companion::DecodeIndex(*damaged, back));
    }
}

TEST(MetadataByName, FindsByNameAndKindTheLastRecordOfAName) {
  std::vector<companion::MetadataRecord> records(5);
  const char* names[] = {"/b", "/a", "/b", "/b", "/c"};
  const companion::EntryKind kinds[] = {companion::EntryKind::File, companion::EntryKind::File,
                                        companion::EntryKind::Folder, companion::EntryKind::File,
                                        companion::EntryKind::Link};
  for (int i = 0; i < 5; ++i) {
    records[i].Name = names[i];
    records[i].Kind = kinds[i];
    records[i].Seconds = i;
  }
  const companion::MetadataByName byName(records);
  // "/b" as a file twice (backed up twice): the later record.
  ASSERT_TRUE(byName.Find("/b", companion::EntryKind::File));
  EXPECT_EQ(byName.Find("/b", companion::EntryKind::File)->Seconds, 3);
  EXPECT_EQ(byName.Find("/b", companion::EntryKind::Folder)->Seconds, 2);
  EXPECT_EQ(byName.Find("/a", companion::EntryKind::File)->Seconds, 1);
  EXPECT_FALSE(byName.Find("/a", companion::EntryKind::Folder));
  EXPECT_EQ(byName.Find("/c", companion::EntryKind::Link)->Seconds, 4);
  EXPECT_FALSE(byName.Find("/d", companion::EntryKind::File));
  EXPECT_FALSE(byName.Find("", companion::EntryKind::File));
  // Read again in the order recorded, each whole.
  std::vector<companion::MetadataRecord> again;
  EXPECT_TRUE(byName.ForEach([&again](const companion::MetadataRecord& R) {
    again.push_back(R);
    return true;
  }));
  EXPECT_EQ(again, records);
}

// Only a hash and a place are held for a record: the body is read again
// for each question, piece by piece as a companion on disk gives it, and a
// body changed since it was first read answers nothing rather than a
// record of another name.
TEST(MetadataByName, ReadsRecordsAgainFromTheBodyAndTrustsNoChangedOne) {
  std::vector<companion::MetadataRecord> records(3000);
  for (size_t i = 0; i < records.size(); ++i) {
    records[i].Name = "/home/ann/d" + std::to_string(i / 100) + "/f" + std::to_string(i);
    records[i].Seconds = static_cast<int64_t>(i);
    records[i].Has = companion::kHasTime;
  }
  std::string body = companion::EncodeMetadata(records);
  const auto stream = [&body](const std::function<bool(const uint8_t*, size_t)>& Take) {
    for (size_t at = 0; at < body.size(); at += 777)
      if (!Take(reinterpret_cast<const uint8_t*>(body.data()) + at,
                std::min<size_t>(777, body.size() - at)))
        return false;
    return true;
  };
  const auto read = [&body](uint64_t Offset, void* Bytes, size_t Count) {
    if (Offset + Count > body.size()) return false;
    body.copy(static_cast<char*>(Bytes), Count, Offset);
    return true;
  };
  const auto byName = companion::MetadataByName::Read(stream, body.size(), read);
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(byName->Size(), records.size());
  for (size_t i : {size_t{0}, size_t{1234}, size_t{2999}})
    EXPECT_EQ(byName->Find(records[i].Name, companion::EntryKind::File), records[i]) << i;
  // A name changed in place after the first read.
  const size_t at = body.find("/f1234");
  ASSERT_NE(at, std::string::npos);
  body[at + 2] = '9';
  EXPECT_FALSE(byName->Find("/home/ann/d12/f1234", companion::EntryKind::File));
  EXPECT_FALSE(byName->Find("/home/ann/d12/f9234", companion::EntryKind::File));
  // A body cut short is refused whole.
  body.resize(body.size() - 1);
  EXPECT_EQ(companion::MetadataByName::Read(stream, body.size(), read), nullptr);
}

const int32_t kStamp = test::Stamp(2024, 5, 1, 12, 0, 0);

// Thousands of files on one name each, restored without their folders:
// every later one meets the earlier file of its leaf and is refused, the
// earlier stays, and names one character apart never clash.
TEST(RestoreClashes, ManyNamesOnOneTargetEachRefusedAgainstItsOwnEarlierFile) {
  constexpr int kFiles = 1500;
  test::ArchiveBuilder archive;
  archive.Header();
  for (const char* top : {"/one/", "/two/"})
    for (int i = 0; i < kFiles; ++i)
      archive.File(
          top + std::string("d") + std::to_string(i % 30) + "/f" + std::to_string(i) + ".txt",
          kStamp, std::string(top) + std::to_string(i));
  archive.File("/one/d1/f1.txt", kStamp, "again").File("/one/d1/f1.tx", kStamp, "near");
  const std::string bytes = archive.End().Bytes();
  test::TempDir dir;
  TBackupFile engine;
  std::map<std::string, std::string> earlier;
  engine.OnNameClash = [&](TBackupFile&, const std::string& Stored, const std::string& Earlier,
                           const std::string&) { earlier[Stored] = Earlier; };
  TMemoryStream stream = test::StreamOf(bytes);
  EXPECT_FALSE(engine.RestoreFromStream(&stream, dir.path()));
  ASSERT_EQ(earlier.size(), static_cast<size_t>(kFiles));
  for (int i = 0; i < kFiles; i += 97) {
    const std::string leaf = "/f" + std::to_string(i) + ".txt";
    const std::string folder = "d" + std::to_string(i % 30);
    EXPECT_EQ(earlier["/two/" + folder + leaf], "/one/" + folder + leaf);
    EXPECT_EQ(test::ReadFile(dir.path() + leaf), i == 1 ? "again" : "/one/" + std::to_string(i));
  }
  EXPECT_EQ(test::ReadFile(dir / "f1.tx"), "near");
}

// A backup of many files in many folders, two specifications overlapping
// (the second's files are dropped as duplicates), writes the same archive
// and companion byte for byte on one thread and on two.
TEST(SelectedFiles, ManyFilesMakeTheSameArchiveOnOneAndTwoThreads) {
  test::TempDir dir;
  for (int i = 0; i < 2000; ++i)
    test::WriteFile(dir / ("src/d" + std::to_string(i % 40) + "/f" + std::to_string(i)),
                    test::TextBytes(static_cast<size_t>(i % 900), static_cast<uint32_t>(i)));
  test::WriteFile(dir / "src/top.txt", "top");
  std::string archives[2], companions[2];
  for (unsigned threads : {1u, 2u}) {
    TBackupFile engine;
    engine.Threads = threads;
    engine.WriteCompanion = true;
    const std::string out = dir / ("out" + std::to_string(threads) + "/a.bkp");
    std::filesystem::create_directories(dir / ("out" + std::to_string(threads)));
    ASSERT_TRUE(engine.Backup({dir / "src/*.* /s", dir / "src/d3/*"}, out));
    EXPECT_EQ(engine.FilesDone(), 2001);
    archives[threads - 1] = test::ReadFile(out);
    companions[threads - 1] = test::ReadFile(out + ".kx");
  }
  EXPECT_TRUE(archives[0] == archives[1]);
  EXPECT_TRUE(companions[0] == companions[1]);
  // Every file's name and bytes are in it: far more than the names alone.
  EXPECT_GT(archives[0].size(), size_t{2001} * 100);
}

}  // namespace
}  // namespace kelmora
