// SPDX-License-Identifier: GPL-3.0-or-later
//
// Runs a scenario's command on the power-cut file system (kelmora-powercut-fs)
// and checks every state a cut leaves.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "process.h"
#include "scenarios.h"

namespace kelmora::durability {

struct StateCheck {
  std::string Which;  // "strict", "journal-1" ... or "final" after a run without a cut
  Verdict Found;
  std::string Recovery;  // "" when the next run succeeded with a clean, new result
};

struct CutRun {
  unsigned long long CutAt = 0;
  bool Cut = false;  // the cut fell before the command ended
  Exit Command;
  std::string CommandErr;
  std::string Failure;  // the rig's own trouble (mounting, the file system's dump)
  std::vector<StateCheck> States;
};

class PowerCutRig {
 public:
  // Whether a FUSE file system can be mounted here; why not, when not.
  static bool Available(const std::string& Work, std::string& Why);

  explicit PowerCutRig(std::string Work) : work_(std::move(Work)) {}

  // The command's counted requests in a run without a cut ("N kind path"),
  // and that run's own check: the command succeeded and its result is
  // durable (the strict state after it holds it).
  std::vector<std::string> Requests(const Scenario& Run, CutRun& Result);
  // The command cut at request CutAt; every state the cut leaves is
  // inspected, then recovered by the next run.
  CutRun Cut(const Scenario& Run, unsigned long long CutAt, unsigned long long Seed,
             int JournalSamples);

 private:
  CutRun RunOnce(const Scenario& Run, unsigned long long CutAt, unsigned long long Seed,
                 int JournalSamples, const std::string& Log);
  std::string work_;
};

// Where to cut a run of Requests (as PowerCutRig::Requests gives them):
// every sync and rename, just before and just after it, then random
// requests between, Budget in all. A run shorter than Budget is cut at
// every request, and then again at random ones (each cut with its own
// seed, so a repeat is a new sample of what the journal kept).
std::vector<unsigned long long> PickCuts(const std::vector<std::string>& Requests, size_t Budget,
                                         std::mt19937_64& Random);

}  // namespace kelmora::durability
