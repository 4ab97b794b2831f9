// SPDX-License-Identifier: GPL-3.0-or-later
//
// One group of the recovery record while a repair works on it: its
// syndromes, which of its positions failed, and what decoding found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/companion/recovery_code.h"

namespace kelmora::companion {

struct RepairGroup {
  std::vector<uint8_t> Syndromes;  // p rows of a block each
  std::vector<int> FailedData;     // data positions, ascending
  std::vector<uint8_t> DataUnreadable;
  std::vector<int> FailedParity;  // positions k..k+p-1
  std::vector<uint8_t> ParityUnreadable;
  // Solved by erasures: one error block per failed data position.
  bool Dense = false;
  bool Solved = false;
  std::vector<uint8_t> Errors;
  // Solved column by column: (position << 24 | column << 8 | value), sorted.
  std::vector<uint32_t> Fixes;
  // Failed data positions whose repair did not agree with its checksum.
  std::vector<int> Unverified;
  size_t Cursor = 0;  // into FailedData, as the rows go by

  uint8_t* Row(int J, uint32_t BlockSize) { return Syndromes.data() + size_t{BlockSize} * J; }
  void Reset(int ParityCount, uint32_t BlockSize);
};

// Decodes a group after every block of it was read: by erasures when its
// failed positions are at most p, else column by column.
void DecodeGroup(const GroupCode& Code, uint32_t BlockSize, RepairGroup& Group);

// The repair a decoded group gives the block at data position Row, applied
// to its bytes as found; false when the group has none for it.
bool ApplyRepair(const RepairGroup& Group, int Row, uint32_t BlockSize, uint8_t* Block);

// Takes a verified block's corrections out of the syndromes, so that what
// remains is the error of the blocks still unknown.
void RemoveFixes(const GroupCode& Code, uint32_t BlockSize, int Row, RepairGroup& Group);

// The second chance of a group decoded column by column: the blocks left
// unverified, and the failed parity, as erasures. False when they outnumber
// the parity; Errors then holds one block for each Unverified position.
bool SolveLeftOver(const GroupCode& Code, uint32_t BlockSize, RepairGroup& Group);

}  // namespace kelmora::companion
