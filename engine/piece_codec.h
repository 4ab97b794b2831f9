// SPDX-License-Identifier: GPL-3.0-or-later
//
// The one seam between the archive and a deflate library: a piece goes in
// as at most 16,384 bytes and comes out as one whole zlib stream, or not at
// all when the stream would not fit in a piece (the piece is then stored).
// A chunk comes back as the bytes of its stream, or as damage.
//
// Two backends implement it, chosen when the project is configured:
// libdeflate (the default, whole-buffer and markedly faster) and zlib.
// Either one reads what the other wrote: both write and read plain zlib
// streams, and zlib's one-call inflate into a piece accepts every chunk.
#pragma once

#include <cstddef>
#include <memory>

#include "kelmora/backup_file.h"

namespace kelmora {

// "libdeflate" or "zlib".
const char* CodecName();

// The backend's own level for each compression level; the ordinals of
// TCompressionLevel are not in order.
int CodecLevel(TCompressionLevel Level);

// One per thread: a compressor keeps the backend's state between pieces.
// A piece's bytes depend on the level and the piece alone, never on what
// the same compressor did before.
class PieceCompressor {
 public:
  enum Result {
    Compressed,  // Out holds a complete zlib stream of OutSize bytes
    Stored,      // the stream does not fit in one piece; store the bytes
    Failed,      // the backend could not set up or compress
  };

  explicit PieceCompressor(TCompressionLevel Level);
  ~PieceCompressor();
  PieceCompressor(const PieceCompressor&) = delete;
  PieceCompressor& operator=(const PieceCompressor&) = delete;

  // Compresses Size bytes (at most a piece) into Out, which holds
  // kPieceSize bytes. OutSize is set for a compressed piece only.
  Result Compress(const unsigned char* In, size_t Size, unsigned char* Out, size_t& OutSize);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether a chunk whose first two bytes are these can be a zlib stream the
// inflater accepts: deflate, a window of at most 32 KiB, no preset
// dictionary, and the check bits right.
inline bool BeginsZlibStream(unsigned char First, unsigned char Second) {
  return (First & 0x0f) == 8 && (First >> 4) <= 7 && (Second & 0x20) == 0 &&
         (First * 256 + Second) % 31 == 0;
}

// One per thread, like the compressor.
class PieceInflater {
 public:
  PieceInflater();
  ~PieceInflater();
  PieceInflater(const PieceInflater&) = delete;
  PieceInflater& operator=(const PieceInflater&) = delete;

  // Inflates the Length bytes at In into Out (kPieceSize bytes) and returns
  // the bytes produced. Anything but one complete zlib stream of at most a
  // piece sets Damaged; the bytes returned are then those zlib's inflate
  // gets out of the stream before it fails, the same with either backend.
  size_t Inflate(const unsigned char* In, size_t Length, unsigned char* Out, bool& Damaged);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kelmora
