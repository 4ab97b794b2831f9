// Runs the built kelmora-cli as a child process for the command-line tests.
// Every wait has a deadline, so a program that would hang fails its test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace kelmora::test {

inline const char* const kCliProgram = KELMORA_BUILD_DIR "/kelmora-cli";

struct CliResult {
  int Status = -1;  // exit status; -1 when it had to be killed
  std::string Out, Err;
};

// Waits for the child, killing it after a minute.
inline int Reap(pid_t Pid) {
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(Pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Replaces the calling (child) process with kelmora-cli Args.
[[noreturn]] inline void ExecCli(const std::vector<std::string>& Args) {
  std::vector<char*> argv{const_cast<char*>(kCliProgram)};
  for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(kCliProgram, argv.data());
  ::_exit(127);
}

// Runs the program in a session of its own, so it has no terminal to ask
// on; standard output and error go to files in Dir. Input, when given,
// arrives through a pipe, which cannot seek; without it the pipe is empty.
// WorkDir, when given, is the program's current folder.
inline CliResult RunCli(const TempDir& Dir, const std::vector<std::string>& Args,
                        const std::string* Input = nullptr,
                        const std::string& WorkDir = std::string()) {
  const std::string outPath = Dir / ".stdout", errPath = Dir / ".stderr";
  int in[2];
  if (::pipe(in) != 0) throw std::runtime_error("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    if (!WorkDir.empty() && ::chdir(WorkDir.c_str()) != 0) ::_exit(126);
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    ExecCli(Args);
  }
  ::close(in[0]);
  std::thread feeder([&] {
    ::signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (Input && done < Input->size()) {
      const ssize_t n = ::write(in[1], Input->data() + done, Input->size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(in[1]);
  });
  CliResult r;
  r.Status = Reap(pid);
  feeder.join();
  r.Out = ReadFile(outPath);
  r.Err = ReadFile(errPath);
  return r;
}

}  // namespace kelmora::test
