// SPDX-License-Identifier: GPL-3.0-or-later
//
// The scenarios of the commands that work on an archive's companion:
// repair, which puts rebuilt volumes in the damaged ones' place, and
// protect, which puts a new companion in the older one's place.
//
// Both run on an archive of 25 volumes of about 32 KiB, so that one whole
// volume is within a recovery record of 5 %. What either may leave at any
// instant:
//   - repair: every volume holds its damaged bytes (missing, for a deleted
//     one) or exactly the bytes a repair of a copy gave, nothing else; the
//     companion as it was; a repaired archive passes test, and a damaged
//     one is repaired by the next repair;
//   - protect: the volumes as they were; the companion the older one or
//     exactly the new one, never none;
// and for both, nothing else in the folder changed, nothing beside it, and
// no other leftover than Kelmora's temporaries, its lock and the record of
// an unfinished replacement (completed by the next command, as test runs
// it).
#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>

#include "process.h"
#include "scenario_support.h"
#include "scenarios.h"

namespace kelmora::durability {

namespace {

using Volume = std::optional<std::string>;  // nullopt: the volume is missing

class CompanionScenario : public Scenario {
 public:
  using Scenario::Scenario;

  // A damaged piece is named by its stored name, below the source folder.
  std::vector<std::string> NamedPaths() const override { return {work_ + "/src/"}; }

  Verdict Inspect(const std::string& Root) const override {
    Verdict v = Look(Root);
    if (!v.RecordLeft) return v;
    // The record is the next command's to complete: test completes it as
    // any command would, then the folder is looked at again.
    RunProgram({CliPath(), "test", "-q", Root + "/arc/x.bkp"}, SanitizerEnvironment(), scratch_);
    Verdict again = Look(Root);
    if (again.RecordLeft) {
      again.Violation += "the next command did not complete the record; ";
      again.Held = Verdict::State::Broken;
    }
    again.Leftovers = std::max(again.Leftovers, v.Leftovers);
    again.LockLeft = again.LockLeft || v.LockLeft;
    again.RecordLeft = again.RecordLeft || v.RecordLeft;
    again.Detail += " (completed by the next command)";
    return again;
  }

 protected:
  static constexpr int kVolumes = 25;

  // Makes the source (random bytes: the volumes' sizes are known) and an
  // archive of it with a recovery record of Recovery percent (0: none) in
  // Root + "/arc"; others_ holds the user's files to put beside it.
  void MakeArchive(const std::string& Root, int Recovery) {
    std::mt19937_64 random(std::hash<std::string>{}(name_));
    const std::string source = work_ + "/src";
    RemoveTree(source);
    WriteTree(source, {{"a.bin", {MakeBytes(random, 700000, false), StampAt(1)}},
                       {"b.bin", {MakeBytes(random, 100000, false), StampAt(2)}},
                       {"notes/c.txt", {MakeBytes(random, 9000, true), StampAt(3)}}});
    MakeFolder(Root + "/arc");
    std::vector<std::string> backup{CliPath(), "backup", "-q", "-v", "48k"};
    if (Recovery > 0) backup.insert(backup.end(), {"--recovery", std::to_string(Recovery)});
    backup.insert(backup.end(), {Root + "/arc/x.bkp", source});
    Run(backup, scratch_);
    std::string beyond;
    if (ReadWhole(Root + "/arc/" + VolumeLeaf(kVolumes + 1), beyond) || !ReadVolumes(Root).back())
      throw std::runtime_error(name_ + ": the archive does not have the volumes planned");
    others_["notes.txt"] = {MakeBytes(random, 3000, true), StampAt(40)};
    others_["other.bkp"] = {MakeBytes(random, 7000, false), StampAt(41)};
  }

  static std::string VolumeLeaf(int Number) {
    char leaf[16];
    std::snprintf(leaf, sizeof leaf, "x.%03d", Number);
    return Number == 1 ? "x.bkp" : leaf;
  }

