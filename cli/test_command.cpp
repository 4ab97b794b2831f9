// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli test: the archive read as a restore would read it, every
// piece inflated and checked, nothing written.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "kelmora/backup_file.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "progress.h"

namespace kelmora::cli {

namespace {

struct TestOptions {
  std::string Archive;
  ProgressChoice Progress;
  unsigned Threads = 0;  // one per processor
};

}  // namespace

std::string DescribeDamage(const TDamage& Damage) {
  const std::string where = "volume " + std::to_string(Damage.Volume) + ", offset " +
                            GroupDigits(Damage.Offset) + ": " + Damage.Reason;
  if (Damage.Filename.empty()) return "damaged archive (" + where + ")";
  return "damaged: " + Damage.Filename + " (" + where + ")";
}

void AttachDamageReport(TBackupFile& Engine, ProgressLine& Progress) {
  Engine.OnDamage = [&Progress](TBackupFile&, const TDamage& Damage) {
    Progress.Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeDamage(Damage).c_str());
  };
  // Code 6 after damage says only what the lines above said; the summary
  // tells what was restored.
  Engine.OnError = [&Progress](TBackupFile& Sender, int32_t Code, const std::string&) {
    if (Code == beCompression && !Sender.Damages().empty()) return;
    Progress.Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeError(Sender, Code).c_str());
  };
}

int CheckArchive(const std::string& Archive, const ProgressChoice& Progress, bool Inflate,
                 unsigned Threads) {
  if (!ArchiveCanBeRead(Archive)) return kExitFailed;
  TBackupFile engine;
  engine.Threads = Threads;
  ProgressLine progress(Progress);
  AttachTerminalHooks(engine, &progress);
  // Damage has its own lines below; code 6 would only repeat them.
  engine.OnError = [&progress](TBackupFile& Sender, int32_t Code, const std::string&) {
    if (Code == beCompression && !Sender.Damages().empty()) return;
    progress.Clear();
    std::fprintf(stderr, "%s: %s\n", kProgramName, DescribeError(Sender, Code).c_str());
  };
  engine.OnDamage = [&progress](TBackupFile&, const TDamage& Damage) {
    progress.Clear();
    std::printf("%s\n", DescribeDamage(Damage).c_str());
    std::fflush(stdout);
  };
  // Further volumes are looked for beside the first, never asked for: a
  // check must be able to run unattended.
  AttachVolumeQuestion(engine, Archive, &progress, {false, /*AsFinding=*/true, nullptr, "test"});
  StopOnInterrupt(engine);
  const std::string lost =
      "a changed byte in a stored piece, a name, a time stamp or the title cannot be seen";
  AttachCompanionNote(engine, &progress, lost);
  if (Archive == "-") NoteStreamHasNoCompanion(lost);

  const auto start = std::chrono::steady_clock::now();
  bool sound = false;
  if (Archive == "-") {
    THandleStream in(TStandardHandle::Input);
    sound = engine.TestFromStream(&in);
  } else {
    sound = engine.Test(Archive, Inflate);
  }
  progress.Clear();
  if (Interrupted() && !sound) std::fprintf(stderr, "%s: test interrupted\n", kProgramName);
  if (engine.Incomplete())
    std::printf(
        "incomplete: the archive ends before its end marker (a stopped backup, a cut "
        "copy or a missing volume)\n");
  if (!Progress.Quiet) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("Files:        %s checked, %s damaged\n", GroupDigits(engine.FilesDone()).c_str(),
                GroupDigits(static_cast<int64_t>(engine.Damages().size())).c_str());
    std::printf("Read:         %s bytes of file data from %s bytes of archive\n",
                GroupDigits(engine.BytesDone()).c_str(),
                GroupDigits(engine.ArchiveBytes()).c_str());
    std::printf("Time:         %.2f s\n", seconds);
    std::printf("Result:       %s\n", sound ? "sound" : "NOT sound");
  }
  std::fflush(stdout);
  return sound ? kExitOk : kExitFailed;
}

void AddTestCommand(CLI::App& App, int& Status) {
  CLI::App* command = App.add_subcommand(
      "test",
      "Check the archive ARCHIVE without writing anything: every volume is read and every "
      "piece inflated and checked, exactly as a restore would, then, with the companion "
      "ARCHIVE.kx, every block of every volume against its checksum. Prints one line per "
      "damaged file (with the volume and byte offset of the damage, and what of it is "
      "damaged: its data, stored name or time stamp, or the archive's title) and a summary. "
      "Without the companion a piece stored uncompressed, a name, a time stamp and the title "
      "have no check value: a changed byte in one is not found.");
  auto options = std::make_shared<TestOptions>();
  command
      ->add_option("ARCHIVE", options->Archive,
                   "the archive (its first volume; further volumes are looked for beside it), "
                   "or - for standard input (one volume)")
      ->required();
  AddProgressOptions(*command, options->Progress,
                     "no progress line and no summary; damage is still listed");
  AddThreadsOption(*command, options->Threads,
                   "threads that inflate and check pieces, this one included (1 does all the "
                   "work on one thread); what is found is the same whatever the count");
  RefuseDigitOptions(*command);
  command->footer(ExitStatusText("every byte of the archive read back sound",
                                 "anything in it is damaged or missing, or the check failed",
                                 false));
  command->callback([options, &Status] {
    Status = CheckArchive(options->Archive, options->Progress, true, options->Threads);
  });
}

}  // namespace kelmora::cli
