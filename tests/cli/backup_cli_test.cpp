// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli backup, run as a program: its options, exit statuses, what
// it prints where, and the archive it writes.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <thread>

#include "cli/cli_runner.h"
#include "cli/user_runner.h"
#include "engine/backup_writer_support.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::TempDir;

using Result = test::CliResult;
using test::RunCli;

#ifndef _WIN32
using test::Reap;

// With standard error on a terminal, which the test reads.
Result RunOnTerminal(const TempDir& Dir, const std::vector<std::string>& Args) {
  const std::string out = Dir / ".out";
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    test::ExecCli(Args);
  }
  Result r;
  char buffer[4096];
  ssize_t n;
  // The terminal reports an error once the program has closed it.
  while ((n = ::read(master, buffer, sizeof buffer)) > 0) r.Err.append(buffer, n);
  ::close(master);
  r.Status = Reap(pid);
  r.Out = test::ReadFile(out);
  return r;
}
#endif

// Entries follow the directory listing, whose order is the system's.
const test::EntryRecord& Entry(const test::ArchiveRecords& Archive, const std::string& Name) {
  for (const auto& entry : Archive.Entries)
    if (entry.Name == Name) return entry;
  throw std::runtime_error("no entry " + Name);
}

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

class BackupCli : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir_ / "src/a.txt", test::TextBytes(70000));
    test::WriteFile(dir_ / "src/sub/b.bin", test::RandomBytes(100000));
    test::WriteFile(dir_ / "src/sub/empty", "");
  }
  std::string Tree() const { return dir_ / "src/*.* /s"; }
  std::string Contents(const std::string& Relative) const {
    return test::ReadFile(dir_ / ("src/" + Relative));
  }

  TempDir dir_;
};

TEST_F(BackupCli, WritesTheArchiveTheOptionsAskFor) {
  const Result r = RunCli(dir_, {"backup", "-l", "max", "-t", "My title", "--file-ids", "-v", "64k",
                                 dir_ / "a.bkp", Tree()});
  ASSERT_EQ(0, r.Status) << r.Err;
  EXPECT_TRUE(r.Err.empty()) << r.Err;
  for (const char* line : {"Files:        3", "Total size:", "Archive:", "Compression:", "Time:"})
    EXPECT_TRUE(Contains(r.Out, line)) << line << " in " << r.Out;

  const auto archive = test::ReadArchiveFile(dir_ / "a.bkp");
  EXPECT_TRUE(archive.EndMarker);
  EXPECT_EQ("My title", archive.Header.Title);
  EXPECT_EQ(3, archive.Header.FileCount);
  ASSERT_EQ(4u, archive.Entries.size());
  EXPECT_EQ("FILE:LIST", archive.Entries[0].Name);
  EXPECT_GE(archive.Volumes.size(), 3u);
  for (const auto& volume : archive.Volumes)
    EXPECT_LE(test::ReadFile(volume).size(), 65536u) << volume;
  EXPECT_EQ(Contents("sub/b.bin"), test::EntryData(Entry(archive, dir_ / "src/sub/b.bin")));
  EXPECT_EQ(Contents("a.txt"), test::EntryData(Entry(archive, dir_ / "src/a.txt")));
}

TEST_F(BackupCli, LevelNoneStoresWholePieces) {
  const Result r =
      RunCli(dir_, {"backup", "-q", "--level", "none", dir_ / "n.bkp", dir_ / "src/a.txt"});
  ASSERT_EQ(0, r.Status) << r.Err;
  EXPECT_TRUE(r.Out.empty()) << "quiet prints no summary";
  const auto archive = test::ReadArchiveFile(dir_ / "n.bkp");
  const auto& chunks = archive.Entries[0].Sections[0].Chunks;
  ASSERT_EQ(5u, chunks.size());
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(-16384, chunks[i].Length);
}

TEST_F(BackupCli, DashWritesTheArchiveToStandardOutput) {
  const Result r = RunCli(dir_, {"backup", "-", Tree()});
  ASSERT_EQ(0, r.Status) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "Files:")) << "the summary goes to standard error";
  test::WriteFile(dir_ / "copy.bkp", r.Out);
  const auto archive = test::ReadArchiveFile(dir_ / "copy.bkp");
  EXPECT_TRUE(archive.EndMarker);
  EXPECT_EQ(3u, archive.Entries.size());
  EXPECT_EQ(Contents("sub/b.bin"), test::EntryData(Entry(archive, dir_ / "src/sub/b.bin")));

  const Result split = RunCli(dir_, {"backup", "-v", "1m", "-", Tree()});
  EXPECT_EQ(2, split.Status);
  EXPECT_TRUE(split.Out.empty());
}