  static std::vector<Volume> ReadVolumes(const std::string& Root) {
    std::vector<Volume> volumes;
    for (int number = 1; number <= kVolumes; ++number) {
      std::string data;
      volumes.push_back(ReadWhole(Root + "/arc/" + VolumeLeaf(number), data) ? Volume(data)
                                                                             : std::nullopt);
    }
    return volumes;
  }

  static Volume ReadCompanion(const std::string& Root) {
    std::string data;
    return ReadWhole(Root + "/arc/x.bkp.kx", data) ? Volume(data) : std::nullopt;
  }

  // Judges the volumes and the companion as they are (Look has judged the
  // rest of the folder): the state they hold and every violation.
  virtual void Judge(const std::vector<Volume>& Volumes, const Volume& Companion,
                     Verdict& V) const = 0;

  Tree others_;

 private:
  Verdict Look(const std::string& Root) const {
    Verdict v;
    LookAround(
        Root, others_,
        [](const std::string& Name) { return IsVolumeLeaf(Name) || Name == "x.bkp.kx"; }, v);
    Judge(ReadVolumes(Root), ReadCompanion(Root), v);
    if (!v.Violation.empty()) v.Held = Verdict::State::Broken;
    return v;
  }

  static bool IsVolumeLeaf(const std::string& Name) {
    for (int number = 1; number <= kVolumes; ++number)
      if (Name == VolumeLeaf(number)) return true;
    return false;
  }
};

class RepairScenario : public CompanionScenario {
 public:
  RepairScenario(const std::string& Name, RepairDamage Damage)
      : CompanionScenario(Name), damage_(Damage) {}

  void Prepare(const std::string& Work) override {
    SetUpFolders(Work);
    MakeArchive(image_, 5);
    const std::vector<Volume> sound = ReadVolumes(image_);
    companion_ = ReadCompanion(image_);
    // Stretches of zeros inside a volume, as a bad sector would leave.
    const auto zero = [&](int Number, size_t At, size_t Count) {
      std::string damaged = *sound[Number - 1];
      damaged.replace(At, Count, Count, '\0');
      WriteFile(image_ + "/arc/" + VolumeLeaf(Number), damaged, StampAt(50));
    };
    switch (damage_) {
      case RepairDamage::ZeroedStretch:
        zero(13, 5000, 12000);
        break;
      case RepairDamage::DeletedVolume:
        RemoveTree(image_ + "/arc/" + VolumeLeaf(13));
        break;
      case RepairDamage::TwoVolumes:
        zero(6, 5000, 6000);
        zero(19, 9000, 6000);
        break;
    }
    WriteTree(image_ + "/arc", others_);
    damaged_ = ReadVolumes(image_);
    const std::string reference = work_ + "/reference";
    CopyTree(image_, reference);
    Run(Command(reference), scratch_);
    repaired_ = ReadVolumes(reference);
    // Repair rebuilds what the backup wrote, byte for byte.
    if (repaired_ != sound || ReadCompanion(reference) != companion_)
      throw std::runtime_error(name_ + ": the reference repair does not give the archive back");
  }

  std::vector<std::string> Command(const std::string& Root) const override {
    return {CliPath(), "repair", "-q", Root + "/arc/x.bkp"};
  }

