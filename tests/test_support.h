// SPDX-License-Identifier: GPL-3.0-or-later
//
// Helpers shared by the tests: a fresh temporary folder per test and small
// file utilities.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h maps DeleteFile to DeleteFileA; platform::DeleteFile is ours.
#undef DeleteFile
#else
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

// A test of what only POSIX systems have (FIFOs, modes, symbolic links
// any user may make, extended attributes) is skipped on Windows, saying why.
#ifdef _WIN32
#define KELMORA_POSIX_ONLY(Why) GTEST_SKIP() << "not on Windows: " << Why
#else
#define KELMORA_POSIX_ONLY(Why) static_cast<void>(0)
#endif

namespace kelmora::test {

#ifdef _WIN32
inline constexpr bool kOnWindows = true;
#else
inline constexpr bool kOnWindows = false;
#endif

#ifdef _WIN32
// Windows joins with "\\" and the engine stores names lower-cased; a test
// folder spelt that way is the name the engine gives back for it.
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif

// A folder under $TMPDIR (or /tmp; Windows' temporary folder there) that
// lives as long as the object.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    std::string base = std::filesystem::temp_directory_path().string();
    for (char& c : base)
      c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!base.empty() && base.back() == '\\') base.pop_back();
    // Names of one length, as mkdtemp gives: a test whose paths come near
    // the system's limit must not pass or fail with the digits drawn.
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string digits = std::to_string(seed());
      digits.insert(0, 10 - digits.size(), '0');
      const std::string candidate = base + "\\kelmora-test-" + digits;
      if (std::filesystem::create_directory(candidate)) path_ = candidate;
    }
    if (path_.empty()) throw std::runtime_error("cannot create a test folder");
#else
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/kelmora-test-XXXXXX";
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
#endif
  }
  ~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them removable.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const {
    return path_;
  }
  // path() + "/" + relative, in the system's own separators; a "/" after a
  // blank or control character is the sub-directory switch (" /s") and
  // stays.
  std::string operator/(const std::string& relative) const {
    std::string joined = path_ + kSeparator + relative;
    for (size_t i = path_.size(); i < joined.size(); ++i)
      if (joined[i] == '/' && static_cast<unsigned char>(joined[i - 1]) > 32)
        joined[i] = kSeparator;
    return joined;
  }

 private:
  std::string path_;
};

// The helpers below throw where the system cannot do what they are asked,
// so a test that reaches one there fails instead of passing vacuously.
inline void MakeSymlink(const std::string& Target, const std::string& Path) {
  std::filesystem::create_symlink(Target, Path);
}

inline void MakeFifo(const std::string& Path) {
#ifdef _WIN32
  throw std::runtime_error("no FIFOs on Windows: " + Path);
#else
  if (::mkfifo(Path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + Path);
#endif
}

// Mounts a small memory file system of Size ("320k") at Path, where the
// system and the test's rights allow; false otherwise (always on Windows).
inline bool MountSmallFileSystem(const std::string& Path, const std::string& Size) {
#ifdef _WIN32
  (void)Path;
  (void)Size;
  return false;
#else
  return ::mount("tmpfs", Path.c_str(), "tmpfs", 0, ("size=" + Size).c_str()) == 0;
#endif
}

inline void UnmountFileSystem(const std::string& Path) {
#ifndef _WIN32
  ::umount2(Path.c_str(), MNT_DETACH);
#else
  (void)Path;
#endif
}

// A pipe: a File adopts its reading end, the test writes into the other
// end (from a thread when the pipe could fill up).
class TestPipe {
 public:
  TestPipe() {
#ifdef _WIN32
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 1 << 16)) throw std::runtime_error("pipe");
    reader_ = reinterpret_cast<intptr_t>(readEnd);
    writer_ = reinterpret_cast<intptr_t>(writeEnd);
#else
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    reader_ = fds[0];
    writer_ = fds[1];
#endif
  }
  ~TestPipe() {
    CloseWriter();
  }
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  // The reading end, for File::Adopt, which then owns it.
  intptr_t Reader() const {
    return reader_;
  }
  // The writing end, for a File that is to own it; the pipe forgets it.
  intptr_t TakeWriter() {
    const intptr_t writer = writer_;
    writer_ = -1;
    return writer;
  }
  // All of Bytes, or false once the reading end is gone.
  bool Write(const std::string& Bytes) {
    size_t done = 0;
    while (done < Bytes.size()) {
#ifdef _WIN32
      DWORD n = 0;
      if (!::WriteFile(reinterpret_cast<HANDLE>(writer_), Bytes.data() + done,
                       static_cast<DWORD>(Bytes.size() - done), &n, nullptr) ||
          n == 0)
        return false;
#else
      const ssize_t n =
          ::write(static_cast<int>(writer_), Bytes.data() + done, Bytes.size() - done);
      if (n <= 0) return false;
#endif
      done += static_cast<size_t>(n);
    }
    return true;
  }
  void CloseWriter() {
    if (writer_ == -1) return;
#ifdef _WIN32
    ::CloseHandle(reinterpret_cast<HANDLE>(writer_));
#else
    ::close(static_cast<int>(writer_));
#endif
    writer_ = -1;
  }

 private:
  intptr_t reader_ = -1;
  intptr_t writer_ = -1;
};

