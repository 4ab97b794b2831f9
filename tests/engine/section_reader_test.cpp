// SPDX-License-Identifier: GPL-3.0-or-later
//
// Data sections read back or stepped over, damaged sections, and the
// archive title with its file-ID list.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "engine/archive_format.h"
#include "engine/restore_builder.h"
#include "kelmora/backup_file.h"
#include "platform/file.h"
#include "test_support.h"

namespace kelmora {
namespace {

using test::ArchiveBuilder;
using test::Deflate;
using test::StreamOf;

// The continue flag is only ever raised by an operation; a restore of an
// empty archive leaves it raised, as a running restore would have it.
void RaiseContinueFlag(TBackupFile& Engine) {
  TMemoryStream empty = StreamOf(ArchiveBuilder().Header().End().Bytes());
  ASSERT_TRUE(Engine.RestoreFromStream(&empty, ""));
}

struct Progress {
  int events = 0;
  std::vector<int64_t> bytesDone;
};

void CountProgress(TBackupFile& Engine, Progress& P) {
  Engine.OnProgress = [&P](TBackupFile& Sender, const std::string&, TPercentage, bool&) {
    ++P.events;
    P.bytesDone.push_back(Sender.BytesDone());
  };
}

TEST(DeCompress, WritesStoredAndDeflatedChunksOfAFullPiece) {
  const std::string stored = test::RandomBytes(16384, 3);
  const std::string text = test::TextBytes(16384, 4);
  const std::string z = Deflate(text);
  ASSERT_LT(z.size(), 2000u);
  TMemoryStream source = StreamOf(
      ArchiveBuilder().Signature().StoredChunk(stored).DeflatedChunk(z).Int(0).Int(77).Bytes());
  TBackupFile engine;
  RaiseContinueFlag(engine);
  TMemoryStream target;
  engine.DeCompress(source, &target, true);
  EXPECT_EQ(target.Text(), stored + text);
  EXPECT_EQ(engine.ErrorCode(), 0);
  // Positioned right after the terminator.
  EXPECT_EQ(format::ReadInt32(source), 77);
}

TEST(DeCompress, EmptySectionOnAFileTargetReportsOnceWithoutBytes) {
  test::TempDir dir;
  TMemoryStream source = StreamOf(ArchiveBuilder().Signature().Int(0).Bytes());
  TBackupFile engine;
  RaiseContinueFlag(engine);
  Progress p;
  CountProgress(engine, p);
  {
    TFileStream target(dir / "out", TFileStream::fmCreate);
    engine.DeCompress(source, &target, true);
  }
  EXPECT_EQ(p.events, 1);
  EXPECT_EQ(engine.BytesDone(), 0);
  EXPECT_EQ(test::ReadFile(dir / "out"), "");
}

TEST(DeCompress, ClearContinueFlagReadsOnlyTheSignature) {
  TMemoryStream source = StreamOf(ArchiveBuilder().Signature().StoredChunk("abc").Int(0).Bytes());
  TBackupFile engine;
  RaiseContinueFlag(engine);
  engine.Stop();
  TMemoryStream target;
  engine.DeCompress(source, &target, true);
  EXPECT_EQ(source.Position(), 4);
  EXPECT_EQ(target.Text(), "");
}

TEST(DeCompress, SkippingWithoutTargetPassesEveryChunkAndReportsNothing) {
  TMemoryStream source = StreamOf(
      ArchiveBuilder().Signature().Chunks(test::RandomBytes(40000, 5)).Int(0).Int(99).Bytes());
  TBackupFile engine;
  RaiseContinueFlag(engine);
  Progress p;
  CountProgress(engine, p);
  engine.DeCompress(source, nullptr, false);
  EXPECT_EQ(format::ReadInt32(source), 99);
  EXPECT_EQ(p.events, 0);
}

TEST(DeCompress, SkippingIntoAFileTargetWritesNothingAndCountsFullPieces) {
  test::TempDir dir;
  TMemoryStream source =
      StreamOf(ArchiveBuilder().Signature().StoredChunk("abc").StoredChunk("de").Int(0).Bytes());
  TBackupFile engine;
  RaiseContinueFlag(engine);
  Progress p;
  CountProgress(engine, p);
  {
    TFileStream target(dir / "out", TFileStream::fmCreate);
    engine.DeCompress(source, &target, false);
  }
  EXPECT_EQ(test::ReadFile(dir / "out"), "");
  EXPECT_EQ(p.bytesDone, (std::vector<int64_t>{16384, 32768, 32768}));
}

TEST(DeCompress, StepsOverASectionOnAPipeWithoutSeeking) {
  const std::string section =
      ArchiveBuilder().Signature().Chunks(test::RandomBytes(100000, 6)).Int(0).Int(1234).Bytes();
  test::TestPipe fds;
  std::thread writer([&] {
    fds.Write(section);
    fds.CloseWriter();
  });
  THandleStream pipe(platform::File::Adopt(fds.Reader(), true));
  ASSERT_FALSE(pipe.CanSeek());
  TBackupFile engine;
  RaiseContinueFlag(engine);
  engine.DeCompress(pipe, nullptr, false);
  EXPECT_EQ(format::ReadInt32(pipe), 1234);
  writer.join();
}

TEST(DeCompress, RefusesDamagedFraming) {
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"signature with a fourth byte other than NUL", std::string("EC2\x01", 4) + "\0\0\0\0"},
      {"another signature", std::string("EC3\0\0\0\0\0", 8)},
      {"chunk length 16385", ArchiveBuilder().Signature().Int(16385).Bytes()},
      {"stored chunk length -16385", ArchiveBuilder().Signature().Int(-16385).Bytes()},
      {"most negative length", ArchiveBuilder().Signature().Int(INT32_MIN).Bytes()},
  };
  for (const Case& c : cases) {
    TMemoryStream source = StreamOf(c.bytes);
    TBackupFile engine;
    RaiseContinueFlag(engine);
    TMemoryStream target;
    try {
      engine.DeCompress(source, &target, true);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid archive type") << c.what;
    }
    EXPECT_EQ(target.Text(), "") << c.what;
  }
}

