// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restore and test with worker threads must be indistinguishable from the
// one-thread run: the same files, the same events in the same order, the
// same damage, stops and volume questions, the same counts at the end.
// Every case runs once with one thread and again with several, and the two
// recordings are compared whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::TempDir;

// Everything a run let anyone see, in order.
struct Recording {
  std::vector<std::string> Events;
  bool Result = false;
  int32_t Code = 0;
  int32_t FilesDone = 0;
  int64_t BytesDone = 0;
  int64_t ArchiveBytes = 0;
  bool Incomplete = false;
  std::map<std::string, std::string> Tree;  // restored files by path below the folder
};

void ExpectSame(const Recording& One, const Recording& Many, const std::string& What) {
  SCOPED_TRACE(What);
  EXPECT_EQ(One.Events, Many.Events);
  EXPECT_EQ(One.Result, Many.Result);
  EXPECT_EQ(One.Code, Many.Code);
  EXPECT_EQ(One.FilesDone, Many.FilesDone);
  EXPECT_EQ(One.BytesDone, Many.BytesDone);
  EXPECT_EQ(One.ArchiveBytes, Many.ArchiveBytes);
  EXPECT_EQ(One.Incomplete, Many.Incomplete);
  EXPECT_EQ(One.Tree.size(), Many.Tree.size());
  EXPECT_TRUE(One.Tree == Many.Tree);
}

std::map<std::string, std::string> ReadTree(const std::string& Root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(Root)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(Root))
    if (e.is_regular_file())
      tree[fs::relative(e.path(), Root).generic_string()] = test::ReadFile(e.path().string());
  return tree;
}

enum class Run { Restore, Test, RestoreFromPipe };

struct Options {
  Run How = Run::Restore;
  int StopAtEvent = 0;  // the progress event that asks to stop; 0 = none
  int RefuseDisk = 0;   // the volume question answered Cancel; 0 = none
  // Without an OnFileRestored handler whole files are put in place by the
  // writer thread.
  bool WatchRestored = true;
};

// A pipe fed from another thread, for the source that cannot seek.
class PipeSource {
 public:
  explicit PipeSource(const std::string& Bytes) {
    stream_ = std::make_unique<THandleStream>(platform::File::Adopt(pipe_.Reader(), true));
    writer_ = std::thread([this, Bytes] {
      pipe_.Write(Bytes);  // false once the reader went away
      pipe_.CloseWriter();
    });
  }
  ~PipeSource() {
    stream_.reset();  // a reader that stopped early unblocks the writer
    writer_.join();
  }
  THandleStream* Stream() { return stream_.get(); }

 private:
  test::TestPipe pipe_;
  std::unique_ptr<THandleStream> stream_;
  std::thread writer_;
};

