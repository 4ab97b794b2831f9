// kelmora-cli restore and list, run as a program without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "engine/backup_file.h"
#include "engine/restore_builder.h"
#include "platform/platform.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

const char* const kProgram = KELMORA_BUILD_DIR "/kelmora-cli";

struct Result {
  int status = -1;  // exit status; -1 when killed
  std::string out, err;
};

// Runs the program in a session of its own, so it has no terminal to ask
// on. Input, when given, arrives through a pipe, which cannot seek.
Result RunCli(const std::vector<std::string>& Args, const test::TempDir& Dir,
              const std::string* Input = nullptr) {
  const std::string outPath = Dir / ".stdout", errPath = Dir / ".stderr";
  int in[2];
  if (::pipe(in) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(kProgram)};
    for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(kProgram, argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  std::thread feeder([&] {
    ::signal(SIGPIPE, SIG_IGN);
    if (Input) {
      size_t done = 0;
      while (done < Input->size()) {
        const ssize_t n = ::write(in[1], Input->data() + done, Input->size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
    }
    ::close(in[1]);
  });
  // Never wait for ever: a run that would hang fails the test instead.
  int wstatus = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  feeder.join();
  Result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  r.out = test::ReadFile(outPath);
  r.err = test::ReadFile(errPath);
  return r;
}

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
  const Result r = RunCli({"restore", "--full-path", b.archive, dir / "out"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "3 restored of 3")) << r.out;
  EXPECT_EQ(test::ReadFile(dir / "out" + b.src + "/sub dir/data.bin"),
            test::ReadFile(b.src + "/sub dir/data.bin"));
  EXPECT_EQ(platform::FileTimeOfPath(dir / "out" + b.src + "/top.txt"),
            platform::FileTimeOfPath(b.src + "/top.txt"));

  const Result flat = RunCli({"restore", "-q", b.archive, dir / "flat"}, dir);
  EXPECT_EQ(flat.status, 0) << flat.err;
  EXPECT_EQ(flat.out, "");
  EXPECT_EQ(test::ReadFile(dir / "flat/top.txt"), "top");
  EXPECT_TRUE(fs::exists(dir / "flat/empty"));
}

TEST(RestoreCli, ModeNoOverwriteKeepsExistingFiles) {
  test::TempDir dir;
  Backed b(dir);
  test::WriteFile(dir / "out/top.txt", "mine");
  const Result r = RunCli({"restore", "-m", "no-overwrite", "-q", b.archive, dir / "out"}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadFile(dir / "out/top.txt"), "mine");
  EXPECT_EQ(test::ReadFile(dir / "out/data.bin").size(), 70000u);

  const Result bad = RunCli({"restore", "-m", "sometimes", b.archive, dir / "out"}, dir);
  EXPECT_EQ(bad.status, 2);
}

TEST(RestoreCli, StandardInputIsReadAsAPipeAndSkippedSectionsNeedNoSeeking) {
  test::TempDir dir;
  Backed b(dir);
  test::WriteFile(dir / "out/data.bin", "already here");
  const std::string archive = test::ReadFile(b.archive);
  // The file-ID list and data.bin are both stepped over on the pipe.
  const Result r = RunCli({"restore", "-m", "no-overwrite", "-", dir / "out"}, dir, &archive);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadFile(dir / "out/data.bin"), "already here");
  EXPECT_EQ(test::ReadFile(dir / "out/top.txt"), "top");

  const std::string cut = archive.substr(0, archive.size() - 30);
  const Result damaged = RunCli({"restore", "-", dir / "cut"}, dir, &cut);
  EXPECT_EQ(damaged.status, 1);
  EXPECT_FALSE(damaged.err.empty());
}

TEST(RestoreCli, MissingVolumeWithoutATerminalFailsAndNamesIt) {
  test::TempDir dir;
  Backed b(dir, 20000);
  ASSERT_TRUE(fs::exists(dir / "set.003"));
  fs::remove(dir / "set.003");
  const Result r = RunCli({"restore", b.archive, dir / "out"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, dir / "set.003")) << r.err;
}

// Runs the program on a terminal of its own, answering its first question
// once the question names Expected: Prepare runs first, then Answer is typed.
Result RunOnTerminal(const std::vector<std::string>& Args, const std::string& Expected,
                     const std::function<void()>& Prepare, const std::string& Answer) {
  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty");
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(kProgram)};
    for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(kProgram, argv.data());
    ::_exit(127);
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
    r.out.append(buffer, static_cast<size_t>(n));
    if (!answered && r.out.find(Expected) != std::string::npos &&
        r.out.find("[OK/cancel]") != std::string::npos) {
      Prepare();
      if (::write(master, Answer.data(), Answer.size()) < 0) break;
      answered = true;
    }
  }
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  ::close(master);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return r;
}

