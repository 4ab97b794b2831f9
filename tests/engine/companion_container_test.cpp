// SPDX-License-Identifier: GPL-3.0-or-later
//
// The companion's container and small sections byte for byte, and its
// reader against every cut and damaged header: it reports what it found,
// keeps what passed its checksums, and never reads past what is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "companion_support.h"
#include "engine/archive_format.h"
#include "engine/companion/container.h"
#include "engine/companion/erasure_code.h"
#include "engine/companion/sections.h"
#include "kelmora/helpers.h"
#include "test_support.h"

namespace kelmora::companion {
namespace {

using test::StringStream;

uint32_t U32(const std::string& Bytes, size_t At) {
  return static_cast<uint32_t>(kelmora::test::LE32(Bytes, At));
}

std::string Written(const std::function<void(CompanionWriter&)>& Fill) {
  TMemoryStream out;
  CompanionWriter w(out);
  Fill(w);
  w.Finish();
  return out.Text();
}

CompanionState StateOf(const std::string& Bytes, size_t* Sections = nullptr) {
  StringStream s(Bytes);
  CompanionReader r(s);
  const CompanionState state = r.Open();
  if (Sections) *Sections = r.Sections().size();
  return state;
}

TEST(CompanionContainer, NameIsTheWholeArchiveNameAndASuffix) {
  EXPECT_EQ(CompanionFileName("/b/docs.bkp"), "/b/docs.bkp.kx");
  EXPECT_NE(CompanionFileName("docs.2025"), CompanionFileName("docs.2026"));
  EXPECT_EQ(CompanionFileName("noext"), "noext.kx");
}

TEST(CompanionContainer, HeaderAndSectionBytes) {
  const std::string file = Written([](CompanionWriter& w) { w.AddSection(77, "abc", 0); });
  ASSERT_EQ(file.size(), 16u + 24 + 3 + 24);
  EXPECT_EQ(file.substr(0, 8), std::string("\x89KXC\r\n\x1a\n", 8));
  EXPECT_EQ(file.substr(8, 4), std::string("\x01\x00\x00\x00", 4));
  EXPECT_EQ(U32(file, 12), Crc32c(0, file.data(), 12));
  EXPECT_EQ(U32(file, 16), 77u);
  EXPECT_EQ(U32(file, 20), 0u);
  EXPECT_EQ(file.substr(24, 8), std::string("\x03\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(U32(file, 32), Crc32c(0, "abc", 3));
  EXPECT_EQ(U32(file, 36), Crc32c(0, file.data() + 16, 20));
  EXPECT_EQ(file.substr(40, 3), "abc");
  EXPECT_EQ(file.substr(43, 8), std::string(8, '\0'));  // the end section
  EXPECT_EQ(U32(file, 63), Crc32c(0, file.data() + 43, 20));
}

TEST(CompanionContainer, UnknownSectionsSteppedOverOrRefused) {
  const std::string later = Written([](CompanionWriter& w) {
    w.AddSection(kIndexSection, EncodeIndex({}));
    w.AddSection(900, std::string(5000, 'z'));
    w.AddSection(kMetadataSection, EncodeMetadata({}));
  });
  StringStream s(later);
  CompanionReader r(s);
  ASSERT_EQ(r.Open(), CompanionState::Sound);
  ASSERT_NE(r.Find(kMetadataSection), nullptr);
  std::string body;
  EXPECT_TRUE(r.ReadBody(*r.Find(kMetadataSection), body, 100));
  const std::string needed = Written([](CompanionWriter& w) {
    w.AddSection(kIndexSection, EncodeIndex({}));
    w.AddSection(900, "x", kCriticalSection);
  });
  EXPECT_EQ(StateOf(needed), CompanionState::NewerVersion);
  std::string major = later;
  major[8] = 2;
  const uint32_t crc = Crc32c(0, major.data(), 12);
  for (int i = 0; i < 4; ++i) major[12 + i] = static_cast<char>(crc >> (8 * i));
  EXPECT_EQ(StateOf(major), CompanionState::NewerVersion);
}

TEST(CompanionContainer, EveryCutAndEveryFlippedByteIsReported) {
  const std::string file = Written([](CompanionWriter& w) {
    w.AddSection(kIndexSection, EncodeIndex({IndexEntry{"/a", 1, 0, 12, 5, 3, 1, 99}}));
    w.AddSection(kMetadataSection, std::string(40, 'm'));
  });
  for (size_t cut = 0; cut < file.size(); ++cut) {
    size_t sections = 0;
    const CompanionState state = StateOf(file.substr(0, cut), &sections);
    EXPECT_TRUE(state == (cut < 16 ? CompanionState::NotCompanion : CompanionState::Incomplete))
        << cut;
    EXPECT_LE(sections, 2u);
  }
  // A flipped byte in a header is found by that header's checksum; in a
  // body, when the body is read.
  for (size_t at = 0; at < file.size(); ++at) {
    std::string bad = file;
    bad[at] ^= 0x20;
    StringStream s(bad);
    CompanionReader r(s);
    const CompanionState state = r.Open();
    if (state != CompanionState::Sound) {
      EXPECT_FALSE(r.Problem().empty());
      continue;
    }
    bool bodyFails = false;
    for (const SectionInfo& section : r.Sections()) {
      std::string body;
      bodyFails = bodyFails || !r.ReadBody(section, body, 1000) || !r.VerifyBody(section);
    }
    EXPECT_TRUE(bodyFails) << "flip at " << at << " passed";
  }
}

TEST(CompanionContainer, LengthsBeyondTheFileAreNotBelieved) {
  std::string file = Written([](CompanionWriter& w) { w.AddSection(kIndexSection, "abcd"); });
  // A body length of 2^62 with a header checksum that agrees.
  file[16 + 15] = 0x40;
  const uint32_t crc = Crc32c(0, file.data() + 16, 20);
  for (int i = 0; i < 4; ++i) file[36 + i] = static_cast<char>(crc >> (8 * i));
  EXPECT_EQ(StateOf(file), CompanionState::Incomplete);
  const std::string big = Written([](CompanionWriter& w) { w.AddSection(kIndexSection, "abcd"); });
  StringStream s(big);
  CompanionReader r(s);
  ASSERT_EQ(r.Open(), CompanionState::Sound);
  std::string body;
  EXPECT_FALSE(r.ReadBody(r.Sections()[0], body, 3));  // the caller's limit
  char four[4];
  EXPECT_FALSE(r.ReadAt(r.Sections()[0], 1, four, 4));
  EXPECT_TRUE(r.ReadAt(r.Sections()[0], 0, four, 4));
}

// A device that fails to give the companion is not a damaged companion:
// the reader keeps the system's error for the caller to name.
TEST(CompanionContainer, AFailingDeviceIsToldFromDamage) {
  class FailingStream : public StringStream {
   public:
    using StringStream::StringStream;
    size_t Read(void* Buffer, size_t Count) override {
      if (Position() >= failFrom) throw EStreamError("Stream read error", EIO);
      return StringStream::Read(Buffer, std::min<size_t>(Count, failFrom - Position()));
    }
    int64_t failFrom = 0;
  };
  const std::string file = Written([](CompanionWriter& w) { w.AddSection(kIndexSection, "abcd"); });
  FailingStream header(file);
  CompanionReader r(header);
  EXPECT_NE(r.Open(), CompanionState::Sound);
  EXPECT_EQ(r.ReadError(), EIO);
  FailingStream body(file);
  body.failFrom = static_cast<int64_t>(file.size());
  CompanionReader b(body);
  ASSERT_EQ(b.Open(), CompanionState::Sound);
  EXPECT_EQ(b.ReadError(), 0) << "a sound companion read whole";
  body.failFrom = 41;  // inside the section's body
  char four[4];
  EXPECT_FALSE(b.ReadAt(b.Sections()[0], 0, four, 4));
  EXPECT_EQ(b.ReadError(), EIO);
  const std::string cut = file.substr(0, 10);
  StringStream shortFile(cut);
  CompanionReader c(shortFile);
  EXPECT_EQ(c.Open(), CompanionState::NotCompanion);
  EXPECT_EQ(c.ReadError(), 0) << "a short file is no device failure";
}

TEST(CompanionContainer, ReservedSectionsWrittenOutOfOrder) {
  std::string seen;
  const std::string file = Written([&](CompanionWriter& w) {
    const int a = w.Reserve(kChecksumSection, 10);
    const int b = w.Reserve(kParitySection, 6);
    w.WriteInSection(b, 3, "xyz", 3);
    w.WriteInSection(a, 5, "56789", 5);
    w.WriteInSection(a, 0, "01234", 5);
    w.Close(b);
    w.Close(a, [&](int64_t, const uint8_t* Bytes, size_t Count) {
      seen.append(reinterpret_cast<const char*>(Bytes), Count);
    });
  });
  EXPECT_EQ(seen, "0123456789");
  StringStream s(file);
  CompanionReader r(s);
  ASSERT_EQ(r.Open(), CompanionState::Sound);
  std::string body;
  ASSERT_TRUE(r.ReadBody(*r.Find(kChecksumSection), body, 100));
  EXPECT_EQ(body, "0123456789");
  ASSERT_TRUE(r.ReadBody(*r.Find(kParitySection), body, 100));
  EXPECT_EQ(body, std::string("\0\0\0xyz", 6));
}

TEST(CompanionSections, IndexRoundTripAndDamage) {
  const std::vector<IndexEntry> entries{
      {"FILE:LIST", 1, kFileListEntry, 16, 120, 80, 1, 0},
      {"/home/ann/Ünïcode name with spaces.txt", 1, 0, 200, -1, 16389, 2, 0x5A3C1234},
      {"/home/ann/big", 3, 0, 7, int64_t{5} << 32, int64_t{3} << 32, 400000, -1}};
  const std::string body = EncodeIndex(entries);
  std::vector<IndexEntry> back;
  ASSERT_TRUE(DecodeIndex(body, back));
  EXPECT_EQ(back, entries);
  // A later version's record, longer by a field: taken, the field skipped.
  std::string longer = body;
  longer.insert(4 + 4 + 40 + 9, "NEWF");
  longer[4] = static_cast<char>(longer[4] + 4);
  ASSERT_TRUE(DecodeIndex(longer, back));
  EXPECT_EQ(back, entries);
  std::string lying = body;
  lying[0] = 4;  // four entries claimed
  EXPECT_FALSE(DecodeIndex(lying, back));
  EXPECT_TRUE(back.empty());
  std::string huge = body;
  huge[3] = 0x7F;  // two billion claimed by a few hundred bytes
  EXPECT_FALSE(DecodeIndex(huge, back));
  std::vector<IndexEntry> backwards{entries[1], entries[0]};
  EXPECT_FALSE(DecodeIndex(EncodeIndex(backwards), back));
  for (size_t cut = 0; cut < body.size(); ++cut)
    EXPECT_FALSE(DecodeIndex(body.substr(0, cut), back));
}

TEST(CompanionSections, MetadataRoundTripAndDamage) {
  std::vector<MetadataRecord> records(3);
  records[0] = {EntryKind::File,
                kHasMode | kHasOwner | kHasOwnerNames | kHasTime,
                "/home/ann/key",
                0100600,
                1000,
                1000,
                "ann",
                "ann",
                1767225600,
                123456789,
                1,
                ""};
  records[1] = {EntryKind::Folder,
                kHasTime | kHasMode,
                "/home/ann/empty",
                040755,
                0,
                0,
                "",
                "",
                -86400,
                5,
                0,
                ""};
  records[2] = {EntryKind::Link,   kHasTime, "/home/ann/to-etc", 0120777, 0, 0, "", "", 0, 0, 0,
                "../../etc/passwd"};
  const std::string body = EncodeMetadata(records);
  std::vector<MetadataRecord> back;
  ASSERT_TRUE(DecodeMetadata(body, back));
  EXPECT_EQ(back, records);
  // A kind from a later version is left out; the others stay.
  std::string later = body;
  later[8] = 9;
  ASSERT_TRUE(DecodeMetadata(later, back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].Name, "/home/ann/empty");
  std::string badNanos = body;
  badNanos[8 + 24 + 3] = 0x7F;  // nanoseconds of the first record past a second
  EXPECT_FALSE(DecodeMetadata(badNanos, back));
  for (size_t cut = 0; cut < body.size(); ++cut)
    EXPECT_FALSE(DecodeMetadata(body.substr(0, cut), back));
  MetadataRecord longName = records[0];
  longName.UserName = std::string(300, 'u');
  ASSERT_TRUE(DecodeMetadata(EncodeMetadata({longName}), back));
  EXPECT_EQ(back[0].UserName.size(), 255u);
}

TEST(CompanionSections, IdentityRoundTripAndLimits) {
  ArchiveIdentity id{4096, {{1000000, 7}, {5, 9}}};
  ArchiveIdentity back;
  ASSERT_TRUE(DecodeIdentity(EncodeIdentity(id), back));
  EXPECT_EQ(back, id);
  for (uint32_t size : {0u, 1000u, 256u, 32768u}) {
    ArchiveIdentity odd = id;
    odd.BlockSize = size;
    EXPECT_FALSE(DecodeIdentity(EncodeIdentity(odd), back)) << size;
  }
  ArchiveIdentity many{4096, std::vector<VolumeIdentity>(1000)};
  EXPECT_FALSE(DecodeIdentity(EncodeIdentity(many), back));
  EXPECT_FALSE(DecodeIdentity(EncodeIdentity(id) + "x", back));
}

// The places of an archive's bytes, from an archive laid out by the
// format's own writers: a header, a file split over two volumes, another.
TEST(CompanionSections, PlaceOfEveryPart) {
  TMemoryStream one;
  format::WriteHeader(one, format::Header{"title", 10, 2});
  const int64_t first = one.Position();
  format::WriteString(one, "/a");
  format::WriteInt32(one, 42);
  format::WriteSignature(one);
  one.WriteBuffer("0123456789", 10);
  format::WriteVolumeChange(one, 2);
  TMemoryStream two;
  two.WriteBuffer("rest", 4);
  const int64_t second = two.Position();
  format::WriteString(two, "/b");
  format::WriteInt32(two, 43);
  format::WriteInt32(two, 0);
  const std::vector<IndexEntry> entries{{"/a", 1, 0, first, 10, 10, 1, 42},
                                        {"/b", 2, 0, second, 0, 0, 0, 43}};
  const std::vector<int64_t> sizes{one.Position(), two.Position()};
  const auto part = [&](unsigned v, int64_t at) { return PlaceOf(entries, sizes, v, at).Part; };
  EXPECT_EQ(part(1, 0), ArchivePart::Header);
  EXPECT_EQ(part(1, first - 1), ArchivePart::Header);
  EXPECT_EQ(part(1, first), ArchivePart::Name);
  EXPECT_EQ(part(1, first + 5), ArchivePart::Name);
  EXPECT_EQ(part(1, first + 6), ArchivePart::Stamp);
  EXPECT_EQ(part(1, first + 10), ArchivePart::Data);
  EXPECT_EQ(part(1, sizes[0] - 17), ArchivePart::Data);
  EXPECT_EQ(part(1, sizes[0] - 16), ArchivePart::VolumeChange);
  EXPECT_EQ(part(2, 0), ArchivePart::Data);
  EXPECT_EQ(PlaceOf(entries, sizes, 2, 3).Entry, 0);
  EXPECT_EQ(PlaceOf(entries, sizes, 2, second).Entry, 1);
  EXPECT_EQ(part(2, second + 7), ArchivePart::Stamp);
  EXPECT_EQ(part(2, sizes[1] - 4), ArchivePart::EndMarker);
}

}  // namespace
}  // namespace kelmora::companion
