// SPDX-License-Identifier: GPL-3.0-or-later
//
// The portable arithmetic: table lookups in plain C++, for builds without
// ISA-L. Slower than ISA-L's vector code, and byte for byte the same.
#include <array>
#include <cstring>
#include <vector>

#include "engine/companion/erasure_code.h"
#include "platform/assertions.h"

namespace kelmora::companion {

namespace {

// Plain arrays: the tables are made by the compiler, within the number of
// steps a compiler allows such work.
struct Field {
  uint8_t exp[512]{};
  uint8_t log[256]{};

  constexpr Field() {
    unsigned x = 1;
    for (unsigned i = 0; i < 255; ++i) {
      exp[i] = static_cast<uint8_t>(x);
      log[x] = static_cast<uint8_t>(i);
      x <<= 1;
      if (x & 0x100) x ^= 0x11D;
    }
    for (unsigned i = 255; i < 512; ++i) exp[i] = exp[i - 255];
  }
};

constexpr Field kField;

// Eight tables for CRC32C eight bytes at a time (reflected 0x1EDC6F41).
struct CrcTables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  CrcTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
};

const CrcTables& TheCrcTables() {
  static const CrcTables tables;
  return tables;
}

}  // namespace

namespace gf {

constexpr ProductTable::ProductTable() {
  for (unsigned a = 1; a < 256; ++a)
    for (unsigned b = 1; b < 256; ++b) v[a][b] = kField.exp[kField.log[a] + kField.log[b]];
}

constinit const ProductTable kProduct;

uint8_t Inverse(uint8_t A) {
  KELMORA_ASSERT(A != 0);
  return kField.exp[255 - kField.log[A]];
}

uint8_t Power(uint8_t A, unsigned Exponent) {
  if (Exponent == 0) return 1;
  if (A == 0) return 0;
  return kField.exp[(kField.log[A] * static_cast<uint64_t>(Exponent)) % 255];
}

}  // namespace gf

namespace portable {

uint32_t Crc32cRaw(uint32_t Crc, const uint8_t* Bytes, size_t Count) {
  const auto& t = TheCrcTables().t;
  while (Count >= 8) {
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, Bytes, 4);
    std::memcpy(&high, Bytes + 4, 4);
    // The tables are for little-endian words; every build target is one.
    low ^= Crc;
    Crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
          t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^
          t[0][high >> 24];
    Bytes += 8;
    Count -= 8;
  }
  while (Count-- > 0) Crc = (Crc >> 8) ^ t[0][(Crc ^ *Bytes++) & 0xFF];
  return Crc;
}

void CauchyMatrix(uint8_t* Matrix, int Rows, int Columns) {
  KELMORA_ASSERT(Rows <= 256 && Columns <= Rows);
  std::memset(Matrix, 0, static_cast<size_t>(Rows) * Columns);
  for (int i = 0; i < Columns; ++i) Matrix[Columns * i + i] = 1;
  uint8_t* p = Matrix + static_cast<size_t>(Columns) * Columns;
  for (int i = Columns; i < Rows; ++i)
    for (int j = 0; j < Columns; ++j) *p++ = gf::Inverse(static_cast<uint8_t>(i ^ j));
}

bool InvertMatrix(const uint8_t* Matrix, uint8_t* Inverse, int N) {
  const size_t n = static_cast<size_t>(N);
  std::vector<uint8_t> a(Matrix, Matrix + n * n);
  std::memset(Inverse, 0, n * n);
  for (size_t i = 0; i < n; ++i) Inverse[i * n + i] = 1;
  for (size_t col = 0; col < n; ++col) {
    size_t pivot = col;
    while (pivot < n && a[pivot * n + col] == 0) ++pivot;
    if (pivot == n) return false;
    if (pivot != col) {
      for (size_t j = 0; j < n; ++j) {
        std::swap(a[pivot * n + j], a[col * n + j]);
        std::swap(Inverse[pivot * n + j], Inverse[col * n + j]);
      }
    }
    const uint8_t scale = gf::Inverse(a[col * n + col]);
    for (size_t j = 0; j < n; ++j) {
      a[col * n + j] = gf::Mul(a[col * n + j], scale);
      Inverse[col * n + j] = gf::Mul(Inverse[col * n + j], scale);
    }
    for (size_t row = 0; row < n; ++row) {
      const uint8_t factor = a[row * n + col];
      if (row == col || factor == 0) continue;
      for (size_t j = 0; j < n; ++j) {
        a[row * n + j] ^= gf::Mul(factor, a[col * n + j]);
        Inverse[row * n + j] ^= gf::Mul(factor, Inverse[col * n + j]);
      }
    }
  }
  return true;
}

void Update(size_t Length, int Columns, int Rows, int Column, const uint8_t* Coefficients,
            const uint8_t* Source, uint8_t* const* Outputs) {
  for (int r = 0; r < Rows; ++r) {
    const uint8_t c = Coefficients[static_cast<size_t>(r) * Columns + Column];
    if (c == 0) continue;
    const uint8_t* row = gf::kProduct.v[c];
    uint8_t* out = Outputs[r];
    for (size_t i = 0; i < Length; ++i) out[i] ^= row[Source[i]];
  }
}

void Encode(size_t Length, int Columns, int Rows, const uint8_t* Coefficients,
            const uint8_t* const* Sources, uint8_t* const* Outputs) {
  for (int r = 0; r < Rows; ++r) std::memset(Outputs[r], 0, Length);
  for (int c = 0; c < Columns; ++c)
    Update(Length, Columns, Rows, c, Coefficients, Sources[c], Outputs);
}

}  // namespace portable

}  // namespace kelmora::companion
