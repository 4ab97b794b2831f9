// SPDX-License-Identifier: GPL-3.0-or-later
//
// ISA-L behind the arithmetic's interface. Its lengths are ints; the
// blocks handed here are at most 64 KiB, and checksums of longer runs are
// taken in pieces.
#include <isa-l/crc.h>
#include <isa-l/erasure_code.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "engine/companion/erasure_code.h"
#include "platform/assertions.h"

namespace kelmora::companion::isal {

uint32_t Crc32cRaw(uint32_t Crc, const uint8_t* Bytes, size_t Count) {
  while (Count > 0) {
    const size_t piece = std::min<size_t>(Count, size_t{1} << 30);
    Crc = crc32_iscsi(const_cast<uint8_t*>(Bytes), static_cast<int>(piece), Crc);
    Bytes += piece;
    Count -= piece;
  }
  return Crc;
}

void CauchyMatrix(uint8_t* Matrix, int Rows, int Columns) {
  gf_gen_cauchy1_matrix(Matrix, Rows, Columns);
}

bool InvertMatrix(const uint8_t* Matrix, uint8_t* Inverse, int N) {
  // ISA-L works on its input; the caller's matrix stays as it was.
  std::vector<uint8_t> copy(Matrix, Matrix + static_cast<size_t>(N) * N);
  return gf_invert_matrix(copy.data(), Inverse, N) == 0;
}

std::vector<uint8_t> Tables(int Rows, int Columns, const uint8_t* Coefficients) {
  std::vector<uint8_t> tables(static_cast<size_t>(32) * Rows * Columns);
  std::vector<uint8_t> copy(Coefficients, Coefficients + static_cast<size_t>(Rows) * Columns);
  ec_init_tables(Columns, Rows, copy.data(), tables.data());
  return tables;
}

void Encode(size_t Length, int Columns, int Rows, const uint8_t* Tables,
            const uint8_t* const* Sources, uint8_t* const* Outputs) {
  KELMORA_ASSERT(Length <= INT_MAX);
  ec_encode_data(static_cast<int>(Length), Columns, Rows, const_cast<uint8_t*>(Tables),
                 const_cast<uint8_t**>(Sources), const_cast<uint8_t**>(Outputs));
}

void Update(size_t Length, int Columns, int Rows, int Column, const uint8_t* Tables,
            const uint8_t* Source, uint8_t* const* Outputs) {
  KELMORA_ASSERT(Length <= INT_MAX);
  ec_encode_data_update(static_cast<int>(Length), Columns, Rows, Column,
                        const_cast<uint8_t*>(Tables), const_cast<uint8_t*>(Source),
                        const_cast<uint8_t**>(Outputs));
}

}  // namespace kelmora::companion::isal
