// SPDX-License-Identifier: GPL-3.0-or-later
//
// The companion file's container: a header, then sections that each carry
// their type, length and checksum, so that a reader takes what it knows,
// steps over what it does not, and trusts nothing that fails its checksum.
//
//   file header (16 bytes)
//     0   8  magic 89 4B 58 43 0D 0A 1A 0A ("\x89KXC\r\n\x1a\n")
//     8   2  major version (1): a reader refuses a major it does not know
//    10   2  minor version (0): newer minors add only what older readers skip
//    12   4  CRC32C of bytes 0..11
//   section header (24 bytes), followed by its body
//     0   4  type (0 = end of the file)
//     4   4  flags; bit 0: a reader that does not know the type must refuse the file
//     8   8  body length
//    16   4  CRC32C of the body
//    20   4  CRC32C of bytes 0..19 of this header
//
// Every integer is little-endian. Sections follow each other without gaps
// and in any order; the end section (type 0, empty) is the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kelmora/streams.h"

namespace kelmora::companion {

inline constexpr unsigned char kMagic[8] = {0x89, 'K', 'X', 'C', '\r', '\n', 0x1A, '\n'};
inline constexpr uint16_t kVersionMajor = 1;
inline constexpr uint16_t kVersionMinor = 0;
inline constexpr size_t kFileHeaderSize = 16;
inline constexpr size_t kSectionHeaderSize = 24;
// More sections than this is damage, not a file any writer made.
inline constexpr size_t kMaxSections = 4096;

enum SectionType : uint32_t {
  kEndSection = 0,
  kIdentitySection = 1,
  kIndexSection = 2,
  kMetadataSection = 3,
  kChecksumSection = 4,
  kRecoverySection = 5,
  kParitySection = 6,
};
inline constexpr uint32_t kCriticalSection = 1;

// Little-endian integers appended to a byte string.
class ByteWriter {
 public:
  template <class T>
  void Int(T Value) {
    for (size_t i = 0; i < sizeof(T); ++i)
      bytes_.push_back(static_cast<char>(static_cast<uint64_t>(Value) >> (8 * i)));
  }
  void Bytes(const std::string& Value) { bytes_ += Value; }
  std::string& Text() { return bytes_; }

 private:
  std::string bytes_;
};

// A cursor over bytes that never reads past their end: a read that would
// fails, and so does every read after it.
class ByteReader {
 public:
  ByteReader(const void* Bytes, size_t Size)
      : bytes_(static_cast<const unsigned char*>(Bytes)), size_(Size) {}
  explicit ByteReader(const std::string& Bytes) : ByteReader(Bytes.data(), Bytes.size()) {}

  template <class T>
  bool Int(T& Value) {
    if (failed_ || size_ - at_ < sizeof(T)) return Fail();
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(bytes_[at_ + i]) << (8 * i);
    Value = static_cast<T>(v);
    at_ += sizeof(T);
    return true;
  }
  bool Bytes(std::string& Value, uint64_t Count) {
    if (failed_ || Count > size_ - at_) return Fail();
    Value.assign(reinterpret_cast<const char*>(bytes_ + at_), static_cast<size_t>(Count));
    at_ += static_cast<size_t>(Count);
    return true;
  }
  bool Skip(uint64_t Count) {
    if (failed_ || Count > size_ - at_) return Fail();
    at_ += static_cast<size_t>(Count);
    return true;
  }
  size_t Remaining() const { return failed_ ? 0 : size_ - at_; }
  bool Failed() const { return failed_; }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }
  const unsigned char* bytes_;
  size_t size_;
  size_t at_ = 0;
  bool failed_ = false;
};

struct SectionInfo {
  uint32_t Type = 0;
  uint32_t Flags = 0;
  int64_t HeaderAt = 0;
  int64_t BodyAt = 0;
  int64_t Length = 0;
  uint32_t BodyCrc = 0;
};

// Writes a companion front to back on a stream that can seek and read back
// (a file being made, a memory stream). Failures of the stream throw as its
// writes do.
class CompanionWriter {
 public:
  // Writes the file header at the stream's position.
  explicit CompanionWriter(TStream& Out);

  void AddSection(uint32_t Type, const std::string& Body, uint32_t Flags = 0);
  // A section of Length bytes filled by WriteInSection in any order; its
  // header is written by Close. Returns the handle for both.
  int Reserve(uint32_t Type, int64_t Length, uint32_t Flags = 0);
  void WriteInSection(int Handle, int64_t Offset, const void* Bytes, size_t Count);
  // Writes the header, reading the body back for its checksum unless it
  // was written front to back. Visit, when given, sees the body front to
  // back (offset in the body, bytes), read back.
  void Close(int Handle,
             const std::function<void(int64_t, const uint8_t*, size_t)>& Visit = nullptr);
  // The end section; every reserved section must be closed by then.
  void Finish();

 private:
  struct Reserved {
    SectionInfo Info;
    bool Open = true;
    // Written front to back so far: up to here, with this checksum.
    int64_t InOrder = 0;
    uint32_t Crc = 0;
  };
  void WriteHeader(const SectionInfo& Info);

  TStream& out_;
  int64_t tail_ = 0;
  std::vector<Reserved> reserved_;
};

enum class CompanionState {
  Sound,         // header and every section header read, the end section found
  NotCompanion,  // no companion's magic
  NewerVersion,  // a major version or a needed section this reader does not know
  Damaged,       // a header fails its checksum or claims what cannot be
  Incomplete,    // the file ends before its end section
  Unreadable,    // the stream failed
};

// Reads the header and the list of sections, then bodies on request. Never
// throws; nothing is allocated from a length before it is checked against
// the file and the caller's limit. The sections listed before a damaged
// header stay usable (each has its own checksum).
class CompanionReader {
 public:
  explicit CompanionReader(TStream& In) : in_(In) {}

  CompanionState Open();
  CompanionState State() const { return state_; }
  // What was wrong, with the byte offset where it was found; "" when sound.
  const std::string& Problem() const { return problem_; }
  const std::vector<SectionInfo>& Sections() const { return sections_; }
  // The first section of that type, or null.
  const SectionInfo* Find(uint32_t Type) const;
  int64_t FileSize() const { return size_; }

  // The whole body when it is at most Limit bytes and its checksum agrees.
  bool ReadBody(const SectionInfo& Section, std::string& Body, size_t Limit);
  // Hands Take the body a piece at a time, front to back; true when every
  // piece was read and taken and the body matches its checksum, which is
  // known only after the last piece.
  bool ReadBodyInPieces(const SectionInfo& Section,
                        const std::function<bool(const uint8_t*, size_t)>& Take);
  // Reads the body through its checksum, 1 MiB at a time.
  bool VerifyBody(const SectionInfo& Section);
  // Count bytes at Offset in the body; false when they lie outside it or
  // cannot be read.
  bool ReadAt(const SectionInfo& Section, int64_t Offset, void* Bytes, size_t Count);
  // The system's error number of the first read the device failed, 0 when
  // none: a companion it could not give is not a damaged one.
  int ReadError() const { return readError_; }

 private:
  bool ReadFully(int64_t At, void* Bytes, size_t Count);
  CompanionState Stop(CompanionState State, const std::string& Problem, int64_t At);

  TStream& in_;
  CompanionState state_ = CompanionState::Unreadable;
  std::string problem_;
  std::vector<SectionInfo> sections_;
  int64_t size_ = 0;
  int readError_ = 0;
};

}  // namespace kelmora::companion
