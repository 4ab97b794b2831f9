// SPDX-License-Identifier: GPL-3.0-or-later
//
// One damaged byte anywhere in an archive loses at most the one file it
// falls in. A real backup (title, file-ID list, compressed and stored
// chunks, an empty file, a file split over two volumes) is damaged one byte
// at a time, restored and tested; every other file must come back
// byte-identical, and damage that the layout can show must be reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

// Volume 1 takes the header, the list, alpha.txt and bravo.bin's first
// piece; bravo.bin's last 100 bytes and every later file go to volume 2.
constexpr int32_t kVolumeSize = format::kVolumeReserve + 14000;

struct Field {
  size_t volume;
  size_t offset;
  size_t size;
  std::string kind;
  std::string owner;  // the stored name of the file the field belongs to
};

// The fields of a sound archive, volume by volume, as the writer laid them.
std::vector<Field> Layout(const std::vector<std::string>& Volumes) {
  std::vector<Field> fields;
  size_t volume = 0;
  size_t at = 0;
  std::string owner;
  const auto add = [&](size_t Size, const std::string& Kind) {
    fields.push_back({volume, at, Size, Kind, owner});
    at += Size;
  };
  const auto section = [&] {
    add(4, "signature");
    for (;;) {
      const int32_t length = test::LE32(Volumes[volume], at);
      add(4, length == 0 ? "terminator" : "chunk length");
      if (length == 0) return;
      add(static_cast<size_t>(std::abs(length)),
          length > 0 ? "compressed payload" : "stored payload");
    }
  };
  const int32_t titleLength = test::LE32(Volumes[0], 0);
  add(4, "title length");
  add(static_cast<size_t>(titleLength), "title");
  add(4, "total size");
  add(4, "file count");
  for (;;) {
    const int32_t length = test::LE32(Volumes[volume], at);
    const std::string name = Volumes[volume].substr(at + 4, static_cast<size_t>(length));
    if (length == 0) {
      owner.clear();
      add(4, "end marker");
      return fields;
    }
    if (format::IsVolumeChangeName(name)) {
      const std::string split = owner;
      owner.clear();
      add(16, "volume-change entry");
      ++volume;
      at = 0;
      owner = split;
      section();
      continue;
    }
    owner = name;
    add(4, "name length");
    add(name.size(), "name");
    add(4, "time stamp");
    section();
  }
}

// Fields whose damage the layout always shows. A flipped name, time stamp,
// title, total size or stored byte reads as different but valid data.
bool MustBeSeen(const std::string& Kind) {
  static const std::set<std::string> seen = {
      "title length", "name length", "signature",           "chunk length",
      "terminator",   "end marker",  "volume-change entry", "compressed payload"};
  return seen.count(Kind) != 0;
}

struct Sources {
  std::map<std::string, std::string> files;  // stored name -> contents
  std::vector<std::string> order;
};

class DamageLocality : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::pair<const char*, std::string> files[] = {
        {"alpha.txt", test::TextBytes(3000, 1)},
        {"bravo.bin", test::RandomBytes(16384 + 100, 2)},
        {"charlie.txt", ""},
        {"echo.txt", test::TextBytes(700, 4)},
        {"delta.txt", test::TextBytes(40000, 3)},
    };
    for (const auto& [name, bytes] : files) {
      std::string path = src_ / name;
      // The last file's stored name is 256 bytes long, so the first byte of
      // its name length is zero: an archive cut just after echo.txt ends in
      // four zeros, which read like an end marker.
      if (path == src_ / "delta.txt") path.insert(path.size() - 4, 256 - path.size(), '-');
      test::WriteFile(path, bytes);
      sources_.files[path] = bytes;
      sources_.order.push_back(path);
    }
    TBackupFile engine;
    engine.BackupTitle = "damage";
    engine.SaveFileID = true;
    engine.MaxSize = kVolumeSize;
    engine.CompressionLevel = clDefault;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    ASSERT_TRUE(engine.Backup(sources_.order, src_ / "a.bkp"));
    volumes_.push_back(test::ReadFile(src_ / "a.bkp"));
    volumes_.push_back(test::ReadFile(src_ / "a.002"));
    ASSERT_FALSE(fs::exists(src_ / "a.003"));
    fields_ = Layout(volumes_);
  }

  // Writes the volumes with one byte changed into a fresh folder.
  std::string Damaged(const Field& Where, size_t Offset, unsigned char Mask) {
    fs::remove_all(work_ / "in");
    std::vector<std::string> volumes = volumes_;
    volumes[Where.volume][Offset] = static_cast<char>(volumes[Where.volume][Offset] ^ Mask);
    test::WriteFile(work_ / "in/a.bkp", volumes[0]);
    test::WriteFile(work_ / "in/a.002", volumes[1]);
    return work_ / "in/a.bkp";
  }

  static std::string Leaf(const std::string& Stored) {
    return Stored.substr(Stored.find_last_of(test::kSeparator) + 1);
  }

  test::TempDir src_, work_;
  Sources sources_;
  std::vector<std::string> volumes_;
  std::vector<Field> fields_;
};

