// SPDX-License-Identifier: GPL-3.0-or-later
//
// The arithmetic the rest of the companion uses: ISA-L where the build has
// it, the portable routines otherwise.
#include "engine/companion/erasure_code.h"

#include <cstring>

#include "platform/assertions.h"

namespace kelmora::companion {

uint32_t Crc32c(uint32_t Crc, const void* Bytes, size_t Count) {
  const auto* bytes = static_cast<const uint8_t*>(Bytes);
#if KELMORA_HAVE_ISAL
  return ~isal::Crc32cRaw(~Crc, bytes, Count);
#else
  return ~portable::Crc32cRaw(~Crc, bytes, Count);
#endif
}

namespace gf {

void CauchyMatrix(uint8_t* Matrix, int Rows, int Columns) {
#if KELMORA_HAVE_ISAL
  isal::CauchyMatrix(Matrix, Rows, Columns);
#else
  portable::CauchyMatrix(Matrix, Rows, Columns);
#endif
}

bool InvertMatrix(const uint8_t* Matrix, uint8_t* Inverse, int N) {
#if KELMORA_HAVE_ISAL
  return isal::InvertMatrix(Matrix, Inverse, N);
#else
  return portable::InvertMatrix(Matrix, Inverse, N);
#endif
}

}  // namespace gf

MatrixCoder::MatrixCoder(int Rows, int Columns, const uint8_t* Coefficients)
    : rows_(Rows),
      columns_(Columns),
      coefficients_(Coefficients, Coefficients + static_cast<size_t>(Rows) * Columns) {
  KELMORA_ASSERT(Rows > 0 && Columns > 0);
#if KELMORA_HAVE_ISAL
  tables_ = isal::Tables(Rows, Columns, Coefficients);
#endif
}

void MatrixCoder::Encode(size_t Length, const uint8_t* const* Sources,
                         uint8_t* const* Outputs) const {
#if KELMORA_HAVE_ISAL
  isal::Encode(Length, columns_, rows_, tables_.data(), Sources, Outputs);
#else
  portable::Encode(Length, columns_, rows_, coefficients_.data(), Sources, Outputs);
#endif
}

void MatrixCoder::Update(size_t Length, int Column, const uint8_t* Source,
                         uint8_t* const* Outputs) const {
  KELMORA_ASSERT(Column >= 0 && Column < columns_);
#if KELMORA_HAVE_ISAL
  isal::Update(Length, columns_, rows_, Column, tables_.data(), Source, Outputs);
#else
  portable::Update(Length, columns_, rows_, Column, coefficients_.data(), Source, Outputs);
#endif
}

}  // namespace kelmora::companion
