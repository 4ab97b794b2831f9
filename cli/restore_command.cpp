// kelmora-cli restore: options in, one engine call, an exit status out.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/progress.h"
#include "engine/archive_format.h"
#include "engine/backup_file.h"
#include "engine/streams.h"
#include "platform/platform.h"

namespace kelmora::cli {

namespace {

const std::map<std::string, TRestoreMode> kModes = {
    {"all", rmAll},           {"no-overwrite", rmNoOverwrite},     {"newer", rmNewer},
    {"existing", rmExisting}, {"existing-newer", rmExistingNewer},
};

struct RestoreOptions {
  std::string Mode = "all";
  bool FullPath = false;
  bool Quiet = false;
  std::string Archive;
  std::string Folder;
};

volatile std::sig_atomic_t interrupted = 0;

// The first Ctrl-C stops the restore after the current chunk, so the file
// being written is still closed and stamped; a second one ends the program.
void OnInterrupt(int) {
  interrupted = 1;
  std::signal(SIGINT, SIG_DFL);
}

bool HasTerminal() {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return false;
  ::close(tty);
  return true;
}

std::string VolumeDigits(uint16_t Disk) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(Disk % 1000));
  return digits;
}

// Further volumes are looked for beside the first. A missing one is asked
// for on the terminal, naming the file; without a terminal the run ends at
// once with a message, so a script never waits or loops.
void AttachVolumeQuestion(TBackupFile& Engine, const std::string& Archive, ProgressLine& Progress) {
  Engine.OnNeedDisk = [Archive, &Progress](TBackupFile&, uint16_t Disk, bool& Continue) {
    const std::string volume = format::NextVolumeName(Archive, VolumeDigits(Disk));
    if (platform::FileExists(volume)) return;
    Progress.Clear();
    if (!HasTerminal()) {
      std::fprintf(stderr, "%s: volume %u of the archive is missing: %s\n", kProgramName,
                   static_cast<unsigned>(Disk), volume.c_str());
      Continue = false;
      return;
    }
    Continue = AskOnTerminal("Information", "Volume " + std::to_string(Disk) + " is missing: put " +
                                                volume + " in place and choose OK to continue.");
    if (!Continue)
      std::fprintf(stderr, "%s: restore cancelled; volume %u is missing: %s\n", kProgramName,
                   static_cast<unsigned>(Disk), volume.c_str());
  };
}

void PrintRestoreSummary(std::FILE* Out, const TBackupFile& Engine, double Seconds) {
  std::fprintf(Out, "Files:        %s restored of %s\n", GroupDigits(Engine.FilesDone()).c_str(),
               GroupDigits(Engine.FileCount()).c_str());
  std::fprintf(Out, "Total size:   %s bytes (%s)\n", GroupDigits(Engine.TotalSize()).c_str(),
               HumanSize(Engine.TotalSize()).c_str());
  std::fprintf(Out, "Time:         %.2f s\n", Seconds);
  std::fflush(Out);
}

int RunRestore(const RestoreOptions& Options) {
  const bool fromStandardInput = Options.Archive == "-";
  if (!fromStandardInput && !platform::FileExists(Options.Archive)) {
    std::fprintf(stderr, "%s: archive not found: %s\n", kProgramName, Options.Archive.c_str());
    return kExitFailed;
  }
  if (!Options.Folder.empty() && !platform::ForceDirectories(Options.Folder)) {
    std::fprintf(stderr, "%s: cannot create the restore folder %s\n", kProgramName,
                 Options.Folder.c_str());
    return kExitFailed;
  }

  TBackupFile engine;
  engine.RestoreMode = kModes.at(Options.Mode);
  engine.RestoreFullPath = Options.FullPath;
  ProgressLine progress(!Options.Quiet && StandardErrorIsTerminal());
  AttachTerminalHooks(engine, &progress, Options.Archive);
  AttachVolumeQuestion(engine, Options.Archive, progress);
  interrupted = 0;
  std::signal(SIGINT, OnInterrupt);
  engine.Hooks.ProcessMessages = [&engine] {
    if (interrupted) engine.Stop();
  };

  const auto start = std::chrono::steady_clock::now();
  bool ok = false;
  try {
    if (fromStandardInput) {
      THandleStream in(STDIN_FILENO);
      ok = engine.RestoreFromStream(&in, Options.Folder);
      if (!ok && engine.ErrorCode() == 0) {
        progress.Clear();
        std::fprintf(stderr,
                     "%s: the restore ended early: the archive on standard input is damaged "
                     "or incomplete\n",
                     kProgramName);
      }
    } else {
      ok = engine.Restore(Options.Archive, Options.Folder);
    }
  } catch (const std::exception& e) {
    progress.Clear();
    std::signal(SIGINT, SIG_DFL);
    std::fprintf(stderr, "%s: %s: %s\n", kProgramName, Options.Archive.c_str(), e.what());
    return kExitFailed;
  }
  progress.Clear();
  std::signal(SIGINT, SIG_DFL);
  if (interrupted) std::fprintf(stderr, "%s: restore interrupted\n", kProgramName);

  if (!Options.Quiet) {
    PrintRestoreSummary(
        stdout, engine,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

void AddRestoreCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "restore",
      "Restore the files of the archive ARCHIVE, under FOLDER or, without FOLDER, at the paths "
      "they were backed up from. Every file gets its stored last-write time back.");
  auto options = std::make_shared<RestoreOptions>();

  command
      ->add_option("-m,--mode", options->Mode,
                   "which files are written: all; no-overwrite (only files that do not exist); "
                   "newer (missing files and those older than the stored one); existing (only "
                   "files that exist); existing-newer (only existing files older than the "
                   "stored one)")
      ->check(CLI::IsMember({"all", "no-overwrite", "newer", "existing", "existing-newer"}))
      ->capture_default_str();
  command->add_flag("-p,--full-path", options->FullPath,
                    "rebuild the stored folder tree under FOLDER; without it every file goes "
                    "straight into FOLDER");
  command->add_flag("-q,--quiet", options->Quiet,
                    "no progress line and no summary; errors are still reported");
  command
      ->add_option("ARCHIVE", options->Archive,
                   "the archive (its first volume; further volumes are looked for beside it), "
                   "or - for standard input (one volume)")
      ->required();
  command->add_option("FOLDER", options->Folder,
                      "the folder to restore into, created when missing; nothing is ever "
                      "written outside it");
  command->footer(
      "Exit status: 0 when every file was restored as the mode decided, 1 when the restore "
      "failed, was cancelled or refused a stored name (the reason on standard error), 2 for a "
      "usage error.");

  command->callback([options, &Status] { Status = RunRestore(*options); });
}

}  // namespace kelmora::cli
