// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/repair.h"

#include <algorithm>
#include <map>

#include "engine/companion/erasure_code.h"
#include "engine/companion/recovery_code.h"
#include "engine/companion/repair_group.h"

namespace kelmora::companion {

namespace {

// Runs of block numbers, merged as blocks arrive in any order; at most
// kMaxReportedRuns of them, the blocks of further runs only counted.
class BlockRuns {
 public:
  void Add(uint64_t Block) {
    auto next = runs_.upper_bound(Block);
    if (next != runs_.begin()) {
      auto before = std::prev(next);
      if (before->second > Block) return;
      if (before->second == Block) {
        before->second = Block + 1;
        if (next != runs_.end() && next->first == Block + 1) {
          before->second = next->second;
          runs_.erase(next);
        }
        return;
      }
    }
    if (next != runs_.end() && next->first == Block + 1) {
      const uint64_t end = next->second;
      runs_.erase(next);
      runs_[Block] = end;
      return;
    }
    if (runs_.size() >= kMaxReportedRuns) {
      ++unreported_;
      return;
    }
    runs_[Block] = Block + 1;
  }
  const std::map<uint64_t, uint64_t>& Runs() const { return runs_; }
  uint64_t Unreported() const { return unreported_; }

 private:
  std::map<uint64_t, uint64_t> runs_;
  uint64_t unreported_ = 0;
};

class Repair {
 public:
  Repair(VolumeSource& Source, CompanionReader& Reader, RepairSink* Sink,
         const RepairOptions& Options, const ChecksumTable& Table, const RecoveryGeometry& Geometry,
         const SectionInfo& Parity, const SectionInfo& Recovery, RepairReport& Report)
      : source_(Source),
        reader_(Reader),
        sink_(Sink),
        options_(Options),
        table_(Table),
        g_(Geometry),
        parity_(Parity),
        recovery_(Recovery),
        report_(Report),
        map_(Table.Sizes(), Geometry.BlockSize),
        code_(static_cast<int>(Geometry.DataPerGroup), static_cast<int>(Geometry.ParityPerGroup)) {}

  // False when stopped or the companion failed to read.
  bool Run() {
    const uint64_t perGroup = (6 * uint64_t{g_.ParityPerGroup} + 1) * g_.BlockSize;
    const uint64_t perBatch =
        std::max<uint64_t>(1, std::min<uint64_t>(g_.Groups, options_.MemoryBudget / perGroup));
    groups_.resize(perBatch);
    stretch_.resize(perBatch * g_.BlockSize);
    for (uint64_t g0 = 0; g0 < g_.Groups; g0 += perBatch) {
      const uint64_t count = std::min(perBatch, g_.Groups - g0);
      if (!FirstPass(g0, count)) return false;
      bool damaged = false;
      for (uint64_t i = 0; i < count; ++i) {
        DecodeGroup(code_, g_.BlockSize, groups_[i]);
        damaged = damaged || !groups_[i].FailedData.empty();
      }
      if (damaged && (!SecondPass(g0, count) || !LastPass(g0, count))) return false;
    }
    for (const auto& [first, end] : runs_.Runs()) AddRuns(first, end);
    report_.UnreportedBlocks = runs_.Unreported();
    return true;
  }

 private:
  uint64_t BlockOf(uint64_t Group, int Row) const { return Row * g_.Groups + Group; }

