// Each command registers itself as a sub-command of the one parser; its
// callback runs the engine once and leaves the exit status in Status.
#pragma once

#include <CLI/CLI.hpp>

namespace kelmora::cli {

// Exit statuses shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
// The archive is complete, but a file changed while it was read and its
// stored copy may mix old and new contents.
inline constexpr int kExitChanged = 3;

void AddBackupCommand(CLI::App& App, int& Status);
void AddRestoreCommand(CLI::App& App, int& Status);
void AddListCommand(CLI::App& App, int& Status);

}  // namespace kelmora::cli
