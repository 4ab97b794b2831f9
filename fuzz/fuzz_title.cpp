// Arbitrary bytes as an archive on a caller's stream, listed with its
// title and file-ID list. No input may crash or hang the reader, and the
// same bytes must list the same way twice.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/backup_file.h"
#include "engine/streams.h"

namespace {

struct Listing {
  std::string title;
  int64_t total;
  int32_t count;
  kelmora::TStringList ids;
  int32_t error;
  bool operator==(const Listing&) const = default;
};

Listing ListOnce(const uint8_t* Data, size_t Size) {
  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  kelmora::TMemoryStream stream;
  stream.WriteBuffer(Data, Size);
  stream.Seek(0, kelmora::SeekOrigin::Begin);
  Listing l;
  l.title = engine.GetArchiveTitleFromStream(&stream, &l.ids);
  l.total = engine.TotalSize();
  l.count = engine.FileCount();
  l.error = engine.ErrorCode();
  return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (!(ListOnce(Data, Size) == ListOnce(Data, Size))) std::abort();
  return 0;
}
