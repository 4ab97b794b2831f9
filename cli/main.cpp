// SPDX-License-Identifier: GPL-3.0-or-later

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "help_format.h"
#include "kelmora/console.h"
#include "progress.h"

namespace {

// "backup, restore, list and test"
std::string CommandList(const CLI::App& App) {
  const std::vector<const CLI::App*> commands = App.get_subcommands({});
  std::string text;
  for (size_t i = 0; i < commands.size(); ++i) {
    if (i > 0) text += i + 1 == commands.size() ? " and " : ", ";
    text += commands[i]->get_name();
  }
  return text;
}

bool IsCommand(const CLI::App& App, const std::string& Word) {
  for (const CLI::App* command : App.get_subcommands({}))
    if (command->get_name() == Word) return true;
  return false;
}

// The first word that is not an option names the command; the top level
// has no option that takes a value, so nothing else can stand there. An
// option before it other than the top level's own is reported in Unknown.
const char* FirstWord(int argc, char** argv, const char*& Unknown) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg[0] != '-' || arg.size() == 1) return argv[i];
    if (Unknown == nullptr && arg != "-h" && arg != "--help" && arg != "--version")
      Unknown = argv[i];
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelmora::cli;
  // Archives pass through standard input and output byte for byte.
  kelmora::platform::UseBinaryStandardStreams();
  CLI::App app{"Kelmora backs folders up into compressed archives and restores them.",
               "kelmora-cli"};
  app.formatter(std::make_shared<WrappingFormatter>(HelpWidth()));
  // Every message says whose it is, as the program's own do.
  app.failure_message([](const CLI::App*, const CLI::Error& Error) {
    return std::string(kProgramName) + ": " + Error.what() + " (" + kProgramName +
           " COMMAND --help lists the options)\n";
  });
  // "/home/ann" and "/s" are paths and the switch, never options, on
  // Windows too.
  app.allow_windows_style_options(false);
  app.require_subcommand(1, 1);
  app.set_version_flag("--version", std::string("kelmora-cli ") + KELMORA_VERSION);
  app.footer(kAllExitStatusText);
  int status = kExitOk;
  AddBackupCommand(app, status);
  AddRestoreCommand(app, status);
  AddListCommand(app, status);
  AddTestCommand(app, status);
  AddRepairCommand(app, status);
  AddProtectCommand(app, status);

  const char* unknown = nullptr;
  const char* word = FirstWord(argc, argv, unknown);
  if (unknown != nullptr) {
    std::fprintf(stderr, "%s: unknown option '%s' (%s --help lists the options)\n", kProgramName,
                 unknown, kProgramName);
    return kExitUsage;
  }
  if (word != nullptr && !IsCommand(app, word)) {
    std::fprintf(stderr, "%s: unknown command '%s'; the commands are %s (%s --help tells more)\n",
                 kProgramName, word, CommandList(app).c_str(), kProgramName);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (word == nullptr && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
      // CLI11 would say "A subcommand is required".
      std::fprintf(stderr, "%s: a command is needed: %s (%s --help tells more)\n", kProgramName,
                   CommandList(app).c_str(), kProgramName);
      return kExitUsage;
    }
    const int code = app.exit(e);
    // --help and --version are successes; every other parse error is a
    // usage error.
    return code == 0 ? kExitOk : kExitUsage;
  }
  return status;
}
