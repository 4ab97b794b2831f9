// SPDX-License-Identifier: GPL-3.0-or-later
//
// zlib's inflate of one chunk, as every reader has always done it. The zlib
// backend reads every chunk this way; the libdeflate backend only the ones
// libdeflate calls damaged, so that a damaged chunk gives the same bytes
// and the same verdict whichever backend reads it.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdlib>

#include "engine/archive_format.h"

namespace kelmora::codec {

class ZlibInflate {
 public:
  ZlibInflate() = default;
  ~ZlibInflate() {
    if (ready_) inflateEnd(&zs_);
  }
  ZlibInflate(const ZlibInflate&) = delete;
  ZlibInflate& operator=(const ZlibInflate&) = delete;

  size_t Inflate(const unsigned char* In, size_t Length, unsigned char* Out, bool& Damaged) {
    constexpr size_t kPiece = static_cast<size_t>(format::kPieceSize);
    // One stream kept for the whole run: a chunk costs an inflateReset,
    // not an allocation.
    if (ready_) {
      Damaged = inflateReset(&zs_) != Z_OK;
    } else {
      zs_ = z_stream{};
      zs_.zalloc = Alloc;
      zs_.zfree = Free;
      ready_ = inflateInit(&zs_) == Z_OK;
      Damaged = !ready_;
    }
    if (Damaged) return 0;
    zs_.next_in = const_cast<unsigned char*>(In);
    zs_.avail_in = static_cast<uInt>(Length);
    zs_.next_out = Out;
    zs_.avail_out = static_cast<uInt>(kPiece);
    // One call must finish the stream: Z_FINISH also spares zlib its
    // sliding window. A stream that does not end within the piece (it would
    // inflate to more, or its input is cut short), a failed Adler-32 check
    // and bytes after the stream's end are all damage, never a silently
    // shortened chunk or a chunk length taken on trust.
    const int result = inflate(&zs_, Z_FINISH);
    Damaged = result != Z_STREAM_END || zs_.avail_in != 0;
    return kPiece - zs_.avail_out;
  }

 private:
  static voidpf Alloc(voidpf, uInt Items, uInt Size) {
    return std::malloc(static_cast<size_t>(Items) * Size);
  }
  static void Free(voidpf, voidpf Address) { std::free(Address); }

  z_stream zs_{};
  bool ready_ = false;
};

}  // namespace kelmora::codec
