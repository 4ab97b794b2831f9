// SPDX-License-Identifier: GPL-3.0-or-later
//
// The bodies of the companion's small sections: what the archive's volumes
// were, where each entry is, and what each file, folder and link was on
// the system it came from. Decoding checks every count and length against
// the bytes at hand and never trusts one to size anything.
//
//   identity   u32 block size, u32 volume count V, then V times:
//              u64 size, u32 CRC32C of the volume's block checksums (as
//              stored in the checksum section), u32 0
//   index      u32 count, then per entry: u32 length of the rest, u16 volume,
//              u16 flags, u64 offset of the entry's record in that volume,
//              i64 size (-1 unknown), i64 packed bytes, u32 chunks,
//              i32 packed time stamp, u32 name length, name
//   metadata   u32 count, then per record: u32 length of the rest, u8 kind,
//              u8 fields present, u16 0, u32 mode, u32 uid, u32 gid,
//              i64 mtime seconds (UTC), u32 nanoseconds, u32 hard-link group,
//              u32 name length, name, u16 user length, user, u16 group length,
//              group, u32 link target length, target
//
// A record's leading length lets a later version add fields at its end: a
// reader takes what it knows and steps over the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace kelmora::companion {

struct VolumeIdentity {
  int64_t Size = 0;
  uint32_t Crc = 0;
  bool operator==(const VolumeIdentity&) const = default;
};

struct ArchiveIdentity {
  uint32_t BlockSize = 0;
  std::vector<VolumeIdentity> Volumes;  // volume 1 first
  bool operator==(const ArchiveIdentity&) const = default;
};

// Block sizes a reader accepts: powers of two from 512 bytes to 16 KiB. A
// repair decodes every byte column of a damaged group, so larger blocks
// would let a damaged companion ask for far more work than any archive
// needs.
bool IsBlockSize(uint64_t Bytes);
// Blocks a volume of Size bytes takes (its last one padded with zeros).
int64_t BlocksOf(int64_t Size, uint32_t BlockSize);

std::string EncodeIdentity(const ArchiveIdentity& Identity);
bool DecodeIdentity(const std::string& Body, ArchiveIdentity& Identity);

inline constexpr uint16_t kFileListEntry = 1;  // the file-ID list, not a file

struct IndexEntry {
  std::string Name;     // the stored name
  uint16_t Volume = 1;  // where its record begins
  uint16_t Flags = 0;
  int64_t Offset = 0;  // of its record (the name's length) in that volume
  int64_t Size = -1;
  int64_t Packed = 0;
  uint32_t Chunks = 0;
  int32_t Stamp = 0;
  bool operator==(const IndexEntry&) const = default;
};

std::string EncodeIndex(const std::vector<IndexEntry>& Entries);
// False, and Entries empty, for a body that does not hold what it claims.
bool DecodeIndex(const std::string& Body, std::vector<IndexEntry>& Entries);

// The framing an index and a metadata body share, taken a piece at a time
// as the body is read: a count, then that many records, each after its
// length. Nothing is allocated from the count: a large body is never held
// whole, nor as the structures made of it.
class RecordFrames {
 public:
  // A record's bytes and where its length field lies in the body; false
  // stops the body as damaged.
  using Each = std::function<bool(const char* Bytes, uint32_t Length, uint64_t At)>;
  // BodySize is the body's whole length, FixedPart the least a record
  // holds (the count is checked against the bytes with it).
  RecordFrames(uint64_t BodySize, size_t FixedPart, Each OnRecord);
  bool Take(const void* Bytes, size_t Count);
  // True when the body held exactly the records it counted.
  bool Finish();
  // The count the body begins with, 0 until it is read.
  uint32_t Count() const { return count_; }

 private:
  static uint32_t ReadLength(const char* At);
  bool Record(const char* Bytes, uint32_t Length);
  bool Fail();
  uint64_t size_;
  size_t fixed_;
  Each each_;
  uint64_t left_;      // body bytes not yet taken into a record
  std::string carry_;  // the count or a record begun in an earlier piece
  bool counted_ = false;
  uint32_t count_ = 0;
  uint32_t seen_ = 0;
  bool failed_ = false;
};

// DecodeIndex a piece at a time, as the body is read. Entries are handed
// to Each as they are decoded, or gathered in a vector. After a false from
// Take or Finish, the gathered Entries are empty; entries handed on stand.
class IndexDecoder {
 public:
  IndexDecoder(std::vector<IndexEntry>& Entries, uint64_t BodySize);
  IndexDecoder(std::function<bool(IndexEntry&& Entry)> Each, uint64_t BodySize);
  bool Take(const void* Bytes, size_t Count);
  // True when the body held exactly the entries it counted.
  bool Finish();

