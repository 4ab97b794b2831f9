// SPDX-License-Identifier: GPL-3.0-or-later
//
// Sound archives of one small tree, damaged where the fuzzer says, then
// restored. Damage may cost only the files it falls in: every file whose
// bytes in the archive are untouched, and that ends before any cut, must
// come back byte-identical. Whatever the damage, the run must end without a
// crash or a hang and write nothing outside its restore folder: the damaged
// volumes stay as they were, nothing appears beside them, and nothing but
// files and folders is made in it.
//
// First byte: compression level (bits 0-1), file-ID list (bit 2), volume
// size (bits 3-4: one volume or one of three sizes), whether a test of the
// same archive must find the same damaged files (bit 5), and whether a
// filter lets through only the files whose leaf is of odd length (bit 6) or
// even length (bits 6 and 7): the others are stepped over unread, and
// damage in them must not cost the files let through. The rest are
// damage records: a 32-bit offset into the volumes taken end to end and a
// byte, XORed in there, or where the byte is 0, the archive cut off there
// (later volumes missing).
//
// Each kind of archive is built once and kept: building it anew for every
// input would cost more than the restore that is being tested. The fuzzed
// files of the round trip target stand for the variety of contents.
//
// When the damage records leave bytes over (the input's length is not 1 +
// 5n), the archive has its companion, and the last byte says more: bit 0
// a recovery record of 25 %; bits 1-2 where the records fall (0 and 3: the
// volumes and the companion taken end to end, 1: the volumes, 2: the
// companion); bit 3 every checksum of the companion put right afterwards,
// so that damage reaches the records behind them (a forged companion);
// bit 4 a repair of a copy. Then: a test with an untouched companion sees
// any changed volume byte; a volume the companion does not recognise is
// never read as data; a repair that reports success leaves the volumes as
// written (and, with a forged companion, as its checksums say), and any
// other outcome leaves them as they were; whatever the companion says, no
// record is written outside the restore folder.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "fuzz/fuzz_companion_support.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_tree.h"
#include "kelmora/backup_file.h"

namespace {

namespace fs = std::filesystem;
using kelmora::fuzz::Fault;

constexpr size_t kMaxDamage = 16;

// A run of archive bytes in one volume, [Begin, End).
struct Span {
  size_t volume;
  size_t begin;
  size_t end;
};

struct StoredFile {
  std::string leaf;  // where a flat restore puts it
  std::string bytes;
  std::vector<Span> spans;  // its entry and data, volume changes inside it included
};

struct SoundArchive {
  std::vector<std::string> volumes;
  std::vector<StoredFile> files;
  std::string companion;  // "" without one
};

int32_t Le32(const std::string& Bytes, size_t At) {
  if (At + 4 > Bytes.size()) Fault("the sound archive ends inside a field");
  const auto* b = reinterpret_cast<const uint8_t*>(Bytes.data() + At);
  return static_cast<int32_t>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24);
}

// Where each entry of a sound archive lies, as the writer laid it out: an
// entry's spans run from its name length to its section's terminator, and
// on over a volume change that splits its data.
std::map<std::string, std::vector<Span>> Layout(const std::vector<std::string>& Volumes) {
  std::map<std::string, std::vector<Span>> spans;
  size_t volume = 0;
  size_t at = 8 + static_cast<size_t>(Le32(Volumes[0], 0)) + 4;
  std::string owner;
  for (;;) {
    const std::string& bytes = Volumes[volume];
    if (at + 4 <= bytes.size() &&
        bytes.compare(at, 4, kelmora::format::kSectionSignature, 4) == 0) {
      // The part of a split entry's data that the next volume holds.
      if (owner.empty()) Fault("a volume starts with data of no entry");
      spans[owner].push_back({volume, at, at});
    } else {
      const int32_t length = Le32(bytes, at);
      if (length == 0) return spans;
      const std::string name = bytes.substr(at + 4, static_cast<size_t>(length));
      if (kelmora::format::IsVolumeChangeName(name)) {
        if (!owner.empty()) spans[owner].back().end = bytes.size();
        if (++volume == Volumes.size()) Fault("a volume change past the last volume");
        at = 0;
        continue;
      }
      owner = name;
      spans[owner].push_back({volume, at, at});
      at += 4 + name.size() + 4;
    }
    at += 4;  // the signature
    for (int32_t length; (length = Le32(bytes, at)) != 0;) at += 4 + std::abs(length);
    at += 4;
    spans[owner].back().end = at;
  }
}

