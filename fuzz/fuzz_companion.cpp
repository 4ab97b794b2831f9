// SPDX-License-Identifier: GPL-3.0-or-later
//
// Arbitrary bytes as the companion of a small fixed archive, whose volumes
// the input may damage: everything the companion holds is read, the
// archive checked and repaired against it. No input may crash, hang or
// exhaust memory; no block may be handed on as repaired that disagrees
// with the companion's checksum for it, and an archive reported repaired
// must check sound afterwards.
//
// The input is the companion, then optionally kelmora::fuzz::kSeparator and
// damage: five bytes each (volume, a 16-bit offset, a length, a flip mask;
// mask 0 zeroes). A companion that begins with "FIX!" has that taken off
// and every header and body checksum put right first, so that mutations
// reach the decoders behind them rather than stopping at a checksum. With
// KELMORA_COMPANION_SEEDS set to a folder, the target writes its seeds
// there first.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/companion/archive_check.h"
#include "engine/companion/builder.h"
#include "engine/companion/container.h"
#include "engine/companion/metadata.h"
#include "engine/companion/repair.h"
#include "engine/companion/sections.h"
#include "fuzz/fuzz_companion_support.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace kelmora::companion;
namespace kf = kelmora::fuzz;

const std::vector<std::string>& Volumes() {
  static const std::vector<std::string> volumes{kf::Words(3000, 1) + kf::Noise(3100, 2),
                                                kf::Noise(9000, 3), kf::Words(2000, 4)};
  return volumes;
}

// Volumes of the fixed archive with the repaired blocks put in.
class Copies : public RepairSink {
 public:
  Copies(const std::vector<std::string>& Found, CompanionReader& R, const ChecksumTable& Table)
      : volumes(Found), reader_(R), table_(Table) {}
  void Put(unsigned Volume, int64_t Offset, const uint8_t* Bytes, size_t Count) override {
    const uint32_t size = table_.Identity.BlockSize;
    if (Volume == 0 || Volume > table_.Identity.Volumes.size() || Count == 0 || Count > size ||
        Offset % size != 0 ||
        Offset + static_cast<int64_t>(Count) > table_.Identity.Volumes[Volume - 1].Size)
      kf::Fault("a block put outside its volume");
    const BlockMap map(table_.Sizes(), size);
    std::string block(size, '\0');
    block.replace(0, Count, reinterpret_cast<const char*>(Bytes), Count);
    std::vector<uint32_t> crc;
    if (!ReadChecksums(reader_, table_, map.FirstBlockOf(Volume) + Offset / size, 1, crc))
      kf::Fault("a block put whose checksum cannot be read");
    if (Crc32c(0, block.data(), size) != crc[0])
      kf::Fault("a repaired block disagrees with its checksum");
    if (Volume > volumes.size()) volumes.resize(Volume);
    std::string& v = volumes[Volume - 1];
    if (v.size() < Offset + Count) v.resize(Offset + Count);
    v.replace(Offset, Count, block.data(), Count);
  }
  std::vector<std::string> volumes;

 private:
  CompanionReader& reader_;
  const ChecksumTable& table_;
};

void Damage(std::vector<std::string>& Found, const std::string& Plan) {
  for (size_t at = 0; at + 5 <= Plan.size(); at += 5) {
    const size_t v = static_cast<uint8_t>(Plan[at]) % (Found.size() + 1);
    if (v == Found.size()) {  // one more than there are: the last is cut
      Found.back().resize(Found.back().size() / 2);
      continue;
    }
    std::string& volume = Found[v];
    const size_t offset =
        (static_cast<uint8_t>(Plan[at + 1]) | static_cast<uint8_t>(Plan[at + 2]) << 8);
    const size_t length = static_cast<uint8_t>(Plan[at + 3]) * 16;
    const auto mask = static_cast<uint8_t>(Plan[at + 4]);
    for (size_t i = offset; i < offset + length && i < volume.size(); ++i)
      volume[i] = mask == 0 ? '\0' : static_cast<char>(volume[i] ^ mask);
  }
}