  // The parity of the batch's groups as the companion holds it: the
  // starting point of every syndrome.
  void ReadParity(uint64_t G0, uint64_t Count) {
    const uint32_t p = g_.ParityPerGroup;
    const uint32_t size = g_.BlockSize;
    std::vector<uint32_t> crcs(Count * p);
    std::vector<uint8_t> bytes(crcs.size() * 4);
    const bool crcsRead =
        reader_.ReadAt(recovery_, static_cast<int64_t>(kRecoveryHeadSize + G0 * p * 4),
                       bytes.data(), bytes.size());
    ByteReader r(bytes.data(), bytes.size());
    for (uint32_t& crc : crcs) r.Int(crc);
    for (uint64_t i = 0; i < Count; ++i) {
      RepairGroup& group = groups_[i];
      group.Reset(static_cast<int>(p), size);
      for (uint32_t j = 0; j < p; ++j) {
        uint8_t* row = group.Row(static_cast<int>(j), size);
        const bool read =
            crcsRead &&
            reader_.ReadAt(parity_, static_cast<int64_t>(((G0 + i) * p + j) * size), row, size);
        if (read && Crc32c(0, row, size) == crcs[i * p + j]) continue;
        if (!read) std::fill(row, row + size, 0);
        group.FailedParity.push_back(static_cast<int>(g_.DataPerGroup + j));
        group.ParityUnreadable.push_back(read ? 0 : 1);
        ++report_.DamagedParity;
      }
    }
  }

  // The stretch of Row for the batch; false when the table cannot be read.
  bool ReadRow(uint64_t G0, uint64_t Count, int Row, uint64_t& Blocks) {
    const uint64_t first = BlockOf(G0, Row);
    Blocks = first >= g_.DataBlocks ? 0 : std::min(Count, g_.DataBlocks - first);
    if (Blocks == 0) return true;
    map_.Read(source_, first, Blocks, stretch_.data(), readable_);
    done_ += static_cast<int64_t>(Blocks) * g_.BlockSize;
    return ReadChecksums(reader_, table_, first, Blocks, crcs_);
  }

  bool GoOn() {
    if (!options_.Progress ||
        options_.Progress(done_, static_cast<int64_t>(2 * g_.DataBlocks * g_.BlockSize)))
      return true;
    stopped_ = true;
    return false;
  }

  // Every block checked, and every block found added into the syndromes.
  bool FirstPass(uint64_t G0, uint64_t Count) {
    const uint32_t size = g_.BlockSize;
    ReadParity(G0, Count);
    std::vector<uint8_t*> rows(g_.ParityPerGroup);
    for (int row = 0; row < static_cast<int>(g_.DataPerGroup); ++row) {
      uint64_t blocks = 0;
      if (!ReadRow(G0, Count, row, blocks)) return false;
      if (blocks == 0) break;
      for (uint64_t i = 0; i < blocks; ++i) {
        RepairGroup& group = groups_[i];
        const uint8_t* block = stretch_.data() + i * size;
        if (!readable_[i] || Crc32c(0, block, size) != crcs_[i]) {
          group.FailedData.push_back(row);
          group.DataUnreadable.push_back(readable_[i] ? 0 : 1);
          ++report_.DamagedBlocks;
          ++report_.Volumes[map_.VolumeOf(BlockOf(G0 + i, row)) - 1].Damaged;
        }
        if (!readable_[i]) continue;
        for (uint32_t j = 0; j < g_.ParityPerGroup; ++j)
          rows[j] = group.Row(static_cast<int>(j), size);
        code_.Encoder().Update(size, row, block, rows.data());
      }
      if (!GoOn()) return false;
    }
    return true;
  }

  // Whether Bytes, repaired as Block, agree with Crc and end in zeros past
  // their volume's end, as every volume's last block is checked: a block
  // whose checksum only agrees through bytes no volume holds would be
  // written short and then disagree with it.
  bool Agrees(uint64_t Block, const uint8_t* Bytes, uint32_t Crc) const {
    const uint32_t size = g_.BlockSize;
    if (Crc32c(0, Bytes, size) != Crc) return false;
    for (int64_t x = std::max<int64_t>(HeldBytes(Block), 0); x < size; ++x)
      if (Bytes[x] != 0) return false;
    return true;
  }

  // How many of Block's bytes its volume holds: all but in its last block.
  int64_t HeldBytes(uint64_t Block) const {
    return std::min<int64_t>(g_.BlockSize,
                             map_.VolumeSize(map_.VolumeOf(Block)) - map_.OffsetOf(Block));
  }