TEST_F(BackupCli, UsageErrorsExitWith2) {
  const std::vector<std::vector<std::string>> cases = {
      {"backup"},
      {"backup", dir_ / "x.bkp"},
      {"backup", "-l", "fast", dir_ / "x.bkp", Tree()},
      {"backup", "-v", "16484", dir_ / "x.bkp", Tree()},
      {"backup", "-v", "2g", dir_ / "x.bkp", Tree()},
      {"backup", "-v", "3000000000", dir_ / "x.bkp", Tree()},
      {"backup", "-v", "12x", dir_ / "x.bkp", Tree()},
      {"backup", "-v", "-1", dir_ / "x.bkp", Tree()},
      {"backup", "--no-such-option", dir_ / "x.bkp", Tree()},
      {"backup", "--threads", "0", dir_ / "x.bkp", Tree()},
      {"backup", "--threads", "65", dir_ / "x.bkp", Tree()},
      {"backup", "--threads", "two", dir_ / "x.bkp", Tree()},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    SCOPED_TRACE(line);
    const Result r = RunCli(dir_, args);
    EXPECT_EQ(2, r.Status);
    EXPECT_FALSE(r.Err.empty());
    if (args.size() > 2 && args[1] == "-v" && args[2] != "-1") {
      EXPECT_TRUE(Contains(r.Err, "16,489 to 2,147,483,647")) << r.Err;
    }
    EXPECT_FALSE(platform::FileExists(dir_ / "x.bkp"));
  }
}

// The thread count changes how the work is shared, never the archive.
TEST_F(BackupCli, ThreadCountLeavesTheArchiveAsItIs) {
  std::vector<std::string> archives;
  for (const char* threads : {"1", "3"}) {
    const std::string name = dir_ / (std::string("t") + threads + ".bkp");
    const Result r = RunCli(dir_, {"backup", "-q", "--threads", threads, name, Tree()});
    ASSERT_EQ(0, r.Status) << r.Err;
    archives.push_back(test::ReadFile(name));
  }
  EXPECT_EQ(archives[0], archives[1]);
  EXPECT_EQ(Contents("a.txt"),
            test::EntryData(Entry(test::ReadArchiveFile(dir_ / "t3.bkp"), dir_ / "src/a.txt")));
}

TEST_F(BackupCli, VolumeSizesWithSuffixes) {
  test::WriteFile(dir_ / "big", test::RandomBytes(3 << 20));
  for (const auto& [size, limit] : std::vector<std::pair<std::string, int64_t>>{
           {"1m", 1 << 20}, {"1048576", 1 << 20}, {"16489", 16489}, {"0", -1}}) {
    SCOPED_TRACE(size);
    const Result r = RunCli(dir_, {"backup", "-q", "-v", size, dir_ / "v.bkp", dir_ / "big"});
    ASSERT_EQ(0, r.Status) << r.Err;
    const auto archive = test::ReadArchiveFile(dir_ / "v.bkp");
    EXPECT_EQ(test::ReadFile(dir_ / "big"), test::EntryData(archive.Entries[0]));
    for (const auto& volume : archive.Volumes) {
      if (limit > 0) {
        EXPECT_LE(static_cast<int64_t>(test::ReadFile(volume).size()), limit);
      }
    }
    if (limit < 0) {
      EXPECT_EQ(1u, archive.Volumes.size());
    } else if (limit == 1 << 20) {
      EXPECT_EQ(4u, archive.Volumes.size());
    }
  }
}

TEST_F(BackupCli, FailuresExitWith1AndSayWhy) {
  test::WriteFile(dir_ / "plain", "not a folder");
  for (const std::string& archive : {dir_ / "plain/x.bkp", std::string("/dev/full")}) {
    SCOPED_TRACE(archive);
    const Result r = RunCli(dir_, {"backup", archive, Tree()});
    EXPECT_EQ(1, r.Status);
    // The message names the archive, and a cut-short archive claims no rate.
    EXPECT_TRUE(Contains(r.Err, "kelmora-cli: Cannot write to archive: " + archive)) << r.Err;
    EXPECT_TRUE(Contains(r.Out, "Files:")) << r.Out;
    EXPECT_FALSE(Contains(r.Out, "Compression:")) << r.Out;
  }
}