void ReadEverything(CompanionReader& Reader) {
  std::string body;
  std::vector<IndexEntry> index;
  std::vector<MetadataRecord> metadata;
  ArchiveIdentity identity;
  if (const SectionInfo* s = Reader.Find(kIndexSection))
    if (Reader.ReadBody(*s, body, 1 << 20) && DecodeIndex(body, index)) {
      const std::vector<int64_t> sizes{6100, 9000, 2000};
      for (unsigned v = 1; v <= 3; ++v)
        for (int64_t at : {int64_t{0}, int64_t{17}, int64_t{5999}})
          if (PlaceOf(index, sizes, v, at).Entry >= static_cast<int64_t>(index.size()))
            kf::Fault("a place beyond the index");
    }
  if (const SectionInfo* s = Reader.Find(kMetadataSection))
    if (Reader.ReadBody(*s, body, 1 << 20) && DecodeMetadata(body, metadata)) {
      MetadataByName byName(metadata);
      for (const MetadataRecord& r : metadata)
        if (!byName.Find(r.Name, r.Kind)) kf::Fault("a record not found by its name");
    }
  if (const SectionInfo* s = Reader.Find(kIdentitySection))
    if (Reader.ReadBody(*s, body, 1 << 16)) DecodeIdentity(body, identity);
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary) << Bytes;
}

void WriteSeeds(const std::string& Folder) {
  const std::vector<IndexEntry> index{{"/home/ann/a.txt", 1, 0, 20, 100, 60, 1, 0x5A000000},
                                      {"/home/ann/b c", 2, 0, 300, -1, 4000, 1, 7}};
  std::vector<MetadataRecord> metadata(2);
  metadata[0] = {EntryKind::File,
                 kHasMode | kHasOwner | kHasTime,
                 "/home/ann/a.txt",
                 0600,
                 1000,
                 1000,
                 "",
                 "",
                 1700000000,
                 5,
                 0,
                 ""};
  metadata[1] = {EntryKind::Link, kHasTime, "/home/ann/l", 0777, 0, 0, "", "", 1, 2, 0, "../../x"};
  struct Seed {
    const char* name;
    unsigned percent;
    uint32_t block;
  };
  for (const Seed& s : {Seed{"recovery-20-512", 20, 512}, Seed{"recovery-5-4096", 5, 4096},
                        Seed{"checksums-only", 0, 512}, Seed{"recovery-100-512", 100, 512}}) {
    MemoryVolumes source(Volumes());
    kelmora::TMemoryStream out;
    BuildOptions options;
    options.RecoveryPercent = s.percent;
    options.BlockSize = s.block;
    BuildCompanion(source, 3, index, metadata, options, out);
    std::string bytes = out.Text();
    WriteFile(Folder + "/" + s.name, bytes);
    // The same with damage to repair: a zeroed stretch and flips.
    bytes += std::string(kf::kSeparator, 4) +
             std::string("\x01\x10\x00\x20\x00\x00\x00\x01\x01\x04", 10);
    WriteFile(Folder + "/" + s.name + "-damaged", bytes);
    WriteFile(Folder + "/" + s.name + "-fixed", "FIX!" + bytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* folder = std::getenv("KELMORA_COMPANION_SEEDS")) WriteSeeds(folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string input(reinterpret_cast<const char*>(Data), Size);
  const size_t cut = input.find(std::string(kf::kSeparator, 4));
  std::string companion = input.substr(0, cut);
  if (companion.compare(0, 4, "FIX!") == 0) {
    companion.erase(0, 4);
    kf::FixChecksums(companion);
  }
  std::vector<std::string> found = Volumes();
  if (cut != std::string::npos) Damage(found, input.substr(cut + 4));

  kf::BytesStream stream(companion.data(), companion.size());
  CompanionReader reader(stream);
  if (reader.Open() != CompanionState::Sound && reader.Sections().empty()) return 0;
  ReadEverything(reader);
  ChecksumTable table;
  std::string problem;
  if (!LoadChecksums(reader, table, problem)) return 0;
  MemoryVolumes source(found);
  CheckReport check;
  CheckVolumes(source, reader, table, nullptr, check);
  Copies copies(found, reader, table);
  RepairOptions options;
  options.MemoryBudget = 1 << 20;
  const RepairReport report = RepairArchive(source, reader, &copies, options);
  if (report.Outcome == RepairOutcome::Repaired || report.Outcome == RepairOutcome::Sound) {
    for (size_t v = 0; v < copies.volumes.size() && v < table.Identity.Volumes.size(); ++v)
      copies.volumes[v].resize(static_cast<size_t>(table.Identity.Volumes[v].Size));
    MemoryVolumes repaired(copies.volumes);
    CheckReport after;
    if (CheckVolumes(repaired, reader, table, nullptr, after) && !after.Sound())
      kf::Fault("an archive reported repaired does not check sound");
  }
  return 0;
}
