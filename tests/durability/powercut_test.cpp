// SPDX-License-Identifier: GPL-3.0-or-later
//
// Power cuts: each scenario's command runs on the power-cut file system and
// is cut at its syncs and renames and at random requests between; every
// state a cut leaves is inspected and then recovered by the next run.
//
// The suite runs a short sample. KELMORA_POWERCUT_CUTS sets the cuts per
// scenario for a long run (tests/durability/long_run.sh), and
// KELMORA_POWERCUT_SEED the seed that picks them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>

#include "powercut_rig.h"

namespace kelmora::durability {
namespace {

// Two ways the promise once broke, each now closed; a state of either
// kind fails the suite like any other broken state. Set true, a flag
// reports that kind as a known gap instead, to count how often a build
// without the mending would break:
//   - a backup renamed its volumes one by one, so a cut between two renames
//     left a newer first volume with an older second one (now: the record
//     of the replacement, completed by the next command);
constexpr bool kVolumeRenameGapOpen = false;
//   - a restore renamed each target into place before its data was synced,
//     so a journalling file system could keep the rename and lose the data
//     (now: files synced in batches before their renames). Only the
//     journal states could show it.
constexpr bool kRestoreSyncGapOpen = false;

bool KnownGap(const StateCheck& State) {
  if (State.Found.Known == Verdict::Gap::VolumeMix) return kVolumeRenameGapOpen;
  return State.Found.Known == Verdict::Gap::UnsyncedTarget && kRestoreSyncGapOpen &&
         State.Which.starts_with("journal");
}

size_t FromEnvironment(const char* Name, size_t Default) {
  const char* value = std::getenv(Name);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : Default;
}

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string folder = std::string(base && *base ? base : "/tmp") + "/kelmora-powercut-XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    work_ = folder;
  }
  void TearDown() override {
    if (std::getenv("KELMORA_KEEP_WORK") == nullptr) RemoveTree(work_);
  }

  void Cut(Scenario& Run) {
    std::string why;
    if (!PowerCutRig::Available(work_, why)) GTEST_SKIP() << why;
    Run.Prepare(work_);
    PowerCutRig rig(work_ + "/rig");
    CutRun uncut;
    const std::vector<std::string> requests = rig.Requests(Run, uncut);
    ASSERT_TRUE(uncut.Failure.empty()) << uncut.Failure;
    ASSERT_EQ(uncut.States.size(), 1u);
    ExpectHeld(uncut, uncut.States.front(), "no cut");
    EXPECT_EQ(uncut.States.front().Found.Held, Verdict::State::New)
        << "a run that succeeded must leave its result durable";

    std::mt19937_64 random(FromEnvironment("KELMORA_POWERCUT_SEED", 20240601) +
                           std::hash<std::string>{}(Run.Name()));
    const std::vector<unsigned long long> cuts =
        PickCuts(requests, FromEnvironment("KELMORA_POWERCUT_CUTS", 6), random);
    std::map<std::string, int> held;
    int states = 0, leftovers = 0, gaps = 0, cutShort = 0;
    for (size_t i = 0; i < cuts.size(); ++i) {
      const CutRun run = rig.Cut(Run, cuts[i], random(), 2);
      ASSERT_TRUE(run.Failure.empty()) << "cut at " << cuts[i] << ": " << run.Failure;
      if (!run.Cut) ++cutShort;  // the run ended before that request (threads vary it)
      const std::string request = cuts[i] <= requests.size() ? requests[cuts[i] - 1] : "-";
      for (const StateCheck& state : run.States) {
        ++states;
        ++held[NameOf(state.Found.Held)];
        leftovers += state.Found.Leftovers > 0;
        if (KnownGap(state)) {
          ++gaps;
          std::cout << "known gap: cut before request " << request << ", " << state.Which << ": "
                    << state.Found.Detail << "\n";
          EXPECT_EQ(state.Recovery, "") << "cut at " << request << ", " << state.Which;
          continue;
        }
        ExpectHeld(run, state, request);
      }
    }
    std::ostringstream summary;
    summary << "PowerCut " << Run.Name() << ": " << requests.size() << " requests, " << cuts.size()
            << " cuts (" << cutShort << " after the command ended), " << states
            << " states: " << held["older"] << " older, " << held["new"] << " new, "
            << held["mixed"] << " mixed, " << gaps << " known gaps, " << held["broken"] - gaps
            << " violations; " << leftovers << " with leftovers, each removed by the next run";
    std::cout << summary.str() << std::endl;
    RecordProperty("summary", summary.str());
  }

  static void ExpectHeld(const CutRun& Run, const StateCheck& State, const std::string& Where) {
    EXPECT_EQ(State.Found.Violation, "")
        << "cut before request " << Where << ", " << State.Which << " (" << State.Found.Detail
        << "); the command said: " << Run.CommandErr;
    EXPECT_EQ(State.Recovery, "") << "cut before request " << Where << ", " << State.Which;
  }

  std::string work_;
};

TEST_F(PowerCut, BackupOneVolume) {
  Cut(*MakeBackupScenario("backup-1", 1, 2));
}

TEST_F(PowerCut, BackupFourVolumes) {
  Cut(*MakeBackupScenario("backup-4", 4, 2));
}

TEST_F(PowerCut, BackupFourVolumesToTwo) {
  Cut(*MakeBackupScenario("backup-4-2", 4, 2, 2));
}

TEST_F(PowerCut, RestoreSmallFilesOneThread) {
  Cut(*MakeRestoreScenario("restore-small-1", false, 1));
}

TEST_F(PowerCut, RestoreSmallFilesThreads) {
  Cut(*MakeRestoreScenario("restore-small-4", false, 4));
}

// Another mode: each file synced on its own before its rename.
TEST_F(PowerCut, RestoreSmallFilesNoOverwrite) {
  Cut(*MakeRestoreScenario("restore-small-keep", false, 1, "no-overwrite"));
}

TEST_F(PowerCut, RestoreSplitFileOneThread) {
  Cut(*MakeRestoreScenario("restore-split-1", true, 1));
}

TEST_F(PowerCut, RestoreSplitFileThreads) {
  Cut(*MakeRestoreScenario("restore-split-4", true, 4));
}

TEST_F(PowerCut, RepairZeroedStretch) {
  Cut(*MakeRepairScenario("repair-zeroed", RepairDamage::ZeroedStretch));
}

TEST_F(PowerCut, RepairDeletedVolume) {
  Cut(*MakeRepairScenario("repair-deleted", RepairDamage::DeletedVolume));
}

// Two repaired volumes to put in place: a cut between their renames.
TEST_F(PowerCut, RepairTwoVolumes) {
  Cut(*MakeRepairScenario("repair-two", RepairDamage::TwoVolumes));
}

TEST_F(PowerCut, ProtectWithRecord) {
  Cut(*MakeProtectScenario("protect"));
}

}  // namespace
}  // namespace kelmora::durability
