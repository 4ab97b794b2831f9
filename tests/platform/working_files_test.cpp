// SPDX-License-Identifier: GPL-3.0-or-later
//
// Kelmora's working files: the names of temporaries and locks, the clean-up
// that removes only abandoned temporaries, and the lock beside an archive.
#include "platform/working_files.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/target_file.h"
#include "test_support.h"

namespace kelmora::platform {
namespace {

using test::TempDir;

std::set<std::string> Names(const std::string& Folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(Folder))
    names.insert(entry.path().filename().string());
  return names;
}

TEST(WorkingFiles, NamesOfTemporariesAndLocks) {
  const std::string made = TemporaryName();
  EXPECT_TRUE(IsTemporaryName(made)) << made;
  EXPECT_TRUE(IsWorkingFileName(made));
  EXPECT_NE(made, TemporaryName());
  for (const char* other : {".kelmora-abcdefghij.part", ".kelmora-0123456789.part"})
    EXPECT_TRUE(IsTemporaryName(other)) << other;
  for (const char* other :
       {"kelmora-abcdefghij.part", ".kelmora-abcdefghi.part", ".kelmora-ABCDEFGHIJ.part",
        ".kelmora-abcdefghij.parts", ".kelmora-abcdefgh_j.part", "x.bkp.tmpab12cd", ""})
    EXPECT_FALSE(IsWorkingFileName(other)) << other;

  TempDir dir;
  const std::string lock = LockPathOf(dir / "x.bkp");
  EXPECT_EQ(lock, dir / ".x.bkp.kelmora-lock");
  EXPECT_TRUE(IsLockName(std::filesystem::path(lock).filename().string()));
  EXPECT_FALSE(IsLockName(".kelmora-lock"));
  EXPECT_FALSE(IsLockName("x.kelmora-lock"));
  // A name near the system's limit still gives a lock a folder can hold,
  // the same every time and its own.
  const std::string longName(250, 'n');
  const std::string longLock = LockPathOf(dir / longName);
  const std::string leaf = std::filesystem::path(longLock).filename().string();
  EXPECT_LE(leaf.size(), 255u);
  EXPECT_TRUE(IsLockName(leaf));
  EXPECT_EQ(longLock, LockPathOf(dir / longName));
  EXPECT_NE(longLock, LockPathOf(dir / (longName + "m")));
  RunLock held;
  EXPECT_EQ(held.Take(dir / longName, RunLock::Mode::Exclusive, 0), 0);
}

TEST(WorkingFiles, TheCleanUpRemovesOnlyAbandonedTemporaries) {
  TempDir dir;
  test::WriteFile(dir / ".kelmora-abandoned0.part", "left by a cut");
  test::WriteFile(dir / ".kelmora-abandoned1.part", "");
  test::WriteFile(dir / "report.part", "the user's");
  test::WriteFile(dir / ".kelmora-short.part", "not the pattern");
  std::filesystem::create_directory(dir / ".kelmora-afolder000.part");
  // A volume being written, and a restored file still pending: held.
  std::string volume;
  File open = CreateFileBeside(dir / "x.bkp", volume);
  ASSERT_TRUE(open.Valid());
  EXPECT_EQ(std::filesystem::path(volume).parent_path(), std::filesystem::path(dir.path()));
  EXPECT_TRUE(IsTemporaryName(std::filesystem::path(volume).filename().string())) << volume;
  ASSERT_TRUE(open.Write("volume", 6));
  ASSERT_TRUE(open.Close());  // closed before it is synced and renamed: still held
  auto folder = std::make_shared<const FolderHandle>(OpenFolder(dir.path(), false));
  auto pending = std::make_unique<PendingFile>(folder);
  ASSERT_TRUE(pending->Valid());
  const std::set<std::string> before = Names(dir.path());

  EXPECT_EQ(RemoveLeftovers(*folder), 2);
  std::set<std::string> expected = before;
  expected.erase(".kelmora-abandoned0.part");
  expected.erase(".kelmora-abandoned1.part");
  EXPECT_EQ(Names(dir.path()), expected);

  // Once renamed into place or given up, nothing of them is left to hold.
  ASSERT_EQ(RenameFile(volume, dir / "x.bkp"), 0);
  EXPECT_EQ(test::ReadFile(dir / "x.bkp"), "volume");
  pending.reset();
  EXPECT_EQ(RemoveLeftoversBeside(dir / "x.bkp"), 0);
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"x.bkp", "report.part", ".kelmora-short.part",
                                                      ".kelmora-afolder000.part"}));
}

TEST(WorkingFiles, AFolderHoldingTheRecordOfAReplacementKeepsItsTemporaries) {
  TempDir dir;
  test::WriteFile(dir / ".kelmora-newvolume0.part", "the new x.002");
  const std::string record = JournalPathOf(dir / "x.bkp");
  EXPECT_EQ(record, dir / ".x.bkp.kelmora-commit");
  EXPECT_TRUE(IsWorkingFileName(std::filesystem::path(record).filename().string()));
  EXPECT_FALSE(IsJournalName("x.kelmora-commit"));
  test::WriteFile(record, "kelmora-replacement 1\n");
  // Also for a run on another archive of that folder.
  EXPECT_EQ(RemoveLeftoversBeside(dir / "y.bkp"), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / ".kelmora-newvolume0.part"));
  std::filesystem::remove(record);
  EXPECT_EQ(RemoveLeftoversBeside(dir / "y.bkp"), 1);
}