TEST(DeCompress, TruncatedSectionRaisesTheReadError) {
  const std::string cuts[] = {
      "EC", ArchiveBuilder().Signature().Int(-100).Raw("only a few").Bytes(),
      ArchiveBuilder().Signature().StoredChunk("abc").Bytes(),  // no terminator
  };
  for (const std::string& bytes : cuts) {
    TMemoryStream source = StreamOf(bytes);
    TBackupFile engine;
    RaiseContinueFlag(engine);
    TMemoryStream target;
    EXPECT_THROW(engine.DeCompress(source, &target, true), EStreamError) << bytes.size();
    TMemoryStream again = StreamOf(bytes);
    EXPECT_THROW(engine.DeCompress(again, nullptr, false), EStreamError) << bytes.size();
  }
}

TEST(DeCompress, ChunksThatDoNotInflateCleanlyAreCompressionErrors) {
  const std::string text = test::TextBytes(5000, 8);
  std::string badCheck = Deflate(text);
  badCheck.back() ^= 0x55;  // Adler-32 trailer
  std::string cut = Deflate(text);
  cut.resize(cut.size() - 10);  // the stream never ends
  std::string badData = Deflate(text);
  badData[2] = static_cast<char>(0xFF);                          // an invalid block type
  const std::string tooLong = Deflate(std::string(20000, 'z'));  // inflates past one piece
  // A header that asks for a preset dictionary, which no chunk ever has.
  const std::string needsDictionary = std::string("\x78\xbb\0\0\0\1", 6) + Deflate(text).substr(2);

  struct Case {
    const char* what;
    std::string payload;
    size_t maxWritten;
  };
  const Case cases[] = {
      {"Adler-32 mismatch", badCheck, text.size()},
      {"stream cut short", cut, text.size()},
      {"invalid block", badData, 0},
      {"more than 16384 bytes", tooLong, 16384},
      {"preset dictionary", needsDictionary, 0},
  };
  for (const Case& c : cases) {
    TMemoryStream source = StreamOf(ArchiveBuilder()
                                        .Signature()
                                        .DeflatedChunk(c.payload)
                                        .StoredChunk("never reached")
                                        .Int(0)
                                        .Bytes());
    TBackupFile engine;
    RaiseContinueFlag(engine);
    TMemoryStream target;
    engine.DeCompress(source, &target, true);
    EXPECT_EQ(engine.ErrorCode(), 6) << c.what;
    // The section ends after the damaged chunk.
    EXPECT_EQ(source.Position(), static_cast<int64_t>(8 + c.payload.size())) << c.what;
    EXPECT_LE(target.Data().size(), c.maxWritten) << c.what;
    EXPECT_EQ(target.Text().find("never reached"), std::string::npos) << c.what;
  }
}

