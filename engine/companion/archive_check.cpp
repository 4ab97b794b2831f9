// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/companion/archive_check.h"

#include <algorithm>

#include "engine/companion/erasure_code.h"

namespace kelmora::companion {

namespace {

constexpr uint64_t kCheckBlocks = 256;
constexpr size_t kIdentityLimit = 64 << 10;

}  // namespace

std::vector<int64_t> ChecksumTable::Sizes() const {
  std::vector<int64_t> sizes;
  for (const VolumeIdentity& v : Identity.Volumes) sizes.push_back(v.Size);
  return sizes;
}

bool LoadChecksums(CompanionReader& Reader, ChecksumTable& Table, std::string& Problem) {
  const SectionInfo* identity = Reader.Find(kIdentitySection);
  const SectionInfo* checksums = Reader.Find(kChecksumSection);
  std::string body;
  if (identity == nullptr || checksums == nullptr) {
    Problem = "the companion holds no block checksums";
    return false;
  }
  if (!Reader.ReadBody(*identity, body, kIdentityLimit) || !DecodeIdentity(body, Table.Identity)) {
    Problem = "the companion's volume list is damaged";
    return false;
  }
  const BlockMap map(Table.Sizes(), Table.Identity.BlockSize);
  std::string head(8, '\0');
  ByteReader r(head);
  uint32_t blockSize = 0;
  if (checksums->Length != 8 + static_cast<int64_t>(map.Blocks()) * 4 ||
      !Reader.ReadAt(*checksums, 0, head.data(), head.size()) || !r.Int(blockSize) ||
      blockSize != Table.Identity.BlockSize) {
    Problem = "the companion's block checksums do not fit its volume list";
    return false;
  }
  Table.Section = *checksums;
  return true;
}

bool ReadChecksums(CompanionReader& Reader, const ChecksumTable& Table, uint64_t First,
                   uint64_t Count, std::vector<uint32_t>& Crcs) {
  std::vector<uint8_t> bytes(Count * 4);
  Crcs.resize(Count);
  if (!Reader.ReadAt(Table.Section, 8 + static_cast<int64_t>(First) * 4, bytes.data(),
                     bytes.size()))
    return false;
  ByteReader r(bytes.data(), bytes.size());
  for (uint32_t& crc : Crcs) r.Int(crc);
  return true;
}

bool MatchesArchive(VolumeSource& Source, CompanionReader& Reader, const ChecksumTable& Table) {
  const uint32_t size = Table.Identity.BlockSize;
  const BlockMap map(Table.Sizes(), size);
  std::vector<uint8_t> block(size);
  std::vector<uint8_t> readable;
  std::vector<uint32_t> crc;
  for (unsigned v = 1; v <= map.Volumes(); ++v) {
    const int64_t found = Source.Size(v);
    if (found < 0) continue;
    if (found != map.VolumeSize(v)) return false;
    const uint64_t first = map.FirstBlockOf(v);
    const uint64_t end = v < map.Volumes() ? map.FirstBlockOf(v + 1) : map.Blocks();
    if (end == first) continue;
    // Damage at one end still leaves the other to recognise the volume by.
    bool known = false;
    for (const uint64_t b : {first, end - 1}) {
      map.Read(Source, b, 1, block.data(), readable);
      known = known || (ReadChecksums(Reader, Table, b, 1, crc) && readable[0] &&
                        Crc32c(0, block.data(), size) == crc[0]);
    }
    if (!known) return false;
  }
  return true;
}

bool CheckReport::Sound() const {
  if (DamagedBlocks != 0) return false;
  for (const VolumeCheck& v : Volumes)
    if (v.Found != v.Expected) return false;
  return true;
}

bool CheckVolumes(VolumeSource& Source, CompanionReader& Reader, const ChecksumTable& Table,
                  const std::function<void(const DamagedRange&)>& Damaged, CheckReport& Report,
                  const std::function<bool()>& GoOn) {
  Report = CheckReport();
  Report.TableSound = Reader.VerifyBody(Table.Section);
  const uint32_t size = Table.Identity.BlockSize;
  const BlockMap map(Table.Sizes(), size);
  std::vector<uint8_t> blocks(kCheckBlocks * size);
  std::vector<uint8_t> readable;
  std::vector<uint32_t> crcs;
  DamagedRange run;
  const auto flush = [&] {
    if (run.Length > 0 && Damaged) Damaged(run);
    run.Length = 0;
  };
  for (unsigned v = 1; v <= map.Volumes(); ++v) {
    VolumeCheck check;
    check.Expected = map.VolumeSize(v);
    check.Found = Source.Size(v);
    const uint64_t first = map.FirstBlockOf(v);
    const uint64_t end = v < map.Volumes() ? map.FirstBlockOf(v + 1) : map.Blocks();
    check.Blocks = end - first;
    for (uint64_t b = first; b < end; b += kCheckBlocks) {
      const uint64_t count = std::min(kCheckBlocks, end - b);
      if (!ReadChecksums(Reader, Table, b, count, crcs) || (GoOn && !GoOn())) return false;
      if (check.Found >= 0) map.Read(Source, b, count, blocks.data(), readable);
      for (uint64_t i = 0; i < count; ++i) {
        const bool sound =
            check.Found >= 0 && readable[i] && Crc32c(0, blocks.data() + i * size, size) == crcs[i];
        if (sound) continue;
        ++check.Damaged;
        const int64_t offset = map.OffsetOf(b + i);
        const int64_t length = std::min<int64_t>(size, check.Expected - offset);
        if (run.Length > 0 && run.Volume == v && run.Offset + run.Length == offset) {
          run.Length += length;
        } else {
          flush();
          run = DamagedRange{v, offset, length};
        }
      }
    }
    flush();
    Report.DamagedBlocks += check.Damaged;
    Report.Volumes.push_back(check);
  }
  return true;
}

}  // namespace kelmora::companion