Recording Record(const std::string& Archive, unsigned Threads, const Options& O) {
  TempDir out;
  Recording r;
  TBackupFile engine;
  engine.Threads = Threads;
  engine.RestoreFullPath = true;
  engine.KeepDamaged = true;
  int progress = 0;
  engine.OnProgress = [&](TBackupFile&, const std::string& File, TPercentage Percent,
                          bool& Continue) {
    r.Events.push_back("progress " + File + " " + std::to_string(Percent));
    if (++progress == O.StopAtEvent) Continue = false;
  };
  engine.Hooks.ProcessMessages = [&] { r.Events.emplace_back("messages"); };
  engine.OnRestoreFile = [&](TBackupFile&, std::string& File, int32_t Stamp, bool& Restore) {
    r.Events.push_back("restore? " + File + " " + std::to_string(Stamp) + " " +
                       std::to_string(Restore));
  };
  if (O.WatchRestored) {
    engine.OnFileRestored = [&](TBackupFile&, std::string& File, std::unique_ptr<TFileStream>&) {
      r.Events.push_back("restored " + File);
    };
  }
  engine.OnDamage = [&](TBackupFile&, const TDamage& D) {
    r.Events.push_back("damage " + D.Filename + " " + std::to_string(D.Volume) + " " +
                       std::to_string(D.Offset) + " " + D.Reason);
  };
  uint16_t asked = 0;
  engine.OnNeedDisk = [&](TBackupFile&, uint16_t Disk, bool& Continue) {
    r.Events.push_back("disk " + std::to_string(Disk));
    // A volume asked for again is missing: the user gives up.
    if (Disk == O.RefuseDisk || Disk == asked) Continue = false;
    asked = Disk;
  };
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
    r.Events.push_back("error " + std::to_string(Code));
  };
  switch (O.How) {
    case Run::Restore:
      r.Result = engine.Restore(Archive, out.path());
      break;
    case Run::Test:
      r.Result = engine.Test(Archive);
      break;
    case Run::RestoreFromPipe: {
      PipeSource pipe(test::ReadFile(Archive));
      r.Result = engine.RestoreFromStream(pipe.Stream(), out.path());
      break;
    }
  }
  r.Code = engine.ErrorCode();
  r.FilesDone = engine.FilesDone();
  r.BytesDone = engine.BytesDone();
  r.ArchiveBytes = engine.ArchiveBytes();
  r.Incomplete = engine.Incomplete();
  r.Tree = ReadTree(out.path());
  // Names below the folder carry its temporary path; the trees of two runs
  // are compared by what lies beneath.
  for (auto& event : r.Events) {
    for (size_t at; (at = event.find(out.path())) != std::string::npos;)
      event.replace(at, out.path().size(), "OUT");
  }
  EXPECT_FALSE(engine.Busy());
  return r;
}

// One thread against several: the recordings must be the same.
Recording Compare(const std::string& Archive, const Options& O, const std::string& What) {
  const Recording one = Record(Archive, 1, O);
  for (unsigned threads : {2u, 5u}) ExpectSame(one, Record(Archive, threads, O), What);
  return one;
}

// Files of every shape the reader treats differently: empty, one byte, one
// piece exactly, stored pieces, many deflated pieces, a mix.
std::map<std::string, std::string> MakeTree(const std::string& Root) {
  const std::map<std::string, std::string> files = {
      {"empty", ""},
      {"one", "x"},
      {"piece.bin", test::RandomBytes(16384, 1)},
      {"a/text.txt", test::TextBytes(900000, 2)},
      {"a/b/random.bin", test::RandomBytes(150000, 3)},
      {"a/b/mixed.bin", test::TextBytes(70000, 4) + test::RandomBytes(50000, 5)},
      {"small/1.txt", test::TextBytes(3000, 6)},
      {"small/2.txt", test::TextBytes(20000, 7)},
      {"small/3.txt", test::TextBytes(33000, 8)},
  };
  for (const auto& [name, bytes] : files) test::WriteFile(Root + "/" + name, bytes);
  return files;
}

std::string BackUp(const TempDir& Dir, int32_t MaxSize) {
  TBackupFile engine;
  engine.CompressionLevel = clDefault;
  engine.MaxSize = MaxSize;
  engine.Threads = 2;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  const std::string archive = Dir / "out/tree.bkp";
  fs::create_directories(Dir / "out");
  EXPECT_TRUE(engine.Backup({Dir / "src/*.* /s"}, archive));
  return archive;
}

// What lies beneath the restored copy of the source folder.
std::map<std::string, std::string> SourceCopy(const Recording& R, const std::string& Source) {
  std::map<std::string, std::string> copy;
  const std::string prefix =
      fs::path(test::BelowFolder("", Source)).relative_path().generic_string() + "/";
  for (const auto& [path, bytes] : R.Tree)
    if (path.compare(0, prefix.size(), prefix) == 0) copy[path.substr(prefix.size())] = bytes;
  return copy;
}

