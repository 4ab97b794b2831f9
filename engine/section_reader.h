// Reads one data section ("EC2\0", chunk records, terminator) back into a
// stream, or steps over it. One reader keeps its buffers and its inflater
// for a whole restore, so a chunk costs no allocation.
#pragma once

#include <memory>

#include "engine/backup_file.h"
#include "engine/piece_codec.h"
#include "engine/streams.h"

namespace kelmora {

class SectionReader {
 public:
  explicit SectionReader(TBackupFile& Engine);
  ~SectionReader() = default;
  SectionReader(const SectionReader&) = delete;
  SectionReader& operator=(const SectionReader&) = delete;

  // Source must stand at a section's signature. With Decompress the bytes go
  // to Target; without, the section is passed over unread where the source
  // can seek. A wrong signature or a chunk length beyond 16384 throws
  // Exception("Invalid archive type"); a truncated source throws the stream's
  // read error; a chunk that does not inflate cleanly sets code 6.
  void Read(TStream& Source, TStream* Target, bool Decompress);

 private:
  TBackupFile& engine_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<unsigned char[]> out_;
  PieceInflater inflater_;
};

}  // namespace kelmora
