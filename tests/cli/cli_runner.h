// SPDX-License-Identifier: GPL-3.0-or-later
//
// Runs the built kelmora-cli as a child process for the command-line tests.
// Every wait has a deadline, so a program that would hang fails its test.
#pragma once

// windows.h comes with test_support.h, set up as the tests need it.
#include "test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kelmora::test {

struct CliResult {
  int Status = -1;  // exit status; -1 when it had to be killed
  std::string Out, Err;
};

#ifdef _WIN32
inline const char* const kCliProgram = KELMORA_BUILD_DIR "/kelmora-cli.exe";

// One argument as the C runtime of the child splits its command line:
// quoted, with backslashes doubled only where a quote follows them.
inline std::string QuoteArgument(const std::string& Arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : Arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

inline HANDLE InheritableFile(const std::string& Path) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs the program without a console, so it has no terminal to ask on;
// standard output and error go to files in Dir. Input, when given,
// arrives through a pipe, which cannot seek; without it the pipe is empty.
// WorkDir, when given, is the program's current folder.
inline CliResult RunCli(const TempDir& Dir, const std::vector<std::string>& Args,
                        const std::string* Input = nullptr,
                        const std::string& WorkDir = std::string()) {
  const std::string outPath = Dir / ".stdout", errPath = Dir / ".stderr";
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("pipe");
  ::SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
  const HANDLE out = InheritableFile(outPath), err = InheritableFile(errPath);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = readEnd;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::string command = QuoteArgument(kCliProgram);
  for (const std::string& a : Args) command += " " + QuoteArgument(a);
  PROCESS_INFORMATION process{};
  const bool started =
      ::CreateProcessA(kCliProgram, command.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                       nullptr, WorkDir.empty() ? nullptr : WorkDir.c_str(), &startup, &process);
  const DWORD error = started ? 0 : ::GetLastError();
  ::CloseHandle(readEnd);
  ::CloseHandle(out);
  ::CloseHandle(err);
  if (!started) {
    // Wine now and then refuses a start on a busy machine; the test is
    // then run again as a whole (CI's ctest --repeat), not the start here.
    ::CloseHandle(writeEnd);
    throw std::runtime_error("cannot start " + std::string(kCliProgram) + " (error " +
                             std::to_string(error) + ")");
  }
  std::thread feeder([&] {
    size_t done = 0;
    while (Input && done < Input->size()) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(Input->size() - done, 1 << 16));
      if (!::WriteFile(writeEnd, Input->data() + done, chunk, &n, nullptr) || n == 0) break;
      done += n;
    }
    ::CloseHandle(writeEnd);
  });
  CliResult r;
  if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  } else {
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    r.Status = static_cast<int>(code);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  feeder.join();
  r.Out = ReadFile(outPath);
  r.Err = ReadFile(errPath);
  return r;
}
#else
inline const char* const kCliProgram = KELMORA_BUILD_DIR "/kelmora-cli";

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
#endif

}  // namespace kelmora::test
