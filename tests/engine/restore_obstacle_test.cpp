// SPDX-License-Identifier: GPL-3.0-or-later
//
// What stands in one file's way costs that file alone: it is named with the
// system's reason and the run goes on with the others, ending with code 1.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;

const int32_t kStored = test::Stamp(2022, 2, 2, 2, 2, 2);

// Relative below Folder as the system writes it, as targets are named.
std::string Under(const std::string& Folder, std::string Relative) {
  for (char& c : Relative)
    if (c == '/') c = test::kSeparator;
  return Folder + test::kSeparator + Relative;
}

// The file's bytes, or "(missing)".
std::string Read(const std::string& Path) {
  return fs::exists(Path) ? test::ReadFile(Path) : "(missing)";
}

struct Obstacle {
  const char* what;
  std::string stored;  // the file that cannot be written
  std::string below;   // where it would go below the restore folder
  int error;           // the system's reason
  // Readies the restore folder before the run.
  std::function<void(const std::string& Folder)> before;
  // Run from OnProgress while the obstacle's own file is being written.
  std::function<void(const std::string& Folder)> during;
};

TEST(RestoreObstacle, AFileThatCannotBeWrittenIsNamedAndTheOthersAreRestored) {
  std::string wide;  // 100 CJK characters: 300 bytes of UTF-8
  for (int i = 0; i < 100; ++i) wide += "\xE6\x96\x87";
  std::vector<Obstacle> obstacles{
      {"a folder where the file goes", "/d2/taken", "d2/taken", EISDIR,
       [](const std::string& Folder) { fs::create_directories(Folder + "/d2/taken/inside"); },
       nullptr},
      {"a folder made there while the file is written", "/d2/taken", "d2/taken", EISDIR, nullptr,
       [](const std::string& Folder) { fs::create_directories(Folder + "/d2/taken"); }},
  };
  if (!test::kOnWindows) {
    // A name written on Windows that this system cannot hold: 300 bytes
    // where a name may have 255.
    obstacles.push_back({"a name component of 300 bytes", "c:\\d2\\" + wide + ".txt",
                         "d2/" + wide + ".txt", ENAMETOOLONG, nullptr, nullptr});
  }
  for (const Obstacle& o : obstacles) {
    for (const unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(std::string(o.what) + ", threads " + std::to_string(threads));
      test::TempDir dir;
      const std::string folder = dir / "out";
      fs::create_directories(folder);
      if (o.before) o.before(folder);
      // d1/a is still waiting for the writer thread while the obstacle's
      // file is read: the folder changes that follows the obstacle put
      // both in place.
      ArchiveBuilder()
          .Header()
          .File("/d1/a", kStored, "a")
          .File(o.stored, kStored, test::TextBytes(50000, 2))
          .File("/d2/b", kStored, "b")
          .File("/d3/c", kStored, "c")
          .End()
          .Save(dir / "a.bkp");
      TBackupFile engine;
      engine.Threads = threads;
      engine.RestoreFullPath = true;
      std::vector<int32_t> errors;
      engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
        errors.push_back(Code);
      };
      bool done = false;
      engine.OnProgress = [&](TBackupFile&, const std::string& Name, TPercentage, bool&) {
        if (o.during && !done && Name == Under(folder, o.below)) {
          o.during(folder);
          done = true;
        }
      };
      EXPECT_FALSE(engine.Restore(dir / "a.bkp", folder));
      EXPECT_EQ(errors, std::vector<int32_t>{1});
      EXPECT_EQ(engine.Failure().Subject, Under(folder, o.below));
      EXPECT_EQ(engine.Failure().Reason, platform::ErrorText(o.error));
      EXPECT_EQ(engine.FilesDone(), 3);
      EXPECT_EQ(Read(folder + "/d1/a"), "a");
      EXPECT_EQ(Read(folder + "/d2/b"), "b");
      EXPECT_EQ(Read(folder + "/d3/c"), "c");
      if (o.error == EISDIR) {
        EXPECT_TRUE(fs::is_directory(folder + "/d2/taken"));
      }
      // No part of the file that could not be put in place is left.
      EXPECT_EQ(std::distance(fs::directory_iterator(folder + "/d2"), fs::directory_iterator()),
                o.error == EISDIR ? 2 : 1);
    }
  }
}

}  // namespace
}  // namespace kelmora