// ---------------------------------------------------------------- title

struct Errors {
  std::vector<int32_t> codes;
};

void CountErrors(TBackupFile& Engine, Errors& E) {
  Engine.OnError = [&E](TBackupFile&, int32_t Code, const std::string&) {
    E.codes.push_back(Code);
  };
}

std::string ArchiveWithList(const std::string& ListText) {
  return ArchiveBuilder()
      .Header("Monday", 123, 2)
      .Name("FILE:LIST")
      .Int(test::Stamp(2020, 1, 2, 3, 4, 6))
      .Section(ListText)
      .File("/a/x.txt", 0, "x")
      .End()
      .Bytes();
}

TEST(ArchiveTitle, ReadsTitleTotalsAndTheFileIdListWithoutLineEnds) {
  test::TempDir dir;
  const std::string archive = dir / "a.bkp";
  test::WriteFile(archive, ArchiveWithList("/a/x.txt\t1234=1\r\n/a/y z.txt\t-1=22\r\n"));
  TBackupFile engine;
  Errors errors;
  CountErrors(engine, errors);
  TStringList list{"old line"};
  EXPECT_EQ(engine.GetArchiveTitle(archive, &list), "Monday");
  EXPECT_EQ(engine.TotalSize(), 123);
  EXPECT_EQ(engine.FileCount(), 2);
  EXPECT_EQ(list, (TStringList{"/a/x.txt\t1234=1", "/a/y z.txt\t-1=22"}));
  EXPECT_TRUE(errors.codes.empty());
}

TEST(ArchiveTitle, WithoutAFileIdListTheListKeepsItsLines) {
  TMemoryStream stream =
      StreamOf(ArchiveBuilder().Header("t", 5, 1).File("/a/b", 0, "hello").End().Bytes());
  TBackupFile engine;
  TStringList list{"keep", "me"};
  EXPECT_EQ(engine.GetArchiveTitleFromStream(&stream, &list), "t");
  EXPECT_EQ(engine.TotalSize(), 5);
  EXPECT_EQ(engine.FileCount(), 1);
  EXPECT_EQ(list, (TStringList{"keep", "me"}));
}

TEST(ArchiveTitle, WithoutAListOnlyTheHeaderAndTheFirstNameLengthAreRead) {
  TMemoryStream stream = StreamOf(ArchiveWithList("line\r\n"));
  TBackupFile engine;
  EXPECT_EQ(engine.GetArchiveTitleFromStream(&stream, nullptr), "Monday");
  EXPECT_EQ(stream.Position(), 4 + 6 + 4 + 4 + 4);
  EXPECT_EQ(engine.FileCount(), 2);
}

TEST(ArchiveTitle, ArchiveEndingEarlyIsInvalidButKeepsWhatWasRead) {
  test::TempDir dir;
  const std::string full = ArchiveBuilder().Header("Title", 777, 3).End().Bytes();
  struct Case {
    size_t keep;
    std::string title;
    int64_t total;
  };
  const Case cases[] = {{2, "", 0}, {9, "Title", 0}, {13, "Title", 777}, {17, "Title", 777}};
  for (const Case& c : cases) {
    test::WriteFile(dir / "cut.bkp", full.substr(0, c.keep));
    TBackupFile engine;
    Errors errors;
    CountErrors(engine, errors);
    TStringList list;
    EXPECT_EQ(engine.GetArchiveTitle(dir / "cut.bkp", &list), c.title) << c.keep;
    EXPECT_EQ(engine.TotalSize(), c.total) << c.keep;
    EXPECT_EQ(errors.codes, std::vector<int32_t>{5}) << c.keep;
  }
}

