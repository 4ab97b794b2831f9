// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restoring to / puts files back through the links this system has on the
// way to them (/bin on merged-/usr systems, a /home kept elsewhere), as tar
// does, but only links that were there before the run and belong to root
// or to the user restoring; any other folder follows no link at all.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <thread>

#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
constexpr uid_t kSomeoneElse = 4242;

// Inside Root made the root of the file system: backs the stored paths up
// from real folders, puts the layout of a merged-/usr system in their
// place, and restores to / with Threads. Writes "result code done" to
// /report. Runs in a child process, which ends with it.
[[noreturn]] void RestoreInChangedRoot(const std::string& Root, unsigned Threads) {
  if (::chroot(Root.c_str()) != 0 || ::chdir("/") != 0) ::_exit(126);
  try {
    TBackupFile backup;
    if (!backup.Backup({"/bin/*.*", "/home/*.* /s", "/opt/*.*", "/srv/*.*"}, "/a.bkp"))
      ::_exit(125);
    // What the stored folders are on this machine: links, and the files
    // where they lead are gone.
    const auto linkAway = [](const std::string& Folder, const std::string& Target,
                             const std::string& Real) {
      fs::create_directories(fs::path(Real).parent_path());
      fs::rename(Folder, Real);
      for (const auto& e : fs::directory_iterator(Real))
        if (e.is_regular_file()) fs::remove(e.path());
      if (!Target.empty()) fs::create_directory_symlink(Target, Folder);
    };
    linkAway("/bin", "usr/bin", "/usr/bin");
    linkAway("/home/ann", "../data/ann", "/data/ann");
    linkAway("/opt", "usr/opt", "/usr/opt");
    if (::lchown("/opt", kSomeoneElse, kSomeoneElse) != 0) ::_exit(124);
    linkAway("/home/bob/work", "/usr/work", "/usr/work");
    if (::chown("/home/bob", kSomeoneElse, kSomeoneElse) != 0) ::_exit(124);
    linkAway("/srv", "", "/usr/srv");  // its link comes during the run
    // Made before the run: its time lies before the run's start.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    TBackupFile engine;
    engine.Threads = Threads;
    engine.RestoreFullPath = true;
    engine.OnError = [](TBackupFile&, int32_t, const std::string&) {};
    engine.OnRestoreFile = [](TBackupFile&, std::string&, int32_t, bool&) {
      if (!fs::exists("/srv")) fs::create_directory_symlink("usr/srv", "/srv");
    };
    const bool result = engine.Restore("/a.bkp", "/");
    test::WriteFile("/report", std::to_string(result) + " " + std::to_string(engine.ErrorCode()) +
                                   " " + std::to_string(engine.FilesDone()));
  } catch (...) {
    ::_exit(123);
  }
  ::_exit(0);
}
#endif

TEST(RestoreLinks, ToTheRootOnlyLinksThatWereThereAndAreTrustedAreFollowed) {
  KELMORA_POSIX_ONLY("a changed root and links owned by another user");
#ifndef _WIN32
  if (::geteuid() != 0) GTEST_SKIP() << "changing the root needs root";
  for (const unsigned threads : {1u, 4u}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    test::TempDir dir;
    const std::string root = dir / "root";
    for (const char* file : {"bin/tool", "home/ann/notes.txt", "opt/x", "srv/y", "home/bob/work/z"})
      test::WriteFile(root + "/" + file, std::string("stored ") + file);
    const pid_t child = ::fork();
    if (child == 0) RestoreInChangedRoot(root, threads);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // Through root's links made before the run, as tar would.
    EXPECT_EQ(test::ReadFile(root + "/usr/bin/tool"), "stored bin/tool");
    EXPECT_EQ(test::ReadFile(root + "/data/ann/notes.txt"), "stored home/ann/notes.txt");
    // Not through a link someone else owns, nor one in someone else's
    // folder, nor one made while the run went on.
    EXPECT_TRUE(fs::is_empty(root + "/usr/opt"));
    EXPECT_TRUE(fs::is_empty(root + "/usr/work"));
    EXPECT_TRUE(fs::is_empty(root + "/usr/srv"));
    EXPECT_TRUE(fs::is_symlink(root + "/opt"));
    EXPECT_TRUE(fs::is_symlink(root + "/srv"));
    // Refused, named: code 1, and the two files through trusted links done.
    EXPECT_EQ(test::ReadFile(root + "/report"), "0 1 2");
  }
#endif
}

}  // namespace
}  // namespace kelmora