TEST_F(BackupCli, SourceSelectingNothingWarnsButWritesTheEmptyArchive) {
  const Result r =
      RunCli(dir_, {"backup", "-q", dir_ / "empty.bkp", dir_ / "no-such-folder/*.* /s"});
  EXPECT_EQ(0, r.Status) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "SOURCE selected no files")) << r.Err;
  EXPECT_EQ(std::string(16, '\0'), test::ReadFile(dir_ / "empty.bkp"));
  // A source that selects something brings no warning.
  const Result full = RunCli(dir_, {"backup", "-q", dir_ / "full.bkp", Tree()});
  EXPECT_EQ(0, full.Status);
  EXPECT_FALSE(Contains(full.Err, "warning")) << full.Err;
}

TEST_F(BackupCli, IncrementalTakesOnlyChangedFiles) {
  platform::ClearArchiveAttribute(dir_ / "src/a.txt");
  if (platform::HasArchiveAttribute(dir_ / "src/a.txt"))
    GTEST_SKIP() << "the archive attribute cannot be cleared here (see ArchiveAttributeWorks)";
  test::WriteFile(dir_ / "src/a.txt", "changed");
  ASSERT_EQ(0,
            RunCli(dir_, {"backup", "-q", "--clear-archive-flag", dir_ / "1.bkp", Tree()}).Status);
  EXPECT_FALSE(platform::HasArchiveAttribute(dir_ / "src/sub/b.bin"));
  test::WriteFile(dir_ / "src/a.txt", "changed again");
  ASSERT_EQ(0, RunCli(dir_, {"backup", "-q", "--incremental", dir_ / "2.bkp", Tree()}).Status);
  const auto archive = test::ReadArchiveFile(dir_ / "2.bkp");
  ASSERT_EQ(1u, archive.Entries.size());
  EXPECT_EQ(dir_ / "src/a.txt", archive.Entries[0].Name);
  EXPECT_FALSE(platform::HasArchiveAttribute(dir_ / "src/a.txt"));
}

TEST_F(BackupCli, ProgressLineOnlyOnATerminal) {
  KELMORA_POSIX_ONLY("a pseudo-terminal to read standard error from");
#ifndef _WIN32
  const Result plain = RunCli(dir_, {"backup", dir_ / "p.bkp", Tree()});
  ASSERT_EQ(0, plain.Status);
  EXPECT_TRUE(plain.Err.empty()) << plain.Err;

  const Result tty = RunOnTerminal(dir_, {"backup", dir_ / "t.bkp", Tree()});
  ASSERT_EQ(0, tty.Status) << tty.Err;
  EXPECT_TRUE(Contains(tty.Err, "\r")) << tty.Err;
  EXPECT_TRUE(Contains(tty.Err, "100%")) << tty.Err;
  EXPECT_TRUE(Contains(tty.Err, "/s")) << "the speed, and the current file: " << tty.Err;
  EXPECT_TRUE(Contains(tty.Out, "Files:")) << tty.Out;

  const Result quiet = RunOnTerminal(dir_, {"backup", "-q", dir_ / "q.bkp", Tree()});
  ASSERT_EQ(0, quiet.Status);
  EXPECT_FALSE(Contains(quiet.Err, "%")) << quiet.Err;
#endif
}

// Ctrl-C is a stop request: the run winds down, removes the unfinished
// archive and the file-ID list's temporary file, leaves the older archive
// as it was and exits with 1.
TEST_F(BackupCli, InterruptStopsAfterTheNextChunk) {
  KELMORA_POSIX_ONLY("signals sent to another process");
#ifndef _WIN32
  test::WriteFile(dir_ / "big.txt", test::TextBytes(48 << 20));
  test::WriteFile(dir_ / "out/i.bkp", "older");
  std::filesystem::create_directory(dir_ / "tmp");
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    ::setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    ::dup2(::open((dir_ / ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    test::ExecCli({"backup", "-l", "max", "--file-ids", dir_ / "out/i.bkp", dir_ / "big.txt"});
  }
  // The progress line is drawn before the first file is read.
  std::string err;
  char buffer[4096];
  ssize_t n;
  while (!Contains(err, "%") && (n = ::read(master, buffer, sizeof buffer)) > 0)
    err.append(buffer, n);
  ::kill(pid, SIGINT);
  while ((n = ::read(master, buffer, sizeof buffer)) > 0) err.append(buffer, n);
  ::close(master);
  EXPECT_EQ(1, Reap(pid)) << err;
  EXPECT_TRUE(Contains(err, "kelmora-cli: stopped; no archive was written")) << err;
  EXPECT_EQ("older", test::ReadFile(dir_ / "out/i.bkp"));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir_ / "out"),
                             std::filesystem::directory_iterator()));
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "tmp"));
#endif
}

