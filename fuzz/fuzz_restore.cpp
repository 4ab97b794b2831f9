// Arbitrary bytes as an archive on a caller's stream, restored into a
// private folder. Every input must end the run (true, false or an absorbed
// exception) without a crash or a hang, never leave anything outside the
// restore folder, and give the same result when restored a second time.
// The first byte picks RestoreFullPath and the restore mode.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "engine/backup_file.h"
#include "engine/streams.h"

namespace {

namespace fs = std::filesystem;

const std::string& BaseFolder() {
  static const std::string base = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelmora-fuzz-XXXXXX";
    if (!::mkdtemp(templ.data())) std::abort();
    return templ;
  }();
  return base;
}

std::tuple<bool, int32_t, int32_t> RestoreOnce(const std::string& Archive, uint8_t Flags,
                                               const std::string& Folder) {
  kelmora::TBackupFile engine;
  engine.RestoreFullPath = (Flags & 1) != 0;
  engine.RestoreMode = static_cast<kelmora::TRestoreMode>((Flags >> 1) % 5);
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  kelmora::TMemoryStream stream;
  stream.WriteBuffer(Archive.data(), Archive.size());
  stream.Seek(0, kelmora::SeekOrigin::Begin);
  const bool result = engine.RestoreFromStream(&stream, Folder);
  return {result, engine.ErrorCode(), engine.FilesDone()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const std::string archive(reinterpret_cast<const char*>(Data) + 1, Size - 1);
  const std::string folder = BaseFolder() + "/r";
  const auto first = RestoreOnce(archive, Data[0], folder);
  fs::remove_all(folder);
  const auto second = RestoreOnce(archive, Data[0], folder);
  if (first != second) std::abort();
  for (const auto& entry : fs::directory_iterator(BaseFolder()))
    if (entry.path().filename() != "r") std::abort();  // written outside the folder
  fs::remove_all(folder);
  return 0;
}
