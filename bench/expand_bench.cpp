// SPDX-License-Identifier: GPL-3.0-or-later
//
// Source expansion against the directory walk itself: selects every file of
// a generated tree with "TREE/*.* /s" and times it against
// `find TREE -type f` on the same tree, alternating the two, and prints the
// medians and their ratio; then the same with the specification listed
// twice, where every file of the second walk is a duplicate. The selection
// is checked against find's list before anything is timed.
//
//   bench_expand_bench [TREE] [FILES] [RUNS]
//
// TREE defaults to $TMPDIR/kelmora-expand-tree and is generated once
// (deterministically) when TREE.done is missing; it is left in place.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/selection.h"
#include "platform/platform.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Ten folders per level, three levels deep, the files spread over every
// level so that each folder holds files and sub-folders alike.
bool GenerateTree(const std::string& root, int files) {
  const int leafFolders = 1000;
  for (int i = 0; i < files; ++i) {
    const int leaf = i % leafFolders;
    // Every eighth file sits one level higher, every 32nd two levels.
    const int depth = i % 32 == 0 ? 1 : i % 8 == 0 ? 2 : 3;
    std::string folder = root;
    int digits[3] = {leaf / 100, leaf / 10 % 10, leaf % 10};
    for (int d = 0; d < depth; ++d) folder += "/d" + std::to_string(digits[d]);
    if (!kelmora::platform::ForceDirectories(folder)) return false;
    const std::string name = folder + "/file" + std::to_string(i) + (i % 3 ? ".txt" : ".dat");
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    const std::string body = std::to_string(i);
    const bool ok = ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    ::close(fd);
    if (!ok) return false;
  }
  return true;
}

// Runs find with its output sent to OutputFd; returns the wall time in ms.
double RunFind(const std::string& root, int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  std::string a0 = "find", a1 = root, a2 = "-type", a3 = "f";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) != 0) {
    std::perror("find");
    std::exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "find failed\n");
    std::exit(1);
  }
  return ms;
}

std::vector<std::string> FindList(const std::string& root) {
  char name[] = "/tmp/kelmora-find-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) std::exit(1);
  RunFind(root, fd);
  std::vector<std::string> lines;
  std::string text;
  char buf[65536];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  ::unlink(name);
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// Times one selection of Sources; Count receives the number of files.
double Select(const kelmora::TStringList& sources, size_t& count) {
  kelmora::TStringList selected;
  const auto start = Clock::now();
  kelmora::SelectSourceFiles(sources, "", kelmora::bmAll, selected);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  count = selected.size();
  return ms;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string root = kelmora::platform::FullPath(
      argc > 1 ? argv[1] : std::string(tmp && *tmp ? tmp : "/tmp") + "/kelmora-expand-tree");
  const int files = argc > 2 ? std::atoi(argv[2]) : 100000;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 7;
  if (files <= 0 || runs <= 0) {
    std::fprintf(stderr, "usage: %s [TREE] [FILES] [RUNS]\n", argv[0]);
    return 2;
  }

  const std::string marker = root + ".done";
  if (!kelmora::platform::FileExists(marker)) {
    std::printf("generating %d files under %s ...\n", files, root.c_str());
    std::fflush(stdout);
    if (!GenerateTree(root, files) ||
        ::close(::open(marker.c_str(), O_WRONLY | O_CREAT, 0644)) != 0) {
      std::fprintf(stderr, "cannot generate the tree\n");
      return 1;
    }
  }

  // The same files, or the comparison means nothing.
  kelmora::TStringList selected;
  kelmora::SelectSourceFiles({root + "/*.* /s"}, "", kelmora::bmAll, selected);
  std::vector<std::string> found = FindList(root);
  std::sort(selected.begin(), selected.end());
  std::sort(found.begin(), found.end());
  if (selected != found) {
    std::fprintf(stderr, "selection (%zu files) differs from find (%zu files)\n", selected.size(),
                 found.size());
    return 1;
  }

  const int devNull = ::open("/dev/null", O_WRONLY);
  // The same specification twice walks the tree twice and checks every
  // file of the second walk against the first: the duplicate test at work.
  const kelmora::TStringList once{root + "/*.* /s"};
  const kelmora::TStringList twice{root + "/*.* /s", root + "/*.* /s"};
  std::vector<double> onceMs, twiceMs, findMs;
  size_t onceCount = 0, twiceCount = 0;
  for (int r = 0; r < runs; ++r) {
    findMs.push_back(RunFind(root, devNull));
    onceMs.push_back(Select(once, onceCount));
    twiceMs.push_back(Select(twice, twiceCount));
  }
  ::close(devNull);
  if (onceCount != found.size() || twiceCount != found.size()) {
    std::fprintf(stderr, "duplicates were not removed (%zu, %zu)\n", onceCount, twiceCount);
    return 1;
  }

  const double s = Median(onceMs), d = Median(twiceMs), f = Median(findMs);
  std::printf("files: %zu  runs: %d (medians)\n", onceCount, runs);
  std::printf("find TREE -type f          %8.1f ms\n", f);
  std::printf("expansion of TREE/*.* /s   %8.1f ms\n", s);
  std::printf("same specification twice   %8.1f ms\n", d);
  std::printf("ratio expansion/find: %.2f\n", s / f);
  std::printf("ratio twice/(2 x find): %.2f\n", d / (2 * f));
  return 0;
}