// Companion: 0 none, 1 one, 2 one with a recovery record.
SoundArchive Build(uint8_t Kind, int Companion) {
  kelmora::fuzz::Scratch& scratch = kelmora::fuzz::Scratch::Get();
  const std::string src = scratch / "src";
  const std::string build = scratch / "build";
  // Leaves of different lengths: no damage to one name can make it another's.
  static const std::vector<kelmora::fuzz::TreeFile> tree = [&] {
    std::vector<kelmora::fuzz::TreeFile> files = {
        {"notes 12:30.txt", kelmora::fuzz::Words(3000, 1)},
        {"x\\b.bin", kelmora::fuzz::Noise(16384 + 100, 2)},
        {"empty", ""},
        {"sub/a long story.txt", kelmora::fuzz::Words(40000, 3)},
        {"caf\xe9\tend.dat", kelmora::fuzz::Noise(700, 4)},
    };
    for (const auto& f : files) {
      fs::create_directories(fs::path(src + "/" + f.name).parent_path());
      kelmora::fuzz::WriteBytes(src + "/" + f.name, f.bytes);
    }
    return files;
  }();

  fs::create_directories(build);
  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile&, int32_t Code, const std::string& Text) {
    Fault("backup error " + std::to_string(Code) + ": " + Text);
  };
  engine.OnNeedDisk = [](kelmora::TBackupFile&, uint16_t, bool&) {};
  static const int32_t sizes[] = {0, kelmora::kSmallestVolumeSize,
                                  kelmora::kSmallestVolumeSize + 9000,
                                  kelmora::kSmallestVolumeSize + 30000};
  kelmora::fuzz::SetUpBackup(engine, "damage", Kind & 7, sizes[(Kind >> 3) & 3]);
  engine.WriteCompanion = Companion > 0;
  engine.RecoveryPercent = Companion == 2 ? 25 : 0;
  if (!engine.Backup({src + "/*.* /s"}, build + "/a.bkp")) Fault("backup failed");

  SoundArchive sound;
  if (Companion > 0) sound.companion = kelmora::fuzz::ReadBytes(build + "/a.bkp.kx");
  for (size_t v = 0; v < kelmora::format::kMaxVolumes; ++v) {
    const std::string name = build + "/" + kelmora::fuzz::VolumeName(v);
    if (!fs::exists(name)) break;
    sound.volumes.push_back(kelmora::fuzz::ReadBytes(name));
  }
  fs::remove_all(build);
  const auto spans = Layout(sound.volumes);
  for (const auto& f : tree) {
    const std::string stored = src + "/" + f.name;
    if (spans.count(stored) == 0) Fault("no entry for " + stored);
    sound.files.push_back({f.name.substr(f.name.find_last_of('/') + 1), f.bytes, spans.at(stored)});
  }
  return sound;
}

// Every kind at once, on the first input; then the sources go, so that
// the scratch area holds no more than the volumes and the restore folder.
const SoundArchive& Sound(uint8_t Kind, int Companion = 0) {
  static const std::vector<SoundArchive> built = [] {
    std::vector<SoundArchive> kinds;
    for (int companion = 0; companion < 3; ++companion)
      for (uint8_t kind = 0; kind < 32; ++kind) kinds.push_back(Build(kind, companion));
    kelmora::fuzz::Scratch::Get().Clear();
    return kinds;
  }();
  return built[(Companion * 32 + Kind % 32) % built.size()];
}

