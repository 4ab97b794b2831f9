// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/container.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "engine/companion/erasure_code.h"
#include "platform/assertions.h"

namespace kelmora::companion {

namespace {

constexpr size_t kStreamPiece = size_t{1} << 20;

std::string FileHeader() {
  ByteWriter w;
  w.Bytes(std::string(reinterpret_cast<const char*>(kMagic), sizeof kMagic));
  w.Int<uint16_t>(kVersionMajor);
  w.Int<uint16_t>(kVersionMinor);
  w.Int<uint32_t>(Crc32c(0, w.Text().data(), w.Text().size()));
  return w.Text();
}

std::string SectionHeader(const SectionInfo& Info) {
  ByteWriter w;
  w.Int<uint32_t>(Info.Type);
  w.Int<uint32_t>(Info.Flags);
  w.Int<uint64_t>(static_cast<uint64_t>(Info.Length));
  w.Int<uint32_t>(Info.BodyCrc);
  w.Int<uint32_t>(Crc32c(0, w.Text().data(), w.Text().size()));
  return w.Text();
}

bool Known(uint32_t Type) {
  return Type <= kParitySection;
}

}  // namespace

// ---- writing

CompanionWriter::CompanionWriter(TStream& Out) : out_(Out) {
  const std::string header = FileHeader();
  tail_ = out_.Position();
  out_.WriteBuffer(header.data(), header.size());
  tail_ += static_cast<int64_t>(header.size());
}

void CompanionWriter::WriteHeader(const SectionInfo& Info) {
  const std::string header = SectionHeader(Info);
  out_.Seek(Info.HeaderAt, SeekOrigin::Begin);
  out_.WriteBuffer(header.data(), header.size());
}

void CompanionWriter::AddSection(uint32_t Type, const std::string& Body, uint32_t Flags) {
  SectionInfo info{Type,
                   Flags,
                   tail_,
                   tail_ + static_cast<int64_t>(kSectionHeaderSize),
                   static_cast<int64_t>(Body.size()),
                   Crc32c(0, Body.data(), Body.size())};
  WriteHeader(info);
  out_.WriteBuffer(Body.data(), Body.size());
  tail_ = info.BodyAt + info.Length;
}

int CompanionWriter::Reserve(uint32_t Type, int64_t Length, uint32_t Flags) {
  KELMORA_ASSERT(Length >= 0);
  SectionInfo info{Type, Flags, tail_, tail_ + static_cast<int64_t>(kSectionHeaderSize), Length, 0};
  // Zeros until Close: a file cut short meanwhile reads as damaged, not as
  // an end section.
  const std::string blank(kSectionHeaderSize, '\0');
  out_.Seek(info.HeaderAt, SeekOrigin::Begin);
  out_.WriteBuffer(blank.data(), blank.size());
  tail_ = info.BodyAt + Length;
  reserved_.push_back(Reserved{info, true});
  return static_cast<int>(reserved_.size() - 1);
}

void CompanionWriter::WriteInSection(int Handle, int64_t Offset, const void* Bytes, size_t Count) {
  Reserved& r = reserved_.at(static_cast<size_t>(Handle));
  KELMORA_ASSERT(Offset >= 0 && Offset + static_cast<int64_t>(Count) <= r.Info.Length);
  out_.Seek(r.Info.BodyAt + Offset, SeekOrigin::Begin);
  out_.WriteBuffer(Bytes, Count);
  if (Offset == r.InOrder) {
    r.Crc = Crc32c(r.Crc, Bytes, Count);
    r.InOrder += static_cast<int64_t>(Count);
  } else {
    r.InOrder = -1;
  }
}

void CompanionWriter::Close(int Handle,
                            const std::function<void(int64_t, const uint8_t*, size_t)>& Visit) {
  Reserved& r = reserved_.at(static_cast<size_t>(Handle));
  KELMORA_ASSERT(r.Open);
  if (!Visit && r.InOrder == r.Info.Length) {
    r.Info.BodyCrc = r.Crc;
    WriteHeader(r.Info);
    r.Open = false;
    return;
  }
  // A body whose end was never written is short of its length: the stream
  // is extended with zeros first, which is what those bytes read as.
  out_.Seek(0, SeekOrigin::End);
  const int64_t end = out_.Position();
  if (end < r.Info.BodyAt + r.Info.Length) {
    const std::string zeros(
        static_cast<size_t>(std::min<int64_t>(kStreamPiece, r.Info.BodyAt + r.Info.Length - end)),
        '\0');
    for (int64_t at = end; at < r.Info.BodyAt + r.Info.Length;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(zeros.size()),
                                                             r.Info.BodyAt + r.Info.Length - at));
      out_.WriteBuffer(zeros.data(), n);
      at += static_cast<int64_t>(n);
    }
  }
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kStreamPiece]);
  uint32_t crc = 0;
  out_.Seek(r.Info.BodyAt, SeekOrigin::Begin);
  for (int64_t at = 0; at < r.Info.Length;) {
    const size_t n = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(kStreamPiece), r.Info.Length - at));
    out_.ReadBuffer(piece.get(), n);
    crc = Crc32c(crc, piece.get(), n);
    if (Visit) Visit(at, piece.get(), n);
    at += static_cast<int64_t>(n);
  }
  r.Info.BodyCrc = crc;
  WriteHeader(r.Info);
  r.Open = false;
}

void CompanionWriter::Finish() {
  KELMORA_ASSERT(
      std::none_of(reserved_.begin(), reserved_.end(), [](const Reserved& R) { return R.Open; }));
  AddSection(kEndSection, std::string());
  out_.Seek(tail_, SeekOrigin::Begin);
}

