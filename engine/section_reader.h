// SPDX-License-Identifier: GPL-3.0-or-later
//
// Reads one data section ("EC2\0", chunk records, terminator) back into a
// stream, or steps over it, and finds where an archive can be read again
// after damage. One reader keeps its buffers and its inflater for a whole
// restore, so a chunk costs no allocation; so does its pipeline, which
// inflates the chunks of a section ahead on the engine's threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/inflate_pipeline.h"
#include "engine/piece_codec.h"
#include "engine/run_state.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"

namespace kelmora {

// How far one section could be read.
struct SectionOutcome {
  enum Kind : uint8_t {
    Complete,  // the terminator was reached; payloads may still have been damaged
    Stopped,   // the continue flag ended the reading
    Broken,    // the layout could not be followed to the terminator
  };
  Kind Result = Complete;
  int64_t DamageAt = -1;  // where the first damage was found; -1 for none
  std::string Reason;
  // Every byte before this was read and checked: at most the payload start
  // of the last chunk that inflated soundly before any damage. Stored
  // chunks carry no check, so they never move it forward.
  int64_t SoundUntil = 0;
  bool Damaged() const { return DamageAt >= 0; }
};

// A place where reading can resume.
struct Landing {
  // NoneBefore: nothing begins before the bound the search was given.
  enum Kind : uint8_t { FileEntry, VolumeChange, EndMarker, EndOfVolume, NoneBefore };
  Kind What = EndOfVolume;
  int64_t Position = 0;
};

class SectionReader {
 public:
  explicit SectionReader(RunContext& Run);
  ~SectionReader() = default;
  SectionReader(const SectionReader&) = delete;
  SectionReader& operator=(const SectionReader&) = delete;

  // Source must stand at a section's signature. With Decompress the bytes go
  // to Target; without, the section is passed over unread where the source
  // can seek. A wrong signature or a chunk length beyond 16384 throws
  // Exception("Invalid archive type"); a truncated source throws the stream's
  // read error; a chunk that does not inflate cleanly sets code 6.
  void Read(TStream& Source, TStream* Target, bool Decompress);

  // The damage-tolerant form used by restore and test. Source stands after
  // a signature already checked. A damaged payload is replaced by zeros (a
  // full piece, or the length it still inflated to when it is the last
  // chunk of the section) and reading goes on; a second damaged chunk, an
  // impossible chunk length or the end of the data makes the section
  // Broken. Failures of Target pass out as they are; those of Source never.
  // With Progress, every chunk advances BytesDone and raises OnProgress.
  SectionOutcome ReadChunks(TStream& Source, TStream* Target, bool Inflate, bool Progress);

  // The first place at or after From (within the volume Source reads)
  // where a record can be validated: a file entry whose name, time stamp,
  // signature and first chunks read soundly, a volume-change entry or an end
  // marker that ends the volume; EndOfVolume when there is none. With
  // Before, only records that begin before it are looked for, and
  // NoneBefore says there is none. Needs a source that can seek; leaves it
  // at the landing (or somewhere in the volume when nothing was found).
  Landing FindNextRecord(TStream& Source, int64_t From, int64_t Before = INT64_MAX);

 private:
  // Inflates the Length bytes in in_ into out_, setting Produced; false for
  // damage, described in Reason.
  bool Inflate(size_t Length, size_t& Produced, std::string* Reason);
  // The deeper look at a candidate entry whose signature ends at Body.
  bool ChunksFollow(TStream& Source, int64_t Body);
  // Reads ahead and inflates with the engine's threads, the caller's one
  // among them.
  InflatePipeline& Pipeline();

  RunContext& run_;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<unsigned char[]> out_;
  // FindNextRecord's view of the archive, made on its first search and
  // kept: a damaged archive may need a search after every record.
  std::unique_ptr<unsigned char[]> window_;
  PieceInflater inflater_;
  std::unique_ptr<InflatePipeline> pipeline_;
};

// Names the writer can have stored: an absolute path of either kind, or the
// file-ID list. A search for the next entry accepts nothing else.
bool IsPlausibleStoredName(const std::string& Name);

}  // namespace kelmora