  void Verified(uint64_t Block, const uint8_t* Bytes) {
    ++report_.RepairedBlocks;
    if (sink_ == nullptr) return;
    sink_->Put(map_.VolumeOf(Block), map_.OffsetOf(Block), Bytes,
               static_cast<size_t>(HeldBytes(Block)));
  }

  void Lost(uint64_t Block) {
    ++report_.UnrepairableBlocks;
    runs_.Add(Block);
  }

  // The damaged blocks read again and repaired as decoding says; those
  // that agree with their checksums are done.
  bool SecondPass(uint64_t G0, uint64_t Count) {
    const uint32_t size = g_.BlockSize;
    std::vector<uint8_t> block(size);
    for (int row = 0; row < static_cast<int>(g_.DataPerGroup); ++row) {
      bool needed = false;
      for (uint64_t i = 0; i < Count && !needed; ++i) {
        const RepairGroup& group = groups_[i];
        needed = group.Cursor < group.FailedData.size() && group.FailedData[group.Cursor] == row;
      }
      if (!needed) continue;
      uint64_t blocks = 0;
      if (!ReadRow(G0, Count, row, blocks)) return false;
      for (uint64_t i = 0; i < blocks; ++i) {
        RepairGroup& group = groups_[i];
        if (group.Cursor >= group.FailedData.size() || group.FailedData[group.Cursor] != row)
          continue;
        ++group.Cursor;
        std::copy(stretch_.begin() + i * size, stretch_.begin() + (i + 1) * size, block.begin());
        if (ApplyRepair(group, row, size, block.data()) &&
            Agrees(BlockOf(G0 + i, row), block.data(), crcs_[i])) {
          Verified(BlockOf(G0 + i, row), block.data());
          if (!group.Dense) RemoveFixes(code_, size, row, group);
        } else if (group.Dense) {
          Lost(BlockOf(G0 + i, row));
        } else {
          group.Unverified.push_back(row);
        }
      }
      if (!GoOn()) return false;
    }
    return true;
  }

  // What the columns left over, solved as erasures now that every block
  // verified has been taken out of the syndromes.
  bool LastPass(uint64_t G0, uint64_t Count) {
    const uint32_t size = g_.BlockSize;
    std::vector<uint8_t> block(size);
    std::vector<uint8_t> readable;
    std::vector<uint32_t> crc;
    for (uint64_t i = 0; i < Count; ++i) {
      RepairGroup& group = groups_[i];
      if (group.Unverified.empty()) continue;
      const bool solved = SolveLeftOver(code_, size, group);
      for (size_t u = 0; u < group.Unverified.size(); ++u) {
        const uint64_t b = BlockOf(G0 + i, group.Unverified[u]);
        if (!solved) {
          Lost(b);
          continue;
        }
        map_.Read(source_, b, 1, block.data(), readable);
        if (!ReadChecksums(reader_, table_, b, 1, crc)) return false;
        const uint8_t* error = group.Errors.data() + u * size;
        for (uint32_t x = 0; x < size; ++x) block[x] ^= error[x];
        if (Agrees(b, block.data(), crc[0]))
          Verified(b, block.data());
        else
          Lost(b);
      }
    }
    return true;
  }

  // A run of block numbers as byte runs within each volume it covers.
  void AddRuns(uint64_t First, uint64_t End) {
    for (uint64_t b = First; b < End;) {
      const unsigned volume = map_.VolumeOf(b);
      const uint64_t stop =
          std::min(End, volume < map_.Volumes() ? map_.FirstBlockOf(volume + 1) : map_.Blocks());
      const int64_t offset = map_.OffsetOf(b);
      const int64_t length = std::min<int64_t>(static_cast<int64_t>(stop - b) * g_.BlockSize,
                                               map_.VolumeSize(volume) - offset);
      report_.Unrepairable.push_back(DamagedRange{volume, offset, length});
      b = stop;
    }
  }

 public:
  bool Stopped() const { return stopped_; }

