// Each command registers itself as a sub-command of the one parser; its
// callback runs the engine once and leaves the exit status in Status.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kelmora {
class TBackupFile;
struct TDamage;
}  // namespace kelmora

namespace kelmora::cli {

// Exit statuses shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// The archive is complete, but a file changed while it was read and its
// stored copy may mix old and new contents.
inline constexpr int kExitChanged = 3;
// One wording of the statuses for every command's help and the manual page.
inline constexpr const char* kExitStatusText =
    "Exit status: 0 when the command did everything it was asked; 1 when it failed or did only "
    "part of it (the reason on standard error); 2 for a usage error; 3 (backup only) when the "
    "archive is complete but a file kept changing while it was read (named on standard error; "
    "its stored copy may mix old and new contents).";

void AddBackupCommand(CLI::App& App, int& Status);
void AddRestoreCommand(CLI::App& App, int& Status);
void AddListCommand(CLI::App& App, int& Status);
void AddTestCommand(CLI::App& App, int& Status);

// --threads N, the same for every command that reads or writes pieces;
// Threads keeps 0 (one per processor) when it is not given.
inline void AddThreadsOption(CLI::App& Command, unsigned& Threads) {
  Command
      .add_option("--threads", Threads,
                  "threads that compress or inflate, this one included: 1 does all the work on "
                  "one thread; by default one per processor. The archive, the restored files "
                  "and the messages are the same either way")
      ->type_name("N")
      ->check(CLI::Range(1u, 64u));
}

// Reads Archive as a restore would, writing nothing; damage goes to
// standard output one line each. Inflate false follows only the layout,
// which is enough to tell whether the archive is complete. Threads as
// the engine takes them. Returns the command's exit status.
int CheckArchive(const std::string& Archive, bool Quiet, bool Inflate, unsigned Threads);

// "damaged: NAME (volume V, offset O: REASON)", or "damaged archive (...)"
// for damage that falls in no file.
std::string DescribeDamage(const kelmora::TDamage& Damage);

class ProgressLine;
// Damage met by a restore, one line each on standard error.
void AttachDamageReport(kelmora::TBackupFile& Engine, ProgressLine& Progress);

}  // namespace kelmora::cli