TEST_F(DamageLocality, TheSoundArchiveHoldsEveryKindOfField) {
  std::set<std::string> kinds;
  for (const Field& f : fields_) kinds.insert(f.kind);
  for (const char* kind : {"stored payload", "compressed payload", "volume-change entry", "title",
                           "end marker", "terminator"})
    EXPECT_EQ(kinds.count(kind), 1u) << kind;
  // The split falls in bravo.bin, and charlie.txt is an empty section.
  bool split = false;
  for (const Field& f : fields_)
    if (f.kind == "volume-change entry") split = true;
  EXPECT_TRUE(split);
  bool emptyFile = false;
  for (size_t i = 0; i + 1 < fields_.size(); ++i)
    if (fields_[i].kind == "signature" && fields_[i + 1].kind == "terminator" &&
        Leaf(fields_[i].owner) == "charlie.txt")
      emptyFile = true;
  EXPECT_TRUE(emptyFile);

  TBackupFile engine;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  EXPECT_TRUE(engine.Test(src_ / "a.bkp"));
  EXPECT_EQ(engine.FilesDone(), 5);
  EXPECT_TRUE(engine.Damages().empty());
  EXPECT_FALSE(engine.Incomplete());
}

TEST_F(DamageLocality, OneDamagedByteLosesAtMostItsOwnFile) {
  int runs = 0;
  for (const Field& field : fields_) {
    std::vector<size_t> offsets;
    const bool payload = field.kind.find("payload") != std::string::npos;
    for (size_t i = 0; i < field.size; ++i)
      if (!payload || i < 8 || i + 8 >= field.size || i % 97 == 0)
        offsets.push_back(field.offset + i);
    // Lengths and marks are where a small change misleads most: one bit
    // up or down as well as every bit.
    const std::vector<unsigned char> masks = MustBeSeen(field.kind) && !payload
                                                 ? std::vector<unsigned char>{0xFF, 0x01, 0x80}
                                                 : std::vector<unsigned char>{0xFF};
    for (const size_t offset : offsets) {
      for (const unsigned char mask : masks) {
        ++runs;
        const std::string archive = Damaged(field, offset, mask);
        const std::string where = field.kind + " of " + (field.owner.empty() ? "-" : field.owner) +
                                  ", volume " + std::to_string(field.volume + 1) + " offset " +
                                  std::to_string(offset) + " mask " + std::to_string(mask);
        fs::remove_all(work_ / "out");
        TBackupFile engine;
        engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
        std::set<std::string> restoreDamaged;
        std::string report;  // what the restore said, for the messages below
        engine.OnDamage = [&](TBackupFile&, const TDamage& D) {
          restoreDamaged.insert(D.Filename);
          report += "\n  [" + D.Filename + "] volume " + std::to_string(D.Volume) + " at " +
                    std::to_string(D.Offset) + ": " + D.Reason;
        };
        engine.OnError = [&](TBackupFile& Sender, int32_t, const std::string&) {
          report += "\n  failed: " + DescribeFailure(Sender.Failure());
        };
        bool result = false;
        ASSERT_NO_THROW(result = engine.Restore(archive, work_ / "out")) << where;

        for (const std::string& stored : sources_.order) {
          const std::string target = work_ / ("out/" + Leaf(stored));
          if (stored == field.owner) {
            if (restoreDamaged.count(stored) != 0) {
              EXPECT_FALSE(fs::exists(target)) << where << ": a damaged file was put in place";
            }
            continue;
          }
          ASSERT_TRUE(fs::exists(target)) << where << ": lost " << stored << report;
          EXPECT_EQ(test::ReadFile(target), sources_.files[stored]) << where << ": " << stored;
        }
        // Nothing else appears, unless the name itself was hit.
        for (const auto& entry : fs::directory_iterator(work_ / "out")) {
          const std::string stored = src_ / entry.path().filename().string();
          if (sources_.files.count(stored) == 0) {
            EXPECT_EQ(field.kind, "name") << where << ": wrote " << entry.path();
          }
        }
        if (MustBeSeen(field.kind)) {
          EXPECT_FALSE(result) << where << ": damage passed as success";
          EXPECT_FALSE(restoreDamaged.empty()) << where;
          EXPECT_EQ(engine.ErrorCode(), beCompression) << where;
        }
        // A hit in "FILE:LIST" can leave a name holding ":", which Windows
        // refuses as a name (code 1) rather than reading it as damage.
        const bool refusedName = test::kOnWindows && field.kind == "name" && !result &&
                                 restoreDamaged.empty() && engine.ErrorCode() == beCannotReadFile;
        if (!result && !refusedName) {
          EXPECT_FALSE(restoreDamaged.empty()) << where << ": failed without a report";
        }
        // A damaged name length can make the name read a little long or
        // short; it is still this entry's.
        for (const std::string& name : restoreDamaged) {
          const size_t common = std::min(name.size(), field.owner.size());
          EXPECT_TRUE(name.empty() || name.compare(0, common, field.owner, 0, common) == 0)
              << where << ": blamed the wrong file" << report;
        }

        // The test reads the same way and finds the same files.
        TBackupFile tester;
        tester.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
        tester.OnError = [](TBackupFile&, int32_t, const std::string&) {};
        std::set<std::string> testDamaged;
        tester.OnDamage = [&](TBackupFile&, const TDamage& D) { testDamaged.insert(D.Filename); };
        EXPECT_EQ(tester.Test(archive), result || refusedName) << where;
        EXPECT_EQ(testDamaged, restoreDamaged) << where;
      }
    }
  }
  EXPECT_GT(runs, 500);
}

