// SPDX-License-Identifier: GPL-3.0-or-later
//
// GF(2^8) arithmetic, matrix coding over blocks of bytes and CRC32C: the
// arithmetic of the recovery record and the block checksums.
//
// ISA-L does the work where the build has it (KELMORA_HAVE_ISAL); the
// portable routines give the very same bytes everywhere else (Windows has
// no ISA-L package), so a companion written by either build is read and
// repaired by the other. The field is ISA-L's: polynomial x^8+x^4+x^3+x^2+1
// (0x11D), and the Cauchy matrix is the one gf_gen_cauchy1_matrix makes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelmora::companion {

// The standard CRC32C (Castagnoli), continued from Crc: Crc32c(0, "123456789", 9)
// is 0xE3069283, and Crc32c(Crc32c(0, A), B) is the CRC of A followed by B.
uint32_t Crc32c(uint32_t Crc, const void* Bytes, size_t Count);

namespace gf {

// Every product, made when the program is compiled: the decoders multiply
// single bytes in their inner loops.
struct ProductTable {
  constexpr ProductTable();
  uint8_t v[256][256]{};
};
extern const ProductTable kProduct;

inline uint8_t Mul(uint8_t A, uint8_t B) {
  return kProduct.v[A][B];
}
// A must not be 0.
uint8_t Inverse(uint8_t A);
uint8_t Power(uint8_t A, unsigned Exponent);

// Rows x Columns, row-major: the identity over the first Columns rows, then
// 1 / (i ^ j) for row i and column j, exactly as ISA-L's
// gf_gen_cauchy1_matrix(Matrix, Rows, Columns). Rows is at most 256.
void CauchyMatrix(uint8_t* Matrix, int Rows, int Columns);
// Inverts the N x N row-major Matrix into Inverse; false when it is
// singular. Matrix is left as it was.
bool InvertMatrix(const uint8_t* Matrix, uint8_t* Inverse, int N);

}  // namespace gf

// Outputs[r] = sum over c of M[r][c] * Sources[c], byte by byte, for a
// Rows x Columns coefficient matrix M (row-major). The tables are made once
// and the coder used for any number of blocks.
class MatrixCoder {
 public:
  MatrixCoder() = default;
  MatrixCoder(int Rows, int Columns, const uint8_t* Coefficients);

  int Rows() const { return rows_; }
  int Columns() const { return columns_; }
  // Writes every output from all Columns sources.
  void Encode(size_t Length, const uint8_t* const* Sources, uint8_t* const* Outputs) const;
  // Adds the share of source Column to every output, the others untouched:
  // sources fed one at a time in any order give Encode's result.
  void Update(size_t Length, int Column, const uint8_t* Source, uint8_t* const* Outputs) const;

 private:
  int rows_ = 0;
  int columns_ = 0;
  std::vector<uint8_t> coefficients_;
  std::vector<uint8_t> tables_;  // ISA-L's expanded tables, 32 bytes a coefficient
};

// The two implementations, reachable one by one so that a test can hold
// them against each other. Crc32cRaw works as ISA-L's crc32_iscsi does: no
// inversion before or after (Crc32c is ~Crc32cRaw(~Crc, ...)).
namespace portable {
uint32_t Crc32cRaw(uint32_t Crc, const uint8_t* Bytes, size_t Count);
void CauchyMatrix(uint8_t* Matrix, int Rows, int Columns);
bool InvertMatrix(const uint8_t* Matrix, uint8_t* Inverse, int N);
void Encode(size_t Length, int Columns, int Rows, const uint8_t* Coefficients,
            const uint8_t* const* Sources, uint8_t* const* Outputs);
void Update(size_t Length, int Columns, int Rows, int Column, const uint8_t* Coefficients,
            const uint8_t* Source, uint8_t* const* Outputs);
}  // namespace portable

#if KELMORA_HAVE_ISAL
namespace isal {
uint32_t Crc32cRaw(uint32_t Crc, const uint8_t* Bytes, size_t Count);
void CauchyMatrix(uint8_t* Matrix, int Rows, int Columns);
bool InvertMatrix(const uint8_t* Matrix, uint8_t* Inverse, int N);
// Tables for Encode and Update from a Rows x Columns matrix.
std::vector<uint8_t> Tables(int Rows, int Columns, const uint8_t* Coefficients);
void Encode(size_t Length, int Columns, int Rows, const uint8_t* Tables,
            const uint8_t* const* Sources, uint8_t* const* Outputs);
void Update(size_t Length, int Columns, int Rows, int Column, const uint8_t* Tables,
            const uint8_t* Source, uint8_t* const* Outputs);
}  // namespace isal
#endif

}  // namespace kelmora::companion
