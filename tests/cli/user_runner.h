// SPDX-License-Identifier: GPL-3.0-or-later
//
// kelmora-cli run as an ordinary user where permissions matter: the suite
// runs as root, which passes every permission check, so the child gives
// up root before it starts the program. Already unprivileged, it runs as
// it is.
#pragma once

#include "cli/cli_runner.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>

#include <filesystem>

namespace kelmora::test {

// The user and group "nobody", which owns nothing on the system.
inline constexpr uid_t kOrdinaryUser = 65534;
inline constexpr gid_t kOrdinaryGroup = 65534;

// Makes Path and all below it the ordinary user's, so the program may work
// there as a user works in a home folder.
inline void GiveToOrdinaryUser(const std::string& Path) {
  if (::geteuid() != 0) return;
  if (::chown(Path.c_str(), kOrdinaryUser, kOrdinaryGroup) != 0)
    throw std::runtime_error("chown " + Path);
  for (const auto& e : std::filesystem::recursive_directory_iterator(Path)) {
    if (::lchown(e.path().c_str(), kOrdinaryUser, kOrdinaryGroup) != 0)
      throw std::runtime_error("chown " + e.path().string());
  }
}

// Keeps Path from the program RunCliAsUser starts: as root it becomes
// root's with Mode (as /root is); a user running the suite cannot give a
// file away, so it loses every permission, its owner's too.
inline void KeepFromOrdinaryUser(const std::string& Path, mode_t Mode) {
  const bool kept = ::geteuid() == 0
                        ? ::chown(Path.c_str(), 0, 0) == 0 && ::chmod(Path.c_str(), Mode) == 0
                        : ::chmod(Path.c_str(), 0) == 0;
  if (!kept) throw std::runtime_error("keep " + Path);
}

// As RunCli, as the ordinary user. Standard output and error go to files in
// Dir, opened before root is given up.
inline CliResult RunCliAsUser(const TempDir& Dir, const std::vector<std::string>& Args) {
  const std::string outPath = Dir / ".stdout", errPath = Dir / ".stderr";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    const int none = ::open("/dev/null", O_RDONLY);
    ::dup2(none, 0);
    ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kOrdinaryGroup) != 0 ||
                             ::setuid(kOrdinaryUser) != 0))
      ::_exit(125);
    ExecCli(Args);
  }
  CliResult r;
  r.Status = Reap(pid);
  r.Out = ReadFile(outPath);
  r.Err = ReadFile(errPath);
  return r;
}

}  // namespace kelmora::test
#endif
