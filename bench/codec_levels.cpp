// SPDX-License-Identifier: GPL-3.0-or-later
//
// Which libdeflate level stands for "max": every regular file of a tree cut
// into 16,384-byte pieces, each compressed on its own on one thread, by zlib
// and by libdeflate at the levels given, with the stored rule applied (a
// stream that does not fit in a piece counts as the piece itself).
//
//   bench_codec_levels TREE [zlib:N | libdeflate:N ...]
//
// Prints, per codec and level, the seconds spent compressing (median of
// three passes over pieces held in memory, so no disk in the figure) and
// the bytes written, chunk length fields included.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kPiece = 16384;

struct Candidate {
  std::string Codec;
  int Level;
};

uint64_t PackZlib(const std::vector<std::string>& Pieces, int Level) {
  z_stream z{};
  deflateInit(&z, Level);
  std::vector<unsigned char> out(kPiece);
  uint64_t total = 0;
  for (const std::string& piece : Pieces) {
    deflateReset(&z);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z.avail_in = static_cast<uInt>(piece.size());
    z.next_out = out.data();
    z.avail_out = kPiece;
    const bool fits = deflate(&z, Z_FINISH) == Z_STREAM_END;
    total += 4 + (fits ? kPiece - z.avail_out : piece.size());
  }
  deflateEnd(&z);
  return total;
}

uint64_t PackLibdeflate(const std::vector<std::string>& Pieces, int Level) {
  libdeflate_compressor* c = libdeflate_alloc_compressor(Level);
  std::vector<unsigned char> out(kPiece);
  uint64_t total = 0;
  for (const std::string& piece : Pieces) {
    const size_t n = libdeflate_zlib_compress(c, piece.data(), piece.size(), out.data(), kPiece);
    total += 4 + (n != 0 ? n : piece.size());
  }
  libdeflate_free_compressor(c);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s TREE [zlib:N | libdeflate:N ...]\n", argv[0]);
    return 2;
  }
  std::vector<Candidate> candidates;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t colon = arg.find(':');
    if (colon == std::string::npos) return 2;
    candidates.push_back({arg.substr(0, colon), std::stoi(arg.substr(colon + 1))});
  }
  if (candidates.empty())
    candidates = {{"zlib", 1},        {"libdeflate", 1},  {"zlib", 6},
                  {"libdeflate", 6},  {"zlib", 9},        {"libdeflate", 9},
                  {"libdeflate", 10}, {"libdeflate", 11}, {"libdeflate", 12}};

  std::vector<std::string> pieces;
  uint64_t bytes = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[1])) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string piece(kPiece, '\0');
    while (in.read(piece.data(), kPiece) || in.gcount() > 0) {
      piece.resize(static_cast<size_t>(in.gcount()));
      bytes += piece.size();
      pieces.push_back(piece);
      piece.assign(kPiece, '\0');
    }
  }
  std::printf("%zu pieces, %.1f MB\n%-12s %5s %9s %12s %8s\n", pieces.size(), bytes / 1e6, "codec",
              "level", "seconds", "bytes", "ratio");
  for (const Candidate& c : candidates) {
    std::vector<double> times;
    uint64_t packed = 0;
    for (int pass = 0; pass < 3; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      packed = c.Codec == "zlib" ? PackZlib(pieces, c.Level) : PackLibdeflate(pieces, c.Level);
      times.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%-12s %5d %9.3f %12llu %8.4f\n", c.Codec.c_str(), c.Level, times[1],
                static_cast<unsigned long long>(packed), static_cast<double>(packed) / bytes);
  }
  return 0;
}
