// SPDX-License-Identifier: GPL-3.0-or-later
//
// The floor of a backup on this machine: every regular file of a tree cut
// into 16,384-byte pieces, each compressed on its own by libdeflate (zlib
// format; stored when it does not fit) on THREADS threads, the pieces
// written in order with their lengths to one file, which is synced at the
// end. Nothing else: no names, no selection rules, no companion.
//
//   bench_deflate_floor fastest|default|max TREE OUTPUT [THREADS]
//
// The levels are the engine's: libdeflate 1, 6 and 10. THREADS defaults
// to 2. Every thread reads pieces in turn and compresses each while the
// others read; a batch of 4 MiB is written once all its pieces are done.
#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kPiece = 16384;
constexpr size_t kBatch = 256;

int LevelByName(const std::string& Name) {
  if (Name == "fastest") return 1;
  if (Name == "max") return 10;
  return 6;
}

struct Piece {
  unsigned char in[kPiece];
  unsigned char out[kPiece];
  size_t size = 0;
  int32_t length = 0;  // compressed length, or minus the stored length
};

void Put(int Fd, const void* Data, size_t Size) {
  const auto* p = static_cast<const char*>(Data);
  while (Size > 0) {
    const ssize_t n = ::write(Fd, p, Size);
    if (n <= 0) {
      std::perror("write");
      std::exit(1);
    }
    p += n;
    Size -= static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s fastest|default|max TREE OUTPUT [THREADS]\n", argv[0]);
    return 2;
  }
  const int level = LevelByName(argv[1]);
  const unsigned threads = argc > 4 ? static_cast<unsigned>(std::max(1, std::atoi(argv[4]))) : 2;
  const int out = ::open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    std::perror(argv[3]);
    return 1;
  }
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[2]))
    if (entry.is_regular_file()) files.push_back(entry.path());

  std::vector<Piece> batch(kBatch);
  std::vector<libdeflate_compressor*> compressors(threads);
  for (auto& c : compressors) c = libdeflate_alloc_compressor(level);
  std::vector<char> written;
  written.reserve(kBatch * (kPiece + 4));
  uint64_t bytes = 0, total = 0;
  size_t file = 0;
  int fd = -1;
  bool ended = false;
  std::mutex reading;
  // Takes the next piece of the tree, with reading held; false at its end.
  const auto read = [&](Piece& P) {
    while (!ended) {
      if (fd < 0) {
        if (file == files.size()) {
          ended = true;
          break;
        }
        fd = ::open(files[file++].c_str(), O_RDONLY | O_CLOEXEC);
        continue;
      }
      const ssize_t n = ::read(fd, P.in, kPiece);
      if (n <= 0) {
        ::close(fd);
        fd = -1;
        continue;
      }
      P.size = static_cast<size_t>(n);
      bytes += static_cast<uint64_t>(n);
      return true;
    }
    return false;
  };
  while (!ended) {
    // Every thread reads a piece (in turn, the tree's order kept by the
    // slot it takes) and compresses it while the other reads.
    size_t next = 0;
    const auto work = [&](libdeflate_compressor* C) {
      for (;;) {
        Piece* piece;
        {
          std::lock_guard<std::mutex> lock(reading);
          if (next == kBatch || ended) return;
          piece = &batch[next++];
          piece->size = 0;
          if (!read(*piece)) return;
        }
        Piece& p = *piece;
        const size_t n = libdeflate_zlib_compress(C, p.in, p.size, p.out, kPiece);
        p.length = n > 0 ? static_cast<int32_t>(n) : -static_cast<int32_t>(p.size);
      }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work, compressors[t]);
    work(compressors[0]);
    for (auto& h : helpers) h.join();
    written.clear();
    for (size_t i = 0; i < next; ++i) {
      const Piece& p = batch[i];
      if (p.size == 0) continue;
      const char* length = reinterpret_cast<const char*>(&p.length);
      written.insert(written.end(), length, length + 4);
      const auto* data = reinterpret_cast<const char*>(p.length > 0 ? p.out : p.in);
      written.insert(written.end(), data, data + (p.length > 0 ? p.length : -p.length));
    }
    Put(out, written.data(), written.size());
    total += written.size();
  }
  if (::fsync(out) != 0 || ::close(out) != 0) {
    std::perror("sync");
    return 1;
  }
  for (auto& c : compressors) libdeflate_free_compressor(c);
  std::printf("%zu files, %llu bytes in, %llu bytes out\n", files.size(),
              static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(total));
  return 0;
}
