// SPDX-License-Identifier: GPL-3.0-or-later
//
// What the durability harnesses run, and the promise they check after a
// power cut, a kill or a failed run.
//
// A scenario is one kelmora-cli command on a "disk": a folder whose tree
// the scenario makes (Image) and whose root the command is given. After
// an interruption, Inspect reads what the disk holds and says whether the
// promise held:
//   - the archive's name holds the complete older archive or the complete
//     new one (byte for byte, or once the next Kelmora command has
//     completed an unfinished replacement, as test and restore read it);
//   - every restored target holds its older content or its new content,
//     whole, with its time;
//   - nothing else in the disk changed and nothing else appeared, but
//     Kelmora's temporaries, the lock beside the archive and the record of
//     an unfinished replacement.
// Recover then runs the command again, untouched, and wants it to succeed
// with exactly the new result and no leftover.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "trees.h"

namespace kelmora::durability {

// The program under test, and whether it was built with AddressSanitizer
// (which wants to come first among the libraries a preload adds to).
std::string CliPath();
std::vector<std::string> SanitizerEnvironment();

struct Verdict {
  enum class State { Old, New, Mixed, Broken };
  State Held = State::Broken;
  std::string Violation;  // empty when the promise holds
  // Two known ways the promise breaks, told apart from every other:
  enum class Gap {
    None,
    // the archive's volumes are each an older or a newer volume, in a mix:
    // a volume set renamed one by one, cut between two renames;
    VolumeMix,
    // restored targets, renamed into place before their data was synced,
    // hold torn or missing data (and nothing else is wrong).
    UnsyncedTarget,
  };
  Gap Known = Gap::None;
  int Leftovers = 0;      // Kelmora temporaries on the disk
  bool LockLeft = false;  // the lock beside the archive is still there
  // The record of an unfinished replacement lies beside the archive, for
  // the next command to complete.
  bool RecordLeft = false;
  std::string Detail;
};
const char* NameOf(Verdict::State Held);

class Scenario {
 public:
  explicit Scenario(std::string Name) : name_(std::move(Name)) {}
  virtual ~Scenario() = default;
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  const std::string& Name() const { return name_; }
  // Makes the sources, archives and reference results under Work, and the
  // disk's tree at Image().
  virtual void Prepare(const std::string& Work) = 0;
  const std::string& Image() const { return image_; }
  // The command line, on a disk whose root is Root.
  virtual std::vector<std::string> Command(const std::string& Root) const = 0;
  // Every path but Root's the command names, to tell a message that names
  // the file it concerns.
  virtual std::vector<std::string> NamedPaths() const = 0;
  virtual Verdict Inspect(const std::string& Root) const = 0;
  // "" when the command, run again on Root, ends with status 0 and leaves
  // exactly the new result, no leftover and no lock; else what went wrong.
  std::string Recover(const std::string& Root) const;
  // A folder for the harness's own files, outside every disk.
  const std::string& Scratch() const { return scratch_; }

 protected:
  void SetUpFolders(const std::string& Work);

  std::string name_;
  std::string work_, image_, scratch_;
};

// A backup of a changed source tree over an older archive of Volumes
// volumes (1, or more with a volume size), with Threads threads; the new
// archive has NewerVolumes (0: as many), fewer when the tree shrank.
std::unique_ptr<Scenario> MakeBackupScenario(const std::string& Name, int Volumes, unsigned Threads,
                                             int NewerVolumes = 0);
// A restore over older copies of some of its files: many small files in
// nested folders, or one large file split over four volumes; in restore
// mode Mode (as kelmora-cli names it).
std::unique_ptr<Scenario> MakeRestoreScenario(const std::string& Name, bool LargeSplitFile,
                                              unsigned Threads, const std::string& Mode = "all");

// A repair, with a recovery record of 5 %, of an archive of 25 volumes
// with a stretch of zeros in one volume, one volume deleted, or stretches
// of zeros in two volumes (two repaired volumes to put in place).
enum class RepairDamage { ZeroedStretch, DeletedVolume, TwoVolumes };
std::unique_ptr<Scenario> MakeRepairScenario(const std::string& Name, RepairDamage Damage);
// A protect, with a record of 5 %, of an archive whose companion has none.
std::unique_ptr<Scenario> MakeProtectScenario(const std::string& Name);

}  // namespace kelmora::durability
