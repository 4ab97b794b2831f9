// SPDX-License-Identifier: GPL-3.0-or-later
//
// The progress of a long run, as a terminal and a log see it: the time
// left from the bytes done against the bytes to do, and with --progress
// where standard error is a file, plain lines for a log. A long run is made
// by feeding "restore -" its archive in two halves with a pause between.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/cli_runner.h"
#include "test_support.h"

namespace kelmora {
namespace {

using Result = test::CliResult;

#ifndef _WIN32
bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = Text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(Text.substr(at, end - at));
  return lines;
}

// Seconds of the time left a progress text shows ("0:07 left"), or -1.
int SecondsLeft(const std::string& Text) {
  const size_t left = Text.find(" left");
  if (left == std::string::npos) return -1;
  const size_t start = Text.rfind(' ', left - 1) + 1;
  int minutes = 0, seconds = 0;
  if (std::sscanf(Text.c_str() + start, "%d:%d", &minutes, &seconds) != 2) return -1;
  return minutes * 60 + seconds;
}
#endif

class ProgressCli : public ::testing::Test {
 protected:
  void SetUp() override {
    // Random bytes are stored as they are, so the restore is quick once it
    // has its input and the pause is what the run's length is made of.
    test::WriteFile(dir_ / "src/a.bin", test::RandomBytes(3 << 20, 1));
    test::WriteFile(dir_ / "src/b.bin", test::RandomBytes(3 << 20, 2));
    const Result r = test::RunCli(dir_, {"backup", "-q", archive_, dir_ / "src"});
    if (r.Status != 0) throw std::runtime_error("backup failed: " + r.Err);
    bytes_ = test::ReadFile(archive_);
  }

#ifndef _WIN32
  // restore - ARGS with the archive's first half, Pause, then the rest.
  // On a terminal standard error is one, which the test reads; otherwise
  // it is a file.
  Result RestoreSlowly(std::vector<std::string> Args, std::chrono::milliseconds Pause,
                       bool Terminal) {
    Args.insert(Args.begin(), {"restore", "-"});
    int in[2];
    if (::pipe(in) != 0) throw std::runtime_error("pipe");
    int master = -1;
    const pid_t pid = Terminal ? ::forkpty(&master, nullptr, nullptr, nullptr) : ::fork();
    if (pid == 0) {
      ::dup2(in[0], 0);
      ::close(in[0]);
      ::close(in[1]);
      ::dup2(::open((dir_ / ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      if (!Terminal) ::dup2(::open((dir_ / ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      test::ExecCli(Args);
    }
    ::close(in[0]);
    Result r;
    std::thread reader([&] {
      char buffer[4096];
      ssize_t n;
      while (Terminal && (n = ::read(master, buffer, sizeof buffer)) > 0) r.Err.append(buffer, n);
    });
    const size_t half = bytes_.size() / 2;
    const auto Feed = [&](size_t From, size_t To) {
      while (From < To) {
        const ssize_t n = ::write(in[1], bytes_.data() + From, To - From);
        if (n <= 0) break;
        From += static_cast<size_t>(n);
      }
    };
    Feed(0, half);
    std::this_thread::sleep_for(Pause);
    Feed(half, bytes_.size());
    ::close(in[1]);
    r.Status = test::Reap(pid);
    reader.join();
    if (Terminal) {
      ::close(master);
    } else {
      r.Err = test::ReadFile(dir_ / ".err");
    }
    r.Out = test::ReadFile(dir_ / ".out");
    return r;
  }
#endif

  test::TempDir dir_;
  std::string archive_ = dir_ / "a.bkp";
  std::string bytes_;
};

// A log gets plain lines: one at the start, one after every few seconds of
// work, one at the end; no carriage returns or terminal escapes.
TEST_F(ProgressCli, LogsGetPlainLinesWithTheTimeLeft) {
  KELMORA_POSIX_ONLY("a pipe fed in two halves");
#ifndef _WIN32
  const Result r =
      RestoreSlowly({"--progress", dir_ / "out"}, std::chrono::milliseconds(5500), false);
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(test::ReadFile(dir_ / "out" + dir_ / "src/b.bin"), test::RandomBytes(3 << 20, 2));
  EXPECT_FALSE(Contains(r.Err, "\r"));
  EXPECT_FALSE(Contains(r.Err, "\x1b"));
  std::vector<std::string> lines = Lines(r.Err);
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("kelmora-cli: ", 0), 0u) << line;
  // An archive on a pipe has no companion, which is said before the run.
  std::erase_if(lines, [](const std::string& Line) { return Contains(Line, "no companion"); });
  ASSERT_GE(lines.size(), 3u) << r.Err;
  EXPECT_EQ(lines.front().rfind("kelmora-cli: 0%", 0), 0u) << lines.front();
  EXPECT_EQ(lines.back().rfind("kelmora-cli: 100%", 0), 0u) << lines.back();
  EXPECT_TRUE(Contains(lines.back(), "6.0 MiB of 6.0 MiB")) << lines.back();
  // After the pause, half done in some five seconds: about as long again.
  int middle = 0;
  for (const std::string& line : lines) {
    const int left = SecondsLeft(line);
    if (left < 0) continue;
    ++middle;
    EXPECT_GE(left, 1) << line;
    EXPECT_LE(left, 30) << line;
    EXPECT_TRUE(Contains(line, dir_ / "src/")) << "names the file: " << line;
  }
  EXPECT_GE(middle, 1) << r.Err;

  // Quiet and --progress contradict each other.
  EXPECT_EQ(test::RunCli(dir_, {"test", "-q", "--progress", archive_}).Status, 2);
#endif
}

// On a terminal the redrawn line tells the time left once a second's work
// has given a rate; --progress is not needed there.
TEST_F(ProgressCli, TerminalLineTellsTheTimeLeft) {
  KELMORA_POSIX_ONLY("a pseudo-terminal to read standard error from");
#ifndef _WIN32
  const Result r = RestoreSlowly({dir_ / "out"}, std::chrono::milliseconds(1500), true);
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "\r")) << r.Err;
  EXPECT_TRUE(Contains(r.Err, "100%")) << r.Err;
  const size_t left = r.Err.find(" left");
  ASSERT_NE(left, std::string::npos) << r.Err;
  const int seconds = SecondsLeft(r.Err.substr(r.Err.rfind('\r', left)));
  EXPECT_GE(seconds, 1) << r.Err;
  EXPECT_LE(seconds, 30) << r.Err;
  EXPECT_TRUE(Contains(r.Out, "Files:")) << r.Out;
#endif
}

}  // namespace
}  // namespace kelmora
