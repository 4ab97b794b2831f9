// Compresses one piece of a file into one chunk record's payload.
//
// Every chunk must inflate on its own, so each piece gets a zlib stream of
// its own. Resetting one stream with deflateReset before each piece gives
// exactly the bytes a fresh deflateInit would, without handing zlib's
// 256 KiB of state back to the allocator for every 16 KiB piece.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "engine/archive_format.h"
#include "engine/backup_file.h"

namespace kelmora {

// The zlib level of each compression level; the ordinals are not in order.
inline int ZlibLevel(TCompressionLevel Level) {
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

class ChunkCompressor {
 public:
  enum Result {
    Compressed,  // Out holds a complete zlib stream of OutSize bytes
    Stored,      // the stream does not fit in one piece; store the bytes
    Failed,      // zlib could not set up or compress
  };

  explicit ChunkCompressor(int ZlibLevel) : level_(ZlibLevel) {}
  ~ChunkCompressor() {
    if (ready_) deflateEnd(&stream_);
  }
  ChunkCompressor(const ChunkCompressor&) = delete;
  ChunkCompressor& operator=(const ChunkCompressor&) = delete;

  // Compresses Size bytes (at most a piece) into Out, which holds
  // kPieceSize bytes. OutSize is set for a compressed chunk only.
  Result Compress(const unsigned char* In, size_t Size, unsigned char* Out, size_t& OutSize) {
    if (!Prepare()) return Failed;
    stream_.next_in = const_cast<unsigned char*>(In);
    stream_.avail_in = static_cast<uInt>(Size);
    stream_.next_out = Out;
    stream_.avail_out = static_cast<uInt>(format::kPieceSize);
    const int status = deflate(&stream_, Z_FINISH);
    dirty_ = true;
    if (status == Z_STREAM_END) {
      OutSize = format::kPieceSize - stream_.avail_out;
      return Compressed;
    }
    // Z_OK: the output buffer filled before zlib could finish.
    return status == Z_OK ? Stored : Failed;
  }

 private:
  bool Prepare() {
    if (!ready_) {
      stream_ = z_stream{};  // zalloc/zfree null: zlib's malloc and free
      if (deflateInit(&stream_, level_) != Z_OK) return false;
      ready_ = true;
      dirty_ = false;
      return true;
    }
    if (dirty_ && deflateReset(&stream_) != Z_OK) return false;
    dirty_ = false;
    return true;
  }

  int level_;
  z_stream stream_{};
  bool ready_ = false;
  bool dirty_ = false;
};

}  // namespace kelmora
