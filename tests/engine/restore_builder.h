// SPDX-License-Identifier: GPL-3.0-or-later
//
// Builds archives record by record for the reader tests, so that damaged
// and hostile archives can be made as easily as sound ones.
#pragma once

#include <zlib.h>

#include <string>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "test_support.h"

namespace kelmora::test {

// A zlib stream of Bytes at Level, whatever its size.
inline std::string Deflate(const std::string& Bytes, int Level = 6) {
  uLongf size = compressBound(static_cast<uLong>(Bytes.size()));
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(Bytes.data()), static_cast<uLong>(Bytes.size()),
                Level) != Z_OK)
    throw std::runtime_error("compress2 failed");
  out.resize(size);
  return out;
}

class ArchiveBuilder {
 public:
  ArchiveBuilder& Header(const std::string& Title = "", int32_t Total = 0, int32_t Count = 0) {
    format::WriteHeader(s_, format::Header{Title, Total, Count});
    return *this;
  }
  ArchiveBuilder& Int(int32_t Value) {
    format::WriteInt32(s_, Value);
    return *this;
  }
  ArchiveBuilder& Raw(const std::string& Bytes) {
    s_.WriteBuffer(Bytes.data(), Bytes.size());
    return *this;
  }
  ArchiveBuilder& Name(const std::string& Value) {
    format::WriteString(s_, Value);
    return *this;
  }
  ArchiveBuilder& Signature() {
    format::WriteSignature(s_);
    return *this;
  }
  // A deflated chunk record holding Payload as its zlib stream.
  ArchiveBuilder& DeflatedChunk(const std::string& Payload) {
    return Int(static_cast<int32_t>(Payload.size())).Raw(Payload);
  }
  ArchiveBuilder& StoredChunk(const std::string& Bytes) {
    return Int(-static_cast<int32_t>(Bytes.size())).Raw(Bytes);
  }
  // Chunks of Bytes cut as the writer cuts them: 16384-byte pieces,
  // deflated when the stream fits in 16384 bytes, stored otherwise.
  ArchiveBuilder& Chunks(const std::string& Bytes, int Level = 1) {
    for (size_t at = 0; at < Bytes.size(); at += format::kPieceSize) {
      const std::string piece = Bytes.substr(at, format::kPieceSize);
      const std::string z = Deflate(piece, Level);
      if (z.size() <= static_cast<size_t>(format::kPieceSize))
        DeflatedChunk(z);
      else
        StoredChunk(piece);
    }
    return *this;
  }
  ArchiveBuilder& Section(const std::string& Bytes, int Level = 1) {
    return Signature().Chunks(Bytes, Level).Int(0);
  }
  // A whole file entry: name, time stamp, one data section.
  ArchiveBuilder& File(const std::string& Stored, int32_t Stamp, const std::string& Bytes) {
    return Name(Stored).Int(Stamp).Section(Bytes);
  }
  ArchiveBuilder& VolumeChange(unsigned Volume) {
    format::WriteVolumeChange(s_, Volume);
    return *this;
  }
  ArchiveBuilder& End() { return Int(0); }

  std::string Bytes() const { return s_.Text(); }
  void Save(const std::string& Path) const { WriteFile(Path, Bytes()); }

 private:
  TMemoryStream s_;
};

// A memory stream holding Bytes, positioned at 0.
inline TMemoryStream StreamOf(const std::string& Bytes) {
  TMemoryStream m;
  m.WriteBuffer(Bytes.data(), Bytes.size());
  m.Seek(0, SeekOrigin::Begin);
  return m;
}

// Packed stamp of a local date and time (2-second resolution).
inline int32_t Stamp(int Year, int Month, int Day, int Hour, int Minute, int Second) {
  return static_cast<int32_t>(
      static_cast<uint32_t>(Year - 1980) << 25 | static_cast<uint32_t>(Month) << 21 |
      static_cast<uint32_t>(Day) << 16 | static_cast<uint32_t>(Hour) << 11 |
      static_cast<uint32_t>(Minute) << 5 | static_cast<uint32_t>(Second / 2));
}

}  // namespace kelmora::test
