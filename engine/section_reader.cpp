// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/section_reader.h"

#include <exception>
#include <memory>

#include "engine/archive_format.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

constexpr size_t kPiece = static_cast<size_t>(format::kPieceSize);

// What a skipped chunk adds to progress: its size is unknown without
// inflating it, so it counts as a full piece.
constexpr int64_t kSkippedChunkWeight = format::kPieceSize;

// The codec tells damage from soundness, not its kind.
constexpr const char* kUnsoundChunk =
    "the chunk does not inflate to a sound piece (check value, length or data)";

void WriteZeros(TStream& Target, size_t Count) {
  static const unsigned char zeros[kPiece] = {};
  Target.WriteBuffer(zeros, Count);
}

}  // namespace

SectionReader::SectionReader(RunContext& Run)
    : run_(Run), in_(new unsigned char[kPiece]), out_(new unsigned char[kPiece]) {}

void SectionReader::Read(TStream& Source, TStream* Target, bool Decompress) {
  format::ReadSignature(Source);
  const bool reportsProgress = dynamic_cast<TFileStream*>(Target) != nullptr;
  int32_t length = -1;  // anything but the terminator before the first chunk
  while (length != 0 && run_.State().Continue) {
    length = format::ReadChunkLength(Source);
    int64_t contribution = 0;
    if (length != 0) {
      const size_t size = static_cast<size_t>(length < 0 ? -static_cast<int64_t>(length) : length);
      if (Decompress) {
        Source.ReadBuffer(in_.get(), size);
        const unsigned char* bytes = in_.get();
        size_t produced = size;
        if (length > 0) {
          bool damaged = false;
          produced = inflater_.Inflate(in_.get(), size, out_.get(), damaged);
          bytes = out_.get();
          if (damaged) run_.Fail(beCompression, run_.State().CurrentFile);
        }
        // What a damaged chunk did produce is kept: the file is left as far
        // as it could be read.
        if (Target != nullptr) Target->WriteBuffer(bytes, produced);
        contribution = static_cast<int64_t>(produced);
      } else {
        Source.Skip(static_cast<int64_t>(size));
        contribution = kSkippedChunkWeight;
      }
    }
    run_.ProcessMessages();
    if (reportsProgress) {
      run_.State().BytesDone += contribution;
      run_.ReportProgress(run_.State().CurrentFile);
    }
  }
}

bool SectionReader::Inflate(size_t Length, size_t& Produced, std::string* Reason) {
  bool damaged = false;
  Produced = inflater_.Inflate(in_.get(), Length, out_.get(), damaged);
  if (damaged && Reason != nullptr) {
    *Reason = kUnsoundChunk;
  }
  return !damaged;
}

InflatePipeline& SectionReader::Pipeline() {
  // Made at the first section and kept for the run: threads are started
  // once, not for every file.
  if (!pipeline_) pipeline_ = std::make_unique<InflatePipeline>(run_.Engine().ThreadCount() - 1);
  return *pipeline_;
}

SectionOutcome SectionReader::ReadChunks(TStream& Source, TStream* Target, bool Inflate,
                                         bool Progress) {
  SectionOutcome r;
  r.SoundUntil = Source.Position();
  InflatePipeline& chunks = Pipeline();
  const InflatePipeline::Section section(chunks, Source, Inflate);
  // A damaged piece is written once the next chunk length shows whether it
  // was the section's last: only a last piece can be shorter than 16384.
  bool pending = false;
  size_t pendingSize = 0;
  const auto broken = [&r](int64_t At, const std::string& Reason) {
    r.Result = SectionOutcome::Broken;
    if (!r.Damaged()) {
      r.DamageAt = At;
      r.Reason = Reason;
    }
    return r;
  };
  // A read that failed is the disk's trouble, not a cut archive: its
  // reason is the system's.
  const auto cut = [](const InflatePipeline::Chunk& Chunk, const char* Reason) {
    return Chunk.ReadError != 0
               ? "the archive cannot be read: " + platform::ErrorText(Chunk.ReadError)
               : std::string(Reason);
  };
  for (;;) {
    if (!run_.State().Continue) {
      r.Result = SectionOutcome::Stopped;
      return r;
    }
    const InflatePipeline::Chunk& chunk = chunks.Next();
    const int64_t at = chunk.At;
    switch (chunk.What) {
      case InflatePipeline::Chunk::Threw:
        std::rethrow_exception(chunk.Error);
      case InflatePipeline::Chunk::LengthCut:
        return broken(at, cut(chunk, "the archive ends inside a data section"));
      case InflatePipeline::Chunk::Impossible:
        return broken(at, "a chunk length is impossible");
      case InflatePipeline::Chunk::NotAStream:
        return broken(at, "a chunk is not a compressed stream");
      default:
        break;
    }
    const int32_t length = chunk.Length;
    if (pending) {
      if (Target != nullptr) WriteZeros(*Target, length == 0 ? pendingSize : kPiece);
      pending = false;
    }
    if (length == 0) {
      // The terminator adds nothing but is still a step the caller sees.
      run_.ProcessMessages();
      if (Progress) run_.ReportProgress(run_.State().CurrentFile);
      return r;
    }
    if (chunk.What == InflatePipeline::Chunk::PayloadCut)
      return broken(at, cut(chunk, "the archive ends inside a chunk"));

    int64_t contribution = kSkippedChunkWeight;
    if (Inflate) {
      size_t produced = chunk.Size();
      const unsigned char* bytes = chunk.In.data();
      if (length > 0) {
        produced = chunk.Produced;
        bytes = chunk.Out.data();
        if (chunk.Damaged) {
          // Two damaged chunks in one section most likely mean that a
          // chunk length was wrong and everything since is misread.
          if (r.Damaged()) return broken(at, "");
          r.DamageAt = at;
          r.Reason = kUnsoundChunk;
          pending = true;
          pendingSize = produced;
          bytes = nullptr;
        } else if (!r.Damaged()) {
          // The stream checked out to the chunk's last byte; still, only
          // the length itself, read where the last chunk ended, is counted
          // as sound, so a search after a later break looks at the chunk's
          // bytes too (a few hundred, never an entry's head lost).
          r.SoundUntil = at + 4;
        }
      }
      if (bytes != nullptr && Target != nullptr) Target->WriteBuffer(bytes, produced);
      contribution = static_cast<int64_t>(produced);
    }
    run_.ProcessMessages();
    if (Progress) {
      run_.State().BytesDone += contribution;
      run_.ReportProgress(run_.State().CurrentFile);
    }
  }
}

void TBackupFile::DeCompress(TStream& Source, TStream* Target, bool Decompress) {
  // A step of whatever run is under way, not a run of its own.
  RunContext run(*this, RunContext::Start::Current);
  SectionReader(run).Read(Source, Target, Decompress);
}

}  // namespace kelmora
