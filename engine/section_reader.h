// Reads one data section ("EC2\0", chunk records, terminator) back into a
// stream, or steps over it. One reader keeps its buffers and its inflate
// state for a whole restore, so a chunk costs an inflateReset, not an
// allocation.
#pragma once

#include <zlib.h>

#include <memory>

#include "engine/backup_file.h"
#include "engine/streams.h"

namespace kelmora {

class SectionReader {
 public:
  explicit SectionReader(TBackupFile& Engine);
  ~SectionReader();
  SectionReader(const SectionReader&) = delete;
  SectionReader& operator=(const SectionReader&) = delete;

  // Source must stand at a section's signature. With Decompress the bytes go
  // to Target; without, the section is passed over unread where the source
  // can seek. A wrong signature or a chunk length beyond 16384 throws
  // Exception("Invalid archive type"); a truncated source throws the stream's
  // read error; a chunk that does not inflate cleanly sets code 6.
  void Read(TStream& Source, TStream* Target, bool Decompress);

 private:
  // Inflates the Length bytes in in_ into out_; returns the bytes produced.
  // Anything but one complete zlib stream of at most 16384 bytes is damage.
  size_t Inflate(size_t Length, bool& Damaged);

  TBackupFile& engine_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<unsigned char[]> out_;
  z_stream zs_{};
  bool zsReady_ = false;  // inflateInit succeeded; inflateReset is enough
};

}  // namespace kelmora