TEST_F(DamageLocality, ACutArchiveRestoresEverythingBeforeTheCut) {
  // Where each file's data ends: its terminator's last byte, volume and all.
  std::map<std::string, std::pair<size_t, size_t>> ends;
  for (const Field& f : fields_)
    if (f.kind == "terminator" && !f.owner.empty()) ends[f.owner] = {f.volume, f.offset + 4};
  std::vector<std::pair<size_t, size_t>> cuts;
  for (const Field& f : fields_) {
    cuts.emplace_back(f.volume, f.offset);
    // Inside the length of the record after a file.
    if (f.kind == "terminator" && !f.owner.empty())
      for (size_t into = 1; into < 4; ++into) cuts.emplace_back(f.volume, f.offset + 4 + into);
  }
  cuts.emplace_back(1, volumes_[1].size() - 4);
  cuts.emplace_back(1, 0);  // the second volume is missing altogether
  for (const auto& [volume, cut] : cuts) {
    const std::string where =
        "cut in volume " + std::to_string(volume + 1) + " at " + std::to_string(cut);
    fs::remove_all(work_ / "in");
    fs::remove_all(work_ / "out");
    test::WriteFile(work_ / "in/a.bkp", volume == 0 ? volumes_[0].substr(0, cut) : volumes_[0]);
    if (volume == 1 && cut > 0) test::WriteFile(work_ / "in/a.002", volumes_[1].substr(0, cut));
    TBackupFile engine;
    engine.OnNeedDisk = [&](TBackupFile&, uint16_t, bool& Continue) {
      Continue = fs::exists(work_ / "in/a.002");
    };
    engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
    bool result = true;
    try {
      result = engine.Restore(work_ / "in/a.bkp", work_ / "out");
    } catch (const Exception& e) {
      // Only an archive cut inside its header is no archive at all.
      EXPECT_LT(cut, 12u + 6u) << where << ": " << e.what();
      continue;
    }
    EXPECT_FALSE(result) << where;
    EXPECT_TRUE(engine.Incomplete()) << where;
    for (const std::string& stored : sources_.order) {
      // A file is whole when its data ended before the cut; one whose data
      // end right at the cut may be the part a stopped backup managed.
      const auto [endVolume, end] = ends[stored];
      const bool whole = endVolume < volume || (endVolume == volume && end < cut);
      const std::string target = work_ / ("out/" + Leaf(stored));
      EXPECT_EQ(fs::exists(target), whole) << where << ": " << stored;
      if (whole && fs::exists(target)) {
        EXPECT_EQ(test::ReadFile(target), sources_.files[stored]) << where << ": " << stored;
      }
    }
  }
}

}  // namespace
}  // namespace kelmora