TEST(RestoreCli, MissingVolumeIsAskedForOnTheTerminalByName) {
  test::TempDir dir;
  Backed b(dir, 20000);
  const std::string volume = dir / "set.002";
  fs::rename(volume, dir / "away");
  const Result ok = RunOnTerminal(
      {"restore", "-q", b.archive, dir / "out"}, volume, [&] { fs::rename(dir / "away", volume); },
      "\n");
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_EQ(test::ReadFile(dir / "out/data.bin"), test::ReadFile(b.src + "/sub dir/data.bin"));

  fs::rename(volume, dir / "away");
  const Result cancelled = RunOnTerminal(
      {"restore", "-q", b.archive, dir / "out2"}, volume, [] {}, "cancel\n");
  EXPECT_EQ(cancelled.status, 1) << cancelled.out;
  EXPECT_TRUE(Contains(cancelled.out, "cancelled")) << cancelled.out;
}

TEST(RestoreCli, InterruptStopsAfterTheCurrentChunkAndKeepsTheFileStamped) {
  test::TempDir dir;
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
    ::execl(kProgram, kProgram, "restore", "-q", "-", folder.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(in[0]);
  // Half the archive, then wait until the file is being written.
  const size_t half = archive.size() / 2;
  ASSERT_EQ(::write(in[1], archive.data(), half), static_cast<ssize_t>(half));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(fs::exists(dir / "out/big.bin") && fs::file_size(dir / "out/big.bin") > 0) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
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
  EXPECT_LT(fs::file_size(dir / "out/big.bin"), 2000000u);
  EXPECT_EQ(platform::FileTimeOfPath(dir / "out/big.bin"), stamp);
}

TEST(RestoreCli, FailuresEndWithStatusOneAndAMessage) {
  test::TempDir dir;
  const Result missing = RunCli({"restore", dir / "none.bkp", dir / "out"}, dir);
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.err, "none.bkp")) << missing.err;

  test::WriteFile(dir / "short.bkp", "\x03");
  const Result unreadable = RunCli({"restore", dir / "short.bkp", dir / "out"}, dir);
  EXPECT_EQ(unreadable.status, 1);
  EXPECT_TRUE(Contains(unreadable.err, "Cannot read archive")) << unreadable.err;

  ArchiveBuilder()
      .Header()
      .File("/../../escape.txt", 0, "evil")
      .File("/fine.txt", 0, "good")
      .End()
      .Save(dir / "hostile.bkp");
  fs::create_directories(dir / "r/s");
  const Result hostile = RunCli({"restore", "-p", dir / "hostile.bkp", dir / "r/s"}, dir);
  EXPECT_EQ(hostile.status, 1);
  EXPECT_TRUE(Contains(hostile.err, "Cannot read file")) << hostile.err;
  EXPECT_FALSE(fs::exists(dir / "escape.txt"));
  EXPECT_FALSE(fs::exists(dir / "r/escape.txt"));
  EXPECT_EQ(test::ReadFile(dir / "r/s/fine.txt"), "good");
}

TEST(ListCli, ShowsTitleTotalsAndTheFileIdList) {
  test::TempDir dir;
  Backed b(dir);
  const Result r = RunCli({"list", b.archive}, dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Title:        Weekly")) << r.out;
  // The total counts the file-ID list's text too.
  TBackupFile engine;
  engine.GetArchiveTitle(b.archive, nullptr);
  ASSERT_GT(engine.TotalSize(), 70003);
  ASSERT_LT(engine.TotalSize(), 71000);
  const std::string total = std::to_string(engine.TotalSize());
  EXPECT_TRUE(Contains(r.out, "Total size:   " + total.substr(0, 2) + "," + total.substr(2)))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "Files:        3")) << r.out;
  EXPECT_TRUE(Contains(r.out, "70,000  " + b.src + "/sub dir/data.bin")) << r.out;

  const std::string archive = test::ReadFile(b.archive);
  const Result piped = RunCli({"list", "-"}, dir, &archive);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, r.out);
}

TEST(ListCli, ArchiveWithoutListAndBrokenArchives) {
  test::TempDir dir;
  ArchiveBuilder().Header("plain", 1, 1).File("/x", 0, "x").End().Save(dir / "plain.bkp");
  const Result plain = RunCli({"list", dir / "plain.bkp"}, dir);
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_TRUE(Contains(plain.out, "Title:        plain"));
  EXPECT_FALSE(Contains(plain.out, "File IDs"));

  ArchiveBuilder().Header("cut", 1, 1).Save(dir / "cut.bkp");
  const Result cut = RunCli({"list", dir / "cut.bkp"}, dir);
  EXPECT_EQ(cut.status, 1);
  EXPECT_TRUE(Contains(cut.err, "Invalid archive type")) << cut.err;
  EXPECT_TRUE(Contains(cut.out, "Title:        cut")) << cut.out;

  const Result missing = RunCli({"list", dir / "none.bkp"}, dir);
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.err, "none.bkp"));
}

}  // namespace
}  // namespace kelmora