// Named as its own source, the file would be replaced by an archive that
// cannot hold it: refused, untouched.
TEST_F(BackupCli, ArchiveThatIsASourceIsRefused) {
  const std::string file = dir_ / "src/a.txt";
  const std::string before = Contents("a.txt");
  const Result r = RunCli(dir_, {"backup", "-q", file, file});
  EXPECT_EQ(1, r.Status);
  EXPECT_TRUE(Contains(r.Err, "Cannot write to archive: " + file + ": it is one of the files"))
      << r.Err;
  EXPECT_EQ(before, Contents("a.txt"));
}

// A full disk names the archive and the system's reason, and leaves the
// older archive.
TEST_F(BackupCli, FullDiskSaysSoAndKeepsTheOlderArchive) {
  std::filesystem::create_directory(dir_ / "disk");
  if (!test::MountSmallFileSystem(dir_ / "disk", "64k"))
    GTEST_SKIP() << "cannot mount a small file system here";
  test::WriteFile(dir_ / "disk/x.bkp", "older");
  const Result r = RunCli(dir_, {"backup", "-q", "-l", "none", dir_ / "disk/x.bkp", Tree()});
  const std::string kept = test::ReadFile(dir_ / "disk/x.bkp");
  const bool alone = std::distance(std::filesystem::directory_iterator(dir_ / "disk"),
                                   std::filesystem::directory_iterator()) == 1;
  test::UnmountFileSystem(dir_ / "disk");
  EXPECT_EQ(1, r.Status);
  EXPECT_TRUE(Contains(r.Err, "kelmora-cli: Cannot write to archive: " + dir_ / "disk/x.bkp" +
                                  ": No space left on device"))
      << r.Err;
  EXPECT_EQ("older", kept);
  EXPECT_TRUE(alone);
}

// The digits people type for a level give the same archive as its name,
// and names are taken in any case; other digits are usage errors.
TEST_F(BackupCli, LevelsByDigitAndInAnyCase) {
  for (const auto& [typed, name] :
       std::vector<std::pair<std::string, std::string>>{{"1", "fastest"},
                                                        {"6", "default"},
                                                        {"9", "max"},
                                                        {"0", "none"},
                                                        {"MAX", "max"},
                                                        {"Fastest", "fastest"},
                                                        {"nOnE", "none"}}) {
    SCOPED_TRACE(typed);
    ASSERT_EQ(0, RunCli(dir_, {"backup", "-q", "-l", typed, dir_ / "typed.bkp", Tree()}).Status);
    ASSERT_EQ(0, RunCli(dir_, {"backup", "-q", "-l", name, dir_ / "named.bkp", Tree()}).Status);
    EXPECT_EQ(test::ReadFile(dir_ / "typed.bkp"), test::ReadFile(dir_ / "named.bkp"));
  }
  // The levels differ, so the comparison above tells them apart.
  ASSERT_EQ(0, RunCli(dir_, {"backup", "-q", "-l", "1", dir_ / "1.bkp", Tree()}).Status);
  ASSERT_EQ(0, RunCli(dir_, {"backup", "-q", "-l", "0", dir_ / "0.bkp", Tree()}).Status);
  EXPECT_NE(test::ReadFile(dir_ / "1.bkp"), test::ReadFile(dir_ / "0.bkp"));
  for (const std::string typed : {"2", "5", "10", "-1", "fast", ""}) {
    SCOPED_TRACE(typed);
    const Result r = RunCli(dir_, {"backup", "-q", "-l", typed, dir_ / "bad.bkp", Tree()});
    EXPECT_EQ(2, r.Status);
    EXPECT_TRUE(Contains(r.Err, "--level")) << r.Err;
    EXPECT_FALSE(platform::FileExists(dir_ / "bad.bkp"));
  }
}

