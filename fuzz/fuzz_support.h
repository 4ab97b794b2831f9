// SPDX-License-Identifier: GPL-3.0-or-later
//
// Shared by the fuzz targets: a scratch area in memory-backed storage,
// inputs that unfold into large archives, and tree snapshots.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "kelmora/streams.h"

namespace kelmora::fuzz {

namespace fs = std::filesystem;

// Crashes with a message the fuzzer shows beside the input.
[[noreturn]] inline void Fault(const std::string& What) {
  std::fprintf(stderr, "FUZZ FAULT: %s\n", What.c_str());
  std::abort();
}

// Makes Folder exist and hold nothing.
inline void EmptyFolder(const std::string& Folder) {
  std::error_code ec;
  if (!fs::create_directories(Folder, ec) && ec) Fault("cannot make " + Folder);
  for (const auto& entry : fs::directory_iterator(Folder, ec)) {
    // A folder left without permissions would not empty otherwise.
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(entry.path(), ec);
  }
}

// One folder per process, on /dev/shm when it can be had so that a run
// never waits for a disk. Everything a target writes must stay inside it,
// and it is emptied before every input.
class Scratch {
 public:
  static Scratch& Get() {
    static Scratch scratch;
    return scratch;
  }
  const std::string& Root() const { return root_; }
  std::string operator/(const std::string& Relative) const { return root_ + "/" + Relative; }

  void Clear();

 private:
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Scratch() {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string templ = base + "/kelmora-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    if (!::mkdtemp(templ.data())) Fault("no scratch folder");
    root_ = templ;
    // The engine's temporary files (the file-ID list) belong in it too.
    ::setenv("TMPDIR", root_.c_str(), 1);
    // Packed stamps are local times; one zone without summer time keeps
    // every stamp restorable to the same second.
    ::setenv("TZ", "UTC", 1);
  }
  ~Scratch() {
    Clear();
    std::error_code ec;
    fs::remove(root_, ec);
  }
  std::string root_;
};

inline void Scratch::Clear() {
  EmptyFolder(root_);
}

// The name of the volume Index (0 for the first) of an archive a.bkp.
inline std::string VolumeName(size_t Index) {
  if (Index == 0) return "a.bkp";
  char digits[4];
  std::snprintf(digits, sizeof digits, "%03zu", (Index + 1) % 1000);
  return std::string("a.") + digits;
}

// Contents made up the same way on every run: text that compresses, and
// noise that does not.
inline std::string Words(size_t Size, uint32_t Seed) {
  static const char* words[] = {"backup ", "archive ", "volume ", "piece ", "data\n"};
  std::string text;
  while (text.size() < Size) {
    Seed = Seed * 1103515245 + 12345;
    text += words[(Seed >> 16) % 5];
  }
  text.resize(Size);
  return text;
}

inline std::string Noise(size_t Size, uint32_t Seed) {
  std::string bytes(Size, '\0');
  for (char& c : bytes) {
    Seed = Seed * 1103515245 + 12345;
    c = static_cast<char>(Seed >> 23);
  }
  return bytes;
}

// Small inputs stand for large archives: the marker, a 16-bit count and a
// 16-bit length make the following Length bytes appear Count times. That
// lets a few hundred fuzzed bytes reach archives of many megabytes (a
// file-ID list that inflates past any sane bound, thousands of chunks).
inline constexpr char kRepeatMarker[4] = {'\x7f', 'R', 'P', 'T'};
// A megabyte of deflated zero pieces inflates to some 500 MiB: far beyond
// any bound a reader must keep, yet cheap to build.
inline constexpr size_t kMaxUnfolded = 1u << 20;

// Unfolds into Out, which keeps its capacity from one input to the next: a
// megabyte allocated and freed per input costs more than the reading.
inline void UnfoldInto(std::string& Out, const uint8_t* Data, size_t Size,
                       size_t Limit = kMaxUnfolded) {
  std::string& out = Out;
  out.clear();
  size_t at = 0;
  while (at < Size) {
    const void* hit = ::memmem(Data + at, Size - at, kRepeatMarker, 4);
    const size_t marker = hit ? static_cast<const uint8_t*>(hit) - Data : Size;
    out.append(reinterpret_cast<const char*>(Data + at), marker - at);
    if (marker + 8 > Size) {
      out.append(reinterpret_cast<const char*>(Data + marker), Size - marker);
      break;
    }
    const size_t count = Data[marker + 4] | Data[marker + 5] << 8;
    size_t length = Data[marker + 6] | Data[marker + 7] << 8;
    at = marker + 8;
    length = std::min(length, Size - at);
    const size_t room = out.size() < Limit ? Limit - out.size() : 0;
    const size_t want = length == 0 ? 0 : std::min(count, room / length) * length;
    if (want > 0) {
      // Doubling what is there already: a megabyte in some twenty copies
      // rather than thousands of small ones.
      const size_t start = out.size();
      out.reserve(start + want);
      out.append(reinterpret_cast<const char*>(Data + at), length);
      while (out.size() - start < want)
        out.append(out.data() + start, std::min(out.size() - start, want - (out.size() - start)));
    }
    at += length;
  }
}

inline std::string Unfold(const uint8_t* Data, size_t Size, size_t Limit = kMaxUnfolded) {
  std::string out;
  UnfoldInto(out, Data, Size, Limit);
  return out;
}

// Reads bytes it does not own and cannot be written: an archive in memory
// without the copy a memory stream would make.
class BytesStream : public TStream {
 public:
  BytesStream(const char* Data, size_t Size) : data_(Data), size_(static_cast<int64_t>(Size)) {}
  size_t Read(void* Buffer, size_t Count) override {
    if (position_ >= size_) return 0;
    const size_t n = static_cast<size_t>(std::min<int64_t>(Count, size_ - position_));
    std::memcpy(Buffer, data_ + position_, n);
    position_ += static_cast<int64_t>(n);
    return n;
  }
  size_t Write(const void*, size_t) override { throw EStreamError(kStreamWriteError); }
  // As a memory stream: it may be placed past its end, where reads give
  // nothing, but not before its start.
  int64_t Seek(int64_t Offset, SeekOrigin Origin) override {
    int64_t target = Offset;
    if (Origin == SeekOrigin::Current) target = position_ + Offset;
    if (Origin == SeekOrigin::End) target = size_ + Offset;
    if (target < 0) throw EStreamError(kStreamReadError);
    position_ = target;
    return position_;
  }
  int64_t Position() const override { return position_; }

