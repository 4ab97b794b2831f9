// A sound archive of fuzzed files, in one volume or many, damaged where
// the fuzzer says, then restored. Whatever the damage, the run must end
// without a crash or a hang and write nothing outside its restore folder:
// the sources and the damaged volumes stay as they were, and nothing
// escapes the folder.
//
// First byte as in fuzz_roundtrip.cpp. Then pieces cut at separators: the
// title, one file each, and last the damage: records of a 32-bit offset
// into the volumes taken end to end and a byte, XORed in there, or where
// the byte is 0, the archive cut off there (later volumes missing).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/backup_file.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_tree.h"

namespace {

namespace fs = std::filesystem;
using kelmora::fuzz::Fault;

constexpr size_t kMaxFiles = 12;
constexpr size_t kMaxTotal = 128u << 10;
constexpr size_t kMaxDamage = 16;

std::vector<std::string> VolumeNames(const std::string& Folder) {
  std::vector<std::string> names{Folder + "/a.bkp"};
  for (unsigned n = 2; fs::exists(Folder + "/a." + std::to_string(1000 + n).substr(1)); ++n)
    names.push_back(Folder + "/a." + std::to_string(1000 + n).substr(1));
  return names;
}

// Applies the damage records to the volumes as one run of bytes.
void Damage(const std::vector<std::string>& Names, const std::string& Records) {
  std::vector<std::string> volumes;
  size_t total = 0;
  for (const auto& name : Names) {
    volumes.push_back(kelmora::fuzz::ReadBytes(name));
    total += volumes.back().size();
  }
  if (total == 0) return;
  for (size_t r = 0; r + 5 <= Records.size() && r / 5 < kMaxDamage; r += 5) {
    const auto* b = reinterpret_cast<const uint8_t*>(Records.data() + r);
    size_t at = (b[0] | b[1] << 8 | b[2] << 16 | static_cast<size_t>(b[3]) << 24) % total;
    for (size_t v = 0; v < volumes.size(); ++v) {
      if (at < volumes[v].size()) {
        if (b[4] != 0) {
          volumes[v][at] = static_cast<char>(volumes[v][at] ^ b[4]);
        } else {
          volumes[v].resize(at);
          volumes.resize(v + 1);
        }
        break;
      }
      at -= volumes[v].size();
    }
  }
  for (size_t v = 0; v < Names.size(); ++v) {
    if (v < volumes.size()) {
      kelmora::fuzz::WriteBytes(Names[v], volumes[v]);
    } else {
      fs::remove(Names[v]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  kelmora::fuzz::Scratch& scratch = kelmora::fuzz::Scratch::Get();
  scratch.Clear();
  const uint8_t flags = Data[0];
  std::vector<std::string> pieces = kelmora::fuzz::Cut(
      std::string(reinterpret_cast<const char*>(Data) + 1, Size - 1), kMaxFiles + 2);
  if (pieces.size() < 2) return 0;
  const std::string title = pieces.front().substr(0, 200);
  const std::string damage = pieces.back();
  pieces.erase(pieces.begin());
  pieces.pop_back();

  const std::string src = scratch / "src";
  const std::string arc = scratch / "arc";
  const std::string out = scratch / "out";
  fs::create_directories(src);
  fs::create_directories(arc);
  kelmora::fuzz::MakeTree(src, pieces, kMaxTotal);

  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  engine.OnNeedDisk = [](kelmora::TBackupFile&, uint16_t, bool&) {};
  engine.BackupTitle = title;
  engine.CompressionLevel = static_cast<kelmora::TCompressionLevel>(flags & 3);
  engine.SaveFileID = (flags & 4) != 0;
  if (flags & 8) engine.MaxSize = kelmora::format::kSmallestMaxSize + (flags >> 4) * 2048;
  if (!engine.Backup({src + "/*.* /s"}, arc + "/a.bkp")) Fault("backup failed");
  Damage(VolumeNames(arc), damage);
  fs::create_directories(out);
  const kelmora::fuzz::Snapshot before = kelmora::fuzz::Snap(scratch.Root(), "out");

  // A volume is asked for once; when it is still missing, the run gives up.
  int lastDisk = -1;
  engine.OnNeedDisk = [&lastDisk](kelmora::TBackupFile&, uint16_t Disk, bool& Continue) {
    Continue = Disk != lastDisk;
    lastDisk = Disk;
  };
  engine.RestoreFullPath = true;
  try {
    engine.Restore(arc + "/a.bkp", out);
  } catch (const kelmora::Exception&) {
    // An archive damaged past reading ends the run by an exception.
  }
  if (engine.Busy()) Fault("restore left the engine busy");
  kelmora::TStringList ids;
  engine.GetArchiveTitle(arc + "/a.bkp", &ids);

  const kelmora::fuzz::Snapshot after = kelmora::fuzz::Snap(scratch.Root(), "out");
  for (const auto& [name, bytes] : after)
    if (before.count(name) == 0 || before.at(name) != bytes) Fault("changed outside: " + name);
  if (after.size() != before.size()) Fault("removed outside the restore folder");
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(out, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->is_symlink() || !(it->is_regular_file() || it->is_directory()))
      Fault("restore made something other than files and folders");
  return 0;
}