TEST(RestoreThreads, SoundArchiveRestoresAndTestsAlikeAndStopsAlikeAtEveryPoint) {
  TempDir dir;
  const auto files = MakeTree(dir / "src");
  const std::string archive = BackUp(dir, 0);

  const Recording full = Compare(archive, {}, "restore");
  EXPECT_TRUE(full.Result);
  EXPECT_EQ(files, SourceCopy(full, dir / "src"));
  EXPECT_TRUE(Compare(archive, {Run::Test}, "test").Result);
  EXPECT_TRUE(Compare(archive, {Run::RestoreFromPipe}, "pipe").Result);

  // A stop at any progress event: mid file, between files, at a
  // terminator, in restore and in test. The stopped file never lands and
  // the archive is read no further than where the stop came.
  int events = 0;
  for (const auto& e : full.Events) events += e.rfind("progress", 0) == 0 ? 1 : 0;
  ASSERT_GT(events, 60);
  for (int stop = 1; stop < events; stop += 7) {
    const Recording stopped =
        Compare(archive, {Run::Restore, stop}, "restore stopped at " + std::to_string(stop));
    EXPECT_FALSE(stopped.Result);
    EXPECT_LT(stopped.ArchiveBytes, full.ArchiveBytes);
    Compare(archive, {Run::Test, stop}, "test stopped at " + std::to_string(stop));
  }
}

TEST(RestoreThreads, SplitArchiveAsksTheSameQuestionsAndJoinsTheSameFiles) {
  TempDir dir;
  const auto files = MakeTree(dir / "src");
  const std::string archive = BackUp(dir, 60000);
  ASSERT_TRUE(fs::exists(dir / "out/tree.002"));

  const Recording full = Compare(archive, {}, "split restore");
  EXPECT_TRUE(full.Result);
  EXPECT_EQ(files, SourceCopy(full, dir / "src"));
  Compare(archive, {Run::Test}, "split test");
  // Cancelled at the third volume: the file it splits is not put in place.
  const Recording cancelled = Compare(archive, {Run::Restore, 0, 3}, "split cancelled");
  EXPECT_FALSE(cancelled.Result);
  EXPECT_LT(cancelled.Tree.size(), full.Tree.size());
  Compare(archive, {Run::Restore, 0, 3, false}, "split cancelled, written behind");
  // A volume that is gone costs the file it splits and ends the run.
  fs::remove(dir / "out/tree.003");
  Compare(archive, {}, "split missing volume");
  Compare(archive, {Run::Restore, 0, 0, false}, "split missing volume, written behind");
}

// The writer thread keeps behind the reading across folders; wherever a
// file it still holds could change what the run finds, the run waits for
// it. Each such case against the one-thread run, stopped at many points.
TEST(RestoreThreads, FilesWrittenBehindTheReadingAreThoseOfOneThread) {
  const int32_t stamp = test::Stamp(2021, 3, 3, 3, 3, 3);
  ArchiveBuilder b;
  b.Header("behind", 0, 0);
  for (int i = 0; i < 300; ++i)
    b.File("/f" + std::to_string(i / 40) + "/" + std::to_string(i), stamp,
           test::TextBytes(100 + i * 37, i));
  // A file, then a folder of that name: the folder cannot be made.
  b.File("/d/x", stamp, "file x").File("/d/x/y", stamp, "never");
  // One name twice: the later copy replaces the earlier.
  b.File("/f0/0", stamp, "second copy").File("/f7/z", stamp, "");
  std::string bad = test::Deflate(test::TextBytes(16384, 1));
  bad[bad.size() / 2] ^= 0x55;
  b.Name("/f1/damaged").Int(stamp).Signature().DeflatedChunk(bad).Int(0);
  b.File("/f1/damaged.damaged", stamp, "stored under the kept copy's name");
  b.File("/last", stamp, "last").End();
  TempDir dir;
  const std::string archive = dir / "behind.bkp";
  b.Save(archive);

  const Recording one = Compare(archive, {Run::Restore, 0, 0, false}, "written behind");
  EXPECT_FALSE(one.Result);
  EXPECT_EQ(1, one.Code);  // the folder that could not be made
  EXPECT_EQ(305, one.FilesDone);
  EXPECT_EQ("file x", one.Tree.at("d/x"));
  EXPECT_EQ("second copy", one.Tree.at("f0/0"));
  EXPECT_EQ("stored under the kept copy's name", one.Tree.at("f1/damaged.damaged"));
  // The copy made way for it: nothing is written over anything.
  EXPECT_EQ(1u, one.Tree.count("f1/damaged.damaged.1"));
  EXPECT_EQ("last", one.Tree.at("last"));
  EXPECT_EQ(test::TextBytes(100 + 299 * 37, 299), one.Tree.at("f7/299"));
  for (int stop = 1; stop < 330; stop += 23)
    Compare(archive, {Run::Restore, stop, 0, false},
            "written behind, stopped at " + std::to_string(stop));
}

