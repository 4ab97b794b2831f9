// SPDX-License-Identifier: GPL-3.0-or-later
//
// Writes the deterministic mixed tree the backup benchmark runs on:
// small text files, medium binaries, incompressible files, large
// compressible files and empty files, in nested folders.
//
//   bench_make_tree FOLDER [SCALE]
//   bench_make_tree FOLDER --many FILES
//
// SCALE 1 (the default) gives about 250 MB. With --many, the tree of many
// small files instead: FILES / 1,000 folders of 1,000 text files of 0 to
// 4 KiB each, plus FILES / 1,000 empty files in a folder of their own
// (1,000,000 gives 1,001,000 files and about 2 GB). The same arguments
// always give the same bytes, so every program compared reads identical
// input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// splitmix64: fast, and the same sequence on every machine.
class Random {
 public:
  explicit Random(uint64_t Seed) : state_(Seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t Below(size_t Limit) { return static_cast<size_t>(Next() % Limit); }

 private:
  uint64_t state_;
};

const char* const kWords[] = {"the ",     "archive ", "volume ", "chunk ",  "restore ",
                              "backup ",  "folder ",  "piece ",  "zlib ",   "stream ",
                              "header\n", "entry ",   "of ",     "and ",    "kelmora ",
                              "data ",    "file ",    "time ",   "stamp\n", "size "};

std::string Text(Random& R, size_t Size) {
  std::string s;
  s.reserve(Size + 16);
  while (s.size() < Size) {
    s += kWords[R.Below(20)];
    if (R.Below(50) == 0) s += std::to_string(R.Next() % 100000) + "\n";
  }
  s.resize(Size);
  return s;
}

std::string Noise(Random& R, size_t Size) {
  std::string s(Size, '\0');
  for (size_t i = 0; i < Size; i += 8) {
    const uint64_t v = R.Next();
    for (size_t b = 0; b < 8 && i + b < Size; ++b) s[i + b] = static_cast<char>(v >> (8 * b));
  }
  return s;
}

// Like an executable or a database page: records of small integers,
// runs of zeros and stretches of noise, compressing to about half.
std::string Binary(Random& R, size_t Size) {
  std::string s;
  s.reserve(Size + 4096);
  while (s.size() < Size) {
    switch (R.Below(3)) {
      case 0:
        s.append(R.Below(512), '\0');
        break;
      case 1:
        s += Noise(R, R.Below(256));
        break;
      default:
        for (size_t i = R.Below(128); i > 0; --i) {
          const uint32_t v = static_cast<uint32_t>(R.Below(1000));
          s.append(reinterpret_cast<const char*>(&v), 4);
        }
    }
  }
  s.resize(Size);
  return s;
}

void Write(const fs::path& Path, const std::string& Bytes) {
  fs::create_directories(Path.parent_path());
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", Path.c_str());
    std::exit(1);
  }
}

// Three levels of folders, the files spread over them.
fs::path Folder(const fs::path& Root, Random& R) {
  fs::path p = Root;
  for (size_t depth = R.Below(4); depth > 0; --depth) p /= "dir" + std::to_string(R.Below(6));
  return p;
}

// Plain open and write: a million files through ofstream cost minutes more.
void WriteSmall(const std::string& Path, const std::string& Bytes) {
  const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size()) ||
      ::close(fd) != 0) {
    std::fprintf(stderr, "cannot write %s\n", Path.c_str());
    std::exit(1);
  }
}

int MakeMany(const fs::path& Root, size_t Files) {
  constexpr size_t kPerFolder = 1000;
  Random r(20240917);
  uint64_t total = 0;
  const size_t folders = Files / kPerFolder;
  char name[32];
  for (size_t d = 0; d < folders; ++d) {
    std::snprintf(name, sizeof name, "d%04zu", d);
    const fs::path folder = Root / name;
    fs::create_directories(folder);
    for (size_t f = 0; f < kPerFolder; ++f) {
      std::snprintf(name, sizeof name, "/f%04zu.txt", f);
      const std::string bytes = Text(r, r.Below(4097));
      WriteSmall(folder.string() + name, bytes);
      total += bytes.size();
    }
  }
  fs::create_directories(Root / "empty");
  for (size_t e = 0; e < folders; ++e) {
    std::snprintf(name, sizeof name, "/e%04zu", e);
    WriteSmall((Root / "empty").string() + name, "");
  }
  std::printf("%s: %zu files, %.1f MB\n", Root.c_str(), folders * (kPerFolder + 1),
              static_cast<double>(total) / 1e6);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FOLDER [SCALE]\n       %s FOLDER --many FILES\n", argv[0],
                 argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  if (argc == 4 && std::string(argv[2]) == "--many")
    return MakeMany(root, static_cast<size_t>(std::atoll(argv[3])));
  const double scale = argc > 2 ? std::atof(argv[2]) : 1.0;
  const auto count = [scale](size_t n) { return static_cast<size_t>(n * scale + 0.5); };
  Random r(20240601);
  uint64_t total = 0;
  const auto put = [&](const fs::path& path, const std::string& bytes) {
    Write(path, bytes);
    total += bytes.size();
  };

  for (size_t i = 0; i < count(3000); ++i)  // small text, 200 B to 24 KB
    put(Folder(root / "text", r) / ("note" + std::to_string(i) + ".txt"),
        Text(r, 200 + r.Below(24000)));
  for (size_t i = 0; i < count(150); ++i)  // medium binaries, 64 KB to 1 MB
    put(Folder(root / "bin", r) / ("prog" + std::to_string(i) + ".bin"),
        Binary(r, 65536 + r.Below(1 << 20)));
  for (size_t i = 0; i < count(16); ++i)  // incompressible, 1 to 6 MB
    put(Folder(root / "media", r) / ("clip" + std::to_string(i) + ".jpg"),
        Noise(r, (1 << 20) + r.Below(5 << 20)));
  for (size_t i = 0; i < count(4); ++i)  // large compressible, 16 to 24 MB
    put(root / "logs" / ("server" + std::to_string(i) + ".log"),
        Text(r, (16 << 20) + r.Below(8 << 20)));
  for (size_t i = 0; i < count(100); ++i)
    put(Folder(root / "empty", r) / ("empty" + std::to_string(i)), "");

  std::printf("%s: %.1f MB\n", root.c_str(), static_cast<double>(total) / 1e6);
  return 0;
}
