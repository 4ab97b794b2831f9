// SPDX-License-Identifier: GPL-3.0-or-later
//
// Child processes for the durability harnesses: started with extra
// environment variables and their output in files, waited for with a
// deadline, killed at will.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kelmora::durability {

struct Exit {
  int Status = -1;  // the exit status, or -1 when a signal ended it
  int Signal = 0;   // the signal that ended it
  bool TimedOut = false;
};

class Child {
 public:
  // Starts Argv[0] (a path) with Env ("NAME=value") added to this
  // process's environment; standard output and error go to the files.
  Child(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
        const std::string& OutFile, const std::string& ErrFile);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  // True once it has ended, its end in Result.
  bool Ended(Exit& Result);
  // Waits up to TimeoutMs, then kills it with SIGKILL.
  Exit Wait(int TimeoutMs);
  void Kill(int Signal);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  Exit exit_;
};

struct Ran {
  Exit How;
  std::string Out, Err;
};
// Runs Argv to its end (killed after TimeoutMs) with its output kept in
// files under Scratch, then read back.
Ran RunProgram(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
               const std::string& Scratch, int TimeoutMs = 120000);

void SleepMilliseconds(double Milliseconds);

}  // namespace kelmora::durability
