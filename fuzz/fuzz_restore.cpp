// SPDX-License-Identifier: GPL-3.0-or-later
//
// Arbitrary bytes as a split archive in memory-backed volume files,
// restored into a folder of the scratch area, first over nothing and then
// again over its own output under a fuzzed overwrite mode. Every input must
// end both runs (true, false or an absorbed exception) without a crash or a
// hang, and leave the scratch area as it was everywhere but inside the
// restore folder: the volumes unchanged, nothing new beside them, nothing
// written through the link planted in the restore folder.
//
// The input unfolds (fuzz_support.h) and is then cut at every separator
// into volumes a.bkp, a.002, a.003, ... The first byte picks RestoreFullPath
// (bit 0), the second run's mode (bits 1-3), whether a missing volume is
// asked for once more (bit 4) or given up at once, and whether files are
// inflated and put in place by threads of their own (bit 5).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using kelmora::fuzz::Fault;
using kelmora::fuzz::Scratch;

constexpr size_t kMaxVolumes = 8;
// Enough for many thousands of chunks, a file-ID list past its bound and
// files of a hundred megabytes, while what a restore writes stays small
// enough for memory-backed storage.
constexpr size_t kMaxArchive = 256u << 10;

void RestoreOnce(const std::string& Archive, const std::string& Folder, bool FullPath,
                 kelmora::TRestoreMode Mode, int AsksPerVolume, unsigned Threads) {
  kelmora::TBackupFile engine;
  engine.Threads = Threads;
  engine.RestoreFullPath = FullPath;
  engine.RestoreMode = Mode;
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  int asks = 0;
  int lastDisk = -1;
  engine.OnNeedDisk = [&](kelmora::TBackupFile&, uint16_t Disk, bool& Continue) {
    asks = Disk == lastDisk ? asks + 1 : 1;
    lastDisk = Disk;
    Continue = asks <= AsksPerVolume;
  };
  try {
    engine.Restore(Archive, Folder);
  } catch (const kelmora::Exception&) {
    // An unreadable archive ends the run by an exception: a defined end.
  }
  if (engine.Busy()) Fault("restore left the engine busy");
}

// The walk below the restore folder follows no links, so everything it
// meets lies inside; only the planted link may be a link, and nothing but
// files and folders may have been made.
void CheckInside(const std::string& Folder, const std::string& Planted) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(Folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path() == Planted) continue;
    // A tree deeper than the system's path limit cannot be looked at by
    // name; the walk itself still shows it lies inside.
    std::error_code statError;
    const auto status = it->symlink_status(statError);
    if (statError) continue;
    if (fs::is_symlink(status)) Fault("restore made a link: " + it->path().string());
    if (!fs::is_regular_file(status) && !fs::is_directory(status))
      Fault("restore made something other than a file or folder: " + it->path().string());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  Scratch& scratch = Scratch::Get();
  scratch.Clear();
  const uint8_t flags = Data[0];
  const std::vector<std::string> volumes =
      kelmora::fuzz::Cut(kelmora::fuzz::Unfold(Data + 1, Size - 1, kMaxArchive), kMaxVolumes);

  const std::string in = scratch / "in";
  const std::string out = scratch / "out";
  fs::create_directories(in);
  fs::create_directories(out);
  for (size_t i = 0; i < volumes.size(); ++i)
    kelmora::fuzz::WriteBytes(in + "/" + kelmora::fuzz::VolumeName(i), volumes[i]);
  // A name that goes through this link would land among the volumes.
  const std::string planted = out + "/lnk";
  fs::create_directory_symlink(in, planted);
  const kelmora::fuzz::Snapshot before = kelmora::fuzz::Snap(scratch.Root(), "out");

  const bool fullPath = (flags & 1) != 0;
  const int asks = (flags & 16) != 0 ? 2 : 1;
  const unsigned threads = (flags & 32) != 0 ? 2 : 1;
  RestoreOnce(in + "/a.bkp", out, fullPath, kelmora::rmAll, asks, threads);
  RestoreOnce(in + "/a.bkp", out, fullPath, static_cast<kelmora::TRestoreMode>((flags >> 1) % 5),
              asks, threads);

  CheckInside(out, planted);
  if (kelmora::fuzz::Snap(scratch.Root(), "out") != before)
    Fault("the scratch area changed outside the restore folder");
  return 0;
}