struct Damaged {
  std::vector<std::string> volumes;
  std::vector<std::pair<size_t, size_t>> flips;  // volume, offset
  size_t cutVolume = SIZE_MAX;
  size_t cutAt = SIZE_MAX;
};

// Applies the damage records to the volumes as one run of bytes. A cut
// only ever shortens the archive, so every offset still names the byte it
// named in the sound archive.
Damaged Damage(const std::vector<std::string>& Volumes, const uint8_t* Records, size_t Size) {
  Damaged d{Volumes, {}, SIZE_MAX, SIZE_MAX};
  size_t total = 0;
  for (const auto& v : Volumes) total += v.size();
  for (size_t r = 0; r + 5 <= Size && r / 5 < kMaxDamage; r += 5) {
    const uint8_t* b = Records + r;
    size_t at = (b[0] | b[1] << 8 | b[2] << 16 | static_cast<size_t>(b[3]) << 24) % total;
    for (size_t v = 0; v < d.volumes.size(); ++v) {
      if (at < d.volumes[v].size()) {
        if (b[4] != 0) {
          d.volumes[v][at] = static_cast<char>(d.volumes[v][at] ^ b[4]);
          d.flips.emplace_back(v, at);
        } else {
          d.volumes[v].resize(at);
          d.volumes.resize(v + 1);
          d.cutVolume = v;
          d.cutAt = at;
        }
        break;
      }
      at -= d.volumes[v].size();
    }
  }
  return d;
}

// Untouched: no flipped byte in its spans, and its last byte before any cut.
bool Untouched(const StoredFile& File, const Damaged& D) {
  for (const auto& [volume, at] : D.flips)
    for (const Span& s : File.spans)
      if (s.volume == volume && s.begin <= at && at < s.end) return false;
  const Span& last = File.spans.back();
  return last.volume < D.cutVolume || (last.volume == D.cutVolume && last.end < D.cutAt);
}

std::set<std::string> Run(kelmora::TBackupFile& Engine, bool Test, const std::string& Archive,
                          const std::string& Out) {
  std::set<std::string> damaged;
  Engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  Engine.OnDamage = [&](kelmora::TBackupFile&, const kelmora::TDamage& D) {
    damaged.insert(D.Filename);
  };
  // A volume is asked for once; when it is still missing, the run gives up.
  int lastDisk = -1;
  Engine.OnNeedDisk = [&lastDisk](kelmora::TBackupFile&, uint16_t Disk, bool& Continue) {
    Continue = Disk != lastDisk;
    lastDisk = Disk;
  };
  try {
    if (Test) {
      // The test takes what a restore throws as an unreadable archive.
      if (!Engine.Test(Archive) && Engine.ErrorCode() == kelmora::beCannotReadArchive)
        damaged.insert("<exception>");
    } else {
      Engine.Restore(Archive, Out);
    }
  } catch (const kelmora::Exception&) {
    // An archive damaged past reading ends the run by an exception.
    damaged.insert("<exception>");
  }
  if (Engine.Busy()) Fault("the run left the engine busy");
  return damaged;
}

}  // namespace

// The companion's part of an input: the archive's companion as the damage
// left it, and what the properties may count on.
struct CompanionCase {
  bool present = false;  // a companion at all
  std::string bytes;     // as damaged; lost with a cut before it
  bool lost = false;
  bool touched = false;  // any of its bytes damaged, or forged
  bool forged = false;
  bool repair = false;
};

