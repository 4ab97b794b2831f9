// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/repair_group.h"

#include <algorithm>

namespace kelmora::companion {

namespace {

// Columns that must fail before a group's failures are held against its
// successes.
constexpr uint32_t kFailuresBeforeJudging = 32;

uint32_t Fix(int Position, uint32_t Column, uint8_t Value) {
  return static_cast<uint32_t>(Position) << 24 | Column << 8 | Value;
}

std::vector<uint8_t*> Rows(RepairGroup& Group, int Count, uint32_t BlockSize) {
  std::vector<uint8_t*> rows(Count);
  for (int j = 0; j < Count; ++j) rows[j] = Group.Row(j, BlockSize);
  return rows;
}

std::vector<uint8_t*> ErrorBlocks(RepairGroup& Group, size_t Count, uint32_t BlockSize) {
  Group.Errors.assign(Count * BlockSize, 0);
  std::vector<uint8_t*> out(Count);
  for (size_t i = 0; i < Count; ++i) out[i] = Group.Errors.data() + i * BlockSize;
  return out;
}

// One pass over the columns with the given erasures; Located counts the
// bytes found wrong in each position. False when most columns cannot be
// explained: such a group is beyond the record (scattered flips leave one
// column in a hundred unexplained, a foreign or overwritten group nearly
// all), and giving up early keeps it from costing a decode for every byte.
bool ColumnPass(const GroupCode& Code, uint32_t BlockSize, const std::vector<int>& Erased,
                const std::vector<uint8_t>& Candidate, RepairGroup& Group,
                std::vector<uint32_t>& Located) {
  const int p = Code.ParityCount();
  Group.Fixes.clear();
  Located.assign(Candidate.size(), 0);
  std::vector<uint8_t> column(p);
  std::vector<std::pair<int, uint8_t>> found;
  uint32_t failures = 0;
  uint32_t decoded = 0;
  for (uint32_t x = 0; x < BlockSize; ++x) {
    bool zero = true;
    for (int j = 0; j < p; ++j) {
      column[j] = Group.Syndromes[size_t{BlockSize} * j + x];
      zero = zero && column[j] == 0;
    }
    if (zero) continue;
    if (!Code.DecodeColumn(column.data(), Erased, Candidate, found)) {
      ++failures;
      if (failures > BlockSize / 4 || (failures >= kFailuresBeforeJudging && failures > decoded)) {
        Group.Fixes.clear();
        return false;
      }
      continue;
    }
    ++decoded;
    for (const auto& [position, value] : found) {
      ++Located[position];
      if (position < Code.DataCount()) Group.Fixes.push_back(Fix(position, x, value));
    }
  }
  std::sort(Group.Fixes.begin(), Group.Fixes.end());
  return true;
}

// Column by column, first with the unreadable blocks as the only erasures.
// A block found wrong in many columns (zeroed, overwritten) then becomes an
// erasure too: known to be wrong, it costs one check symbol a column
// instead of two, which leaves room for the scattered flips beside it.
void DecodeColumns(const GroupCode& Code, uint32_t BlockSize, RepairGroup& Group) {
  const int p = Code.ParityCount();
  const int n = Code.DataCount() + p;
  std::vector<int> erased;
  std::vector<uint8_t> candidate(n, 0);
  for (size_t i = 0; i < Group.FailedData.size(); ++i) {
    candidate[Group.FailedData[i]] = 1;
    if (Group.DataUnreadable[i]) erased.push_back(Group.FailedData[i]);
  }
  for (size_t i = 0; i < Group.FailedParity.size(); ++i) {
    candidate[Group.FailedParity[i]] = 1;
    if (Group.ParityUnreadable[i]) erased.push_back(Group.FailedParity[i]);
  }
  std::vector<uint32_t> located;
  for (int round = 0; round < 3 && static_cast<int>(erased.size()) <= p; ++round) {
    if (!ColumnPass(Code, BlockSize, erased, candidate, Group, located)) return;
    std::vector<int> heavy;
    for (int i = 0; i < n; ++i)
      if (located[i] > BlockSize / 16 && std::find(erased.begin(), erased.end(), i) == erased.end())
        heavy.push_back(i);
    if (heavy.empty() || static_cast<int>(erased.size() + heavy.size()) > p) return;
    erased.insert(erased.end(), heavy.begin(), heavy.end());
  }
}

}  // namespace

void RepairGroup::Reset(int ParityCount, uint32_t BlockSize) {
  Syndromes.assign(size_t{BlockSize} * ParityCount, 0);
  FailedData.clear();
  DataUnreadable.clear();
  FailedParity.clear();
  ParityUnreadable.clear();
  Dense = Solved = false;
  Errors.clear();
  Fixes.clear();
  Unverified.clear();
  Cursor = 0;
}

void DecodeGroup(const GroupCode& Code, uint32_t BlockSize, RepairGroup& Group) {
  if (Group.FailedData.empty()) return;
  const int p = Code.ParityCount();
  if (static_cast<int>(Group.FailedData.size() + Group.FailedParity.size()) <= p) {
    Group.Dense = true;
    const std::vector<uint8_t*> rows = Rows(Group, p, BlockSize);
    const std::vector<uint8_t*> out = ErrorBlocks(Group, Group.FailedData.size(), BlockSize);
    Group.Solved = Code.SolveErasures(Group.FailedData, Group.FailedParity, BlockSize, rows.data(),
                                      out.data());
    return;
  }
  DecodeColumns(Code, BlockSize, Group);
}

bool ApplyRepair(const RepairGroup& Group, int Row, uint32_t BlockSize, uint8_t* Block) {
  if (Group.Dense) {
    if (!Group.Solved) return false;
    const auto at = std::lower_bound(Group.FailedData.begin(), Group.FailedData.end(), Row);
    const uint8_t* error =
        Group.Errors.data() + (at - Group.FailedData.begin()) * size_t{BlockSize};
    for (uint32_t x = 0; x < BlockSize; ++x) Block[x] ^= error[x];
    return true;
  }
  const auto first = std::lower_bound(Group.Fixes.begin(), Group.Fixes.end(), Fix(Row, 0, 0));
  for (auto f = first; f != Group.Fixes.end() && static_cast<int>(*f >> 24) == Row; ++f)
    Block[(*f >> 8) & 0xFFFF] ^= static_cast<uint8_t>(*f);
  return true;
}

void RemoveFixes(const GroupCode& Code, uint32_t BlockSize, int Row, RepairGroup& Group) {
  const int p = Code.ParityCount();
  const auto first = std::lower_bound(Group.Fixes.begin(), Group.Fixes.end(), Fix(Row, 0, 0));
  for (auto f = first; f != Group.Fixes.end() && static_cast<int>(*f >> 24) == Row; ++f) {
    const uint32_t x = (*f >> 8) & 0xFFFF;
    for (int j = 0; j < p; ++j)
      Group.Syndromes[size_t{BlockSize} * j + x] ^=
          gf::Mul(Code.Check(j, Row), static_cast<uint8_t>(*f));
  }
}

bool SolveLeftOver(const GroupCode& Code, uint32_t BlockSize, RepairGroup& Group) {
  const int p = Code.ParityCount();
  if (static_cast<int>(Group.Unverified.size() + Group.FailedParity.size()) > p) return false;
  const std::vector<uint8_t*> rows = Rows(Group, p, BlockSize);
  const std::vector<uint8_t*> out = ErrorBlocks(Group, Group.Unverified.size(), BlockSize);
  return Code.SolveErasures(Group.Unverified, Group.FailedParity, BlockSize, rows.data(),
                            out.data());
}

}  // namespace kelmora::companion
