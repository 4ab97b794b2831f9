// SPDX-License-Identifier: GPL-3.0-or-later
//
// A home-like tree for the companion's round trips, and what stat shows of
// a tree: mode, owner, size, time to the nanosecond and link text.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace kelmora::test {

// Gives every path below Root its own time with nanoseconds, an hour
// apart; links themselves, folders after their entries.
inline void StampTree(const std::string& Root) {
  namespace fs = std::filesystem;
  int64_t second = 1700000000;
  std::vector<std::string> all;
  for (const auto& e : fs::recursive_directory_iterator(Root)) all.push_back(e.path().string());
  // Deepest first, so that setting a folder's time comes after its entries.
  std::sort(all.rbegin(), all.rend());
  for (const std::string& p : all) {
    const struct timespec t[2] = {{second, 1}, {second, 123456789}};
    ::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW);
    second += 3600;
  }
}

// Modes 0600, 0700, 0750 and 0755, a 0666 file (which a user's umask
// changes), links to a file, a folder, outside the tree and nowhere, empty
// folders, names with spaces and UTF-8, a file with two names, a hidden
// file; every time set to the nanosecond, the links' own included.
inline void MakeHomeTree(const std::string& Root) {
  namespace fs = std::filesystem;
  WriteFile(Root + "/docs/report 2026.txt", TextBytes(50000, 3));
  WriteFile(Root + "/docs/Ünïcödé €.txt", "utf8");
  WriteFile(Root + "/docs/photo.jpg", RandomBytes(40000, 4));  // stored uncompressed
  WriteFile(Root + "/private/key", "private");
  WriteFile(Root + "/bin/run.sh", "#!/bin/sh\n");
  WriteFile(Root + "/shared.txt", "for everyone");
  WriteFile(Root + "/.profile", "hidden file");
  ::chmod((Root + "/private/key").c_str(), 0600);
  ::chmod((Root + "/private").c_str(), 0700);
  ::chmod((Root + "/bin/run.sh").c_str(), 0755);
  ::chmod((Root + "/shared.txt").c_str(), 0666);
  fs::create_directories(Root + "/empty/deeper");
  ::chmod((Root + "/empty").c_str(), 0750);
  fs::create_symlink("docs/report 2026.txt", Root + "/to-file");
  fs::create_symlink("docs", Root + "/to-folder");
  fs::create_symlink("/etc/passwd", Root + "/docs/outside");
  fs::create_symlink("nowhere", Root + "/dangling");
  fs::create_hard_link(Root + "/bin/run.sh", Root + "/bin/run-again.sh");
  StampTree(Root);
}

// Every path below Root with what stat says of it; the number of names a
// file has only WithNames (a restore gives each name its own copy).
inline std::map<std::string, std::string> StatTree(const std::string& Root,
                                                   bool WithNames = false) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> stats;
  for (const auto& e : fs::recursive_directory_iterator(Root)) {
    struct stat st;
    ::lstat(e.path().c_str(), &st);
    std::string line = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                       std::to_string(st.st_gid) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                       std::to_string(st.st_mtim.tv_nsec);
    if (WithNames) line += " nlink " + std::to_string(st.st_nlink);
    if (S_ISREG(st.st_mode)) line += " size " + std::to_string(st.st_size);
    if (S_ISLNK(st.st_mode)) line += " -> " + fs::read_symlink(e.path()).string();
    stats[e.path().string().substr(Root.size())] = line;
  }
  return stats;
}

}  // namespace kelmora::test
#endif