TEST(ArchiveTitle, AMissingArchiveGivesAnEmptyTitleAndItsFailure) {
  test::TempDir dir;
  TBackupFile engine;
  Errors errors;
  CountErrors(engine, errors);
  TStringList list{"x"};
  EXPECT_EQ(engine.GetArchiveTitle(dir / "none.bkp", &list), "");
  EXPECT_EQ(engine.Failure().Subject, dir / "none.bkp");
  EXPECT_EQ(engine.GetArchiveTitle(dir.path(), &list), "");  // a folder is no archive
  EXPECT_EQ(engine.Failure().Subject, dir.path());
  EXPECT_EQ(errors.codes, (std::vector<int32_t>{beCannotReadArchive, beCannotReadArchive}));
  EXPECT_EQ(list, TStringList{"x"});
  EXPECT_EQ(engine.GetArchiveTitleFromStream(nullptr, &list), "");
}

TEST(ArchiveTitle, DamagedFileIdListIsReportedAndNotHandedOutInPart) {
  std::string bytes = ArchiveWithList("line one\r\nline two\r\n");
  const size_t signature = bytes.find("EC2");
  ASSERT_NE(signature, std::string::npos);
  std::string badSignature = bytes;
  badSignature[signature + 2] = '3';
  std::string badChunk = bytes;
  badChunk[signature + 8 + 2] ^= 0x40;  // inside the zlib stream

  for (const auto& [damaged, code] : {std::pair{badSignature, 5}, std::pair{badChunk, 6}}) {
    TMemoryStream stream = StreamOf(damaged);
    TBackupFile engine;
    Errors errors;
    CountErrors(engine, errors);
    TStringList list{"previous"};
    EXPECT_EQ(engine.GetArchiveTitleFromStream(&stream, &list), "Monday");
    EXPECT_EQ(errors.codes, std::vector<int32_t>{code});
    EXPECT_EQ(list, TStringList{"previous"});
  }
}

// The writer may cut the list itself at a volume change; the listing must
// follow it into the next volumes, and a list it cannot follow is damage.
TEST(ArchiveTitle, FileIdListSplitOverVolumesIsReadWhole) {
  test::TempDir dir;
  std::vector<std::string> names;
  for (int i = 0; i < 400; ++i) {
    names.push_back(dir / ("src/file number " + std::to_string(i) + " with a long name.txt"));
    test::WriteFile(names.back(), test::RandomBytes(5, i));
  }
  TBackupFile engine;
  engine.SaveFileID = true;
  engine.CompressionLevel = clNone;  // a stored list takes one volume per piece
  engine.MaxSize = kSmallestVolumeSize;
  engine.OnNeedDisk = [](TBackupFile&, uint16_t, bool&) {};
  ASSERT_TRUE(engine.Backup({dir / "src/*.*"}, dir / "a.bkp"));
  ASSERT_TRUE(std::filesystem::exists(dir / "a.003"));  // the list alone needs two volumes

  Errors errors;
  CountErrors(engine, errors);
  TStringList list;
  engine.GetArchiveTitle(dir / "a.bkp", &list);
  EXPECT_TRUE(errors.codes.empty());
  ASSERT_EQ(list.size(), names.size());
  std::sort(list.begin(), list.end());
  std::sort(names.begin(), names.end());
  for (size_t i = 0; i < names.size(); ++i)
    EXPECT_EQ(list[i].substr(0, list[i].find('\t')), names[i]);

  std::filesystem::remove(dir / "a.002");
  list = {"previous"};
  engine.GetArchiveTitle(dir / "a.bkp", &list);
  EXPECT_EQ(errors.codes, std::vector<int32_t>{5});
  EXPECT_EQ(list, TStringList{"previous"});
}

}  // namespace
}  // namespace kelmora