 private:
  VolumeSource& source_;
  CompanionReader& reader_;
  RepairSink* sink_;
  const RepairOptions& options_;
  const ChecksumTable& table_;
  const RecoveryGeometry g_;
  const SectionInfo parity_;
  const SectionInfo recovery_;
  RepairReport& report_;
  const BlockMap map_;
  const GroupCode code_;
  std::vector<RepairGroup> groups_;
  std::vector<uint8_t> stretch_;
  std::vector<uint8_t> readable_;
  std::vector<uint32_t> crcs_;
  BlockRuns runs_;
  int64_t done_ = 0;
  bool stopped_ = false;
};

// The record's geometry, when its sections are there and fit the table.
bool LoadRecord(CompanionReader& Reader, const ChecksumTable& Table, RecoveryGeometry& Geometry,
                const SectionInfo*& Parity, const SectionInfo*& Recovery, std::string& Problem) {
  Recovery = Reader.Find(kRecoverySection);
  Parity = Reader.Find(kParitySection);
  std::string head(kRecoveryHeadSize, '\0');
  if (Recovery == nullptr || Parity == nullptr) {
    Problem = "the companion holds no recovery record";
    return false;
  }
  const BlockMap map(Table.Sizes(), Table.Identity.BlockSize);
  if (!Reader.ReadAt(*Recovery, 0, head.data(), head.size()) ||
      !DecodeRecoveryHead(head, Geometry) || Geometry.BlockSize != Table.Identity.BlockSize ||
      Geometry.DataBlocks != map.Blocks() ||
      static_cast<uint64_t>(Recovery->Length) != kRecoveryHeadSize + Geometry.ParityBlocks() * 4 ||
      static_cast<uint64_t>(Parity->Length) != Geometry.ParityBlocks() * Geometry.BlockSize) {
    Problem = "the companion's recovery record does not fit its volume list";
    return false;
  }
  return true;
}

}  // namespace

RepairReport RepairArchive(VolumeSource& Source, CompanionReader& Reader, RepairSink* Sink,
                           const RepairOptions& Options) {
  RepairReport report;
  ChecksumTable table;
  // A companion damaged or cut after the sections a repair needs still
  // serves: each of them has its own checksum.
  if (Reader.Sections().empty()) Reader.Open();
  if (Reader.State() == CompanionState::NotCompanion ||
      Reader.State() == CompanionState::NewerVersion ||
      Reader.State() == CompanionState::Unreadable) {
    report.Problem = Reader.Problem();
    return report;
  }
  if (!LoadChecksums(Reader, table, report.Problem)) return report;
  report.TableSound = Reader.VerifyBody(table.Section);
  const BlockMap map(table.Sizes(), table.Identity.BlockSize);
  for (unsigned v = 1; v <= map.Volumes(); ++v) {
    VolumeCheck check;
    check.Expected = map.VolumeSize(v);
    check.Found = Source.Size(v);
    check.Blocks =
        (v < map.Volumes() ? map.FirstBlockOf(v + 1) : map.Blocks()) - map.FirstBlockOf(v);
    report.Volumes.push_back(check);
  }
  RecoveryGeometry geometry;
  const SectionInfo* parity = nullptr;
  const SectionInfo* recovery = nullptr;
  if (!LoadRecord(Reader, table, geometry, parity, recovery, report.Problem)) {
    report.Outcome = RepairOutcome::NoRecord;
    return report;
  }
  Repair repair(Source, Reader, Sink, Options, table, geometry, *parity, *recovery, report);
  if (!repair.Run()) {
    report.Outcome = repair.Stopped() ? RepairOutcome::Stopped : RepairOutcome::Unusable;
    if (!repair.Stopped()) report.Problem = "the companion could not be read";
    return report;
  }
  bool sizes = true;
  for (const VolumeCheck& v : report.Volumes) sizes = sizes && v.Found == v.Expected;
  if (report.UnrepairableBlocks > 0)
    report.Outcome = RepairOutcome::Unrepairable;
  else if (report.DamagedBlocks > 0 || !sizes)
    report.Outcome = RepairOutcome::Repaired;
  else
    report.Outcome = RepairOutcome::Sound;
  return report;
}

}  // namespace kelmora::companion
