// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the writer puts on disk: exact byte layouts, chunk boundaries, and
// a round trip of a real tree through zlib alone.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "kelmora/backup_file.h"
#include "engine/backup_writer_support.h"
#include "engine/piece_codec.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::LE32;
using test::TempDir;

std::string Backup(TBackupFile& Engine, const TStringList& Sources, const std::string& Archive) {
  test::RunLog log;
  test::Record(Engine, log);
  EXPECT_TRUE(Engine.Backup(Sources, Archive));
  EXPECT_TRUE(log.Errors.empty());
  return test::ReadFile(Archive);
}

TEST(BackupLayout, EmptySelectionIsSixteenZeroBytes) {
  TempDir dir;
  TBackupFile engine;
  const std::string bytes = Backup(engine, {}, dir / "empty.bkp");
  EXPECT_EQ(std::string(16, '\0'), bytes);
  EXPECT_EQ(0, engine.FileCount());
  EXPECT_EQ(0, engine.CompressionRate());
}

// One empty file: every field sits at an offset that follows from the
// length of the file's absolute name (10 characters give 42 bytes), and a
// title moves every later field by its length.
TEST(BackupLayout, OneEmptyFileFieldsFollowNameAndTitle) {
  TempDir dir;
  const std::string file = dir / "x.txt";
  test::WriteFile(file, "");
  for (const std::string title : {"", "abc"}) {
    SCOPED_TRACE("title \"" + title + "\"");
    TBackupFile engine;
    engine.BackupTitle = title;
    const std::string bytes = Backup(engine, {file}, dir / "one.bkp");
    const size_t t = title.size(), n = file.size();
    ASSERT_EQ(32 + n + t, bytes.size());
    EXPECT_EQ(static_cast<int32_t>(t), LE32(bytes, 0));
    EXPECT_EQ(title, bytes.substr(4, t));
    EXPECT_EQ(0, LE32(bytes, 4 + t));  // total size
    EXPECT_EQ(1, LE32(bytes, 8 + t));  // file count
    EXPECT_EQ(static_cast<int32_t>(n), LE32(bytes, 12 + t));
    EXPECT_EQ(file, bytes.substr(16 + t, n));
    EXPECT_EQ(platform::FileTimeOfPath(file), LE32(bytes, 16 + t + n));
    EXPECT_EQ(std::string("EC2\0", 4), bytes.substr(20 + t + n, 4));
    EXPECT_EQ(0, LE32(bytes, 24 + t + n));  // section terminator
    EXPECT_EQ(0, LE32(bytes, 28 + t + n));  // end marker
  }
}

struct BoundaryCase {
  const char* Label;
  std::string Data;
  TCompressionLevel Level;
  std::vector<int32_t> Lengths;  // expected chunk lengths; 0 = any compressed length
};

TEST(BackupLayout, ChunkBoundaries) {
  const std::string text = test::TextBytes(40000);
  const std::string noise = test::RandomBytes(16384);
  const std::vector<BoundaryCase> cases = {
      {"empty file: a section without chunks", "", clFastest, {}},
      {"exactly one piece", text.substr(0, 16384), clFastest, {0}},
      {"one byte more: a second chunk of one byte", text.substr(0, 16385), clFastest, {0, 0}},
      {"incompressible piece is stored", noise, clMax, {-16384}},
      {"clNone stores full pieces, a short last piece is a zlib stream",
       text,
       clNone,
       {-16384, -16384, 0}},
  };
  for (const BoundaryCase& c : cases) {
    SCOPED_TRACE(c.Label);
    TempDir dir;
    test::WriteFile(dir / "f", c.Data);
    TBackupFile engine;
    engine.CompressionLevel = c.Level;
    Backup(engine, {dir / "f"}, dir / "a.bkp");
    const auto archive = test::ReadArchiveFile(dir / "a.bkp");
    ASSERT_EQ(1u, archive.Entries.size());
    ASSERT_EQ(1u, archive.Entries[0].Sections.size());
    const auto& chunks = archive.Entries[0].Sections[0].Chunks;
    ASSERT_EQ(c.Lengths.size(), chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
      if (c.Lengths[i] != 0) {
        EXPECT_EQ(c.Lengths[i], chunks[i].Length) << "chunk " << i;
      } else {
        EXPECT_GT(chunks[i].Length, 0) << "chunk " << i;
      }
    }
    if (c.Data.size() == 16385) {
      EXPECT_EQ(1u, test::ChunkData(chunks[1]).size());
    }
    EXPECT_EQ(c.Data, test::EntryData(archive.Entries[0]));
  }
}

