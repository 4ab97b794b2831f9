// SPDX-License-Identifier: GPL-3.0-or-later
//
// One interrupt handler for every command: SIGINT, SIGTERM and SIGHUP stop
// backup, restore, list and test at their next step. The program exits on
// its own (status 1, never killed by the signal), says it was stopped, and
// leaves no temporary file: no half-written archive, no part of a file.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_runner.h"
#include "engine/restore_builder.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

#ifndef _WIN32
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

struct Ended {
  bool Exited = false;  // on its own, not killed by the signal
  int Status = -1;
  std::string Err;
};

// Runs kelmora-cli Args in a session of its own with standard input from a
// pipe; Started decides when the run is under way, then Signal is sent, and
// the rest of Input follows.
Ended Interrupt(const test::TempDir& Dir, const std::vector<std::string>& Args, int Signal,
                const std::string& Input, size_t FirstPart, const std::function<bool()>& Started) {
  const std::string errPath = Dir / ".stderr";
  int in[2];
  if (::pipe(in) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    ::dup2(::open("/dev/null", O_WRONLY), 1);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    test::ExecCli(Args);
  }
  ::close(in[0]);
  ::signal(SIGPIPE, SIG_IGN);
  const auto send = [&](size_t From, size_t To) {
    for (size_t at = From; at < To;) {
      const ssize_t n = ::write(in[1], Input.data() + at, To - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  };
  // A write that returned means all but what the pipe holds was taken in.
  send(0, FirstPart);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!Started() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Held still while the signal is sent, so it lands inside the run.
  ::kill(pid, SIGSTOP);
  ::kill(pid, Signal);
  ::kill(pid, SIGCONT);
  send(FirstPart, Input.size());
  ::close(in[1]);
  Ended ended;
  int status = 0;
  ::waitpid(pid, &status, 0);
  ended.Exited = WIFEXITED(status);
  ended.Status = ended.Exited ? WEXITSTATUS(status) : -1;
  ended.Err = test::ReadFile(errPath);
  return ended;
}

// Many files, so every command has many steps after the signal.
std::string ManyFiles() {
  ArchiveBuilder builder;
  builder.Header("", 0, 400);
  for (int i = 0; i < 400; ++i)
    builder.File("/data/f" + std::to_string(i) + ".bin", 0, test::RandomBytes(20000, i));
  return builder.End().Bytes();
}

bool Has(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

size_t CountFiles(const std::string& Folder) {
  size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(Folder)) n += e.is_regular_file() ? 1 : 0;
  return n;
}

bool AnyNameHolds(const std::string& Folder, const std::string& Part) {
  for (const auto& e : fs::recursive_directory_iterator(Folder))
    if (Has(e.path().filename().string(), Part)) return true;
  return false;
}
#endif

TEST(InterruptCli, EverySignalStopsRestoreListAndTestFromAPipe) {
  KELMORA_POSIX_ONLY("signals");
#ifndef _WIN32
  const std::string archive = ManyFiles();
  for (const int signal : kSignals) {
    for (const std::string command : {"restore", "list", "test"}) {
      SCOPED_TRACE(command + " " + ::strsignal(signal));
      test::TempDir dir;
      fs::create_directory(dir / "out");
      std::vector<std::string> args{command};
      if (command != "list") args.push_back("-q");
      args.push_back("-");
      if (command == "restore") args.push_back(dir / "out");
      // Half the archive has been taken in once the write returns.
      const Ended ended = Interrupt(dir, args, signal, archive, archive.size() / 2, [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return true;
      });
      EXPECT_TRUE(ended.Exited) << "killed by the signal instead of stopping";
      EXPECT_EQ(ended.Status, 1) << ended.Err;
      EXPECT_TRUE(Has(ended.Err, "interrupted")) << ended.Err;
      if (command == "restore") {
        EXPECT_LT(CountFiles(dir / "out"), 400u);
        EXPECT_FALSE(AnyNameHolds(dir / "out", ".part")) << "a part of a file is left";
      }
    }
  }
#endif
}

TEST(InterruptCli, EverySignalStopsABackupAndKeepsTheOlderArchive) {
  KELMORA_POSIX_ONLY("signals");
#ifndef _WIN32
  test::TempDir dir;
  test::WriteFile(dir / "src/big.bin", test::RandomBytes(8 << 20, 9));
  for (const int signal : kSignals) {
    SCOPED_TRACE(::strsignal(signal));
    test::WriteFile(dir / "out/x.bkp", "older");
    // The new archive is being written beside the older one.
    const auto writing = [&] {
      for (const auto& e : fs::directory_iterator(dir / "out"))
        if (Has(e.path().filename().string(), ".part") && e.file_size() > 65536) return true;
      return false;
    };
    const Ended ended = Interrupt(
        dir, {"backup", "-q", "-l", "max", "--threads", "1", dir / "out/x.bkp", dir / "src"},
        signal, "", 0, writing);
    EXPECT_TRUE(ended.Exited) << "killed by the signal instead of stopping";
    EXPECT_EQ(ended.Status, 1) << ended.Err;
    EXPECT_TRUE(Has(ended.Err, "stopped")) << ended.Err;
    EXPECT_EQ(test::ReadFile(dir / "out/x.bkp"), "older");
    EXPECT_EQ(CountFiles(dir / "out"), 1u) << "no temporary volume is left";
  }
#endif
}

}  // namespace
}  // namespace kelmora
