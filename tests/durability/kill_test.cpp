// SPDX-License-Identifier: GPL-3.0-or-later
//
// Kills: each scenario's command is killed with SIGKILL at a random instant
// of its run; the disk it leaves must keep the promise, and the next run
// must clean up and succeed.
//
// The suite runs a short sample; KELMORA_KILL_RUNS sets the kills per
// scenario for a long run (tests/durability/long_run.sh).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>

#include "process.h"
#include "scenarios.h"

namespace kelmora::durability {
namespace {

// The one-by-one rename of a volume set, closed by the record of the
// replacement (see powercut_test.cpp); true reports a mix as a known gap.
constexpr bool kVolumeRenameGapOpen = false;

class Kill : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string folder = std::string(base && *base ? base : "/tmp") + "/kelmora-kill-XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    work_ = folder;
  }
  void TearDown() override { RemoveTree(work_); }

  void Run(Scenario& Command) {
    const char* count = std::getenv("KELMORA_KILL_RUNS");
    const size_t runs = count != nullptr && *count != '\0' ? std::strtoull(count, nullptr, 10) : 12;
    Command.Prepare(work_);
    const std::string root = work_ + "/disk";
    // How long a whole run takes, from its start to its end.
    CopyTree(Command.Image(), root);
    const auto start = std::chrono::steady_clock::now();
    const Ran whole = RunProgram(Command.Command(root), SanitizerEnvironment(), Command.Scratch());
    const double wholeMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(whole.How.Status, 0) << whole.Err;
    ASSERT_EQ(Command.Inspect(root).Held, Verdict::State::New);

    std::mt19937_64 random(std::hash<std::string>{}(Command.Name()) ^ 0x5eedULL);
    std::map<std::string, int> held;
    int killed = 0, leftovers = 0, gaps = 0, locks = 0;
    for (size_t i = 0; i < runs; ++i) {
      RemoveTree(root);
      CopyTree(Command.Image(), root);
      const double at = std::uniform_real_distribution<double>(0, wholeMs * 1.15)(random);
      Exit ended;
      {
        Child child(Command.Command(root), SanitizerEnvironment(), Command.Scratch() + "/out",
                    Command.Scratch() + "/err");
        SleepMilliseconds(at);
        child.Kill(SIGKILL);
        ended = child.Wait(60000);
      }
      const bool wasKilled = ended.Signal == SIGKILL;
      killed += wasKilled;
      if (!wasKilled) {
        EXPECT_EQ(ended.Status, 0) << "a run that ended on its own failed";
      }
      const Verdict found = Command.Inspect(root);
      ++held[NameOf(found.Held)];
      leftovers += found.Leftovers > 0;
      locks += found.LockLeft;
      const std::string where = "killed after " + std::to_string(at) + " ms";
      if (found.Known == Verdict::Gap::VolumeMix && kVolumeRenameGapOpen) {
        ++gaps;
        std::cout << "known gap: " << where << ": " << found.Detail << "\n";
      } else {
        EXPECT_EQ(found.Violation, "") << where << " (" << found.Detail << ")";
      }
      EXPECT_EQ(Command.Recover(root), "") << where;
    }
    std::ostringstream summary;
    summary << "Kill " << Command.Name() << ": " << runs << " runs of about " << int(wholeMs)
            << " ms, " << killed << " killed before their end: " << held["older"] << " older, "
            << held["new"] << " new, " << held["mixed"] << " mixed, " << gaps << " known gaps, "
            << held["broken"] - gaps << " violations; " << leftovers << " with leftovers and "
            << locks << " with the lock left, each removed by the next run";
    std::cout << summary.str() << std::endl;
    RecordProperty("summary", summary.str());
  }

  std::string work_;
};

TEST_F(Kill, BackupOneVolume) {
  Run(*MakeBackupScenario("backup-1", 1, 2));
}

TEST_F(Kill, BackupFourVolumes) {
  Run(*MakeBackupScenario("backup-4", 4, 2));
}

TEST_F(Kill, BackupFourVolumesToTwo) {
  Run(*MakeBackupScenario("backup-4-2", 4, 2, 2));
}

TEST_F(Kill, RestoreSmallFiles) {
  Run(*MakeRestoreScenario("restore-small", false, 4));
}

TEST_F(Kill, RestoreSplitFile) {
  Run(*MakeRestoreScenario("restore-split", true, 1));
}

TEST_F(Kill, RepairZeroedStretch) {
  Run(*MakeRepairScenario("repair-zeroed", RepairDamage::ZeroedStretch));
}

TEST_F(Kill, RepairDeletedVolume) {
  Run(*MakeRepairScenario("repair-deleted", RepairDamage::DeletedVolume));
}

// Two repaired volumes to put in place: a cut between their renames.
TEST_F(Kill, RepairTwoVolumes) {
  Run(*MakeRepairScenario("repair-two", RepairDamage::TwoVolumes));
}

TEST_F(Kill, ProtectWithRecord) {
  Run(*MakeProtectScenario("protect"));
}

}  // namespace
}  // namespace kelmora::durability