TEST(RestoreThreads, DamageIsFoundReportedAndKeptAlike) {
  const int32_t stamp = test::Stamp(2020, 2, 2, 2, 2, 2);
  const std::string text = test::TextBytes(40 * 16384, 9);
  const std::string good = test::Deflate(text.substr(0, 16384));
  std::string bad = test::Deflate(text.substr(16384, 16384));
  bad[bad.size() / 2] ^= 0x55;  // fails the check value

  ArchiveBuilder b;
  b.Header("damaged", 0, 0).File("/before.txt", stamp, text);
  // One damaged chunk among many: the file is kept aside with zeros there.
  b.Name("/one bad chunk.txt").Int(stamp).Signature();
  for (int i = 0; i < 30; ++i) b.DeflatedChunk(i == 17 ? bad : good);
  b.Int(0);
  // A damaged last chunk: its zeros are as long as what it still gave.
  b.Name("/bad tail.txt").Int(stamp).Signature().DeflatedChunk(good).DeflatedChunk(bad).Int(0);
  // Two damaged chunks: the section is broken and the next entry searched for.
  b.Name("/two bad chunks.txt").Int(stamp).Signature();
  for (int i = 0; i < 25; ++i) b.DeflatedChunk(i == 5 || i == 20 ? bad : good);
  b.Int(0).File("/after two.txt", stamp, text.substr(0, 50000));
  // An impossible length read ahead of many sound chunks.
  b.Name("/impossible.txt").Int(stamp).Signature();
  for (int i = 0; i < 20; ++i) b.DeflatedChunk(good);
  b.Int(70000).Raw(good).Int(0);
  b.File("/after impossible.txt", stamp, text.substr(0, 70000));
  // Cut inside a chunk, with many chunks read ahead before it.
  b.Name("/cut.txt").Int(stamp).Signature();
  for (int i = 0; i < 20; ++i) b.DeflatedChunk(good);
  const std::string whole = b.Bytes();

  TempDir dir;
  const std::string archive = dir / "damaged.bkp";
  test::WriteFile(archive, whole + whole.substr(whole.size() - 9000, 300));

  Recording one = Compare(archive, {}, "damaged restore");
  EXPECT_FALSE(one.Result);
  EXPECT_EQ(6, one.Code);
  EXPECT_TRUE(one.Incomplete);
  EXPECT_EQ(text, one.Tree["before.txt"]);
  EXPECT_EQ(text.substr(0, 50000), one.Tree["after two.txt"]);
  EXPECT_EQ(text.substr(0, 70000), one.Tree["after impossible.txt"]);
  std::string expected;
  for (int i = 0; i < 30; ++i)
    expected += i == 17 ? std::string(16384, '\0') : text.substr(0, 16384);
  EXPECT_EQ(expected, one.Tree["one bad chunk.txt.damaged"]);
  EXPECT_EQ(0u, one.Tree.count("one bad chunk.txt"));
  int damages = 0;
  for (const auto& e : one.Events) damages += e.rfind("damage", 0) == 0 ? 1 : 0;
  EXPECT_GE(damages, 5);
  Compare(archive, {Run::Test}, "damaged test");
  // Stops among the damage, where read-ahead is furthest from the reader.
  for (int stop : {40, 60, 90, 120})
    Compare(archive, {Run::Restore, stop}, "damaged stopped at " + std::to_string(stop));
}

}  // namespace
}  // namespace kelmora
