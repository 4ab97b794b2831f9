// The zlib backend, for builds where libdeflate is missing. Its chunks are
// byte for byte those of a fresh deflateInit at the same level.
#include <zlib.h>

#include "engine/archive_format.h"
#include "engine/codec/zlib_inflate.h"
#include "engine/piece_codec.h"

namespace kelmora {

const char* CodecName() {
  return "zlib";
}

int CodecLevel(TCompressionLevel Level) {
  switch (Level) {
    case clFastest:
      return 1;
    case clNone:
      return 0;
    case clDefault:
      return Z_DEFAULT_COMPRESSION;
    case clMax:
      return 9;
  }
  return 1;
}

// Resetting one stream with deflateReset before each piece gives exactly
// the bytes a fresh deflateInit would, without handing zlib's 256 KiB of
// state back to the allocator for every 16 KiB piece.
struct PieceCompressor::State {
  explicit State(int L) : level(L) {}
  ~State() {
    if (ready) deflateEnd(&stream);
  }
  bool Prepare() {
    if (!ready) {
      stream = z_stream{};  // zalloc/zfree null: zlib's malloc and free
      if (deflateInit(&stream, level) != Z_OK) return false;
      ready = true;
      dirty = false;
      return true;
    }
    if (dirty && deflateReset(&stream) != Z_OK) return false;
    dirty = false;
    return true;
  }
  int level;
  z_stream stream{};
  bool ready = false;
  bool dirty = false;
};

PieceCompressor::PieceCompressor(TCompressionLevel Level)
    : state_(std::make_unique<State>(CodecLevel(Level))) {}
PieceCompressor::~PieceCompressor() = default;

PieceCompressor::Result PieceCompressor::Compress(const unsigned char* In, size_t Size,
                                                  unsigned char* Out, size_t& OutSize) {
  State& s = *state_;
  if (!s.Prepare()) return Failed;
  s.stream.next_in = const_cast<unsigned char*>(In);
  s.stream.avail_in = static_cast<uInt>(Size);
  s.stream.next_out = Out;
  s.stream.avail_out = static_cast<uInt>(format::kPieceSize);
  const int status = deflate(&s.stream, Z_FINISH);
  s.dirty = true;
  if (status == Z_STREAM_END) {
    OutSize = format::kPieceSize - s.stream.avail_out;
    return Compressed;
  }
  // Z_OK: the output buffer filled before zlib could finish.
  return status == Z_OK ? Stored : Failed;
}

struct PieceInflater::State {
  codec::ZlibInflate zlib;
};

PieceInflater::PieceInflater() : state_(std::make_unique<State>()) {}
PieceInflater::~PieceInflater() = default;

size_t PieceInflater::Inflate(const unsigned char* In, size_t Length, unsigned char* Out,
                              bool& Damaged) {
  return state_->zlib.Inflate(In, Length, Out, Damaged);
}

}  // namespace kelmora
