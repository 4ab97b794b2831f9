// SPDX-License-Identifier: GPL-3.0-or-later
//
// Arbitrary bytes as one data section, read by DeCompress into memory and
// stepped over without inflating. Reading may stop on damage, but never
// crash or hang; no chunk may give more than a piece; and where both ways
// get through the section without an exception they must end at the same
// byte, or a restore that skips a file would lose its place in the archive.
// The first byte picks a source that can seek or one that cannot. The
// sink keeps no bytes, so a section of many chunks costs no memory.
#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/archive_format.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "fuzz/fuzz_support.h"

namespace {

using kelmora::fuzz::Fault;

// Bytes in memory that refuse to seek, as a pipe does.
class PipeStream : public kelmora::fuzz::BytesStream {
 public:
  using BytesStream::BytesStream;
  int64_t Seek(int64_t Offset, kelmora::SeekOrigin Origin) override {
    if (Origin == kelmora::SeekOrigin::Current && Offset == 0) return Position();
    throw kelmora::EStreamError("not seekable");
  }
  void Skip(int64_t Count) override {
    char sink[4096];
    while (Count > 0) {
      const size_t got = Read(sink, static_cast<size_t>(std::min<int64_t>(Count, sizeof sink)));
      if (got == 0) throw kelmora::EStreamError(kelmora::kStreamReadError);
      Count -= static_cast<int64_t>(got);
    }
  }
};

// Counts what it is given and keeps none of it: a section of thousands of
// chunks must not cost the fuzzer its memory.
class CountingSink : public kelmora::TStream {
 public:
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void*, size_t Count) override {
    written_ += Count;
    return Count;
  }
  int64_t Seek(int64_t, kelmora::SeekOrigin) override { return written_; }
  int64_t Position() const override { return written_; }
  size_t Written() const { return written_; }

 private:
  size_t written_ = 0;
};

struct Outcome {
  bool threw = false;
  int32_t error = 0;
  int64_t end = 0;
  size_t produced = 0;
};

Outcome ReadSection(const char* Bytes, size_t Size, bool Decompress, bool Seekable) {
  kelmora::TBackupFile engine;
  engine.OnError = [](kelmora::TBackupFile&, int32_t, const std::string&) {};
  kelmora::fuzz::BytesStream seekable(Bytes, Size);
  PipeStream pipe(Bytes, Size);
  kelmora::fuzz::BytesStream& source = Seekable ? seekable : pipe;
  CountingSink target;
  Outcome o;
  try {
    engine.DeCompress(source, &target, Decompress);
  } catch (const kelmora::Exception&) {
    o.threw = true;
  }
  o.error = engine.ErrorCode();
  o.end = source.Position();
  o.produced = target.Written();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const bool seekable = (Data[0] & 1) != 0;
  const char* section = reinterpret_cast<const char*>(Data) + 1;
  const Outcome read = ReadSection(section, Size - 1, true, seekable);
  // Every chunk record takes at least its 4-byte length, and gives at most
  // one piece.
  const size_t chunks = (Size - 1) / 4;
  if (read.produced > chunks * static_cast<size_t>(kelmora::format::kPieceSize))
    Fault("more output than the chunks can hold");
  const Outcome skipped = ReadSection(section, Size - 1, false, seekable);
  if (skipped.produced != 0) Fault("stepping over a section wrote output");
  if (!read.threw && !skipped.threw && read.end != skipped.end)
    Fault("reading and stepping over end at different bytes");
  return 0;
}
