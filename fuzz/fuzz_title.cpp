// SPDX-License-Identifier: GPL-3.0-or-later
//
// Arbitrary bytes as an archive on a caller's stream, listed with its
// title and file-ID list. No input may crash, hang or exhaust memory, and
// the same bytes must list the same way twice. Inputs unfold (see
// fuzz_support.h), so a short input can carry a list that inflates to far
// more than any real one.
#include <cstdint>
#include <string>

#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Listing {
  std::string title;
  int64_t total;
  int32_t count;
  kelmora::TStringList ids;
  int32_t error;
  bool operator==(const Listing&) const = default;
};

Listing ListOnce(const std::string& Archive) {
  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  kelmora::fuzz::BytesStream stream(Archive.data(), Archive.size());
  Listing l;
  l.title = engine.GetArchiveTitleFromStream(&stream, &l.ids);
  l.total = engine.TotalSize();
  l.count = engine.FileCount();
  l.error = engine.ErrorCode();
  return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  static std::string archive;
  kelmora::fuzz::UnfoldInto(archive, Data, Size);
  const Listing first = ListOnce(archive);
  if (first.title.size() > archive.size()) kelmora::fuzz::Fault("title longer than the archive");
  // Listing twice doubles the cost; the small archives, where nearly all
  // executions go, are enough to show a reader that depends on anything
  // but its input.
  if (archive.size() <= 65536 && !(first == ListOnce(archive)))
    kelmora::fuzz::Fault("two listings differ");
  return 0;
}
