// SPDX-License-Identifier: GPL-3.0-or-later
//
// Shared by the fuzz targets that read companions: every checksum of a
// companion's container put right, so that mutations reach the decoders
// behind the checksums rather than stopping at them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/companion/container.h"
#include "engine/companion/erasure_code.h"

namespace kelmora::fuzz {

inline void PutCrc(std::string& Bytes, size_t At, uint32_t Crc) {
  for (int i = 0; i < 4; ++i) Bytes[At + i] = static_cast<char>(Crc >> (8 * i));
}

// Every checksum of the container made to agree, lengths taken as they are.
inline void FixChecksums(std::string& Bytes) {
  using namespace kelmora::companion;
  if (Bytes.size() < kFileHeaderSize) return;
  PutCrc(Bytes, 12, Crc32c(0, Bytes.data(), 12));
  size_t at = kFileHeaderSize;
  while (Bytes.size() - at >= kSectionHeaderSize) {
    ByteReader r(Bytes.data() + at + 8, 8);
    uint64_t length = 0;
    r.Int(length);
    const size_t body = at + kSectionHeaderSize;
    if (length > Bytes.size() - body) break;
    PutCrc(Bytes, at + 16, Crc32c(0, Bytes.data() + body, static_cast<size_t>(length)));
    PutCrc(Bytes, at + 20, Crc32c(0, Bytes.data() + at, 20));
    at = body + static_cast<size_t>(length);
  }
}

}  // namespace kelmora::fuzz