// Where a restore that keeps full paths puts the file stored as Absolute
// below Folder: the path without its root ("c:" included on Windows).
inline std::string BelowFolder(const std::string& Folder, const std::string& Absolute) {
  return Folder +
         (kOnWindows && Absolute.size() > 1 && Absolute[1] == ':' ? Absolute.substr(2) : Absolute);
}

// Sets or removes an environment variable of this process.
inline void SetEnvironment(const char* Name, const std::string& Value) {
#ifdef _WIN32
  ::_putenv_s(Name, Value.c_str());
#else
  ::setenv(Name, Value.c_str(), 1);
#endif
}

inline void UnsetEnvironment(const char* Name) {
#ifdef _WIN32
  ::_putenv_s(Name, "");
#else
  ::unsetenv(Name);
#endif
}

// Seconds since 1970 of a UTC date and time, without the C library's zone.
inline int64_t UtcSeconds(int Year, int Month, int Day, int Hour, int Minute, int Second) {
  // Days from 1970-01-01 to the date in the proleptic Gregorian calendar.
  const int y = Year - (Month <= 2);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (Month + (Month > 2 ? -3 : 9)) + 2) / 5 + Day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
  return days * 86400 + Hour * 3600 + Minute * 60 + Second;
}

// Sets a file's modification time alone to Seconds since 1970.
inline void SetModificationTime(const std::string& Path, int64_t Seconds) {
  std::filesystem::last_write_time(
      Path,
      std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(Seconds))));
}

// Moves a file's modification time by Seconds.
inline void MoveModificationTime(const std::string& Path, int Seconds) {
  std::filesystem::last_write_time(
      Path, std::filesystem::last_write_time(Path) + std::chrono::seconds(Seconds));
}

// Whether Path's file system keeps user extended attributes, where the
// archive attribute is emulated; Windows has the real attribute instead.
inline bool UserAttributesWork(const std::string& Path) {
#ifdef _WIN32
  (void)Path;
  return false;
#else
  return ::setxattr(Path.c_str(), "user.kelmora.probe", "1", 1, 0) == 0 &&
         ::removexattr(Path.c_str(), "user.kelmora.probe") == 0;
#endif
}

// Whether the archive attribute of the file at Path can be cleared, so
// that incremental backups can be tested: on Linux it needs user extended
// attributes, on Windows the file system's own attribute (Wine reports it
// set for every file, whatever a program asks).
inline bool ArchiveAttributeWorks(const std::string& Path) {
#ifdef _WIN32
  const DWORD attributes = ::GetFileAttributesA(Path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  ::SetFileAttributesA(Path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  const bool cleared = (::GetFileAttributesA(Path.c_str()) & FILE_ATTRIBUTE_ARCHIVE) == 0;
  ::SetFileAttributesA(Path.c_str(), attributes);
  return cleared;
#else
  return UserAttributesWork(Path);
#endif
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Deterministic bytes that zlib cannot shrink.
inline std::string RandomBytes(size_t size, uint32_t seed = 1) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

// Deterministic text that compresses well.
inline std::string TextBytes(size_t size, uint32_t seed = 1) {
  static const char* words[] = {"backup ", "archive ", "volume ",  "restore ",
                                "chunk ",  "folder ",  "kelmora ", "data\n"};
  std::mt19937 gen(seed);
  std::string s;
  s.reserve(size + 16);
  while (s.size() < size) s += words[gen() % 8];
  s.resize(size);
  return s;
}

inline int32_t LE32(const std::string& bytes, size_t offset) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                              uint32_t(b[3]) << 24);
}

}  // namespace kelmora::test
