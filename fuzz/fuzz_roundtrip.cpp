// SPDX-License-Identifier: GPL-3.0-or-later
//
// Fuzzed files backed up and restored must come back byte-identical, with
// their time stamps, under their own names, in one volume or many, with or
// without a file-ID list, at every compression level. The archive must list
// its title, file count and sizes, and the run must leave nothing behind
// (the file-ID list's temporary file included).
//
// First byte: compression level (bits 0-1), file-ID list (bit 2), volumes
// (bit 3) of a size picked by bits 4-7. Then pieces cut at separators: the
// title, then one file each (fuzz_tree.h).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_tree.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
using kelmora::fuzz::Fault;

constexpr size_t kMaxFiles = 24;
constexpr size_t kMaxTotal = 256u << 10;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  kelmora::fuzz::Scratch& scratch = kelmora::fuzz::Scratch::Get();
  scratch.Clear();
  const uint8_t flags = Data[0];
  std::vector<std::string> pieces = kelmora::fuzz::Cut(
      std::string(reinterpret_cast<const char*>(Data) + 1, Size - 1), kMaxFiles + 1);
  const std::string title = pieces[0].substr(0, 200);
  pieces.erase(pieces.begin());

  const std::string src = scratch / "src";
  const std::string arc = scratch / "arc";
  const std::string out = scratch / "out";
  fs::create_directories(src);
  fs::create_directories(arc);
  const std::vector<kelmora::fuzz::TreeFile> files =
      kelmora::fuzz::MakeTree(src, pieces, kMaxTotal);
  int64_t total = 0;
  for (const auto& f : files) total += static_cast<int64_t>(f.bytes.size());

  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile& Sender, int32_t Code, const std::string& Text) {
    Fault("engine error " + std::to_string(Code) + ": " + Text + " (" + Sender.ErrorReason() + ")");
  };
  // Every volume is there at once; nothing to wait for.
  engine.OnNeedDisk = [](kelmora::TBackupFile&, uint16_t, bool&) {};
  kelmora::fuzz::SetUpBackup(
      engine, title, flags,
      flags & 8 ? kelmora::kSmallestVolumeSize + (flags >> 4) * 2048 : 0);
  const std::string archive = arc + "/a.bkp";
  if (!engine.Backup({src + "/*.* /s"}, archive)) Fault("backup failed");

  kelmora::TStringList ids;
  if (engine.GetArchiveTitle(archive, &ids) != title) Fault("title changed");
  if (engine.FileCount() != static_cast<int32_t>(files.size()))
    Fault("file count " + std::to_string(engine.FileCount()) + " of " +
          std::to_string(files.size()));
  if (engine.SaveFileID && ids.size() < files.size())
    Fault("file-ID list lost lines: " + std::to_string(ids.size()) + " error " +
          std::to_string(engine.ErrorCode()));
  if (!engine.SaveFileID && engine.TotalSize() != total) Fault("total size");

  engine.RestoreFullPath = true;
  if (!engine.Restore(archive, out)) Fault("restore failed");
  if (engine.FilesDone() != static_cast<int32_t>(files.size()))
    Fault("restored " + std::to_string(engine.FilesDone()));

  // The restored tree holds exactly the files, byte for byte, stamp for
  // stamp.
  const std::string restored = out + src;
  kelmora::fuzz::Snapshot expected;
  for (const auto& f : files) {
    expected[f.name] = f.bytes;
    for (fs::path p = fs::path(f.name).parent_path(); !p.empty(); p = p.parent_path())
      expected[p.string()] = "<dir>";
    if (kelmora::platform::FileTimeOfPath(restored + "/" + f.name) !=
        kelmora::platform::FileTimeOfPath(src + "/" + f.name))
      Fault("stamp of " + f.name);
  }
  if (kelmora::fuzz::Snap(restored) != expected) Fault("restored tree differs");

  // Nothing but the three folders: no temporary file, no stray volume.
  size_t volumes = 0;
  for (const auto& e : fs::directory_iterator(arc)) {
    const std::string name = e.path().filename().string();
    if (name != kelmora::format::NextVolumeName("a.bkp", name.substr(name.size() - 3)) &&
        name != "a.bkp")
      Fault("stray file beside the archive: " + name);
    ++volumes;
  }
  if (engine.MaxSize == 0 && volumes != 1) Fault("volumes without a limit");
  for (const auto& e : fs::directory_iterator(scratch.Root())) {
    const std::string name = e.path().filename().string();
    if (name != "src" && name != "arc" && name != "out") Fault("left behind: " + name);
  }
  return 0;
}
