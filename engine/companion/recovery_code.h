// SPDX-License-Identifier: GPL-3.0-or-later
//
// The recovery record's code: Reed-Solomon over GF(2^8) with ISA-L's
// Cauchy matrix, on groups of blocks interleaved over the whole archive.
//
// The data blocks are numbered across the volumes in order (each volume's
// last block padded with zeros). Block b belongs to group b % G, where it
// is data position b / G: a contiguous stretch of damage of D blocks puts
// at most ceil(D / G) damaged blocks into any one group. Each group has k
// data positions (blocks past the last are zeros, never stored) and p
// parity blocks; k + p is at most 255.
//
//   recovery section  u32 block size, u32 k, u32 p, u32 0, u64 G, u64 N,
//                     then u32 CRC32C of each parity block, group by group
//   parity section    the parity blocks, group 0's p blocks first
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/companion/erasure_code.h"

namespace kelmora::companion {

inline constexpr uint32_t kDefaultBlockSize = 4096;
inline constexpr size_t kRecoveryHeadSize = 32;
inline constexpr int kMaxCodeLength = 255;
// A group's parity is at most this: what a repair holds for one group is a
// few times it, whatever a damaged companion claims.
inline constexpr uint64_t kMaxGroupParityBytes = uint64_t{1} << 20;

struct RecoveryGeometry {
  uint32_t BlockSize = 0;
  uint32_t DataPerGroup = 0;    // k
  uint32_t ParityPerGroup = 0;  // p
  uint64_t Groups = 0;          // G
  uint64_t DataBlocks = 0;      // N

  // Parity of about Percent (1 to 100) of DataBlocks, in groups as large as
  // the field allows: the larger a group, the more evenly damage spreads.
  static RecoveryGeometry For(uint64_t DataBlocks, uint32_t BlockSize, unsigned Percent);
  bool Valid() const;
  uint64_t ParityBlocks() const { return Groups * ParityPerGroup; }
  uint64_t GroupOf(uint64_t Block) const { return Block % Groups; }
  uint64_t RowOf(uint64_t Block) const { return Block / Groups; }
  bool operator==(const RecoveryGeometry&) const = default;
};

std::string EncodeRecoveryHead(const RecoveryGeometry& Geometry);
// The fixed part only; the caller checks the body's length against it.
bool DecodeRecoveryHead(const std::string& Head, RecoveryGeometry& Geometry);

// One group's code: k data and p parity positions, numbered 0..k-1 and
// k..k+p-1. A group's syndrome row j is its stored parity j plus parity j
// recomputed from the data as found: zero where nothing is damaged, and
// H e for the error e otherwise, H being [C | I].
class GroupCode {
 public:
  GroupCode(int DataCount, int ParityCount);

  int DataCount() const { return k_; }
  int ParityCount() const { return p_; }
  // The check matrix H: C for a data position, the identity for parity.
  uint8_t Check(int Row, int Position) const;
  // p outputs from k sources: computes parity, and feeds syndromes.
  const MatrixCoder& Encoder() const { return encoder_; }

  // The errors of the data positions Data (Out, one block each) from the
  // syndromes (p rows), when every damaged position is in Data or Parity.
  // Parity positions are unknowns whose rows are left out. False when the
  // positions outnumber what the rows determine.
  bool SolveErasures(const std::vector<int>& Data, const std::vector<int>& Parity, size_t Length,
                     const uint8_t* const* Syndromes, uint8_t* const* Out) const;

  // One byte column: Syndrome holds its p bytes. Erased are positions known
  // to be unreadable; Candidate marks (per position) those allowed to hold
  // an error: the ones that failed their checksum. Finds where the errors
  // are and their values, up to (p - erased) / 2 errors besides the
  // erasures; false when the column cannot be explained that way.
  bool DecodeColumn(const uint8_t* Syndrome, const std::vector<int>& Erased,
                    const std::vector<uint8_t>& Candidate,
                    std::vector<std::pair<int, uint8_t>>& Located) const;

 private:
  bool SolveValues(const uint8_t* Syndrome, const std::vector<int>& Positions,
                   std::vector<uint8_t>& Values) const;

  int k_;
  int p_;
  std::vector<uint8_t> matrix_;  // (k + p) x k, ISA-L's Cauchy matrix
  MatrixCoder encoder_;
  // Error locators (position i ^ 255, never 0) and their inverses, and the
  // p x p matrix that turns a syndrome into sums of values times locator
  // powers, the form a Berlekamp-Massey decoder takes.
  std::vector<uint8_t> locator_;
  std::vector<uint8_t> inverseLocator_;
  std::vector<uint8_t> transform_;
};

}  // namespace kelmora::companion
