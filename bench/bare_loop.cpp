// SPDX-License-Identifier: GPL-3.0-or-later
//
// The cost of the archive scheme itself, with nothing around it: every
// regular file of a tree cut into 16,384-byte pieces, each deflated on its
// own (stored when it does not fit), written out with its length.
//
//   bench_bare_loop fastest|none|default|max TREE OUTPUT
//
// The backup benchmark holds the engine against this loop.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr size_t kPiece = 16384;

int LevelByName(const std::string& Name) {
  if (Name == "fastest") return 1;
  if (Name == "none") return 0;
  if (Name == "max") return 9;
  return Z_DEFAULT_COMPRESSION;
}

void Put(std::FILE* Out, const void* Data, size_t Size) {
  if (std::fwrite(Data, 1, Size, Out) != Size) {
    std::perror("write");
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s fastest|none|default|max TREE OUTPUT\n", argv[0]);
    return 2;
  }
  const int level = LevelByName(argv[1]);
  std::FILE* out = std::fopen(argv[3], "wb");
  if (!out) {
    std::perror(argv[3]);
    return 1;
  }
  // Whole buffers to the device, as any archive writer would.
  static char outBuffer[1 << 20];
  std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);
  std::vector<unsigned char> in(kPiece), packed(kPiece);
  z_stream z{};
  if (deflateInit(&z, level) != Z_OK) return 1;
  uint64_t files = 0, bytes = 0, written = 0;

  for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[2])) {
    if (!entry.is_regular_file()) continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ++files;
    for (;;) {
      const ssize_t n = ::read(fd, in.data(), kPiece);
      if (n <= 0) break;
      bytes += static_cast<uint64_t>(n);
      deflateReset(&z);
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(n);
      z.next_out = packed.data();
      z.avail_out = kPiece;
      int32_t length;
      if (deflate(&z, Z_FINISH) == Z_STREAM_END) {
        length = static_cast<int32_t>(kPiece - z.avail_out);
        Put(out, &length, 4);
        Put(out, packed.data(), static_cast<size_t>(length));
      } else {
        length = -static_cast<int32_t>(n);
        Put(out, &length, 4);
        Put(out, in.data(), static_cast<size_t>(n));
      }
      written += 4 + static_cast<uint64_t>(length < 0 ? -length : length);
    }
    ::close(fd);
  }
  deflateEnd(&z);
  if (std::fclose(out) != 0) {
    std::perror("close");
    return 1;
  }
  std::fprintf(stderr, "%llu files, %llu bytes in, %llu bytes out\n",
               static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes),
               static_cast<unsigned long long>(written));
  return 0;
}
