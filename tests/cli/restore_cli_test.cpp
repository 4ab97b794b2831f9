// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli restore and list, run as a program without a terminal.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "cli/cli_runner.h"
#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

using Result = test::CliResult;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

// A small tree backed up with its file-ID list.
struct Backed {
  std::string src, archive;
  explicit Backed(const test::TempDir& Dir, int32_t MaxSize = 0) : src(Dir / "src") {
    test::WriteFile(src + "/top.txt", "top");
    test::WriteFile(src + "/sub dir/data.bin", test::RandomBytes(70000, 3));
    test::WriteFile(src + "/sub dir/empty", "");
    archive = Dir / "set.bkp";
    TBackupFile engine;
    engine.SaveFileID = true;
    engine.BackupTitle = "Weekly";
    engine.MaxSize = MaxSize;
    engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
    if (!engine.Backup({src + "/*.* /s"}, archive)) throw std::runtime_error("backup failed");
  }
};

TEST(RestoreCli, RestoresTheTreeUnderTheFolderAndSummarises) {
  test::TempDir dir;
  Backed b(dir);
  const Result r = test::RunCli(dir, {"restore", "--full-path", b.archive, dir / "out"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "3 restored of 3")) << r.Out;
  const std::string below = test::BelowFolder(dir / "out", b.src);
  EXPECT_EQ(test::ReadFile(below + "/sub dir/data.bin"),
            test::ReadFile(b.src + "/sub dir/data.bin"));
  EXPECT_EQ(platform::FileTimeOfPath(below + "/top.txt"),
            platform::FileTimeOfPath(b.src + "/top.txt"));

  const Result flat = test::RunCli(dir, {"restore", "-q", "--flat", b.archive, dir / "flat"});
  EXPECT_EQ(flat.Status, 0) << flat.Err;
  EXPECT_EQ(flat.Out, "");
  EXPECT_EQ(test::ReadFile(dir / "flat/top.txt"), "top");
  EXPECT_TRUE(fs::exists(dir / "flat/empty"));
}

