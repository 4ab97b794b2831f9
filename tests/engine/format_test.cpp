// SPDX-License-Identifier: GPL-3.0-or-later
//
// The archive records byte for byte: header layout, integers, names of
// volumes, and the guards that keep damaged lengths from sizing a read.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "engine/archive_format.h"
#include "test_support.h"

namespace kelmora::format {
namespace {

using test::LE32;

std::string Bytes(const TMemoryStream& m) {
  return m.Text();
}

TMemoryStream StreamOf(const std::string& bytes) {
  TMemoryStream m;
  m.WriteBuffer(bytes.data(), bytes.size());
  m.Seek(0, SeekOrigin::Begin);
  return m;
}

std::string InvalidMessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(FormatIntegers, LittleEndianBothWays) {
  TMemoryStream m;
  WriteInt32(m, 0x12345678);
  WriteInt32(m, -2);
  WriteInt32(m, INT32_MIN);
  EXPECT_EQ(Bytes(m), std::string("\x78\x56\x34\x12\xFE\xFF\xFF\xFF\x00\x00\x00\x80", 12));
  m.Seek(0, SeekOrigin::Begin);
  EXPECT_EQ(ReadInt32(m), 0x12345678);
  EXPECT_EQ(ReadInt32(m), -2);
  EXPECT_EQ(ReadInt32(m), INT32_MIN);
  EXPECT_EQ(InvalidMessageOf([&] { ReadInt32(m); }), kStreamReadError);
  TMemoryStream three = StreamOf("abc");
  EXPECT_EQ(InvalidMessageOf([&] { ReadInt32(three); }), kStreamReadError);
}

TEST(FormatHeader, EmptyTitleIsTwelveBytes) {
  TMemoryStream m;
  WriteHeader(m, Header{"", 0, 0});
  EXPECT_EQ(Bytes(m), std::string(12, '\0'));
}

TEST(FormatHeader, ThreeCharacterTitleMovesLaterFields) {
  TMemoryStream m;
  WriteHeader(m, Header{"abc", 1000, 7});
  const std::string b = Bytes(m);
  ASSERT_EQ(b.size(), 15u);
  EXPECT_EQ(LE32(b, 0), 3);
  EXPECT_EQ(b.substr(4, 3), "abc");
  EXPECT_EQ(LE32(b, 7), 1000);
  EXPECT_EQ(LE32(b, 11), 7);

  m.Seek(0, SeekOrigin::Begin);
  const Header h = ReadHeader(m);
  EXPECT_EQ(h.Title, "abc");
  EXPECT_EQ(h.TotalSize, 1000);
  EXPECT_EQ(h.FileCount, 7);
}

TEST(FormatHeader, TitleBytesAreKeptAsTheyAre) {
  const std::string title("Sicherung \xC3\xBC\x01\0end", 16);
  TMemoryStream m;
  WriteHeader(m, Header{title, 5, 1});
  m.Seek(0, SeekOrigin::Begin);
  EXPECT_EQ(ReadHeader(m).Title, title);
}

TEST(FormatHeader, TotalSizeIsCappedNotWrapped) {
  EXPECT_EQ(CapTotalSize(0), 0);
  EXPECT_EQ(CapTotalSize(123456), 123456);
  EXPECT_EQ(CapTotalSize(INT32_MAX), INT32_MAX);
  EXPECT_EQ(CapTotalSize(int64_t{INT32_MAX} + 1), INT32_MAX);
  EXPECT_EQ(CapTotalSize(int64_t{5} << 32), INT32_MAX);  // would wrap to 0
  EXPECT_EQ(CapTotalSize(-1), 0);
}

TEST(FormatStrings, ReadCharsRefusesBadLengths) {
  TMemoryStream m = StreamOf("abcdef");
  EXPECT_EQ(InvalidMessageOf([&] { ReadChars(m, -1); }), kInvalidArchive);
  EXPECT_EQ(InvalidMessageOf([&] { ReadChars(m, INT32_MIN); }), kInvalidArchive);
  // A huge length is damage: refused before any allocation of that size.
  EXPECT_EQ(InvalidMessageOf([&] { ReadChars(m, INT32_MAX); }), kInvalidArchive);
  EXPECT_EQ(InvalidMessageOf([&] { ReadChars(m, kMaxNameLength + 1); }), kInvalidArchive);
  EXPECT_EQ(m.Position(), 0);
  EXPECT_EQ(ReadChars(m, 0), "");
  EXPECT_EQ(ReadChars(m, 4), "abcd");
  // A plausible length that runs past the end is a read error.
  EXPECT_EQ(InvalidMessageOf([&] { ReadChars(m, 3); }), kStreamReadError);
}

TEST(FormatStrings, HeaderWithNegativeTitleLengthIsInvalid) {
  TMemoryStream m = StreamOf(std::string("\xFF\xFF\xFF\xFF", 4) + std::string(8, '\0'));
  EXPECT_EQ(InvalidMessageOf([&] { ReadHeader(m); }), kInvalidArchive);
}

TEST(FormatSection, SignatureBytes) {
  TMemoryStream m;
  WriteSignature(m);
  EXPECT_EQ(Bytes(m), std::string("EC2\0", 4));
  m.Seek(0, SeekOrigin::Begin);
  EXPECT_NO_THROW(ReadSignature(m));
  EXPECT_EQ(m.Position(), 4);

  for (const std::string& bad : {std::string("EC3\0", 4), std::string("ec2\0", 4),
                                 std::string("EC2 ", 4), std::string(4, '\0')}) {
    TMemoryStream s = StreamOf(bad);
    EXPECT_EQ(InvalidMessageOf([&] { ReadSignature(s); }), kInvalidArchive) << bad;
  }
  TMemoryStream shortStream = StreamOf("EC");
  EXPECT_EQ(InvalidMessageOf([&] { ReadSignature(shortStream); }), kStreamReadError);
}

TEST(FormatSection, ChunkLengthBeyondPieceSizeIsRejected) {
  for (const int32_t good : {1, -1, 0, 16384, -16384}) {
    TMemoryStream m;
    WriteInt32(m, good);
    m.Seek(0, SeekOrigin::Begin);
    EXPECT_EQ(ReadChunkLength(m), good);
  }
  for (const int32_t bad : {16385, -16385, INT32_MAX, INT32_MIN, 1 << 20}) {
    TMemoryStream m;
    WriteInt32(m, bad);
    m.Seek(0, SeekOrigin::Begin);
    EXPECT_EQ(InvalidMessageOf([&] { ReadChunkLength(m); }), kInvalidArchive) << bad;
  }
}

TEST(FormatVolumes, ChangeEntryNames) {
  EXPECT_EQ(VolumeChangeName(2), "NEXT:DISK002");
  EXPECT_EQ(VolumeChangeName(10), "NEXT:DISK010");
  EXPECT_EQ(VolumeChangeName(999), "NEXT:DISK999");
  EXPECT_EQ(VolumeChangeName(1000), "NEXT:DISK000");  // last three digits
  EXPECT_EQ(VolumeChangeName(1234), "NEXT:DISK234");
  EXPECT_EQ(VolumeChangeName(10).size(), static_cast<size_t>(kVolumeChangeNameLength));

  TMemoryStream m;
  WriteVolumeChange(m, 10);
  const std::string b = Bytes(m);
  ASSERT_EQ(b.size(), 16u);
  EXPECT_EQ(LE32(b, 0), 12);
  EXPECT_EQ(b.substr(4), "NEXT:DISK010");
}

TEST(FormatVolumes, RecognisingChangeEntriesAndTheList) {
  EXPECT_TRUE(IsVolumeChangeName("NEXT:DISK002"));
  EXPECT_TRUE(IsVolumeChangeName("NEXT:DISK"));  // the first nine characters decide
  EXPECT_FALSE(IsVolumeChangeName("next:disk002"));
  EXPECT_FALSE(IsVolumeChangeName("NEXT:DIS"));
  EXPECT_FALSE(IsVolumeChangeName("/home/NEXT:DISK002"));
  EXPECT_TRUE(IsFileListName("FILE:LIST"));
  EXPECT_FALSE(IsFileListName("file:list"));
  EXPECT_FALSE(IsFileListName("FILE:LIST2"));

  EXPECT_EQ(VolumeDigits("NEXT:DISK010"), "010");
  EXPECT_EQ(VolumeDigits("NEXT:DISK01"), "");
  EXPECT_EQ(VolumeNumber("010"), 10);
  EXPECT_EQ(VolumeNumber("002"), 2);
  EXPECT_EQ(VolumeNumber("0a1"), -1);
  EXPECT_EQ(VolumeNumber("01"), -1);
  EXPECT_EQ(VolumeNumber(""), -1);
}

TEST(FormatVolumes, NextVolumeFileNames) {
  struct Case {
    const char* name;
    const char* digits;
    const char* next;
  } cases[] = {
      {"backup.bkp", "002", "backup.002"},
      {"/home/ann/backup.bkp", "002", "/home/ann/backup.002"},
      {"/home/ann/backup.002", "003", "/home/ann/backup.003"},
      {"backup", "002", "backup.002"},
      {"/home/ann/backup", "002", "/home/ann/backup.002"},
      {"/home/ann.d/backup", "002", "/home/ann.d/backup.002"},  // the dot is the folder's
      {"/home/ann.d/backup.bkp", "010", "/home/ann.d/backup.010"},
      {"archive.tar.bkp", "002", "archive.tar.002"},
      {"c:\\data.old\\backup", "002", "c:\\data.old\\backup.002"},
  };
  for (const Case& c : cases) EXPECT_EQ(NextVolumeName(c.name, c.digits), c.next) << c.name;
}

TEST(FormatFileList, LineLayout) {
  EXPECT_EQ(FileIdLine("/home/ann/a.txt", 1234567, 42), "/home/ann/a.txt\t1234567=42");
  EXPECT_EQ(FileIdLine("/x", -1, 0), "/x\t-1=0");
  // Sizes are 64-bit: a 5 GiB file keeps its size.
  EXPECT_EQ(FileIdLine("/big", 7, int64_t{5} << 30), "/big\t7=5368709120");
}

}  // namespace
}  // namespace kelmora::format