// A real tree of every kind of file, at every level: each chunk inflates
// on its own to at most one piece, and the pieces give the files back.
TEST(BackupLayout, RoundTripThroughZlibAlone) {
  TempDir dir;
  std::map<std::string, std::string> files = {
      {"src/empty", ""},
      {"src/text.txt", test::TextBytes(100000, 2)},
      {"src/noise.bin", test::RandomBytes(50000, 3)},
      {"src/sub/deeper/piece", test::TextBytes(16384, 4)},
      {"src/sub/mixed", test::TextBytes(20000, 5) + test::RandomBytes(30000, 6)},
      // Windows drops a blank that ends a name.
      {test::kOnWindows ? "src/sub/ lead blank" : "src/sub/ lead and trail ",
       "a name with blanks at both ends"},
  };
  for (const auto& [name, data] : files) test::WriteFile(dir / name, data);

  for (const TCompressionLevel level : {clFastest, clNone, clDefault, clMax}) {
    SCOPED_TRACE("level " + std::to_string(level));
    TBackupFile engine;
    engine.CompressionLevel = level;
    Backup(engine, {dir / "src/*.* /s"}, dir / "tree.bkp");
    const auto archive = test::ReadArchiveFile(dir / "tree.bkp");
    EXPECT_TRUE(archive.EndMarker);
    EXPECT_EQ(static_cast<int32_t>(files.size()), archive.Header.FileCount);
    int64_t total = 0;
    for (const auto& [name, data] : files) total += static_cast<int64_t>(data.size());
    EXPECT_EQ(total, archive.Header.TotalSize);
    ASSERT_EQ(files.size(), archive.Entries.size());
    int64_t archiveBytes = 0;
    for (const auto& entry : archive.Entries) {
      SCOPED_TRACE(entry.Name);
      std::string relative = entry.Name.substr(dir.path().size() + 1);
      for (char& c : relative)
        if (c == test::kSeparator) c = '/';
      ASSERT_EQ(1u, files.count(relative));
      archiveBytes += 4;
      for (const auto& chunk : entry.Sections[0].Chunks) {
        EXPECT_LE(std::abs(chunk.Length), format::kPieceSize);
        EXPECT_LE(test::ChunkData(chunk).size(), static_cast<size_t>(format::kPieceSize));
        archiveBytes += 4 + std::abs(chunk.Length);
      }
      EXPECT_EQ(files[relative], test::EntryData(entry));
    }
    EXPECT_EQ(archiveBytes, engine.ArchiveBytes());
    EXPECT_EQ(100 - archiveBytes * 100 / total, engine.CompressionRate());
  }
}

// Pieces compressed ahead on other threads come back in file order: the
// archive, volumes included, is the same byte for byte as one written by
// the calling thread alone, and the same again on a second run.
TEST(BackupLayout, CompressionThreadsDoNotChangeTheBytes) {
  TempDir dir;
  test::WriteFile(dir / "src/a", test::TextBytes(300000, 21));
  test::WriteFile(dir / "src/b", test::RandomBytes(70000, 22));
  test::WriteFile(dir / "src/c", "");
  test::WriteFile(dir / "src/d/e", test::TextBytes(16385, 23) + test::RandomBytes(50000, 24));
  for (int i = 0; i < 40; ++i)
    test::WriteFile(dir / ("src/small/" + std::to_string(i)),
                    test::TextBytes(100 + 700 * i, 25 + i));
  for (const TCompressionLevel level : {clFastest, clDefault, clMax}) {
    for (const int32_t maxSize : {0, 40000}) {
      SCOPED_TRACE("level " + std::to_string(level) + ", MaxSize " + std::to_string(maxSize));
      std::vector<std::string> archives;
      for (const unsigned threads : {1u, 4u, 4u}) {
        TBackupFile engine;
        engine.CompressionLevel = level;
        engine.MaxSize = maxSize;
        engine.Threads = threads;
        const std::string name = dir / (std::to_string(archives.size()) + ".bkp");
        Backup(engine, {dir / "src/*.* /s"}, name);
        std::string bytes;
        for (const auto& volume : test::ReadArchiveFile(name).Volumes)
          bytes += test::ReadFile(volume) + "|";
        archives.push_back(bytes);
      }
      EXPECT_EQ(archives[0], archives[1]) << "1 thread against 4";
      EXPECT_EQ(archives[1], archives[2]) << "two runs with 4 threads";
    }
  }
}