TEST(RestoreCli, ModeNoOverwriteKeepsExistingFiles) {
  test::TempDir dir;
  Backed b(dir);
  test::WriteFile(dir / "out/top.txt", "mine");
  const Result r =
      test::RunCli(dir, {"restore", "-m", "no-overwrite", "-q", "--flat", b.archive, dir / "out"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(test::ReadFile(dir / "out/top.txt"), "mine");
  EXPECT_EQ(test::ReadFile(dir / "out/data.bin").size(), 70000u);

  const Result bad = test::RunCli(dir, {"restore", "-m", "sometimes", b.archive, dir / "out"});
  EXPECT_EQ(bad.Status, 2);
}

TEST(RestoreCli, StandardInputIsReadAsAPipeAndSkippedSectionsNeedNoSeeking) {
  test::TempDir dir;
  Backed b(dir);
  test::WriteFile(dir / "out/data.bin", "already here");
  const std::string archive = test::ReadFile(b.archive);
  // The file-ID list and data.bin are both stepped over on the pipe.
  const Result r =
      test::RunCli(dir, {"restore", "-m", "no-overwrite", "--flat", "-", dir / "out"}, &archive);
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(test::ReadFile(dir / "out/data.bin"), "already here");
  EXPECT_EQ(test::ReadFile(dir / "out/top.txt"), "top");

  const std::string cut = archive.substr(0, archive.size() - 30);
  const Result damaged = test::RunCli(dir, {"restore", "-", dir / "cut"}, &cut);
  EXPECT_EQ(damaged.Status, 1);
  EXPECT_FALSE(damaged.Err.empty());
}

TEST(RestoreCli, MissingVolumeWithoutATerminalFailsAndNamesIt) {
  test::TempDir dir;
  Backed b(dir, 20000);
  ASSERT_TRUE(fs::exists(dir / "set.003"));
  fs::remove(dir / "set.003");
  const Result r = test::RunCli(dir, {"restore", b.archive, dir / "out"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_TRUE(Contains(r.Err, dir / "set.003")) << r.Err;
}

#ifndef _WIN32
// Runs the program on a terminal of its own, answering its first question
// once the question names Expected: Prepare runs first, then Answer is typed.
Result RunOnTerminal(const std::vector<std::string>& Args, const std::string& Expected,
                     const std::function<void()>& Prepare, const std::string& Answer) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty");
  if (pid == 0) {
    test::ExecCli(Args);
  }
  Result r;
  bool answered = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    struct pollfd p {
      master, POLLIN, 0
    };
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // the program closed the terminal: it has ended
    r.Out.append(buffer, static_cast<size_t>(n));
    if (!answered && r.Out.find(Expected) != std::string::npos &&
        r.Out.find("[OK/cancel]") != std::string::npos) {
      Prepare();
      if (::write(master, Answer.data(), Answer.size()) < 0) break;
      answered = true;
    }
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  ::close(master);
  r.Status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return r;
}
#endif

TEST(RestoreCli, MissingVolumeIsAskedForOnTheTerminalByName) {
  KELMORA_POSIX_ONLY("a pseudo-terminal to answer on");
#ifndef _WIN32
  test::TempDir dir;
  Backed b(dir, 20000);
  const std::string volume = dir / "set.002";
  fs::rename(volume, dir / "away");
  const Result ok = RunOnTerminal(
      {"restore", "-q", "--flat", b.archive, dir / "out"}, volume,
      [&] { fs::rename(dir / "away", volume); }, "\n");
  EXPECT_EQ(ok.Status, 0) << ok.Out;
  EXPECT_EQ(test::ReadFile(dir / "out/data.bin"), test::ReadFile(b.src + "/sub dir/data.bin"));

  fs::rename(volume, dir / "away");
  const Result cancelled = RunOnTerminal(
      {"restore", "-q", b.archive, dir / "out2"}, volume, [] {}, "cancel\n");
  EXPECT_EQ(cancelled.Status, 1) << cancelled.Out;
  EXPECT_TRUE(Contains(cancelled.Out, "cancelled")) << cancelled.Out;
#endif
}

// The file being written when Ctrl-C comes is dropped, and the older copy
// of it stays as it was.
TEST(RestoreCli, InterruptStopsAfterTheCurrentChunkAndKeepsTheOlderCopy) {
  KELMORA_POSIX_ONLY("signals sent to another process");
#ifndef _WIN32
  test::TempDir dir;
  test::WriteFile(dir / "out/big.bin", "older");
  const int32_t stamp = test::Stamp(2020, 2, 2, 2, 2, 2);
  const std::string archive =
      ArchiveBuilder().Header().File("/big.bin", stamp, test::RandomBytes(2000000)).End().Bytes();
  const std::string errPath = dir / ".stderr";
  int in[2];
  ASSERT_EQ(::pipe(in), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    const std::string folder = dir / "out";
    ::execl(test::kCliProgram, test::kCliProgram, "restore", "-q", "-", folder.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(in[0]);
  // Half the archive, then wait until the new copy is being written beside
  // the older one.
  const size_t half = archive.size() / 2;
  ASSERT_EQ(::write(in[1], archive.data(), half), static_cast<ssize_t>(half));
  const auto writing = [&] {
    for (const auto& e : fs::directory_iterator(dir / "out"))
      if (e.path().filename() != "big.bin" && e.is_regular_file() && e.file_size() > 0) return true;
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!writing() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(writing());
  ::kill(pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::signal(SIGPIPE, SIG_IGN);
  const ssize_t rest = ::write(in[1], archive.data() + half, archive.size() - half);
  (void)rest;  // the program may have stopped reading already
  ::close(in[1]);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFEXITED(wstatus)) << "killed instead of stopped";
  EXPECT_EQ(WEXITSTATUS(wstatus), 1);
  EXPECT_TRUE(Contains(test::ReadFile(errPath), "interrupted")) << test::ReadFile(errPath);
  EXPECT_EQ(test::ReadFile(dir / "out/big.bin"), "older");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1)
      << "no part of the new copy is left";
#endif
}

TEST(RestoreCli, FailuresEndWithStatusOneAndAMessage) {
  test::TempDir dir;
  const Result missing = test::RunCli(dir, {"restore", dir / "none.bkp", dir / "out"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_TRUE(Contains(missing.Err, "none.bkp")) << missing.Err;

  test::WriteFile(dir / "short.bkp", "\x03");
  const Result unreadable = test::RunCli(dir, {"restore", dir / "short.bkp", dir / "out"});
  EXPECT_EQ(unreadable.Status, 1);
  EXPECT_TRUE(Contains(unreadable.Err, dir / "short.bkp")) << unreadable.Err;
  EXPECT_TRUE(Contains(unreadable.Err, "not a Kelmora archive")) << unreadable.Err;

  ArchiveBuilder()
      .Header()
      .File("/../../escape.txt", 0, "evil")
      .File("/fine.txt", 0, "good")
      .End()
      .Save(dir / "hostile.bkp");
  fs::create_directories(dir / "r/s");
  const Result hostile = test::RunCli(dir, {"restore", "-p", dir / "hostile.bkp", dir / "r/s"});
  EXPECT_EQ(hostile.Status, 1);
  // The refused entry is named, not the healthy file the run reached last.
  EXPECT_TRUE(Contains(hostile.Err, "/../../escape.txt: its stored name")) << hostile.Err;
  EXPECT_FALSE(Contains(hostile.Err, "fine.txt")) << hostile.Err;
  EXPECT_FALSE(fs::exists(dir / "escape.txt"));
  EXPECT_FALSE(fs::exists(dir / "r/escape.txt"));
  EXPECT_EQ(test::ReadFile(dir / "r/s/fine.txt"), "good");
}

TEST(ListCli, SummaryShowsTitleAndTotalsFromTheHeader) {
  test::TempDir dir;
  Backed b(dir);
  const Result r = test::RunCli(dir, {"list", "--summary", b.archive});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "Title:        Weekly")) << r.Out;
  // The total counts the file-ID list's text too.
  TBackupFile engine;
  engine.GetArchiveTitle(b.archive, nullptr);
  ASSERT_GT(engine.TotalSize(), 70003);
  ASSERT_LT(engine.TotalSize(), 71000);
  const std::string total = std::to_string(engine.TotalSize());
  EXPECT_TRUE(Contains(r.Out, "Total size:   " + total.substr(0, 2) + "," + total.substr(2)))
      << r.Out;
  EXPECT_TRUE(Contains(r.Out, "Files:        3")) << r.Out;

  const std::string archive = test::ReadFile(b.archive);
  const Result piped = test::RunCli(dir, {"list", "--summary", "-"}, &archive);
  EXPECT_EQ(piped.Status, 0) << piped.Err;
  EXPECT_EQ(piped.Out, r.Out);
}

TEST(ListCli, ArchiveWithoutListAndBrokenArchives) {
  test::TempDir dir;
  ArchiveBuilder().Header("plain", 1, 1).File("/x", 0, "x").End().Save(dir / "plain.bkp");
  const Result plain = test::RunCli(dir, {"list", dir / "plain.bkp"});
  EXPECT_EQ(plain.Status, 0) << plain.Err;
  EXPECT_EQ(plain.Out, "/x\n");
  const Result title = test::RunCli(dir, {"list", "--summary", dir / "plain.bkp"});
  EXPECT_TRUE(Contains(title.Out, "Title:        plain")) << title.Out;

  ArchiveBuilder().Header("cut", 1, 1).File("/first", 0, "1").Save(dir / "cut.bkp");
  const Result cut = test::RunCli(dir, {"list", dir / "cut.bkp"});
  EXPECT_EQ(cut.Status, 1);
  EXPECT_TRUE(Contains(cut.Err, "cut.bkp")) << cut.Err;
  EXPECT_TRUE(Contains(cut.Err, "ends early")) << cut.Err;
  EXPECT_EQ(cut.Out, "/first\n");

  const Result missing = test::RunCli(dir, {"list", dir / "none.bkp"});
  EXPECT_EQ(missing.Status, 1);
  EXPECT_TRUE(Contains(missing.Err, "none.bkp"));
}

}  // namespace
}  // namespace kelmora
