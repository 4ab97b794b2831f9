#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Kelmora backs folders up into compressed archives and restores them.",
               "kelmora-cli"};
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
