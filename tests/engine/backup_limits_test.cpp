// SPDX-License-Identifier: GPL-3.0-or-later
//
// Records beyond the usual sizes: a volume limit kept by every record
// (names, empty files, the title, the file-ID list), and files whose path
// is longer than the system takes in one call.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr int32_t k20k = 20 * 1024;

size_t FilesIn(const std::string& Folder) {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator(Folder), fs::directory_iterator()));
}

#ifndef _WIN32
// Below Root, folders of 200-byte names until the path is at least Length
// bytes long, and a file "f" there holding Bytes; made by handle, since
// mkdir and open refuse a path that long. Returns the file's path.
std::string MakeDeepFile(const std::string& Root, size_t Length, const std::string& Bytes) {
  fs::create_directories(Root);
  int folder = ::open(Root.c_str(), O_RDONLY | O_DIRECTORY);
  std::string path = Root;
  for (char letter = 'a'; path.size() + 2 < Length; ++letter) {
    const std::string name(200, letter > 'z' ? 'z' : letter);
    if (::mkdirat(folder, name.c_str(), 0755) != 0) throw std::runtime_error("mkdirat");
    const int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(folder);
    folder = next;
    path += "/" + name;
  }
  const int file = ::openat(folder, "f", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::close(folder);
  if (file < 0 || ::write(file, Bytes.data(), Bytes.size()) != static_cast<ssize_t>(Bytes.size()))
    throw std::runtime_error("cannot write the deep file");
  ::close(file);
  return path + "/f";
}

// The bytes of a file below Root by its path relative to Root, by handle.
std::string ReadDeepFile(const std::string& Root, const std::string& Relative) {
  int folder = ::open(Root.c_str(), O_RDONLY | O_DIRECTORY);
  size_t start = 0;
  for (size_t slash; (slash = Relative.find('/', start)) != std::string::npos; start = slash + 1) {
    if (slash == start) continue;
    const int next =
        ::openat(folder, Relative.substr(start, slash - start).c_str(), O_RDONLY | O_DIRECTORY);
    ::close(folder);
    if (next < 0) throw std::runtime_error("no deep folder");
    folder = next;
  }
  const int file = ::openat(folder, Relative.substr(start).c_str(), O_RDONLY);
  ::close(folder);
  if (file < 0) throw std::runtime_error("no deep file");
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = ::read(file, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  ::close(file);
  return bytes;
}
#endif

// 3,000 empty files under a 20 KiB limit: each name record is small, but
// together they once made one volume of 220,909 bytes.
TEST(VolumeLimit, IsKeptByEveryRecord) {
  TempDir dir;
  for (int i = 0; i < 3000; ++i) test::WriteFile(dir / ("src/empty-file-" + std::to_string(i)), "");
  test::WriteFile(dir / "src/last", test::RandomBytes(40000, 5));
  fs::create_directories(dir / "out");
  TBackupFile engine;
  engine.MaxSize = k20k;
  engine.SaveFileID = true;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  ASSERT_TRUE(engine.Backup({dir / "src/*.*"}, dir / "out/e.bkp"))
      << DescribeFailure(engine.Failure());
  EXPECT_GT(FilesIn(dir / "out"), 10u);
  for (const auto& volume : fs::directory_iterator(dir / "out"))
    EXPECT_LE(fs::file_size(volume.path()), static_cast<uintmax_t>(k20k)) << volume.path();

  // Read independently: every volume change ends a volume, and the
  // volume after one at an entry's boundary continues the file before it
  // with a section of no chunk.
  const auto archive = test::ReadArchiveFile(dir / "out/e.bkp");
  EXPECT_TRUE(archive.EndMarker);
  ASSERT_EQ(3002u, archive.Entries.size());
  EXPECT_EQ(format::kFileListName, archive.Entries[0].Name);
  EXPECT_EQ(3001, archive.Header.FileCount);
  size_t boundaries = 0;
  for (const auto& entry : archive.Entries)
    for (size_t s = 1; s < entry.Sections.size(); ++s)
      boundaries += entry.Sections[s].Chunks.empty() ? 1 : 0;
  EXPECT_GT(boundaries, 5u);
  EXPECT_EQ(test::ReadFile(dir / "src/last"), test::EntryData(archive.Entries.back()));

  // The engine's own readers follow it: test, list, title with the list,
  // and restore.
  TBackupFile reader;
  reader.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  EXPECT_TRUE(reader.Test(dir / "out/e.bkp"));
  EXPECT_EQ(3001, reader.FilesDone());
  int listed = 0;
  EXPECT_TRUE(
      reader.ListArchive(dir / "out/e.bkp", [&](TBackupFile&, const TArchiveEntry&) { ++listed; }));
  EXPECT_EQ(3001, listed);
  TStringList ids;
  reader.GetArchiveTitle(dir / "out/e.bkp", &ids);
  EXPECT_EQ(3001u, ids.size());
  ASSERT_TRUE(reader.Restore(dir / "out/e.bkp", dir / "back"));
  EXPECT_EQ(3001, reader.FilesDone());
}

// Where every record fits, a limit changes nothing: without one the bytes
// are the same as with one that is never reached.
TEST(VolumeLimit, OneNeverReachedChangesNoByte) {
  TempDir dir;
  for (int i = 0; i < 50; ++i) test::WriteFile(dir / ("src/f" + std::to_string(i)), "");
  test::WriteFile(dir / "src/text", test::TextBytes(100000));
  std::string written[2];
  for (const int32_t maxSize : {0, INT32_MAX}) {
    TBackupFile engine;
    engine.MaxSize = maxSize;
    engine.SaveFileID = true;
    engine.BackupTitle = std::string(30000, 't');
    ASSERT_TRUE(engine.Backup({dir / "src/*.*"}, dir / "a.bkp"));
    std::string& archive = written[maxSize == 0 ? 0 : 1];
    archive = test::ReadFile(dir / "a.bkp");
    // The list's own stamp is the time its temporary file was written, which
    // two runs may see on either side of a two-second step.
    const size_t list = archive.find("FILE:LIST");
    ASSERT_NE(list, std::string::npos);
    archive.replace(list + 9, 4, 4, '\0');
  }
  EXPECT_EQ(written[0], written[1]);
}

// What cannot be kept is refused before anything is written: a title that
// leaves no room for the first entry, a name longer than a volume holds.
TEST(VolumeLimit, RecordsLargerThanAVolumeAreRefused) {
  TempDir dir;
  test::WriteFile(dir / "src/f", "data");
  fs::create_directories(dir / "out");
  for (const size_t title : {size_t{40000}, size_t{k20k - 20}}) {
    TBackupFile engine;
    engine.MaxSize = k20k;
    engine.BackupTitle = std::string(title, 'T');
    EXPECT_FALSE(engine.Backup({dir / "src/f"}, dir / "out/t.bkp")) << title;
    EXPECT_EQ(beCannotWriteArchive, engine.ErrorCode());
    EXPECT_EQ(dir / "out/t.bkp", engine.Failure().Subject);
    EXPECT_FALSE(engine.ErrorReason().empty());
    EXPECT_EQ(0u, FilesIn(dir / "out"));
  }
#ifndef _WIN32
  const std::string deep = MakeDeepFile(dir / "deep", 17000, "x");
  TBackupFile engine;
  engine.MaxSize = static_cast<int32_t>(kSmallestVolumeSize);
  EXPECT_FALSE(engine.Backup({dir / "deep/*.* /s"}, dir / "out/n.bkp"));
  EXPECT_EQ(beCannotWriteArchive, engine.ErrorCode());
  EXPECT_EQ(deep, engine.Failure().Subject);
  EXPECT_EQ(0u, FilesIn(dir / "out"));
#endif
}

// A path of 5,000 bytes, deeper than PATH_MAX: stored, listed, checked
// and restored like any other.
TEST(DeepPath, IsStoredAndRestored) {
  KELMORA_POSIX_ONLY("paths longer than PATH_MAX");
#ifndef _WIN32
  TempDir dir;
  const std::string data = test::TextBytes(70000, 9);
  const std::string deep = MakeDeepFile(dir / "src", 5000, data);
  ASSERT_GE(deep.size(), 5000u);
  test::WriteFile(dir / "src/near", "near");
  TBackupFile engine;
  ASSERT_TRUE(engine.Backup({dir / "src/*.* /s"}, dir / "a.bkp"));
  EXPECT_EQ(2, engine.FileCount());
  const auto archive = test::ReadArchiveFile(dir / "a.bkp");
  ASSERT_EQ(2u, archive.Entries.size());
  EXPECT_EQ(deep, archive.Entries[0].Name);
  EXPECT_EQ(data, test::EntryData(archive.Entries[0]));
  EXPECT_TRUE(engine.Test(dir / "a.bkp"));

  engine.RestoreFullPath = true;
  ASSERT_TRUE(engine.Restore(dir / "a.bkp", dir / "back"));
  EXPECT_EQ(data, ReadDeepFile(dir / "back", deep));
#endif
}

}  // namespace
}  // namespace kelmora
