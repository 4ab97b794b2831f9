// SPDX-License-Identifier: GPL-3.0-or-later
//
// The file-ID list: names that hold line breaks or TABs keep the list one
// line per file, and a list that inflates without bound is damage, never
// an allocation.
#include "engine/file_id_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "test_support.h"

namespace kelmora {
namespace {

namespace fs = std::filesystem;
using test::ArchiveBuilder;
using test::TempDir;

TEST(FileIdList, OnlyNamesWithTabsOrLineBreaksAreQuoted) {
  EXPECT_EQ(format::FileIdLine("/home/a b\\c:d\"e.txt", 5, 7), "/home/a b\\c:d\"e.txt\t5=7");
  EXPECT_EQ(format::FileIdLine("/a\tb", 1, 2), "\"/a\\tb\"\t1=2");
  EXPECT_EQ(format::FileIdLine("/x\r\ny\\\"", -1, 0), "\"/x\\r\\ny\\\\\\\"\"\t-1=0");

  const std::string names[] = {"/plain.txt",     "/tab\there",  "/lf\nhere", "/cr\rhere",
                               "/all\t\r\n\"\\", "/\"quoted\"", "/ends\\"};
  for (const std::string& name : names) {
    const std::string line = format::FileIdLine(name, -123, int64_t{5} << 32);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << name;
    format::FileIdEntry entry;
    ASSERT_TRUE(format::ParseFileIdLine(line, entry)) << line;
    EXPECT_EQ(entry.Path, name);
    EXPECT_EQ(entry.Stamp, -123);
    EXPECT_EQ(entry.Size, int64_t{5} << 32);
  }
  // Lines written before names were quoted keep their meaning, a TAB in
  // the name included: the last TAB separates.
  format::FileIdEntry old;
  ASSERT_TRUE(format::ParseFileIdLine("c:\\temp\\new\\readme.txt\t9=10", old));
  EXPECT_EQ(old.Path, "c:\\temp\\new\\readme.txt");
  ASSERT_TRUE(format::ParseFileIdLine("/a\tb\t9=10", old));
  EXPECT_EQ(old.Path, "/a\tb");

  for (const char* bad : {"", "/no tab", "/x\t=1", "/x\t1=", "/x\t1=-2", "/x\t1=2x", "\"/open\t1=2",
                          "\"/bad\\q\"\t1=2", "\"/x\"y\t1=2", "/x\t99999999999=1"}) {
    format::FileIdEntry entry;
    EXPECT_FALSE(format::ParseFileIdLine(bad, entry)) << bad;
  }
}

// What a killed backup's list may hold, however far it got, and nothing
// else: the clean-up of the temporary folder goes by it.
TEST(FileIdList, TheStartOfAListIsToldFromOtherText) {
  const std::string list = format::FileIdLine("/home/a.txt", 5, 7) + "\r\n" +
                           format::FileIdLine("/tab\there", -1, 0) + "\r\n" +
                           format::FileIdLine("c:\\x.txt", 2, 3) + "\r\n";
  for (size_t length = 0; length <= list.size(); ++length)
    EXPECT_TRUE(format::LooksLikeFileIdList(list.substr(0, length))) << length;
  for (const char* other :
       {"shopping list\r\n", "/a\t1=2\r\nnotes", "/a\r\n", "#!/bin/sh\n", "\r\n"})
    EXPECT_FALSE(format::LooksLikeFileIdList(other)) << other;
}

TEST(FileIdList, NamesWithLineBreaksRoundTripThroughBackupListAndRestore) {
  KELMORA_POSIX_ONLY("names with tabs or line breaks");
  test::TempDir dir;
  const std::string names[] = {"tab\tname.txt", "line\nfeed.txt", "carriage\rreturn.txt",
                               "plain.txt"};
  TStringList sources;
  for (const std::string& name : names) {
    test::WriteFile(dir / ("src/" + name), "bytes of " + name);
    sources.push_back(dir / ("src/" + name));
  }
  TBackupFile engine;
  engine.SaveFileID = true;
  ASSERT_TRUE(engine.Backup(sources, dir / "a.bkp"));

  TStringList lines{"stale"};
  TBackupFile lister;
  lister.GetArchiveTitle(dir / "a.bkp", &lines);
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    format::FileIdEntry entry;
    ASSERT_TRUE(format::ParseFileIdLine(lines[i], entry)) << lines[i];
    EXPECT_EQ(entry.Path, sources[i]);
    EXPECT_EQ(entry.Size, static_cast<int64_t>(9 + names[i].size()));
  }

