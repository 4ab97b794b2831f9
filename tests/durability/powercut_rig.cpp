// SPDX-License-Identifier: GPL-3.0-or-later

#include "powercut_rig.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>

#include "trees.h"

namespace kelmora::durability {

namespace {

bool Exists(const std::string& Path) {
  struct stat st;
  return ::stat(Path.c_str(), &st) == 0;
}

bool Mounted(const std::string& Mount, const std::string& Above) {
  struct stat mount, above;
  return ::stat(Mount.c_str(), &mount) == 0 && ::stat(Above.c_str(), &above) == 0 &&
         mount.st_dev != above.st_dev;
}

std::string Text(const std::string& Path) {
  std::string text;
  ReadWhole(Path, text);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Mounts the file system for one run; unmounts it when it goes.
class Mount {
 public:
  Mount(const std::string& Folder, const std::vector<std::string>& Options) : folder_(Folder) {
    MakeFolder(Folder + "/mnt");
    std::vector<std::string> argv{KELMORA_POWERCUT_FS};
    argv.insert(argv.end(), Options.begin(), Options.end());
    argv.push_back(Folder + "/mnt");
    fs_ = std::make_unique<Child>(argv, SanitizerEnvironment(), Folder + "/fs.out",
                                  Folder + "/fs.err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Exit ended;
    while (!Mounted(Folder + "/mnt", Folder)) {
      if (fs_->Ended(ended)) {
        failure_ = "the file system did not mount: " + Text(Folder + "/fs.err");
        return;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        failure_ = "the file system did not mount within 10 s";
        return;
      }
      SleepMilliseconds(1);
    }
  }
  ~Mount() {
    fs_->Kill(SIGTERM);
    const Exit ended = fs_->Wait(10000);
    if (ended.TimedOut || Mounted(folder_ + "/mnt", folder_))
      ::umount2((folder_ + "/mnt").c_str(), MNT_DETACH);
  }
  // Ends the file system, which then writes its end states.
  void Unmount() {
    fs_->Kill(SIGTERM);
    fs_->Wait(10000);
  }
  const std::string& Failure() const { return failure_; }
  std::string Root() const { return folder_ + "/mnt"; }

 private:
  std::string folder_;
  std::unique_ptr<Child> fs_;
  std::string failure_;
};

StateCheck Check(const Scenario& Run, const std::string& Which, const std::string& Root) {
  StateCheck check;
  check.Which = Which;
  check.Found = Run.Inspect(Root);
  check.Recovery = Run.Recover(Root);
  return check;
}

}  // namespace

bool PowerCutRig::Available(const std::string& Work, std::string& Why) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    Why = "/dev/fuse is missing or closed to this user: the power-cut harness needs FUSE";
    return false;
  }
  const std::string folder = Work + "/probe";
  MakeFolder(folder + "/image");
  MakeFolder(folder + "/out");
  {
    Mount probe(folder, {"--image", folder + "/image", "--out", folder + "/out"});
    Why = probe.Failure();
  }
  RemoveTree(folder);
  return Why.empty();
}

CutRun PowerCutRig::RunOnce(const Scenario& Run, unsigned long long CutAt, unsigned long long Seed,
                            int JournalSamples, const std::string& Log) {
  CutRun result;
  result.CutAt = CutAt;
  const std::string folder = work_ + "/run";
  RemoveTree(folder);
  MakeFolder(folder + "/out");
  std::vector<std::string> options{"--image",
                                   Run.Image(),
                                   "--out",
                                   folder + "/out",
                                   "--cut-at",
                                   std::to_string(CutAt),
                                   "--seed",
                                   std::to_string(Seed),
                                   "--journal-samples",
                                   std::to_string(JournalSamples)};
  if (!Log.empty()) options.insert(options.end(), {"--log", Log});
  Mount mount(folder, options);
  if (!mount.Failure().empty()) {
    result.Failure = mount.Failure();
    return result;
  }
  std::vector<std::string> environment = SanitizerEnvironment();
  environment.push_back("LD_PRELOAD=" KELMORA_POWERCUT_SHIM);
  environment.push_back("POWERCUT_MOUNT=" + mount.Root());
  const std::string cut = folder + "/out/cut";
  {
    Child command(Run.Command(mount.Root()), environment, folder + "/cli.out", folder + "/cli.err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!command.Ended(result.Command)) {
      if (Exists(cut)) {
        // The power is gone: the program does not get to run on.
        command.Kill(SIGKILL);
        result.Command = command.Wait(10000);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        result.Command = command.Wait(0);
        result.Failure = "the command did not end within 120 s";
        return result;
      }
      SleepMilliseconds(0.2);
    }
  }
  ReadWhole(folder + "/cli.err", result.CommandErr);
  mount.Unmount();
  result.Cut = Exists(cut);
  if (result.Cut) {
    if (Text(cut) == "failed") result.Failure = "the file system could not write the cut states";
    result.States.push_back(Check(Run, "strict", folder + "/out/strict"));
    for (int i = 1; i <= JournalSamples; ++i) {
      const std::string which = "journal-" + std::to_string(i);
      result.States.push_back(Check(Run, which, folder + "/out/" + which));
    }
    return result;
  }
  if (!Exists(folder + "/out/final")) {
    result.Failure = "the file system wrote no end state";
  } else if (result.Command.Status != 0) {
    result.Failure = "the command failed without a cut: " + result.CommandErr;
  } else {
    // A run that reports success has its result on the disk: it is all
    // there after a cut at the very end.
    result.States.push_back(Check(Run, "final", folder + "/out/final"));
  }
  return result;
}

std::vector<std::string> PowerCutRig::Requests(const Scenario& Run, CutRun& Result) {
  const std::string log = work_ + "/requests.log";
  Result = RunOnce(Run, 0, 1, 0, log);
  std::vector<std::string> lines;
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

CutRun PowerCutRig::Cut(const Scenario& Run, unsigned long long CutAt, unsigned long long Seed,
                        int JournalSamples) {
  return RunOnce(Run, CutAt, Seed, JournalSamples, std::string());
}

std::vector<unsigned long long> PickCuts(const std::vector<std::string>& Requests, size_t Budget,
                                         std::mt19937_64& Random) {
  const unsigned long long total = Requests.size();
  std::vector<unsigned long long> cuts;
  if (total == 0 || Budget == 0) return cuts;
  if (total <= Budget) {
    for (unsigned long long n = 1; n <= total; ++n) cuts.push_back(n);
  } else {
    std::set<unsigned long long> boundaries;
    for (const std::string& line : Requests) {
      std::istringstream fields(line);
      unsigned long long number = 0;
      std::string kind;
      fields >> number >> kind;
      if (kind == "rename" || kind == "fsync" || kind == "fsyncdir" || kind == "syncfs") {
        boundaries.insert(number);
        if (number < total) boundaries.insert(number + 1);
      }
    }
    std::vector<unsigned long long> chosen(boundaries.begin(), boundaries.end());
    std::shuffle(chosen.begin(), chosen.end(), Random);
    // At least a third of the cuts fall between the boundaries.
    chosen.resize(std::min(chosen.size(), Budget - Budget / 3));
    std::set<unsigned long long> taken(chosen.begin(), chosen.end());
    while (taken.size() < Budget) taken.insert(1 + Random() % total);
    cuts.assign(taken.begin(), taken.end());
  }
  while (cuts.size() < Budget) cuts.push_back(1 + Random() % total);
  return cuts;
}

}  // namespace kelmora::durability
