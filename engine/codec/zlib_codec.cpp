// SPDX-License-Identifier: GPL-3.0-or-later
//
// The zlib backend, for builds where libdeflate is missing. Its chunks are
// byte for byte those of a fresh deflateInit at the same level.
#include <zlib.h>

#include "engine/archive_format.h"
#include "engine/codec/zlib_deflate.h"
#include "engine/codec/zlib_inflate.h"
#include "engine/piece_codec.h"

namespace kelmora {

const char* CodecName() {
  return "zlib";
}

int CodecLevel(TCompressionLevel Level) {
  return codec::ZlibLevel(Level);
}

struct PieceCompressor::State {
  explicit State(int Level) : zlib(Level) {}
  codec::ZlibDeflate zlib;
};

PieceCompressor::PieceCompressor(TCompressionLevel Level)
    : state_(std::make_unique<State>(CodecLevel(Level))) {}
PieceCompressor::~PieceCompressor() = default;

PieceCompressor::Result PieceCompressor::Compress(const unsigned char* In, size_t Size,
                                                  unsigned char* Out, size_t& OutSize) {
  return state_->zlib.Compress(In, Size, Out, OutSize);
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