Damaged DamageWithCompanion(const SoundArchive& Sound, const uint8_t* Records, size_t Size,
                            uint8_t Flags, CompanionCase& C) {
  C.present = true;
  C.forged = (Flags & 8) != 0;
  C.repair = (Flags & 16) != 0;
  Damaged d;
  const int where = (Flags >> 1) & 3;
  if (where == 1) {
    d = Damage(Sound.volumes, Records, Size);
    C.bytes = Sound.companion;
  } else if (where == 2) {
    const Damaged c = Damage({Sound.companion}, Records, Size);
    d = Damaged{Sound.volumes, {}, SIZE_MAX, SIZE_MAX};
    C.bytes = c.volumes[0];
    C.touched = C.bytes != Sound.companion;
  } else {
    std::vector<std::string> pieces = Sound.volumes;
    pieces.push_back(Sound.companion);
    d = Damage(pieces, Records, Size);
    if (d.volumes.size() == pieces.size()) {
      C.bytes = d.volumes.back();
      d.volumes.pop_back();
      C.touched = C.bytes != Sound.companion;
    } else {
      C.lost = true;  // cut in a volume: the companion goes with the rest
    }
    if (d.cutVolume == Sound.volumes.size()) d.cutVolume = SIZE_MAX;
  }
  if (C.forged && !C.lost) kelmora::fuzz::FixChecksums(C.bytes);
  C.touched = C.touched || C.forged || C.lost;
  return d;
}