// The archive's folder is made with its missing parents, as a restore
// makes its folder, for an ordinary user on a fresh account; one that
// cannot be made is named with the reason, and a failed run takes back
// the folders it made.
TEST_F(BackupCli, MakesTheArchivesFolder) {
  KELMORA_POSIX_ONLY("permissions of an ordinary user");
#ifndef _WIN32
  std::filesystem::create_directory(dir_ / "home");
  std::filesystem::create_directory(dir_ / "locked");
  test::GiveToOrdinaryUser(dir_.path());
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir_ / "locked").c_str(), 0555), 0);

  const std::string archive = dir_ / "home/kelmora-backups/nightly/docs.bkp";
  const Result r = test::RunCliAsUser(dir_, {"backup", "-q", archive, dir_ / "src"});
  ASSERT_EQ(0, r.Status) << r.Err;
  const auto stored = test::ReadArchiveFile(archive);
  EXPECT_TRUE(stored.EndMarker);
  EXPECT_EQ(3u, stored.Entries.size());
  struct stat st;
  ASSERT_EQ(::stat((dir_ / "home/kelmora-backups").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid() == 0 ? test::kOrdinaryUser : ::geteuid());

  const std::string refused = dir_ / "locked/backups/docs.bkp";
  const Result denied = test::RunCliAsUser(dir_, {"backup", "-q", refused, dir_ / "src"});
  EXPECT_EQ(1, denied.Status);
  EXPECT_TRUE(Contains(denied.Err, "Cannot write to archive: " + refused)) << denied.Err;
  EXPECT_TRUE(Contains(denied.Err, dir_ / "locked/backups")) << denied.Err;
  EXPECT_TRUE(Contains(denied.Err, "Permission denied")) << denied.Err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "locked/backups"));

  // A source file the user may not read ends the backup: nothing is left
  // of the folders made for it, while the one that was there stays.
  ASSERT_EQ(::chmod((dir_ / "src/a.txt").c_str(), 0), 0);
  const Result failed =
      test::RunCliAsUser(dir_, {"backup", "-q", dir_ / "home/new/deeper/docs.bkp", dir_ / "src"});
  EXPECT_EQ(1, failed.Status);
  EXPECT_TRUE(Contains(failed.Err, dir_ / "src/a.txt")) << failed.Err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "home/new"));
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "home"));
#endif
}

// As gzip and tar: an archive is not written onto a terminal unless that
// is asked for.
TEST_F(BackupCli, RefusesATerminalAsStandardOutputUnlessForced) {
  KELMORA_POSIX_ONLY("a pseudo-terminal as standard output");
#ifndef _WIN32
  const auto onTerminal = [this](const std::vector<std::string>& Args) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      ::dup2(::open((dir_ / ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      test::ExecCli(Args);
    }
    Result r;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(master, buffer, sizeof buffer)) > 0) r.Out.append(buffer, n);
    ::close(master);
    r.Status = Reap(pid);
    r.Err = test::ReadFile(dir_ / ".err");
    return r;
  };
  const Result refused = onTerminal({"backup", "-q", "-", Tree()});
  EXPECT_EQ(2, refused.Status);
  EXPECT_TRUE(Contains(refused.Err, "--force")) << refused.Err;
  EXPECT_TRUE(refused.Out.empty()) << refused.Out.size() << " bytes on the terminal";

  const Result forced = onTerminal({"backup", "-q", "--force", "-", Tree()});
  EXPECT_EQ(0, forced.Status) << forced.Err;
  // The terminal turns line ends into two bytes, so the count is a floor.
  EXPECT_GT(forced.Out.size(), 100000u);
  // A pipe is no terminal and needs no --force.
  EXPECT_EQ(0, RunCli(dir_, {"backup", "-q", "-", Tree()}).Status);
#endif
}

TEST_F(BackupCli, HelpExplainsEveryOption) {
  const Result r = RunCli(dir_, {"backup", "--help"});
  EXPECT_EQ(0, r.Status);
  for (const char* option :
       {"--level", "fastest", "none", "default", "max", "--volume-size", "--title", "--file-ids",
        "--incremental", "--clear-archive-flag", "--quiet", "--threads", "--force", "--progress",
        "ARCHIVE", "SOURCE", "standard output", "Exit status"})
    EXPECT_TRUE(Contains(r.Out, option)) << option;
  const Result top = RunCli(dir_, {"--help"});
  EXPECT_EQ(0, top.Status);
  EXPECT_TRUE(Contains(top.Out, "backup"));
}

}  // namespace
}  // namespace kelmora