// ---- reading

const SectionInfo* CompanionReader::Find(uint32_t Type) const {
  for (const SectionInfo& s : sections_)
    if (s.Type == Type) return &s;
  return nullptr;
}

bool CompanionReader::ReadFully(int64_t At, void* Bytes, size_t Count) {
  try {
    in_.Seek(At, SeekOrigin::Begin);
    auto* out = static_cast<char*>(Bytes);
    size_t done = 0;
    while (done < Count) {
      const size_t n = in_.Read(out + done, Count - done);
      if (n == 0) return false;
      done += n;
    }
    return true;
  } catch (const EStreamError& e) {
    if (readError_ == 0) readError_ = e.SystemError();
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

CompanionState CompanionReader::Stop(CompanionState State, const std::string& Problem, int64_t At) {
  state_ = State;
  problem_ = Problem + " at byte " + std::to_string(At);
  return state_;
}

CompanionState CompanionReader::Open() {
  sections_.clear();
  problem_.clear();
  try {
    size_ = in_.Seek(0, SeekOrigin::End);
  } catch (const EStreamError& e) {
    if (readError_ == 0) readError_ = e.SystemError();
    state_ = CompanionState::Unreadable;
    problem_ = "the companion cannot be read";
    return state_;
  } catch (const std::exception&) {
    state_ = CompanionState::Unreadable;
    problem_ = "the companion cannot be read";
    return state_;
  }
  unsigned char header[kFileHeaderSize];
  if (size_ < static_cast<int64_t>(kFileHeaderSize) || !ReadFully(0, header, sizeof header) ||
      std::memcmp(header, kMagic, sizeof kMagic) != 0)
    return Stop(CompanionState::NotCompanion, "no companion header", 0);
  ByteReader fields(header + 8, 8);
  uint16_t major = 0;
  uint32_t crc = 0;
  fields.Int(major);
  fields.Skip(2);
  fields.Int(crc);
  if (crc != Crc32c(0, header, 12)) return Stop(CompanionState::Damaged, "damaged header", 0);
  if (major != kVersionMajor)
    return Stop(CompanionState::NewerVersion, "version " + std::to_string(major), 8);

  int64_t at = static_cast<int64_t>(kFileHeaderSize);
  while (true) {
    if (sections_.size() >= kMaxSections)
      return Stop(CompanionState::Damaged, "too many sections", at);
    unsigned char bytes[kSectionHeaderSize];
    if (size_ - at < static_cast<int64_t>(kSectionHeaderSize) ||
        !ReadFully(at, bytes, sizeof bytes))
      return Stop(CompanionState::Incomplete, "no end section", at);
    ByteReader r(bytes, sizeof bytes);
    SectionInfo s;
    uint64_t length = 0;
    uint32_t headerCrc = 0;
    r.Int(s.Type);
    r.Int(s.Flags);
    r.Int(length);
    r.Int(s.BodyCrc);
    r.Int(headerCrc);
    if (headerCrc != Crc32c(0, bytes, 20))
      return Stop(CompanionState::Damaged, "damaged section header", at);
    s.HeaderAt = at;
    s.BodyAt = at + static_cast<int64_t>(kSectionHeaderSize);
    if (length > static_cast<uint64_t>(size_ - s.BodyAt))
      return Stop(CompanionState::Incomplete, "section cut short", at);
    s.Length = static_cast<int64_t>(length);
    if (s.Type == kEndSection) break;
    if (!Known(s.Type) && (s.Flags & kCriticalSection) != 0)
      return Stop(CompanionState::NewerVersion, "section of type " + std::to_string(s.Type), at);
    // A type this reader does not know is stepped over, but listed.
    sections_.push_back(s);
    at = s.BodyAt + s.Length;
  }
  state_ = CompanionState::Sound;
  return state_;
}

bool CompanionReader::ReadAt(const SectionInfo& Section, int64_t Offset, void* Bytes,
                             size_t Count) {
  if (Offset < 0 || Offset > Section.Length ||
      static_cast<uint64_t>(Section.Length - Offset) < Count)
    return false;
  return ReadFully(Section.BodyAt + Offset, Bytes, Count);
}

bool CompanionReader::ReadBody(const SectionInfo& Section, std::string& Body, size_t Limit) {
  if (static_cast<uint64_t>(Section.Length) > Limit) return false;
  try {
    Body.assign(static_cast<size_t>(Section.Length), '\0');
  } catch (const std::bad_alloc&) {
    return false;
  }
  return ReadAt(Section, 0, Body.data(), Body.size()) &&
         Crc32c(0, Body.data(), Body.size()) == Section.BodyCrc;
}

bool CompanionReader::VerifyBody(const SectionInfo& Section) {
  return ReadBodyInPieces(Section, nullptr);
}

bool CompanionReader::ReadBodyInPieces(const SectionInfo& Section,
                                       const std::function<bool(const uint8_t*, size_t)>& Take) {
  const size_t pieceSize =
      static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kStreamPiece), Section.Length));
  std::unique_ptr<uint8_t[]> piece(new uint8_t[std::max<size_t>(pieceSize, 1)]);
  uint32_t crc = 0;
  for (int64_t at = 0; at < Section.Length;) {
    const size_t n = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(pieceSize), Section.Length - at));
    if (!ReadAt(Section, at, piece.get(), n)) return false;
    crc = Crc32c(crc, piece.get(), n);
    if (Take && !Take(piece.get(), n)) return false;
    at += static_cast<int64_t>(n);
  }
  return crc == Section.BodyCrc;
}

}  // namespace kelmora::companion