 private:
  const char* data_;
  int64_t size_;
  int64_t position_ = 0;
};

// The input cut into pieces at every separator: the volumes of a split
// archive, or the files of a tree.
inline constexpr char kSeparator[4] = {'\x7f', 'C', 'U', 'T'};

inline std::vector<std::string> Cut(const std::string& Bytes, size_t MaxPieces) {
  std::vector<std::string> pieces;
  size_t at = 0;
  while (pieces.size() + 1 < MaxPieces) {
    const size_t hit = Bytes.find(std::string(kSeparator, 4), at);
    if (hit == std::string::npos) break;
    pieces.push_back(Bytes.substr(at, hit - at));
    at = hit + 4;
  }
  pieces.push_back(Bytes.substr(at));
  return pieces;
}

inline void WriteBytes(const std::string& Path, const std::string& Bytes) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  if (!out) Fault("cannot write " + Path);
}

inline std::string ReadBytes(const std::string& Path) {
  std::error_code ec;
  const auto size = fs::file_size(Path, ec);
  if (ec) return std::string();
  std::string bytes(size, '\0');
  std::ifstream in(Path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

// Every entry below Root by its path relative to Root: file contents, "<dir>"
// for folders, "<link>" for links and "<other>" for anything else. The
// folder Skip (relative to Root) is listed but not entered.
using Snapshot = std::map<std::string, std::string>;

inline Snapshot Snap(const std::string& Root, const std::string& Skip = std::string()) {
  Snapshot snap;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(Root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string rel = it->path().lexically_relative(Root).string();
    if (rel == Skip) it.disable_recursion_pending();
    const auto status = it->symlink_status();
    if (fs::is_symlink(status)) {
      snap[rel] = "<link>";
    } else if (fs::is_directory(status)) {
      snap[rel] = "<dir>";
    } else if (fs::is_regular_file(status)) {
      snap[rel] = ReadBytes(it->path().string());
    } else {
      snap[rel] = "<other>";
    }
  }
  return snap;
}

}  // namespace kelmora::fuzz
