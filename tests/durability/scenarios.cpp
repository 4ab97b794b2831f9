// SPDX-License-Identifier: GPL-3.0-or-later

#include "scenarios.h"

#include <dirent.h>

#include <functional>
#include <regex>
#include <set>
#include <stdexcept>

#include "process.h"
#include "scenario_support.h"

namespace kelmora::durability {

// Kelmora's names for its temporaries and locks, written down here on
// their own so that the harness does not take the product's word for them.
bool IsTemporary(const std::string& Leaf) {
  static const std::regex pattern(R"(\.kelmora-[a-z0-9]{10}\.part)");
  return std::regex_match(Leaf, pattern);
}

bool IsLock(const std::string& Leaf) {
  return Leaf.size() > 14 && Leaf[0] == '.' && Leaf.ends_with(".kelmora-lock");
}

bool IsRecord(const std::string& Leaf) {
  return Leaf.size() > 16 && Leaf[0] == '.' && Leaf.ends_with(".kelmora-commit");
}

std::vector<std::string> Listing(const std::string& Folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(Folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

int64_t StampAt(int Index) {
  return 1612345678 + 2 * Index;
}

std::string Run(const std::vector<std::string>& Argv, const std::string& Scratch) {
  const Ran ran = RunProgram(Argv, SanitizerEnvironment(), Scratch);
  if (ran.How.Status != 0)
    throw std::runtime_error("preparing: " + Argv[1] + " ended with " +
                             std::to_string(ran.How.Status) + ": " + ran.Err);
  return ran.Out;
}

void LookAround(const std::string& Root, const Tree& Others,
                const std::function<bool(const std::string&)>& IsArchiveFile, Verdict& V) {
  for (const std::string& name : Listing(Root))
    if (name != "arc") V.Violation += "unexpected " + name + " beside the archive's folder; ";
  std::set<std::string> seen;
  const Tree folder = ReadTree(Root + "/arc");
  for (const std::string& name : Listing(Root + "/arc")) {
    if (IsTemporary(name)) {
      ++V.Leftovers;
    } else if (IsLock(name)) {
      V.LockLeft = true;
    } else if (IsRecord(name)) {
      V.RecordLeft = true;
    } else if (const auto other = Others.find(name); other != Others.end()) {
      seen.insert(name);
      if (folder.count(name) == 0 || !(folder.at(name) == other->second))
        V.Violation += "arc/" + name + " changed; ";
    } else if (!IsArchiveFile(name)) {
      V.Violation += "unexpected arc/" + name + "; ";
    }
  }
  for (const auto& other : Others)
    if (seen.count(other.first) == 0) V.Violation += "arc/" + other.first + " is gone; ";
}

namespace {

std::string Describe(const FileState& File) {
  return std::to_string(File.Data.size()) + " bytes, time " + std::to_string(File.Mtime);
}

// The volumes of the archive First in order, as long as they exist.
std::vector<std::string> Volumes(const std::string& First) {
  std::vector<std::string> volumes;
  const std::string stem = First.substr(0, First.rfind('.'));
  for (int number = 1; number < 1000; ++number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, ".%03d", number);
    std::string data;
    if (!ReadWhole(number == 1 ? First : stem + digits, data)) break;
    volumes.push_back(std::move(data));
  }
  return volumes;
}

class BackupScenario : public Scenario {
 public:
  BackupScenario(const std::string& Name, int VolumeCount, int NewerVolumeCount, unsigned Threads)
      : Scenario(Name),
        volumeCount_(VolumeCount),
        newerVolumeCount_(NewerVolumeCount),
        threads_(Threads) {}

  void Prepare(const std::string& Work) override {
    SetUpFolders(Work);
    source_ = work_ + "/src";
    std::mt19937_64 random(std::hash<std::string>{}(name_));
    // Random bytes, so that the archive's size and its volumes are known.
    const size_t unit = volumeCount_ > 1 ? kVolumeSize * 7 / 10 : 24 * 1024;
    for (int i = 0; i < 5; ++i)
      older_["f" + std::to_string(i) + ".bin"] = {MakeBytes(random, unit - 997 * i, false),
                                                  StampAt(i)};
    older_["notes/a.txt"] = {MakeBytes(random, 5000, true), StampAt(10)};
    older_["notes/empty"] = {std::string(), StampAt(11)};
    newer_ = older_;
    newer_["f1.bin"] = {MakeBytes(random, unit + 3000, false), StampAt(21)};
    newer_["notes/a.txt"].Mtime = StampAt(22);  // the same bytes, a newer time
    newer_.erase("f3.bin");
    newer_["f5.bin"] = {MakeBytes(random, unit - 5000, false), StampAt(23)};
    // Fewer volumes: the older archive's last ones must go.
    if (newerVolumeCount_ < volumeCount_)
      for (const char* gone : {"f0.bin", "f2.bin", "f5.bin"}) newer_.erase(gone);

    WriteTree(source_, older_);
    olderVolumes_ = Reference("older", olderCompanion_);
    RemoveTree(source_);
    WriteTree(source_, newer_);
    newerVolumes_ = Reference("newer", newerCompanion_);
    if (static_cast<int>(olderVolumes_.size()) != volumeCount_ ||
        static_cast<int>(newerVolumes_.size()) != newerVolumeCount_)
      throw std::runtime_error(name_ + ": the archives do not have the volumes planned");

    others_["notes.txt"] = {MakeBytes(random, 3000, true), StampAt(40)};
    others_["other.bkp"] = {MakeBytes(random, 7000, false), StampAt(41)};
    for (size_t i = 0; i < olderVolumes_.size(); ++i)
      WriteFile(image_ + "/arc/" + VolumeLeaf(static_cast<int>(i) + 1), olderVolumes_[i],
                StampAt(50));
    WriteFile(image_ + "/arc/x.bkp.kx", olderCompanion_, StampAt(50));
    WriteTree(image_ + "/arc", others_);
  }

  std::vector<std::string> Command(const std::string& Root) const override {
    std::vector<std::string> argv{CliPath(), "backup", "-q", "--threads", std::to_string(threads_)};
    if (volumeCount_ > 1) {
      argv.push_back("-v");
      argv.push_back(std::to_string(kVolumeSize));
    }
    argv.push_back(Root + "/arc/x.bkp");
    argv.push_back(source_);
    return argv;
  }

  std::vector<std::string> NamedPaths() const override { return {source_}; }

  Verdict Inspect(const std::string& Root) const override {
    Verdict v;
    LookAround(
        Root, others_,
        [this](const std::string& Name) { return IsVolumeLeaf(Name) || Name == "x.bkp.kx"; }, v);

    const std::string first = Root + "/arc/x.bkp";
    std::vector<std::string> now = Volumes(first);
    v.Held = WithCompanion(Root, Classify(now, v), v);
    if (v.Held == Verdict::State::Broken) {
      // An unfinished replacement is the next command's to complete: test
      // it as that command would, then look again.
      const Ran tested =
          RunProgram({CliPath(), "test", "-q", first}, SanitizerEnvironment(), scratch_);
      now = Volumes(first);
      Verdict again;
      again.Held = WithCompanion(Root, Classify(now, again), again);
      if (again.Held != Verdict::State::Broken) {
        v.Held = again.Held;
        v.Detail += " (completed by the next command)";
      } else if (tested.How.Status == 0) {
        v.Held = ByContent(first);
        if (v.Held != Verdict::State::Broken) v.Detail += " (same files as test reads it)";
      }
    }
    if (v.Held == Verdict::State::Broken) {
      if (!v.Violation.empty()) v.Known = Verdict::Gap::None;
      v.Violation += "the archive is neither the older nor the new one: " + v.Detail + "; ";
    } else {
      v.Known = Verdict::Gap::None;
    }
    if (!v.Violation.empty()) v.Held = Verdict::State::Broken;
    return v;
  }

 private:
  static constexpr size_t kVolumeSize = 256 * 1024;

  std::string VolumeLeaf(int Number) const {
    char digits[16];
    std::snprintf(digits, sizeof digits, "x.%03d", Number);
    return Number == 1 ? "x.bkp" : digits;
  }

  bool IsVolumeLeaf(const std::string& Name) const {
    static const std::regex pattern(R"(x\.(bkp|[0-9]{3}))");
    return std::regex_match(Name, pattern);
  }

  std::vector<std::string> Reference(const std::string& Which, std::string& Companion) {
    const std::string root = work_ + "/reference-" + Which;
    MakeFolder(root + "/arc");
    Run(Command(root), scratch_);
    if (!ReadWhole(root + "/arc/x.bkp.kx", Companion))
      throw std::runtime_error(name_ + ": the " + Which + " archive has no companion");
    return Volumes(root + "/arc/x.bkp");
  }

  // Held stands only with the companion written with those volumes beside
  // them: another archive's would describe files that are not there.
  Verdict::State WithCompanion(const std::string& Root, Verdict::State Held, Verdict& V) const {
    if (Held != Verdict::State::Old && Held != Verdict::State::New) return Held;
    std::string companion;
    if (!ReadWhole(Root + "/arc/x.bkp.kx", companion)) {
      V.Detail += "no companion ";
      return Verdict::State::Broken;
    }
    const std::string& expected = Held == Verdict::State::Old ? olderCompanion_ : newerCompanion_;
    if (companion == expected) return Held;
    V.Detail += companion == olderCompanion_   ? "the older archive's companion "
                : companion == newerCompanion_ ? "the new archive's companion "
                                               : "a companion of neither ";
    return Verdict::State::Broken;
  }

  // Old or New when Now begins with exactly that set of volumes (a stale
  // later volume may follow it); Broken otherwise, with each volume named.
  Verdict::State Classify(const std::vector<std::string>& Now, Verdict& V) const {
    const auto startsWith = [&Now](const std::vector<std::string>& Set) {
      if (Now.size() < Set.size()) return false;
      for (size_t i = 0; i < Set.size(); ++i)
        if (Now[i] != Set[i]) return false;
      return true;
    };
    V.Detail.clear();
    bool anyOld = false, anyNew = false, allKnown = !Now.empty();
    for (size_t i = 0; i < Now.size(); ++i) {
      const bool old = i < olderVolumes_.size() && Now[i] == olderVolumes_[i];
      const bool fresh = i < newerVolumes_.size() && Now[i] == newerVolumes_[i];
      anyOld = anyOld || old;
      anyNew = anyNew || fresh;
      allKnown = allKnown && (old || fresh);
      V.Detail += VolumeLeaf(static_cast<int>(i) + 1) + "=" +
                  (old     ? "older"
                   : fresh ? "new"
                           : std::to_string(Now[i].size()) + " bytes") +
                  " ";
    }
    if (Now.empty()) V.Detail = "no archive";
    if (startsWith(newerVolumes_)) return Verdict::State::New;
    if (startsWith(olderVolumes_)) return Verdict::State::Old;
    if (allKnown && anyOld && anyNew) V.Known = Verdict::Gap::VolumeMix;
    return Verdict::State::Broken;
  }

  Verdict::State ByContent(const std::string& First) const {
    const std::string folder = scratch_ + "/content";
    RemoveTree(folder);
    const Ran ran =
        RunProgram({CliPath(), "restore", "-q", First, folder}, SanitizerEnvironment(), scratch_);
    const Tree got = ReadTree(folder + source_);
    RemoveTree(folder);
    if (ran.How.Status != 0) return Verdict::State::Broken;
    if (got == newer_) return Verdict::State::New;
    if (got == older_) return Verdict::State::Old;
    return Verdict::State::Broken;
  }

  const int volumeCount_, newerVolumeCount_;
  const unsigned threads_;
  std::string source_;
  Tree older_, newer_, others_;
  std::vector<std::string> olderVolumes_, newerVolumes_;
  std::string olderCompanion_, newerCompanion_;
};

class RestoreScenario : public Scenario {
 public:
  RestoreScenario(const std::string& Name, bool LargeSplitFile, unsigned Threads, std::string Mode)
      : Scenario(Name), large_(LargeSplitFile), threads_(Threads), mode_(std::move(Mode)) {}

  void Prepare(const std::string& Work) override {
    SetUpFolders(Work);
    const std::string source = work_ + "/src";
    archive_ = work_ + "/archive/r.bkp";
    std::mt19937_64 random(std::hash<std::string>{}(name_));
    Tree stored, older;
    if (large_) {
      stored["big.bin"] = {MakeBytes(random, 3 * 1024 * 1024 + 12345, false), StampAt(0)};
      older["big.bin"] = {MakeBytes(random, 2 * 1024 * 1024 + 777, false), StampAt(100)};
      for (int i = 1; i <= 3; ++i)
        stored["small" + std::to_string(i) + ".txt"] = {MakeBytes(random, 3000 * i, true),
                                                        StampAt(i)};
      older["small2.txt"] = {MakeBytes(random, 4000, true), StampAt(101)};
    } else {
      static const char* const kFolders[] = {"", "a/", "a/b/", "c/"};
      for (int i = 0; i < 48; ++i) {
        const std::string name =
            std::string(kFolders[i % 4]) + "file" + std::to_string(i) + (i % 3 ? ".txt" : ".bin");
        const size_t size = (random() % 24000) * (i % 7 != 0);
        stored[name] = {MakeBytes(random, size, i % 3 != 0), StampAt(i)};
        // Every other file has an older copy in the restore folder.
        if (i % 2 == 0) older[name] = {MakeBytes(random, random() % 20000, true), StampAt(200 + i)};
      }
    }
    WriteTree(source, stored);
    MakeFolder(work_ + "/archive");
    std::vector<std::string> backup{CliPath(), "backup", "-q"};
    if (large_) backup.insert(backup.end(), {"-v", "1048576"});
    backup.insert(backup.end(), {archive_, source});
    Run(backup, scratch_);

    others_["notes.txt"] = {MakeBytes(random, 2500, true), StampAt(300)};
    if (!large_) others_["a/keep.me"] = {MakeBytes(random, 1200, false), StampAt(301)};
    WriteTree(image_ + "/out", older);
    WriteTree(image_ + "/out", others_);
    // What the command leaves on a disk it had to itself: in a mode other
    // than all, some older copies are kept.
    const std::string reference = work_ + "/reference";
    CopyTree(image_, reference);
    Run(Command(reference), scratch_);
    newer_ = ReadTree(reference + "/out");
    for (const auto& other : others_) newer_.erase(other.first);
    for (const auto& [name, file] : older)
      if (newer_.count(name) != 0) older_[name] = file;
    if (newer_.size() != stored.size()) throw std::runtime_error(name_ + ": reference restore");
  }

  std::vector<std::string> Command(const std::string& Root) const override {
    return {CliPath(), "restore", "-q",         "--threads", std::to_string(threads_),
            "-m",      mode_,     "--relative", archive_,    Root + "/out"};
  }

  // A damaged file is named by its stored name, below the source folder.
  std::vector<std::string> NamedPaths() const override { return {archive_, work_ + "/src/"}; }

  Verdict Inspect(const std::string& Root) const override {
    Verdict v;
    for (const std::string& name : Listing(Root))
      if (name != "out") v.Violation += "unexpected " + name + " beside the restore folder; ";
    std::map<std::string, char> odd;
    const Tree now = ReadTree(Root + "/out", &odd);
    for (const auto& entry : odd) v.Violation += "unexpected non-file out/" + entry.first + "; ";
    size_t fresh = 0, old = 0, torn = 0, tornText = 0;
    for (const auto& [name, file] : now) {
      if (IsTemporary(LeafOf(name))) {
        ++v.Leftovers;
      } else if (const auto n = newer_.find(name); n != newer_.end()) {
        const auto o = older_.find(name);
        if (file == n->second) {
          ++fresh;
        } else if (o != older_.end() && file == o->second) {
          ++old;
        } else {
          ++torn;
          const std::string text = "out/" + name +
                                   " holds neither its older nor its new content (" +
                                   Describe(file) + " for " + Describe(n->second) + "); ";
          v.Violation += text;
          tornText += text.size();
        }
      } else if (const auto other = others_.find(name); other != others_.end()) {
        if (!(file == other->second)) v.Violation += "out/" + name + " changed; ";
      } else {
        v.Violation += "unexpected out/" + name + "; ";
      }
    }
    for (const auto& entry : newer_) {
      if (now.count(entry.first) != 0) continue;
      if (older_.count(entry.first) != 0)
        v.Violation += "the older out/" + entry.first + " is gone; ";
      else
        ++old;  // never there: as before the run
    }
    for (const auto& entry : others_)
      if (now.count(entry.first) == 0) v.Violation += "out/" + entry.first + " is gone; ";
    v.Detail = std::to_string(fresh) + " new, " + std::to_string(old) + " older";
    if (torn > 0) {
      v.Detail += ", " + std::to_string(torn) + " torn";
      if (v.Violation.size() == tornText)  // nothing wrong but the torn targets
        v.Known = Verdict::Gap::UnsyncedTarget;
    }
    v.Held = !v.Violation.empty()     ? Verdict::State::Broken
             : fresh == newer_.size() ? Verdict::State::New
             : old == newer_.size()   ? Verdict::State::Old
                                      : Verdict::State::Mixed;
    return v;
  }

 private:
  const bool large_;
  const unsigned threads_;
  const std::string mode_;
  std::string archive_;
  Tree newer_, older_, others_;
};

}  // namespace

std::string CliPath() {
  return KELMORA_CLI;
}

std::vector<std::string> SanitizerEnvironment() {
#if KELMORA_SANITIZED
  return {"ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
#else
  return {};
#endif
}

const char* NameOf(Verdict::State Held) {
  switch (Held) {
    case Verdict::State::Old:
      return "older";
    case Verdict::State::New:
      return "new";
    case Verdict::State::Mixed:
      return "mixed";
    case Verdict::State::Broken:
      return "broken";
  }
  return "?";
}

void Scenario::SetUpFolders(const std::string& Work) {
  work_ = Work + "/" + name_;
  image_ = work_ + "/image";
  scratch_ = work_ + "/scratch";
  RemoveTree(work_);
  MakeFolder(image_);
  MakeFolder(scratch_);
}

std::string Scenario::Recover(const std::string& Root) const {
  const Ran ran = RunProgram(Command(Root), SanitizerEnvironment(), scratch_);
  if (ran.How.Status != 0)
    return "the next run ended with " + std::to_string(ran.How.Status) + ": " + ran.Err;
  const Verdict after = Inspect(Root);
  if (!after.Violation.empty()) return "after the next run: " + after.Violation;
  if (after.Held != Verdict::State::New)
    return std::string("after the next run the result is ") + NameOf(after.Held);
  if (after.Leftovers != 0)
    return std::to_string(after.Leftovers) + " temporaries left after the next run";
  if (after.LockLeft) return "the lock is left after the next run";
  if (after.RecordLeft) return "the record of a replacement is left after the next run";
  return {};
}

std::unique_ptr<Scenario> MakeBackupScenario(const std::string& Name, int VolumeCount,
                                             unsigned Threads, int NewerVolumeCount) {
  return std::make_unique<BackupScenario>(
      Name, VolumeCount, NewerVolumeCount > 0 ? NewerVolumeCount : VolumeCount, Threads);
}

std::unique_ptr<Scenario> MakeRestoreScenario(const std::string& Name, bool LargeSplitFile,
                                              unsigned Threads, const std::string& Mode) {
  return std::make_unique<RestoreScenario>(Name, LargeSplitFile, Threads, Mode);
}

}  // namespace kelmora::durability