// Repairs a copy of the damaged archive: success leaves the volumes as they
// were written (as the forged companion's checksums say, when it is
// forged); any other outcome leaves the copy as it was.
void CheckRepair(const SoundArchive& Sound, const Damaged& D, const CompanionCase& C) {
  kelmora::fuzz::Scratch& scratch = kelmora::fuzz::Scratch::Get();
  const std::string rep = scratch / "rep";
  fs::remove_all(rep);
  fs::create_directories(rep);
  for (size_t v = 0; v < D.volumes.size(); ++v)
    kelmora::fuzz::WriteBytes(rep + "/" + kelmora::fuzz::VolumeName(v), D.volumes[v]);
  kelmora::fuzz::WriteBytes(rep + "/a.bkp.kx", C.bytes);
  const kelmora::fuzz::Snapshot before = kelmora::fuzz::Snap(rep);
  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  const bool ok = engine.Repair(rep + "/a.bkp");
  const kelmora::TRepairOutcome outcome = engine.RepairResult().Outcome;
  if (outcome != kelmora::roRepaired) {
    if (kelmora::fuzz::Snap(rep) != before) Fault("a repair that did not succeed changed files");
    return;
  }
  if (!ok) Fault("a repaired archive reported as a failure");
  kelmora::TBackupFile tester;
  tester.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  tester.OnNeedDisk = [](kelmora::TBackupFile&, uint16_t, bool&) {};
  if (!C.forged) {
    for (size_t v = 0; v < Sound.volumes.size(); ++v)
      if (kelmora::fuzz::ReadBytes(rep + "/" + kelmora::fuzz::VolumeName(v)) != Sound.volumes[v])
        Fault("a repaired volume differs from the one written");
  } else if (!tester.Test(rep + "/a.bkp") && tester.CompanionState() == kelmora::csSound) {
    // Repaired against its own checksums, the archive must agree with them.
    for (const kelmora::TDamage& d : tester.Damages())
      if (d.Reason.find("differ") != std::string::npos)
        Fault("a repaired archive disagrees with the companion's checksums");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  kelmora::fuzz::Scratch& scratch = kelmora::fuzz::Scratch::Get();
  const bool withCompanion = (Size - 1) % 5 != 0;
  const uint8_t flags = withCompanion ? Data[Size - 1] : 0;
  const SoundArchive& sound = Sound(Data[0] & 31, withCompanion ? 1 + (flags & 1) : 0);
  CompanionCase companion;
  const Damaged damaged =
      withCompanion ? DamageWithCompanion(sound, Data + 1, (Size - 1) / 5 * 5, flags, companion)
                    : Damage(sound.volumes, Data + 1, Size - 1);

  // The volumes of the last input go; the restore folder starts empty.
  const std::string in = scratch / "in";
  const std::string out = scratch / "out";
  fs::remove_all(in);
  kelmora::fuzz::EmptyFolder(out);
  fs::create_directories(in);
  kelmora::fuzz::Snapshot expected = kelmora::fuzz::Snap(scratch.Root(), "out");
  for (size_t v = 0; v < damaged.volumes.size(); ++v) {
    const std::string name = kelmora::fuzz::VolumeName(v);
    kelmora::fuzz::WriteBytes(in + "/" + name, damaged.volumes[v]);
    expected["in/" + name] = damaged.volumes[v];
  }
  if (companion.present && !companion.lost) {
    kelmora::fuzz::WriteBytes(in + "/a.bkp.kx", companion.bytes);
    expected["in/a.bkp.kx"] = companion.bytes;
  }

  kelmora::TBackupFile engine;
  const bool filtered = (Data[0] & 64) != 0;
  const size_t parity = (Data[0] & 128) != 0 ? 0 : 1;
  const auto passes = [parity](const std::string& Leaf) { return Leaf.size() % 2 == parity; };
  if (filtered) {
    engine.RestoreFilter = [&passes](const std::string& Stored) {
      return passes(Stored.substr(Stored.find_last_of('/') + 1));
    };
  }
  const std::set<std::string> reported = Run(engine, false, in + "/a.bkp", out);
  // Volumes the companion did not recognise are never read as data.
  std::set<size_t> foreign;
  for (const kelmora::TDamage& d : engine.Damages())
    if (d.Reason.find("not this archive's") != std::string::npos) foreign.insert(d.Volume - 1u);
  if (!companion.present && !foreign.empty()) Fault("a volume taken for another's without a companion");

  for (const StoredFile& f : sound.files) {
    if (filtered && !passes(f.leaf)) {
      if (fs::exists(out + "/" + f.leaf) && !companion.forged)
        Fault("a file the filter held back came back: " + f.leaf);
      continue;
    }
    // A forged index may send a filtered restore anywhere: only safety holds.
    if (!Untouched(f, damaged) || companion.forged) continue;
    bool inForeign = false;
    for (const Span& span : f.spans) inForeign = inForeign || foreign.count(span.volume) != 0;
    if (inForeign) continue;
    if (kelmora::fuzz::ReadBytes(out + "/" + f.leaf) != f.bytes || !fs::exists(out + "/" + f.leaf))
      Fault("an untouched file did not come back: " + f.leaf);
  }
  if (kelmora::fuzz::Snap(scratch.Root(), "out") != expected)
    Fault("the scratch area changed outside the restore folder");
  std::error_code ec;
  // The tree has no links: only a forged companion's records can make one,
  // inside the restore folder as the snapshot above shows.
  for (auto it = fs::recursive_directory_iterator(out, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if ((it->is_symlink() && !companion.forged) ||
        !(it->is_symlink() || it->is_regular_file() || it->is_directory()))
      Fault("restore made something other than files and folders");

  if (companion.present) {
    // With its companion untouched, a test sees every changed volume byte.
    const bool volumesChanged = damaged.volumes != sound.volumes;
    if (!companion.touched && volumesChanged) {
      kelmora::TBackupFile tester;
      Run(tester, true, in + "/a.bkp", out);
      // Not one block of the first volume as written is another archive.
      if (tester.ErrorCode() == kelmora::beNone && tester.CompanionState() == kelmora::csSound)
        Fault("a test with its companion found no damage");
    }
    if (companion.repair && !companion.lost && (flags & 1)) CheckRepair(sound, damaged, companion);
    return 0;
  }

  // A file the restore cannot write (its damaged name holds a ".."
  // component) is stepped over unread, so only a test finds the damage in its data; such
  // a restore fails all the same. So do files held back by the filter, and
  // those a test does not hold back.
  const int32_t code = engine.ErrorCode();
  if ((Data[0] & 32) && !filtered && (code == kelmora::beNone || code == kelmora::beCompression)) {
    kelmora::TBackupFile tester;
    const std::set<std::string> tested = Run(tester, true, in + "/a.bkp", out);
    if (tested != reported) {
      std::string names;
      for (const auto& n : reported) names += " [" + n + "]";
      names += " against";
      for (const auto& n : tested) names += " [" + n + "]";
      Fault("test and restore found different damage:" + names);
    }
  }
  return 0;
}
