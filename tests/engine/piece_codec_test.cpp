// SPDX-License-Identifier: GPL-3.0-or-later
//
// The deflate backend behind every chunk: what it writes is a zlib stream
// that zlib's one-call inflate accepts, it stores exactly what does not
// fit, it reads damage as zlib does, and archives written by either
// backend restore with the other.
#include "engine/piece_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;
constexpr size_t kPiece = format::kPieceSize;

const unsigned char* Bytes(const std::string& S) {
  return reinterpret_cast<const unsigned char*>(S.data());
}

// zlib's inflate into one piece, keeping what it produced even when the
// stream is damaged: the reference a backend's reader is held to.
std::string ZlibPartial(const std::string& Stream, bool& Damaged) {
  z_stream z{};
  EXPECT_EQ(Z_OK, inflateInit(&z));
  std::string out(kPiece, '\0');
  z.next_in = const_cast<Bytef*>(Bytes(Stream));
  z.avail_in = static_cast<uInt>(Stream.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  // Bytes after the stream are damage: only the chunk's length was.
  Damaged = inflate(&z, Z_FINISH) != Z_STREAM_END || z.avail_in != 0;
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return out;
}

// Compressible, incompressible, short, single-byte and half-and-half
// pieces, in an order that puts a stored piece between compressed ones.
std::vector<std::string> SamplePieces() {
  return {test::TextBytes(16384, 7), test::RandomBytes(16384, 8),
          test::TextBytes(100, 9),   test::RandomBytes(16384, 10),
          std::string(1, 'x'),       test::TextBytes(9000, 12) + test::RandomBytes(7384, 13),
          std::string(16384, '\0'),  test::RandomBytes(700, 14)};
}

TEST(PieceCodec, EveryLevelWritesWholeZlibStreamsAndStoresOnlyWhatDoesNotFit) {
  const auto pieces = SamplePieces();
  for (const TCompressionLevel level : {clFastest, clNone, clDefault, clMax}) {
    SCOPED_TRACE("level " + std::to_string(level));
    PieceCompressor compressor(level);
    for (size_t i = 0; i < pieces.size(); ++i) {
      SCOPED_TRACE("piece " + std::to_string(i));
      std::string out(kPiece, '\0');
      size_t packed = 0;
      const auto result = compressor.Compress(Bytes(pieces[i]), pieces[i].size(),
                                              reinterpret_cast<unsigned char*>(out.data()), packed);
      // A full piece of noise cannot shrink, nor can any full piece
      // without compression; everything else fits.
      const bool cannotFit = pieces[i].size() == kPiece && (level == clNone || i == 1 || i == 3);
      if (cannotFit) {
        EXPECT_EQ(PieceCompressor::Stored, result);
        continue;
      }
      ASSERT_EQ(PieceCompressor::Compressed, result);
      ASSERT_GT(packed, 0u);
      ASSERT_LE(packed, kPiece);
      EXPECT_EQ(pieces[i], test::InflateChunk(out.substr(0, packed)));
    }
  }
}

// A damaged chunk keeps what could be read of it; whichever backend reads
// it, the bytes and the verdict are zlib's.
TEST(PieceCodec, DamagedChunksReadAsZlibReadsThem) {
  const std::string text = test::TextBytes(16384, 41);
  PieceCompressor compressor(clDefault);
  std::string good(kPiece, '\0');
  size_t packed = 0;
  ASSERT_EQ(PieceCompressor::Compressed,
            compressor.Compress(Bytes(text), text.size(),
                                reinterpret_cast<unsigned char*>(good.data()), packed));
  good.resize(packed);

  // A stream that inflates to one byte more than a piece.
  std::string tooLong(compressBound(kPiece + 1), '\0');
  uLongf tooLongSize = tooLong.size();
  const std::string longer = test::TextBytes(kPiece + 1, 42);
  ASSERT_EQ(Z_OK, compress2(reinterpret_cast<Bytef*>(tooLong.data()), &tooLongSize, Bytes(longer),
                            longer.size(), 6));
  tooLong.resize(tooLongSize);

  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x5A);
  std::string badChecksum = good;
  badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
  std::string badHeader = good;
  badHeader[0] = 0x79;

  const std::map<std::string, std::string> cases = {
      {"a byte flipped in the middle", flipped},
      {"the checksum wrong", badChecksum},
      {"cut before its checksum", good.substr(0, good.size() - 4)},
      {"cut in half", good.substr(0, good.size() / 2)},
      {"no zlib header", badHeader},
      {"more than a piece", tooLong},
      {"bytes after its end", good + std::string(5, '\0')},
      {"empty", ""},
  };
  PieceInflater inflater;
  for (const auto& [label, stream] : cases) {
    SCOPED_TRACE(label);
    bool expectedDamage = false;
    const std::string expected = ZlibPartial(stream, expectedDamage);
    EXPECT_TRUE(expectedDamage);
    std::string out(kPiece, '\0');
    bool damaged = false;
    const size_t produced = inflater.Inflate(Bytes(stream), stream.size(),
                                             reinterpret_cast<unsigned char*>(out.data()), damaged);
    EXPECT_TRUE(damaged);
    EXPECT_EQ(expected, out.substr(0, produced));
    // The inflater is still good for the next chunk.
    const size_t again = inflater.Inflate(Bytes(good), good.size(),
                                          reinterpret_cast<unsigned char*>(out.data()), damaged);
    EXPECT_FALSE(damaged);
    EXPECT_EQ(text, out.substr(0, again));
  }
}

// The small tree behind the archives in tests/data, one written by each
// backend. mt19937 gives the same bytes everywhere, so the files can be
// made again here instead of being checked in beside the archives.
std::map<std::string, std::string> SmallTree() {
  return {{"text.txt", test::TextBytes(40000, 31)},
          {"noise.bin", test::RandomBytes(20000, 32)},
          {"empty", ""},
          {"mixed.bin", test::TextBytes(10000, 33) + test::RandomBytes(10000, 34)}};
}

std::string DataArchive(const std::string& Codec) {
  return std::string(KELMORA_SOURCE_DIR) + "/tests/data/" + Codec + "-written.bkp";
}

TEST(PieceCodec, ArchivesWrittenByEitherBackendRestore) {
  for (const std::string codec : {"zlib", "libdeflate"}) {
    SCOPED_TRACE(codec + " archive, read by " + CodecName());
    TempDir dir;
    TBackupFile engine;
    test::RunLog log;
    test::Record(engine, log);
    TStringList list;
    engine.GetArchiveTitle(DataArchive(codec), &list);
    ASSERT_EQ(4u, list.size());  // the file-ID list, a chunk of its own
    ASSERT_TRUE(engine.Restore(DataArchive(codec), dir.path()));
    EXPECT_TRUE(log.Errors.empty());
    for (const auto& [name, bytes] : SmallTree())
      EXPECT_EQ(bytes, test::ReadFile(dir / name)) << name;
  }
}

// Writes this build's archive of the small tree into tests/data:
//   test_engine_piece_codec_test --gtest_also_run_disabled_tests
//     --gtest_filter='*WriteDataArchive'
TEST(PieceCodec, DISABLED_WriteDataArchive) {
  TempDir dir;
  for (const auto& [name, bytes] : SmallTree()) test::WriteFile(dir / ("src/" + name), bytes);
  TBackupFile engine;
  engine.CompressionLevel = clDefault;
  engine.SaveFileID = true;
  ASSERT_TRUE(engine.Backup({dir / "src/*.*"}, DataArchive(CodecName())));
}

}  // namespace
}  // namespace kelmora