// A file-ID list's temporary left by a killed backup goes; one a running
// backup holds, one that holds something else, and another name stay.
TEST(WorkingFiles, AbandonedListsInTheTemporaryFolderAreRemovedByTheirPattern) {
  TempDir dir;
  const char* const was = std::getenv("TMPDIR");
  const std::string before = was != nullptr ? was : "";
  test::SetEnvironment("TMPDIR", dir.path());
  struct Restore {
    std::string value;
    ~Restore() {
      if (value.empty())
        test::UnsetEnvironment("TMPDIR");
      else
        test::SetEnvironment("TMPDIR", value);
    }
  } restore{before};
  const auto looks = [](std::string_view Head) { return Head.empty() || Head[0] == '/'; };
  const std::string held = CreateTempFile("FID");
  ASSERT_FALSE(held.empty());
  EXPECT_EQ(std::filesystem::path(held).parent_path(), std::filesystem::path(dir.path()));
#ifdef _WIN32
  const std::string abandoned = dir / "FID1A2B.tmp", other = dir / "FID3C4D.tmp";
#else
  const std::string abandoned = dir / "FIDa1B2c3", other = dir / "FIDd4E5f6";
#endif
  test::WriteFile(abandoned, "/home/ann/a.txt\t12345=10\r\n/home");
  test::WriteFile(other, "not a list");
  test::WriteFile(dir / "FIDlonger12", "/x");
  test::WriteFile(dir / "notes.txt", "/x");
  EXPECT_EQ(RemoveAbandonedTempFiles("FID", looks), 1);
  EXPECT_FALSE(std::filesystem::exists(abandoned));
  for (const std::string& kept : {held, other, std::string(dir / "FIDlonger12")})
    EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
  // Once its backup removed it, nothing is held by that name any more.
  EXPECT_TRUE(DeleteFile(held));
  test::WriteFile(held, "");
  EXPECT_EQ(RemoveAbandonedTempFiles("FID", looks), 1);
}

TEST(WorkingFiles, ALinkNamedLikeATemporaryIsLeftAlone) {
  KELMORA_POSIX_ONLY("symbolic links need an administrator");
  TempDir dir;
  test::WriteFile(dir / "elsewhere", "keep");
  test::MakeSymlink(dir / "elsewhere", dir / ".kelmora-linklinkli.part");
  EXPECT_EQ(RemoveLeftoversBeside(dir / "x.bkp"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / ".kelmora-linklinkli.part"));
  EXPECT_EQ(test::ReadFile(dir / "elsewhere"), "keep");
}

TEST(WorkingFiles, ReadersShareTheLockAndAWriterHasItAlone) {
  TempDir dir;
  const std::string archive = dir / "x.bkp";
  RunLock first, second, writer;
  ASSERT_EQ(first.Take(archive, RunLock::Mode::Shared, 0), 0);
  EXPECT_EQ(second.Take(archive, RunLock::Mode::Shared, 0), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(writer.Take(archive, RunLock::Mode::Exclusive, 300), EWOULDBLOCK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_FALSE(writer.Held());
  // One reader gone, the other still holds it: the lock stays.
  first.Release();
  EXPECT_TRUE(std::filesystem::exists(LockPathOf(archive)));
  EXPECT_EQ(writer.Take(archive, RunLock::Mode::Exclusive, 0), EWOULDBLOCK);
  second.Release();
  ASSERT_EQ(writer.Take(archive, RunLock::Mode::Exclusive, 0), 0);
  EXPECT_EQ(first.Take(archive, RunLock::Mode::Shared, 0), EWOULDBLOCK);
  RunLock moved = std::move(writer);
  EXPECT_TRUE(moved.Held());
  EXPECT_FALSE(writer.Held());
  moved.Release();
  EXPECT_EQ(first.Take(archive, RunLock::Mode::Shared, 0), 0);
  first.Release();
  if (!test::kOnWindows) {
    // The last holder leaves nothing beside the archive.
    EXPECT_FALSE(std::filesystem::exists(LockPathOf(archive)));
  }
  // A folder that does not exist has no room for a lock.
  EXPECT_EQ(first.Take(dir / "missing/x.bkp", RunLock::Mode::Exclusive, 0), ENOENT);
}

#ifndef _WIN32
TEST(WorkingFiles, TheSystemLetsGoOfTheLocksOfAKilledRun) {
  TempDir dir;
  const std::string archive = dir / "x.bkp";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    RunLock lock;
    std::string volume;
    File file = CreateFileBeside(archive, volume);
    const char done = lock.Take(archive, RunLock::Mode::Exclusive, 0) == 0 && file.Valid();
    // The parent sees a short read when this fails.
    if (::write(ready[1], &done, 1) != 1) ::_exit(1);
    ::pause();
  }
  char done = 0;
  ASSERT_EQ(::read(ready[0], &done, 1), 1);
  ASSERT_TRUE(done);
  RunLock lock;
  EXPECT_EQ(lock.Take(archive, RunLock::Mode::Shared, 0), EWOULDBLOCK);
  EXPECT_EQ(RemoveLeftoversBeside(archive), 0);  // the child's volume is held
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(lock.Take(archive, RunLock::Mode::Shared, 0), 0);
  EXPECT_EQ(RemoveLeftoversBeside(archive), 1);
  ::close(ready[0]);
  ::close(ready[1]);
}
#endif

}  // namespace
}  // namespace kelmora::platform
