// SPDX-License-Identifier: GPL-3.0-or-later
//
// Options and help texts that several commands share.
#include <string>

#include "commands.h"

namespace kelmora::cli {

std::string ExitStatusText(const std::string& Done, const std::string& Failed, bool CanChange) {
  std::string text = "Exit status: 0 when " + Done + "; 1 when " + Failed +
                     " (the reason on standard error); 2 for a usage error";
  if (CanChange)
    text +=
        "; 3 when the archive is complete but a file kept changing while it was read (named on "
        "standard error; its stored copy may mix old and new contents)";
  return text + ".";
}

void AddThreadsOption(CLI::App& Command, unsigned& Threads, const std::string& What) {
  Command.add_option("--threads", Threads, What + "; from 1 to 64, by default one per processor")
      ->type_name("N")
      ->check(CLI::Range(1u, 64u));
}

void AddProgressOptions(CLI::App& Command, ProgressChoice& Choice, const std::string& QuietText) {
  CLI::Option* quiet = Command.add_flag("-q,--quiet", Choice.Quiet, QuietText);
  CLI::Option* progress = Command.add_flag(
      "--progress", Choice.Forced,
      "show progress (percentage, bytes, speed, time left, file) even where standard error is "
      "no terminal: a plain line at the start, every 5 seconds and at the end, for logs. On a "
      "terminal the redrawn line is there without it");
  quiet->excludes(progress);
}

void RefuseDigitOptions(CLI::App& Command) {
  for (char digit = '0'; digit <= '9'; ++digit) {
    const std::string name{'-', digit};
    Command
        .add_flag_function(
            name, [name](int64_t) { throw CLI::ExtrasError({name}); }, "")
        ->group("");  // not listed in the help
  }
}

}  // namespace kelmora::cli
