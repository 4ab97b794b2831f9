// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli as a whole: --version, the help of every command, the exit
// statuses they share, and the bash completion staying in step with them.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "cli/cli_runner.h"
#include "test_support.h"

namespace kelmora {
namespace {

using Result = test::CliResult;
using test::RunCli;

bool Contains(const std::string& Text, const std::string& Part) {
  return Text.find(Part) != std::string::npos;
}

const std::vector<std::string> kCommands{"backup", "restore", "list", "test", "repair", "protect"};

// The paragraph of Help that describes Option, continuation lines joined.
std::string Described(const std::string& Help, const std::string& Option) {
  const size_t at = Help.find("  " + Option);
  if (at == std::string::npos) return {};
  std::string text;
  for (size_t line = at, end; (end = Help.find('\n', line)) != std::string::npos; line = end + 1) {
    // The next option or group starts at the second column or the first.
    if (line != at && (Help.compare(line, 3, "  -") == 0 || Help[line] != ' ')) break;
    text += Help.substr(line, end - line) + " ";
  }
  return text;
}

TEST(ProgramCli, VersionAndHelpOfEveryCommand) {
  test::TempDir dir;
  const Result version = RunCli(dir, {"--version"});
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Out, std::string("kelmora-cli ") + KELMORA_VERSION + "\n");

  std::vector<std::string> helps{""};
  helps.insert(helps.end(), kCommands.begin(), kCommands.end());
  for (const std::string& command : helps) {
    SCOPED_TRACE(command);
    std::vector<std::string> args;
    if (!command.empty()) args.push_back(command);
    args.push_back("--help");
    const Result r = RunCli(dir, args);
    EXPECT_EQ(r.Status, 0);
    ASSERT_FALSE(r.Out.empty());
    EXPECT_EQ(r.Out.back(), '\n');
    // Each command's footer lists the statuses it can end with, and only those.
    const size_t footer = r.Out.find("Exit status: 0");
    ASSERT_NE(footer, std::string::npos) << r.Out;
    std::string statuses = r.Out.substr(footer);
    std::replace(statuses.begin(), statuses.end(), '\n', ' ');  // wrapped at any word
    for (const char* status : {"; 1 when", "; 2 for a usage error"})
      EXPECT_TRUE(Contains(statuses, status)) << status;
    EXPECT_EQ(Contains(statuses, "; 3 "), command.empty() || command == "backup") << statuses;
  }
}

// Help wraps at the terminal's width, and --threads says what the threads
// do for each command.
TEST(ProgramCli, HelpFitsTheTerminalAndSaysWhatThreadsDo) {
  test::TempDir dir;
  const char* const before = std::getenv("COLUMNS");
  const std::string kept = before ? before : "";
  for (const char* columns : {"50", "132"}) {
    test::SetEnvironment("COLUMNS", columns);
    for (const std::string command : {"", "backup", "restore", "list", "test"}) {
      SCOPED_TRACE(command + " at " + columns);
      const Result r = RunCli(dir, command.empty() ? std::vector<std::string>{"--help"}
                                                   : std::vector<std::string>{command, "--help"});
      ASSERT_EQ(r.Status, 0);
      size_t longest = 0;
      for (size_t at = 0, end; (end = r.Out.find('\n', at)) != std::string::npos; at = end + 1)
        longest = std::max(longest, end - at);
      EXPECT_LE(longest, std::stoul(columns)) << r.Out;
      // Wide terminals are used: the lines are not kept narrow regardless.
      if (std::string(columns) == "132") {
        EXPECT_GT(longest, 80u) << r.Out;
      }
    }
  }
  if (before) {
    test::SetEnvironment("COLUMNS", kept);
  } else {
    test::UnsetEnvironment("COLUMNS");
  }
  const std::string backup = Described(RunCli(dir, {"backup", "--help"}).Out, "--threads");
  const std::string restore = Described(RunCli(dir, {"restore", "--help"}).Out, "--threads");
  const std::string test = Described(RunCli(dir, {"test", "--help"}).Out, "--threads");
  EXPECT_TRUE(Contains(backup, "compress")) << backup;
  EXPECT_TRUE(Contains(backup, "--verify")) << backup;
  for (const std::string* reading : {&restore, &test}) {
    EXPECT_TRUE(Contains(*reading, "inflate")) << *reading;
    EXPECT_FALSE(Contains(*reading, "compress")) << *reading;
  }
}

// An option the command does not know is a usage error and creates
// nothing, even when it looks like a negative number; "--" still lets a
// name that begins with "-" through. An unknown command names itself and
// the commands there are.
TEST(ProgramCli, UnknownOptionsAndCommandsAreUsageErrors) {
  test::TempDir dir;
  test::WriteFile(dir / "src/a.txt", "a");
  const std::string archive = dir / "a.bkp";
  ASSERT_EQ(RunCli(dir, {"backup", "-q", archive, dir / "src"}).Status, 0);
  for (const std::string option : {"-9", "-1", "-12", "-9x", "-x", "--fast"}) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"backup", option, dir / "new.bkp", dir / "src"},
                                               {"backup", dir / "new.bkp", dir / "src", option},
                                               {"restore", option, archive, dir / "out"},
                                               {"list", option, archive},
                                               {"test", option, archive}}) {
      SCOPED_TRACE(args[0] + " " + option);
      const Result r = RunCli(dir, args, nullptr, dir.path());
      EXPECT_EQ(r.Status, 2);
      // "-9x" and "-12" are named by their first option, "-9" and "-1".
      EXPECT_TRUE(Contains(r.Err, option[1] == '-' ? option : option.substr(0, 2))) << r.Err;
      EXPECT_TRUE(r.Out.empty()) << r.Out;
    }
  }
  // Nothing was written: no archive named after the option, none under
  // the name given, no restore folder.
  for (const std::string name : {"-9", "-1", "-12", "-9x", "new.bkp", "out"})
    EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;

  // An option's value may look like one.
  ASSERT_EQ(RunCli(dir, {"backup", "-q", "-t", "-9", dir / "t.bkp", dir / "src"}).Status, 0);
  EXPECT_TRUE(Contains(RunCli(dir, {"list", "--summary", dir / "t.bkp"}).Out, "Title:        -9"));
  const Result afterMark =
      RunCli(dir, {"backup", "-q", dir / "m.bkp", "--", "-9"}, nullptr, dir.path());
  EXPECT_EQ(afterMark.Status, 1);
  EXPECT_TRUE(Contains(afterMark.Err, "no such file or folder: -9")) << afterMark.Err;

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"ls", archive}, {"--", "ls"}, {}, {"--fast"}}) {
    const Result r = RunCli(dir, args);
    EXPECT_EQ(r.Status, 2);
    if (!args.empty() && args.back() == "ls") {
      EXPECT_TRUE(Contains(r.Err, "'ls'")) << r.Err;
    }
    if (!args.empty() && args[0] == "--fast") {
      EXPECT_TRUE(Contains(r.Err, "'--fast'")) << r.Err;
      continue;
    }
    for (const std::string& command : kCommands) EXPECT_TRUE(Contains(r.Err, command)) << r.Err;
  }
}

