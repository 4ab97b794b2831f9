// SPDX-License-Identifier: GPL-3.0-or-later
//
// A damaged file kept aside on request takes a name nothing else has: not
// a file that was there, not one this run wrote, not the archive.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;

std::string LittleEndian32(size_t Value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((Value >> (8 * i)) & 0xFF);
  return out;
}

// Backs Files up, in that order, into Archive, then damages a byte inside
// the first compressed piece of each file in Damaged.
void BackUpAndDamage(const std::vector<std::string>& Files, const std::string& Archive,
                     const std::vector<std::string>& Damaged) {
  TBackupFile engine;
  if (!engine.Backup(Files, Archive)) throw std::runtime_error("backup failed");
  std::string bytes = test::ReadFile(Archive);
  for (const std::string& name : Damaged) {
    // Name length and name, time stamp, signature, the piece's length.
    const size_t at = bytes.find(LittleEndian32(name.size()) + name);
    if (at == std::string::npos) throw std::runtime_error("not stored: " + name);
    const size_t piece = at + 4 + name.size() + 4 + 4 + 4;
    if (test::LE32(bytes, piece - 4) <= 20) throw std::runtime_error("not deflated: " + name);
    bytes[piece + 10] = static_cast<char>(bytes[piece + 10] ^ 0x55);
  }
  test::WriteFile(Archive, bytes);
}

struct Kept {
  bool result = true;
  std::vector<int32_t> errors;
  std::vector<std::string> damaged;  // stored names, as OnDamage named them
  std::vector<std::string> clashes;  // "stored<-earlier"
};

Kept RestoreKeeping(const std::string& Archive, const std::string& Folder, TRestoreMode Mode,
                    unsigned Threads, bool FullPath) {
  TBackupFile engine;
  engine.KeepDamaged = true;
  engine.RestoreMode = Mode;
  engine.Threads = Threads;
  engine.RestoreFullPath = FullPath;
  Kept k;
  engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
    k.errors.push_back(Code);
  };
  engine.OnDamage = [&](TBackupFile&, const TDamage& D) { k.damaged.push_back(D.Filename); };
  engine.OnNameClash = [&](TBackupFile&, const std::string& Stored, const std::string& Earlier,
                           const std::string&) { k.clashes.push_back(Stored + "<-" + Earlier); };
  k.result = engine.Restore(Archive, Folder);
  return k;
}

// x.damaged is restored first, a file of the user's already has the name
// x.damaged.1, and x is damaged: its copy goes to x.damaged.2. y is
// damaged before a sound y.damaged comes: its copy takes y.damaged first,
// then makes way for the stored file and moves on to y.damaged.1. Nothing
// is written over anything, and nothing is a clash.
TEST(RestoreKept, TheKeptCopyTakesAFreeNameInEveryModeWithAnyThreads) {
  const std::string text = test::TextBytes(40000, 5);
  for (const TRestoreMode mode : {rmAll, rmNoOverwrite, rmNewer}) {
    for (const unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(std::to_string(int(mode)) + " threads " + std::to_string(threads));
      test::TempDir dir;
      // In the system's own separators, as the archive stores the names.
      const auto in = [&dir](const std::string& Name) { return dir / ("src/" + Name); };
      test::WriteFile(in("x.damaged"), "sound x.damaged");
      test::WriteFile(in("x"), text);
      test::WriteFile(in("y"), text);
      test::WriteFile(in("y.damaged"), "sound y.damaged");
      BackUpAndDamage({in("x.damaged"), in("x"), in("y"), in("y.damaged")},
                      dir / "a.bkp", {in("x"), in("y")});
      const std::string out = dir / "out";
      test::WriteFile(out + "/x.damaged.1", "the user's own");

      const Kept k = RestoreKeeping(dir / "a.bkp", out, mode, threads, false);
      EXPECT_FALSE(k.result);
      EXPECT_EQ(k.damaged, (std::vector<std::string>{in("x"), in("y")}));
      EXPECT_EQ(k.errors, std::vector<int32_t>{6});
      EXPECT_TRUE(k.clashes.empty());
      EXPECT_TRUE(test::ReadFile(out + "/x.damaged") == "sound x.damaged");
      EXPECT_TRUE(test::ReadFile(out + "/y.damaged") == "sound y.damaged");
      EXPECT_EQ(test::ReadFile(out + "/x.damaged.1"), "the user's own");
      for (const std::string& copy : {out + "/x.damaged.2", out + "/y.damaged.1"}) {
        const std::string kept = test::ReadFile(copy);
        ASSERT_EQ(kept.size(), text.size()) << copy;
        EXPECT_TRUE(kept.substr(0, 16384) == std::string(16384, '\0')) << copy;
        EXPECT_TRUE(kept.substr(16384) == text.substr(16384)) << copy;
      }
      EXPECT_FALSE(fs::exists(out + "/x")) << "a damaged file never takes its own name";
      EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 5);
    }
  }
}

// The archive one.damaged holds a file named one, restored flat into the
// archive's own folder: the copy must not replace the archive being read.
TEST(RestoreKept, TheArchiveItselfIsNeverTheKeptCopysName) {
  for (const unsigned threads : {1u, 4u}) {
    test::TempDir dir;
    const std::string text = test::TextBytes(40000, 6);
    test::WriteFile(dir / "src/one", text);
    test::WriteFile(dir / "src/two", "two");
    const std::string archive = dir / "one.damaged";
    BackUpAndDamage({dir / "src/one", dir / "src/two"}, archive, {dir / "src/one"});
    const std::string bytes = test::ReadFile(archive);

    const Kept k = RestoreKeeping(archive, dir.path(), rmAll, threads, false);
    EXPECT_FALSE(k.result);
    EXPECT_EQ(k.errors, std::vector<int32_t>{6});
    EXPECT_TRUE(test::ReadFile(archive) == bytes) << threads;
    ASSERT_TRUE(fs::exists(dir / "one.damaged.1")) << threads;
    EXPECT_TRUE(test::ReadFile(dir / "one.damaged.1").substr(16384) == text.substr(16384));
    EXPECT_EQ(test::ReadFile(dir / "two"), "two");
    // Restored again, the first copy is kept too.
    RestoreKeeping(archive, dir.path(), rmAll, threads, false);
    EXPECT_TRUE(test::ReadFile(archive) == bytes) << threads;
    EXPECT_TRUE(fs::exists(dir / "one.damaged.2")) << threads;
  }
}

}  // namespace
}  // namespace kelmora