 private:
  bool Entry(const char* Bytes, uint32_t Length);
  std::vector<IndexEntry>* entries_ = nullptr;
  std::function<bool(IndexEntry&&)> each_;
  RecordFrames frames_;
  uint16_t lastVolume_ = 0;
  int64_t lastOffset_ = -1;
};

enum class EntryKind : uint8_t { File = 1, Folder = 2, Link = 3 };
// Which fields of a record the writing system had.
inline constexpr uint8_t kHasMode = 1;
inline constexpr uint8_t kHasOwner = 2;
inline constexpr uint8_t kHasOwnerNames = 4;
inline constexpr uint8_t kHasTime = 8;

struct MetadataRecord {
  EntryKind Kind = EntryKind::File;
  uint8_t Has = 0;
  // Written as stored names are: a file's is its entry's; a folder or link
  // has the name it would have had as an entry.
  std::string Name;
  uint32_t Mode = 0;  // permission bits with set-ID and sticky (07777)
  uint32_t UserId = 0;
  uint32_t GroupId = 0;
  std::string UserName;
  std::string GroupName;
  int64_t Seconds = 0;  // modification time, UTC
  uint32_t Nanoseconds = 0;
  // Files that were one inode share a number above 0.
  uint32_t HardLinkGroup = 0;
  std::string LinkTarget;  // a link's text, never a path to follow
  bool operator==(const MetadataRecord&) const = default;
};

std::string EncodeMetadata(const std::vector<MetadataRecord>& Records);

// The body of an index or metadata section made entry by entry, as a backup
// notes its files: a million entries kept as structures, or in one string
// copied whole each time it grows, would cost the run several times the
// bytes the section takes. Held in pieces of about a mebibyte; given a
// place to spill to, all but the last few pieces go to a file there.
class SectionBody {
 public:
  // Opens the spill file, named in Name, when first needed; an invalid
  // File (or a write to it that fails) keeps the rest in memory.
  using SpillOpener = std::function<platform::File(std::string& Name)>;

  SectionBody() = default;
  ~SectionBody();
  SectionBody(const SectionBody&) = delete;
  SectionBody& operator=(const SectionBody&) = delete;

  void SpillWith(SpillOpener Open) { open_ = std::move(Open); }
  void Add(const IndexEntry& Entry);
  void Add(const MetadataRecord& Record);
  uint32_t Count() const { return count_; }
  // The body's length, its count included.
  int64_t Size() const { return size_; }
  // Hands Write the body front to back, its count first. Throws
  // EStreamError when the spilled part cannot be read back.
  void WriteTo(const std::function<void(const void* Bytes, size_t Count)>& Write) const;
  // The whole body as one string.
  std::string Text() const;
  // The name of the spill file, "" while there is none.
  const std::string& SpillName() const { return spillName_; }

 private:
  void Append(const std::string& Entry);
  void Spill();
  std::vector<std::string> pieces_;  // after what was spilled
  uint32_t count_ = 0;
  int64_t size_ = 4;
  SpillOpener open_;
  bool spillFailed_ = false;
  platform::File spill_;
  std::string spillName_;
  int64_t spilled_ = 0;  // bytes in the spill file, all written whole
};
// Records of a kind this reader does not know are left out.
bool DecodeMetadata(const std::string& Body, std::vector<MetadataRecord>& Records);

// DecodeMetadata a piece at a time: each record is handed to Each with
// where its length field lies in the body and how long it is with it.
class MetadataDecoder {
 public:
  using Each = std::function<bool(MetadataRecord&& Record, uint64_t At, uint32_t Length)>;
  MetadataDecoder(Each OnRecord, uint64_t BodySize);
  bool Take(const void* Bytes, size_t Count) { return frames_.Take(Bytes, Count); }
  bool Finish() { return frames_.Finish(); }
  // The count the body begins with, checked against its length; 0 until
  // it is read.
  uint32_t Count() const { return frames_.Count(); }

 private:
  Each each_;
  RecordFrames frames_;
};

// One metadata record from its bytes (the length field left off). Unknown
// when its kind is a later version's, which a reader leaves out.
enum class RecordRead { Read, Unknown, Damaged };
RecordRead ReadMetadataRecord(const char* Bytes, uint32_t Length, MetadataRecord& Record);

// Where a byte of the archive lies, told from the index.
enum class ArchivePart { Header, Name, Stamp, Data, VolumeChange, EndMarker };
struct ArchivePlace {
  ArchivePart Part = ArchivePart::Header;
  int64_t Entry = -1;  // index of the entry it belongs to; -1 for none
};
// Entries in archive order (as the index holds them); VolumeSizes of the
// volumes as written. A byte in the last 16 of a volume that is not the
// last is its volume change, in the last 4 of the archive its end marker.
ArchivePlace PlaceOf(const std::vector<IndexEntry>& Entries,
                     const std::vector<int64_t>& VolumeSizes, unsigned Volume, int64_t Offset);

}  // namespace kelmora::companion
