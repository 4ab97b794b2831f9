// kelmora-cli as a whole: --version, the help of every command, the exit
// statuses they share, and the bash completion staying in step with them.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdio>
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

const std::vector<std::string> kCommands{"backup", "restore", "list", "test"};

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
    // One wording of the exit statuses everywhere.
    EXPECT_TRUE(Contains(r.Out,
                         "Exit status: 0 when the command did everything it was asked; 1 "
                         "when it failed or did only part of it (the reason on standard "
                         "error); 2 for a usage error; 3 (backup only) when the archive is "
                         "complete but a file kept changing while it was read"))
        << r.Out;
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
            (std::set<std::string>{"backup", "restore", "list", "test"}));
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
