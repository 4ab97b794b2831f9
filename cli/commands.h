// SPDX-License-Identifier: GPL-3.0-or-later
//
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

// The statuses a command can end with, for its help's footer: 0, 1 and 2,
// with Done saying what 0 means for it and Failed what 1 does, and 3 where
// the command has it.
inline constexpr const char* kFailedOrPart = "it failed or did only part of it";
std::string ExitStatusText(const std::string& Done, const std::string& Failed, bool CanChange);

// What the top level's help says of every command's statuses.
inline constexpr const char* kAllExitStatusText =
    "Exit status: 0 when the command did everything it was asked; 1 when it failed or did only "
    "part of it (the reason on standard error); 2 for a usage error; 3 (backup only) when the "
    "archive is complete but a file kept changing while it was read. COMMAND --help lists "
    "those of each command.";

void AddBackupCommand(CLI::App& App, int& Status);
void AddRestoreCommand(CLI::App& App, int& Status);
void AddListCommand(CLI::App& App, int& Status);
void AddTestCommand(CLI::App& App, int& Status);
void AddRepairCommand(CLI::App& App, int& Status);
void AddProtectCommand(CLI::App& App, int& Status);

// --threads N for a command that compresses or inflates pieces; What says
// what the threads do there. Threads keeps 0 (one per processor) when the
// option is not given.
void AddThreadsOption(CLI::App& Command, unsigned& Threads, const std::string& What);

// -q and --progress, which exclude each other. --progress draws the line
// even where standard error is no terminal: then a plain line every few
// seconds, for logs.
struct ProgressChoice {
  bool Quiet = false;
  bool Forced = false;
};
void AddProgressOptions(CLI::App& Command, ProgressChoice& Choice, const std::string& QuietText);

// CLI11 takes "-9" for a value, since it looks like a negative number, and
// "backup -9 x.bkp DIR" would write an archive named -9. Guards that make
// "-0" to "-9" (and so "-12", "-9x") unknown options, as "-x" is.
void RefuseDigitOptions(CLI::App& Command);

// Reads Archive ("-" for standard input) as a restore would, writing
// nothing; damage goes to standard output one line each. Inflate false follows only the layout,
// which is enough to tell whether the archive is complete. Threads as
// the engine takes them. Returns the command's exit status.
int CheckArchive(const std::string& Archive, const ProgressChoice& Progress, bool Inflate,
                 unsigned Threads);

// "damaged: NAME (volume V, offset O: REASON)", or "damaged archive (...)"
// for damage that falls in no file.
std::string DescribeDamage(const kelmora::TDamage& Damage);

class ProgressLine;
// Damage met by a restore, one line each on standard error.
void AttachDamageReport(kelmora::TBackupFile& Engine, ProgressLine& Progress);

// Says once, on standard error, what the command cannot do (Lost: "modes,
// links and exact times are not restored") because the archive's companion
// is missing, damaged or not the archive's.
void AttachCompanionNote(kelmora::TBackupFile& Engine, ProgressLine* Progress,
                         const std::string& Lost);
// The same for an archive read from standard input, which has none.
void NoteStreamHasNoCompanion(const std::string& Lost);

}  // namespace kelmora::cli
