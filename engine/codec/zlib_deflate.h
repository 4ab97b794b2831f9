// SPDX-License-Identifier: GPL-3.0-or-later
//
// zlib's deflate of one piece, byte for byte that of a fresh deflateInit at
// the level. The zlib backend makes every chunk this way; the libdeflate
// backend the short pieces (small files, the ends of files), where
// libdeflate's setup for each call costs more than the piece and, at the
// fastest level, writes more.
#pragma once

#include <zlib.h>

#include <cstddef>

#include "engine/archive_format.h"
#include "engine/piece_codec.h"
#include "kelmora/backup_file.h"

namespace kelmora::codec {

// zlib's level for each compression level of the archive.
inline int ZlibLevel(TCompressionLevel Level) {
  switch (Level) {
    case clFastest:
      return 1;
    case clNone:
      return 0;
    case clDefault:
      return 6;  // what Z_DEFAULT_COMPRESSION stands for
    case clMax:
      return 9;
  }
  return 1;
}

// Resetting one stream with deflateReset before each piece gives exactly
// the bytes a fresh deflateInit would, without handing zlib's 256 KiB of
// state back to the allocator for every 16 KiB piece.
class ZlibDeflate {
 public:
  explicit ZlibDeflate(int Level) : level_(Level) {}
  ~ZlibDeflate() {
    if (ready_) deflateEnd(&stream_);
  }
  ZlibDeflate(const ZlibDeflate&) = delete;
  ZlibDeflate& operator=(const ZlibDeflate&) = delete;

  PieceCompressor::Result Compress(const unsigned char* In, size_t Size, unsigned char* Out,
                                   size_t& OutSize) {
    if (!Prepare()) return PieceCompressor::Failed;
    stream_.next_in = const_cast<unsigned char*>(In);
    stream_.avail_in = static_cast<uInt>(Size);
    stream_.next_out = Out;
    stream_.avail_out = static_cast<uInt>(format::kPieceSize);
    const int status = deflate(&stream_, Z_FINISH);
    dirty_ = true;
    if (status == Z_STREAM_END) {
      OutSize = format::kPieceSize - stream_.avail_out;
      return PieceCompressor::Compressed;
    }
    // Z_OK: the output buffer filled before zlib could finish.
    return status == Z_OK ? PieceCompressor::Stored : PieceCompressor::Failed;
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

}  // namespace kelmora::codec
