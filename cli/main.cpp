#include <CLI/CLI.hpp>

#include "commands.h"
#include "kelmora/console.h"

int main(int argc, char** argv) {
  // Archives pass through standard input and output byte for byte.
  kelmora::platform::UseBinaryStandardStreams();
  CLI::App app{"Kelmora backs folders up into compressed archives and restores them.",
               "kelmora-cli"};
  // "/home/ann" and "/s" are paths and the switch, never options, on
  // Windows too.
  app.allow_windows_style_options(false);
  app.require_subcommand(1, 1);
  app.set_version_flag("--version", std::string("kelmora-cli ") + KELMORA_VERSION);
  app.footer(kelmora::cli::kExitStatusText);
  int status = kelmora::cli::kExitOk;
  kelmora::cli::AddBackupCommand(app, status);
  kelmora::cli::AddRestoreCommand(app, status);
  kelmora::cli::AddListCommand(app, status);
  kelmora::cli::AddTestCommand(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    // --help and --version are successes; every other parse error is a
    // usage error.
    return code == 0 ? kelmora::cli::kExitOk : kelmora::cli::kExitUsage;
  }
  return status;
}
