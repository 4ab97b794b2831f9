// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli repair and protect, and the one line every command says
// when an archive's companion cannot be used.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "progress.h"

namespace kelmora::cli {

namespace {

struct RepairOptions {
  std::string Archive;
  bool DryRun = false;
  ProgressChoice Progress;
};

struct ProtectOptions {
  std::string Archive;
  unsigned Percent = 0;
  ProgressChoice Progress;
  unsigned Threads = 0;
};

std::string Volumes(const std::vector<uint16_t>& Numbers) {
  std::string text;
  for (const uint16_t v : Numbers) text += (text.empty() ? "" : ", ") + std::to_string(v);
  return text;
}

int RunRepair(const RepairOptions& Options) {
  if (!IsFile(Options.Archive)) {
    std::fprintf(stderr, "%s: archive not found: %s\n", kProgramName, Options.Archive.c_str());
    return kExitFailed;
  }
  TBackupFile engine;
  ProgressLine progress(Options.Progress);
  AttachTerminalHooks(engine, &progress);
  // The outcome below says it in full.
  engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
  StopOnInterrupt(engine);
  const bool ok = engine.Repair(Options.Archive, Options.DryRun);
  progress.Clear();
  const TRepairReport& r = engine.RepairResult();
  const std::string companion = CompanionFileName(Options.Archive);
  const std::string missing = r.MissingVolumes.empty()
                                  ? std::string()
                                  : " (volume " + Volumes(r.MissingVolumes) + " missing)";
  switch (r.Outcome) {
    case roSound:
      std::printf("sound: every block of %s is as written; nothing to repair\n",
                  Options.Archive.c_str());
      break;
    case roRepaired:
    case roRepairable:
      std::printf("%s: %s damaged blocks of %s bytes%s%s%s\n",
                  r.Outcome == roRepaired ? "repaired" : "repairable",
                  GroupDigits(static_cast<int64_t>(r.DamagedBlocks)).c_str(),
                  GroupDigits(r.BlockSize).c_str(), missing.c_str(),
                  r.ResizedVolumes.empty()
                      ? ""
                      : (", volume " + Volumes(r.ResizedVolumes) + " cut to its size").c_str(),
                  r.Outcome == roRepaired ? ", every one rebuilt and checked"
                                          : " can be rebuilt; nothing was changed (--dry-run)");
      break;
    case roUnrepairable:
      std::fprintf(stderr,
                   "%s: cannot repair %s: %s of %s damaged blocks%s are beyond what the "
                   "recovery record can rebuild; nothing was changed\n",
                   kProgramName, Options.Archive.c_str(),
                   GroupDigits(static_cast<int64_t>(r.UnrepairableBlocks)).c_str(),
                   GroupDigits(static_cast<int64_t>(r.DamagedBlocks)).c_str(), missing.c_str());
      for (const TDamagedStretch& s : r.Unrepairable)
        std::printf("unrepairable: volume %u, offset %s, %s bytes\n",
                    static_cast<unsigned>(s.Volume), GroupDigits(s.Offset).c_str(),
                    GroupDigits(s.Length).c_str());
      break;
    case roNoRecord:
    case roUnusable:
      std::fprintf(stderr, "%s: cannot repair %s from %s: %s\n", kProgramName,
                   Options.Archive.c_str(), companion.c_str(), r.Problem.c_str());
      break;
    case roStopped:
      std::fprintf(stderr, "%s: repair stopped; nothing was changed\n", kProgramName);
      break;
    case roFailed:
      std::fprintf(stderr, "%s: %s; nothing was changed\n", kProgramName,
                   DescribeFailure(engine.Failure()).c_str());
      break;
  }
  std::fflush(stdout);
  return ok ? kExitOk : kExitFailed;
}

int RunProtect(const ProtectOptions& Options) {
  if (!IsFile(Options.Archive)) {
    std::fprintf(stderr, "%s: archive not found: %s\n", kProgramName, Options.Archive.c_str());
    return kExitFailed;
  }
  TBackupFile engine;
  engine.RecoveryPercent = static_cast<uint8_t>(Options.Percent);
  engine.Threads = Options.Threads;
  ProgressLine progress(Options.Progress);
  AttachTerminalHooks(engine, &progress);
  AttachDamageReport(engine, progress);
  // The refusal after damage names the archive and why nothing was written.
  engine.OnError = [&progress](TBackupFile& Sender, int32_t Code, const std::string&) {
    progress.Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeError(Sender, Code).c_str());
  };
  AttachVolumeQuestion(engine, Options.Archive, nullptr, {false, false, nullptr, "protect"});
  StopOnInterrupt(engine);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = engine.Protect(Options.Archive);
  progress.Clear();
  if (Interrupted()) std::fprintf(stderr, "%s: stopped; no companion was written\n", kProgramName);
  if (ok && !Options.Progress.Quiet) {
    std::printf("Companion:    %s\n", CompanionFileName(Options.Archive).c_str());
    std::printf("Recovery:     %s\n",
                Options.Percent == 0 ? "none" : (std::to_string(Options.Percent) + " %").c_str());
    std::printf("Time:         %.2f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::fflush(stdout);
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

void NoteStreamHasNoCompanion(const std::string& Lost) {
  std::fprintf(stderr, "%s: %s: an archive on standard input has no companion\n", kProgramName,
               Lost.c_str());
}

void AttachCompanionNote(TBackupFile& Engine, ProgressLine* Progress, const std::string& Lost) {
  Engine.OnCompanion = [Progress, Lost](TBackupFile&, const TCompanionNote& Note) {
    if (Progress) Progress->Clear();
    std::string what;
    switch (Note.State) {
      case csMissing:
        what = "is missing";
        break;
      case csDamaged:
        what = "is damaged (" + Note.Reason + ")";
        break;
      case csMismatched:
        what = "does not fit this archive and is ignored (" + Note.Reason + ")";
        break;
      case csNewer:
        what = "was written by a later version of Kelmora";
        break;
      default:
        return;
    }
    std::fprintf(stderr, "%s: %s: the companion %s %s\n", kProgramName, Lost.c_str(),
                 Note.FileName.c_str(), what.c_str());
  };
}

void AddRepairCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "repair",
      "Rebuild the damaged parts of the archive ARCHIVE, and volumes that are missing, from "
      "the recovery record in its companion (ARCHIVE.kx, written by backup --recovery or "
      "protect). Repaired volumes are written beside the others, checked against the "
      "companion's block checksums, and only then put in place; damage beyond the record is "
      "named and nothing is changed.");
  auto options = std::make_shared<RepairOptions>();
  command->add_option("ARCHIVE", options->Archive, "the archive (its first volume)")->required();
  command->add_flag("--dry-run", options->DryRun,
                    "only find what is damaged and whether it can be rebuilt; change nothing");
  AddProgressOptions(*command, options->Progress, "no progress line; the outcome is still shown");
  RefuseDigitOptions(*command);
  command->footer(
      ExitStatusText("the archive is sound or was repaired (or, with --dry-run, "
                     "could be)",
                     "it could not be repaired; nothing was changed", false));
  command->callback([options, &Status] { Status = RunRepair(*options); });
}

void AddProtectCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "protect",
      "Write the companion of an existing archive (ARCHIVE.kx, replacing one that is there): "
      "its index, a checksum of every block and, with PCT, a recovery record of PCT percent "
      "of the archive's size. The archive is read as test reads it first; a damaged one is "
      "refused. Modes, owners and links recorded by a backup are kept from a companion that "
      "belongs to the archive; without one they cannot be known any more.");
  auto options = std::make_shared<ProtectOptions>();
  command->add_option("ARCHIVE", options->Archive, "the archive (its first volume)")->required();
  command
      ->add_option("PCT", options->Percent,
                   "share of the archive's size given to the recovery record, 0 to 100 (0, the "
                   "default, writes none)")
      ->check(CLI::Range(0u, 100u));
  AddProgressOptions(*command, options->Progress, "no progress line and no summary");
  AddThreadsOption(*command, options->Threads,
                   "threads that inflate pieces and make the recovery record, this one "
                   "included; the companion is the same whatever the count");
  RefuseDigitOptions(*command);
  command->footer(ExitStatusText("the companion was written", kFailedOrPart, false));
  command->callback([options, &Status] { Status = RunProtect(*options); });
}

}  // namespace kelmora::cli