// A run stopped part way through many small files leaves the same bytes
// with pieces read ahead across files as with one thread: what was read
// ahead of the stop is dropped, and every file opened ahead is closed.
TEST(BackupLayout, StoppedRunsAreTheSameWithThreads) {
  // Linux lists a process's open files; Windows has no such folder.
  const auto openFiles = [] {
    size_t n = 0;
    if (test::kOnWindows) return n;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
      ++n;
    return n;
  };
  TempDir dir;
  for (int i = 0; i < 120; ++i)
    test::WriteFile(dir / ("src/" + std::to_string(i)),
                    i % 7 == 0 ? test::RandomBytes(3000 + 40 * i, 60 + i)
                               : test::TextBytes(100 + 300 * i, 60 + i));
  const size_t openBefore = openFiles();
  size_t lastSize = 0;
  for (const int stopAt : {1, 17, 95}) {
    SCOPED_TRACE("stopped at progress event " + std::to_string(stopAt));
    std::vector<std::string> streams;
    for (const unsigned threads : {1u, 4u}) {
      TBackupFile engine;
      engine.CompressionLevel = clDefault;
      engine.Threads = threads;
      int events = 0;
      engine.OnProgress = [&](TBackupFile& Sender, const std::string&, TPercentage, bool&) {
        if (++events == stopAt) Sender.Stop();
      };
      TMemoryStream out;
      EXPECT_FALSE(engine.BackupToStream({dir / "src/*.*"}, &out));
      streams.push_back(out.Text());
    }
    EXPECT_EQ(streams[0], streams[1]);
    // A later stop leaves more behind: the stop is where it was asked for.
    EXPECT_GT(streams[0].size(), lastSize);
    lastSize = streams[0].size();
  }
  EXPECT_EQ(openBefore, openFiles());
}

// The zlib backend resets one zlib stream per piece instead of making a
// new one; the bytes must be those of a fresh deflateInit every time,
// including after a piece that did not fit and was stored. The libdeflate
// backend hands zlib its short pieces but at the fastest level, which must
// be zlib's bytes too.
TEST(PieceCompressor, ZlibBackendGivesTheBytesOfAFreshStream) {
  const bool zlibBuild = std::string(CodecName()) == "zlib";
  // zlib's level for each of the archive's levels, whichever the backend.
  const std::map<TCompressionLevel, int> zlibLevels = {
      {clFastest, 1}, {clNone, 0}, {clDefault, Z_DEFAULT_COMPRESSION}, {clMax, 9}};
  const std::vector<std::string> pieces = {test::RandomBytes(16383, 15),test::TextBytes(16384, 7),
                                           test::RandomBytes(16384, 8),
                                           test::TextBytes(100, 9),
                                           test::RandomBytes(16384, 10),
                                           test::TextBytes(16384, 11),
                                           std::string(1, 'x'),
                                           test::TextBytes(9000, 12) + test::RandomBytes(7384, 13)};
  for (const TCompressionLevel level : {clFastest, clNone, clDefault, clMax}) {
    if (!zlibBuild && level == clFastest) continue;  // every piece is libdeflate's there
    SCOPED_TRACE("level " + std::to_string(level));
    PieceCompressor compressor(level);
    int stored = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (!zlibBuild && pieces[i].size() == format::kPieceSize) continue;
      const auto* in = reinterpret_cast<const unsigned char*>(pieces[i].data());
      std::vector<unsigned char> fresh(format::kPieceSize), reused(format::kPieceSize);

      z_stream z{};
      ASSERT_EQ(Z_OK, deflateInit(&z, zlibLevels.at(level)));
      z.next_in = const_cast<unsigned char*>(in);
      z.avail_in = static_cast<uInt>(pieces[i].size());
      z.next_out = fresh.data();
      z.avail_out = format::kPieceSize;
      const int status = deflate(&z, Z_FINISH);
      const size_t freshSize = format::kPieceSize - z.avail_out;
      deflateEnd(&z);

      size_t reusedSize = 0;
      const auto result = compressor.Compress(in, pieces[i].size(), reused.data(), reusedSize);
      if (status == Z_OK) {
        EXPECT_EQ(PieceCompressor::Stored, result) << "piece " << i;
        ++stored;
        continue;
      }
      ASSERT_EQ(Z_STREAM_END, status);
      ASSERT_EQ(PieceCompressor::Compressed, result) << "piece " << i;
      ASSERT_EQ(freshSize, reusedSize) << "piece " << i;
      EXPECT_EQ(0, std::memcmp(fresh.data(), reused.data(), freshSize)) << "piece " << i;
    }
    // The random pieces, so resets after a stored piece are covered.
    EXPECT_GE(stored, zlibBuild ? 3 : 1);
  }
}

}  // namespace
}  // namespace kelmora