 protected:
  void Judge(const std::vector<Volume>& Volumes, const Volume& Companion,
             Verdict& V) const override {
    int damaged = 0, repaired = 0;
    for (size_t i = 0; i < Volumes.size(); ++i) {
      const bool old = Volumes[i] == damaged_[i], fresh = Volumes[i] == repaired_[i];
      if (old && fresh) continue;
      damaged += old;
      repaired += fresh;
      if (!old && !fresh)
        V.Violation += "arc/" + VolumeLeaf(static_cast<int>(i) + 1) +
                       (Volumes[i] ? " holds neither its damaged nor its repaired bytes (" +
                                         std::to_string(Volumes[i]->size()) + " bytes); "
                                   : " is gone; ");
    }
    if (Companion != companion_)
      V.Violation += Companion ? "the companion changed; " : "the companion is gone; ";
    V.Detail = std::to_string(damaged) + " damaged, " + std::to_string(repaired) + " repaired";
    V.Held = repaired == 0  ? Verdict::State::Old
             : damaged == 0 ? Verdict::State::New
                            : Verdict::State::Mixed;
    // Some volumes repaired, some not, and no record for the next command
    // to complete: neither the damaged archive nor the repaired one.
    if (V.Held == Verdict::State::Mixed && !V.RecordLeft) {
      V.Known = Verdict::Gap::VolumeMix;
      V.Violation += "damaged and repaired volumes mixed (" + V.Detail + "); ";
    }
    if (V.Held == Verdict::State::New && V.Violation.empty()) {
      // A repaired archive must pass test: on a copy, which leaves the
      // leftovers for the next repair to remove.
      const std::string copy = scratch_ + "/tested";
      RemoveTree(copy);
      for (int number = 1; number <= kVolumes; ++number)
        WriteFile(copy + "/" + VolumeLeaf(number), *Volumes[number - 1], StampAt(50));
      WriteFile(copy + "/x.bkp.kx", *Companion, StampAt(50));
      const Ran tested =
          RunProgram({CliPath(), "test", "-q", copy + "/x.bkp"}, SanitizerEnvironment(), scratch_);
      RemoveTree(copy);
      if (tested.How.Status != 0)
        V.Violation += "the repaired archive fails test: " + tested.Err + "; ";
    }
  }

 private:
  const RepairDamage damage_;
  std::vector<Volume> damaged_, repaired_;
  Volume companion_;
};

class ProtectScenario : public CompanionScenario {
 public:
  using CompanionScenario::CompanionScenario;

  void Prepare(const std::string& Work) override {
    SetUpFolders(Work);
    MakeArchive(image_, 0);
    WriteTree(image_ + "/arc", others_);
    volumes_ = ReadVolumes(image_);
    older_ = ReadCompanion(image_);
    const std::string reference = work_ + "/reference";
    CopyTree(image_, reference);
    Run(Command(reference), scratch_);
    newer_ = ReadCompanion(reference);
    if (!older_ || !newer_ || older_ == newer_ || ReadVolumes(reference) != volumes_)
      throw std::runtime_error(name_ + ": the reference protect did not write a new companion");
  }

  std::vector<std::string> Command(const std::string& Root) const override {
    return {CliPath(), "protect", "-q", "--threads", "2", Root + "/arc/x.bkp", "5"};
  }

 protected:
  void Judge(const std::vector<Volume>& Volumes, const Volume& Companion,
             Verdict& V) const override {
    for (size_t i = 0; i < Volumes.size(); ++i)
      if (Volumes[i] != volumes_[i])
        V.Violation += "arc/" + VolumeLeaf(static_cast<int>(i) + 1) +
                       (Volumes[i] ? " changed; " : " is gone; ");
    if (!Companion) {
      V.Violation += "the companion is gone; ";
    } else if (Companion == older_) {
      V.Held = Verdict::State::Old;
    } else if (Companion == newer_) {
      V.Held = Verdict::State::New;
    } else {
      V.Violation += "the companion is neither the older nor the new one (" +
                     std::to_string(Companion->size()) + " bytes); ";
    }
    V.Detail = std::string("the ") + NameOf(V.Held) + " companion";
  }

 private:
  std::vector<Volume> volumes_;
  Volume older_, newer_;
};

}  // namespace

std::unique_ptr<Scenario> MakeRepairScenario(const std::string& Name, RepairDamage Damage) {
  return std::make_unique<RepairScenario>(Name, Damage);
}

std::unique_ptr<Scenario> MakeProtectScenario(const std::string& Name) {
  return std::make_unique<ProtectScenario>(Name);
}

}  // namespace kelmora::durability