  TBackupFile restorer;
  ASSERT_TRUE(restorer.Restore(dir / "a.bkp", dir / "out"));
  for (const std::string& name : names)
    EXPECT_EQ(test::ReadFile(dir / ("out/" + name)), "bytes of " + name);
}

// A file-ID list entry whose text is Pieces repetitions of Piece, each
// piece its own compressed chunk, as the writer would cut it.
std::string ArchiveWithList(const std::string& Piece, size_t Pieces) {
  ArchiveBuilder b;
  b.Header("t", 0, 0).Name(format::kFileListName).Int(0).Signature();
  const std::string z = test::Deflate(Piece, 9);
  for (size_t i = 0; i < Pieces; ++i) b.DeflatedChunk(z);
  return b.Int(0).End().Bytes();
}

TEST(FileIdList, AListBeyondItsBoundsIsDamageAndIsNotHandedOut) {
  std::string lines;
  while (lines.size() + 8 <= 16384) lines += "/a\t0=0\r\n";
  struct Case {
    const char* what;
    std::string archive;
    const char* reason;
  };
  const Case cases[] = {
      // 64 MiB and one more piece: a 400 KB archive.
      {"total",
       ArchiveWithList(std::string(16383, 'x') + "\n", format::kMaxFileIdListBytes / 16384 + 1),
       "64 MiB"},
      {"lines", ArchiveWithList(lines, format::kMaxFileIdLines / 2048 + 1), "lines"},
      {"one line", ArchiveWithList(std::string(16384, 'y'), 5), "64 KiB"},
  };
  for (const Case& c : cases) {
    TMemoryStream stream = test::StreamOf(c.archive);
    TBackupFile engine;
    std::vector<int32_t> errors;
    std::vector<TDamage> damages;
    engine.OnError = [&](TBackupFile&, int32_t Code, const std::string&) {
      errors.push_back(Code);
    };
    engine.OnDamage = [&](TBackupFile&, const TDamage& D) { damages.push_back(D); };
    TStringList list{"kept"};
    EXPECT_EQ(engine.GetArchiveTitleFromStream(&stream, &list), "t") << c.what;
    EXPECT_EQ(list, TStringList{"kept"}) << c.what;
    EXPECT_EQ(errors, std::vector<int32_t>{beInvalidArchive}) << c.what;
    ASSERT_EQ(damages.size(), 1u) << c.what;
    EXPECT_EQ(damages[0].Filename, format::kFileListName);
    EXPECT_EQ(damages[0].Offset, 4 + 1 + 8) << c.what;
    EXPECT_NE(damages[0].Reason.find(c.reason), std::string::npos) << damages[0].Reason;
  }
  // Just inside the bounds the list is read whole.
  TMemoryStream stream = test::StreamOf(ArchiveWithList(std::string(16383, 'z') + "\n", 3));
  TBackupFile engine;
  TStringList list;
  engine.GetArchiveTitleFromStream(&stream, &list);
  EXPECT_EQ(engine.ErrorCode(), beNone);
  EXPECT_EQ(list.size(), 3u);
}

// The backup's list, read back as a reader takes it in, a byte at a time so
// that a CR and its LF arrive apart: one entry per file whatever its name
// holds. Its temporary file goes with the writer; one that cannot be made
// is a failure with the system's reason.
TEST(FileIdList, WrittenListReadsBackAndItsFileGoesWithTheWriter) {
  TempDir dir;
  const char* was = std::getenv("TMPDIR");
  const std::string before = was != nullptr ? was : "";
  fs::create_directory(dir / "tmp");
  test::SetEnvironment("TMPDIR", dir / "tmp");
  const std::vector<format::FileIdEntry> files = {
      {"/a.txt", 5, 7}, {"/tab\there\r\nx", -1, int64_t{5} << 32}, {"/z", 0, 0}};
  std::string name;
  {
    FileIdListWriter writer;
    for (const format::FileIdEntry& file : files) writer.Add(file.Path, file.Stamp, file.Size);
    const size_t written = writer.Save();
    name = writer.FileName();
    ASSERT_EQ(fs::path(name).parent_path(), fs::path(dir / "tmp"));
    const std::string text = test::ReadFile(name);
    EXPECT_EQ(written, text.size());
    EXPECT_TRUE(format::LooksLikeFileIdList(text));
    std::vector<format::FileIdEntry> read;
    FileIdListSink sink([&read](std::string&& Line) {
      format::FileIdEntry entry;
      EXPECT_TRUE(format::ParseFileIdLine(Line, entry)) << Line;
      read.push_back(entry);
    });
    for (const char c : text) sink.Write(&c, 1);
    sink.Finish();
    ASSERT_EQ(read.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(read[i].Path, files[i].Path);
      EXPECT_EQ(read[i].Stamp, files[i].Stamp);
      EXPECT_EQ(read[i].Size, files[i].Size);
    }
  }
  EXPECT_FALSE(fs::exists(name));

  test::SetEnvironment("TMPDIR", dir / "missing");
  FileIdListWriter writer;
  writer.Add("/a", 1, 1);
  try {
    writer.Save();
    ADD_FAILURE() << "a list was saved in a missing folder";
  } catch (const EStreamError& e) {
#ifdef _WIN32
    // Windows calls a missing folder there an invalid one.
    EXPECT_TRUE(e.SystemError() == ENOENT || e.SystemError() == ENOTDIR) << e.SystemError();
#else
    EXPECT_EQ(e.SystemError(), ENOENT);
#endif
  }
  EXPECT_EQ(writer.FileName(), "");
  if (was != nullptr)
    test::SetEnvironment("TMPDIR", before);
  else
    test::UnsetEnvironment("TMPDIR");
}

// The reader's bounds, exactly: the last line and byte allowed are taken,
// one more is refused, and a line's text is never cut or merged at a
// write's edge.
TEST(FileIdList, SinkTakesItsBoundsExactly) {
  size_t lines = 0;
  FileIdListSink atLimit([&lines](std::string&& Line) {
    ++lines;
    EXPECT_EQ(Line, "x");
  });
  const std::string block(64 * 1024, 'x');
  std::string text;
  for (size_t i = 0; i < block.size() / 2; ++i) text += "x\n";
  size_t fed = 0;
  while (fed + text.size() <= format::kMaxFileIdLines * 2) {
    atLimit.Write(text.data(), text.size());
    fed += text.size();
  }
  ASSERT_EQ(fed, format::kMaxFileIdLines * 2);
  EXPECT_EQ(lines, format::kMaxFileIdLines);
  EXPECT_THROW(atLimit.Write("x\n", 2), FileIdListTooLarge);

  std::vector<std::string> got;
  const std::string longest(format::kMaxFileIdLineBytes, 'y');
  FileIdListSink exact([&got](std::string&& Line) { got.push_back(std::move(Line)); });
  exact.Write(longest.data(), longest.size());
  exact.Write("\nab", 3);
  exact.Finish();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], longest);
  EXPECT_EQ(got[1], "ab");
  FileIdListSink over([](std::string&&) {});
  over.Write(longest.data(), longest.size());
  EXPECT_THROW(over.Write("y", 1), FileIdListTooLarge);
}

}  // namespace
}  // namespace kelmora