// Each status means the same in every command.
TEST(ProgramCli, ExitStatusesMeanTheSameInEveryCommand) {
  test::TempDir dir;
  test::WriteFile(dir / "src/a.txt", "a");
  for (const std::string& command : kCommands) {
    SCOPED_TRACE(command);
    const Result unknown = RunCli(dir, {command, "--no-such-option", "x", "y"});
    EXPECT_EQ(unknown.Status, 2);
    EXPECT_FALSE(unknown.Err.empty());
    const Result missing = RunCli(dir, {command});
    EXPECT_EQ(missing.Status, 2);
  }
  EXPECT_EQ(RunCli(dir, {}).Status, 2);
  EXPECT_EQ(RunCli(dir, {"frobnicate"}).Status, 2);

  EXPECT_EQ(RunCli(dir, {"backup", "-q", dir / "a.bkp", dir / "src"}).Status, 0);
  EXPECT_EQ(RunCli(dir, {"list", dir / "a.bkp"}).Status, 0);
  EXPECT_EQ(RunCli(dir, {"restore", "-q", dir / "a.bkp", dir / "out"}).Status, 0);

  test::WriteFile(dir / "bad.bkp", "not an archive at all");
  const Result backup = RunCli(dir, {"backup", dir / "b.bkp", dir / "nothing-here"});
  const Result list = RunCli(dir, {"list", dir / "bad.bkp"});
  const Result restore = RunCli(dir, {"restore", dir / "bad.bkp", dir / "out2"});
  for (const Result* r : {&backup, &list, &restore}) {
    EXPECT_EQ(r->Status, 1);
    EXPECT_TRUE(Contains(r->Err, "kelmora-cli: ")) << r->Err;
  }
}

#ifndef _WIN32
// What the completion offers after Line (the word being completed last).
std::set<std::string> Complete(const test::TempDir& Dir, const std::string& Line) {
  const std::string script = Dir / "complete.sh";
  test::WriteFile(script, "source '" KELMORA_SOURCE_DIR
                          "/data/kelmora-cli.bash' || exit 3\n"
                          "read -r -a COMP_WORDS <<< \"$1\"\n"
                          "[[ $1 == *' ' ]] && COMP_WORDS+=('')\n"
                          "COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                          "_kelmora_cli\n"
                          "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
  const std::string command = "bash '" + script + "' '" + Line + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("popen");
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("completion script failed for " + Line);
  std::set<std::string> words;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    if (end > at) words.insert(out.substr(at, end - at));
  return words;
}

// Every long option and every word a --help lists, the completion offers;
// it offers nothing the program does not take.
#endif

TEST(ProgramCli, BashCompletionKnowsWhatTheHelpLists) {
  KELMORA_POSIX_ONLY("bash completion");
#ifndef _WIN32
  test::TempDir dir;
  EXPECT_EQ(Complete(dir, "kelmora-cli "),
            (std::set<std::string>{"backup", "restore", "list", "test", "repair", "protect"}));
  EXPECT_EQ(Complete(dir, "kelmora-cli --"), (std::set<std::string>{"--help", "--version"}));
  for (const std::string& command : kCommands) {
    SCOPED_TRACE(command);
    const std::string help = RunCli(dir, {command, "--help"}).Out;
    std::set<std::string> listed;
    for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
      size_t end = at + 2;
      while (end < help.size() &&
             (std::isalnum(static_cast<unsigned char>(help[end])) || help[end] == '-'))
        ++end;
      // Options start a help line ("  -m,--mode"); prose never puts "--" after a comma.
      if (end > at + 2 && at > 0 && (help[at - 1] == ',' || help[at - 1] == ' '))
        listed.insert(help.substr(at, end - at));
    }
    EXPECT_EQ(Complete(dir, "kelmora-cli " + command + " --"), listed);
  }
  EXPECT_EQ(Complete(dir, "kelmora-cli backup --level "),
            (std::set<std::string>{"fastest", "none", "default", "max"}));
  EXPECT_EQ(Complete(dir, "kelmora-cli restore -m "),
            (std::set<std::string>{"all", "no-overwrite", "newer", "existing", "existing-newer"}));
  EXPECT_EQ(Complete(dir, "kelmora-cli restore -m ex"),
            (std::set<std::string>{"existing", "existing-newer"}));
#endif
}

}  // namespace
}  // namespace kelmora
