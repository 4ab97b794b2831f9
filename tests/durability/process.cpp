// SPDX-License-Identifier: GPL-3.0-or-later

#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "trees.h"

extern char** environ;

namespace kelmora::durability {

Child::Child(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
             const std::string& OutFile, const std::string& ErrFile) {
  // Everything the child needs is made before the fork: after it, only
  // calls that are safe in a copy of a threaded process.
  std::vector<char*> argv;
  for (const std::string& a : Argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  for (const std::string& e : Env) environment.push_back(e);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int out = ::open(OutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || err < 0 || in < 0) throw std::runtime_error("cannot open the output files");
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setsid();  // no terminal to ask on
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  ::close(in);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Exit ignored;
    while (!Ended(ignored)) SleepMilliseconds(1);
  }
}

bool Child::Ended(Exit& Result) {
  if (!reaped_) {
    int status = 0;
    const pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == 0) return false;
    reaped_ = true;
    if (got == pid_ && WIFEXITED(status)) exit_.Status = WEXITSTATUS(status);
    if (got == pid_ && WIFSIGNALED(status)) exit_.Signal = WTERMSIG(status);
  }
  Result = exit_;
  return true;
}

Exit Child::Wait(int TimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  Exit result;
  while (!Ended(result)) {
    if (std::chrono::steady_clock::now() > deadline) {
      Kill(SIGKILL);
      while (!Ended(result)) SleepMilliseconds(1);
      exit_.TimedOut = result.TimedOut = true;
      return result;
    }
    SleepMilliseconds(0.5);
  }
  return result;
}

void Child::Kill(int Signal) {
  if (!reaped_ && pid_ > 0) ::kill(pid_, Signal);
}

Ran RunProgram(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
               const std::string& Scratch, int TimeoutMs) {
  const std::string out = Scratch + "/.run-stdout", err = Scratch + "/.run-stderr";
  Ran ran;
  {
    Child child(Argv, Env, out, err);
    ran.How = child.Wait(TimeoutMs);
  }
  ReadWhole(out, ran.Out);
  ReadWhole(err, ran.Err);
  ::unlink(out.c_str());
  ::unlink(err.c_str());
  return ran;
}

void SleepMilliseconds(double Milliseconds) {
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(Milliseconds));
}

}  // namespace kelmora::durability
