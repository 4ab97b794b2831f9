// SPDX-License-Identifier: GPL-3.0-or-later
//
// Reads the chunks of one data section ahead of the restore or test that
// takes them, inflates them on worker threads, and hands them back strictly
// in archive order.
//
// Only reading and inflating run ahead. The caller takes one chunk at a
// time and does everything anyone can see with it on its own thread:
// writing the target, progress, damage, the continue flag. That is why a
// run with workers raises the same events in the same order as one without.
// What the reading met (a cut, an impossible length) waits in its chunk
// until the caller reaches it, as it would have met it there itself.
//
// Reading never passes the section's terminator, and when the caller stops
// taking chunks (a stop, damage, a failing target) the source is put back
// where the last chunk taken ended, where a reader without workers would
// stand; a source that cannot seek stays read ahead by at most the window.
//
// At most a fixed number of chunks is in flight, so memory stays bounded
// whatever the archive. With no workers the window is one chunk, read and
// inflated on the caller's thread when it asks for it: the plain path.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "engine/archive_format.h"
#include "engine/piece_codec.h"
#include "engine/piece_workers.h"
#include "kelmora/streams.h"

namespace kelmora {

class InflatePipeline {
 public:
  struct Chunk {
    enum Kind : uint8_t {
      Data,        // a chunk record, read whole
      Terminator,  // the section's end
      LengthCut,   // the source ended inside the length
      Impossible,  // the length cannot be a piece's
      PayloadCut,  // the source ended inside the payload
      NotAStream,  // stepped over, a deflated chunk that does not begin as one
      Threw,       // reading failed otherwise; Error holds why
    };
    Kind What = Data;
    int64_t At = 0;      // where its length starts
    int64_t End = 0;     // where the source stood after reading it
    int32_t Length = 0;  // as stored: > 0 deflated, < 0 stored
    std::vector<unsigned char> In = std::vector<unsigned char>(format::kPieceSize);
    std::vector<unsigned char> Out = std::vector<unsigned char>(format::kPieceSize);
    size_t Produced = 0;  // bytes inflated into Out
    bool Damaged = false;
    // LengthCut or PayloadCut by a failing read, not the source's end: the
    // system's error number.
    int ReadError = 0;
    std::exception_ptr Error;
    bool done = false;

    size_t Size() const { return static_cast<size_t>(Length < 0 ? -int64_t{Length} : Length); }
  };

  explicit InflatePipeline(unsigned Workers)
      : work_(Workers == 0 ? 1 : std::min(kSlotsPerThread * (Workers + 1), kMostSlots), Workers,
              [] { return std::make_unique<Inflater>(); }),
        refill_(std::max<size_t>(1, work_.Slots() / 4)) {}

  InflatePipeline(const InflatePipeline&) = delete;
  InflatePipeline& operator=(const InflatePipeline&) = delete;

  // One section, from Begin (the source just after its signature) to the
  // end of the scope; see the notes at the top on where the source is left.
  class Section {
   public:
    Section(InflatePipeline& Pipeline, TStream& Source, bool Inflate) : p_(Pipeline) {
      p_.Begin(Source, Inflate);
    }
    ~Section() { p_.End(); }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

   private:
    InflatePipeline& p_;
  };

  // The next chunk of the section, read, and inflated when it is a
  // deflated one and the section is inflated. Valid until the next call;
  // must not be called past a chunk that ends the section.
  const Chunk& Next() {
    if (handedOut_) work_.ReleaseFront();
    if (work_.NoneQueued() || (work_.HasWorkers() && work_.FreeCount() >= refill_)) Fill();
    const Chunk& chunk = work_.Front();
    handedOut_ = true;
    taken_ = chunk.End;
    return chunk;
  }

 private:
  static constexpr size_t kSlotsPerThread = 16;
  static constexpr size_t kMostSlots = 256;

  struct Inflater {
    void Process(Chunk& C) {
      C.Damaged = false;
      C.Produced = inflater.Inflate(C.In.data(), C.Size(), C.Out.data(), C.Damaged);
    }
    PieceInflater inflater;
  };

  void Begin(TStream& Source, bool Inflate) {
    source_ = &Source;
    inflate_ = Inflate;
    ended_ = false;
    handedOut_ = false;
    taken_ = Source.Position();
  }

  void End() {
    work_.Drop([](const Chunk&) { return true; });
    if (source_ != nullptr && source_->Position() != taken_) {
      try {
        source_->Seek(taken_, SeekOrigin::Begin);
      } catch (const EStreamError&) {
        // A pipe cannot give back what was read ahead; the section that
        // held it is over either way.
      }
    }
    source_ = nullptr;
  }

  // Reads one chunk record into C, noting what ended the section.
  void ReadChunk(Chunk& C) {
    TStream& source = *source_;
    C.At = source.Position();
    C.Length = 0;
    C.ReadError = 0;
    C.Error = nullptr;
    C.What = Chunk::Data;
    try {
      try {
        C.Length = format::ReadInt32(source);
      } catch (const EStreamError& e) {
        C.What = Chunk::LengthCut;
        C.ReadError = e.SystemError();
      }
      if (C.What == Chunk::Data) {
        if (C.Length > format::kPieceSize || C.Length < -format::kPieceSize) {
          C.What = Chunk::Impossible;
        } else if (C.Length == 0) {
          C.What = Chunk::Terminator;
        } else {
          try {
            if (inflate_) {
              source.ReadBuffer(C.In.data(), C.Size());
            } else if (C.Length > 0) {
              // Stepped over, a chunk still shows whether it begins as a
              // zlib stream. A damaged terminator or length read as a chunk
              // seldom does, and taken on trust it would carry the section
              // over the entries after it and lose them unseen.
              const size_t head = std::min<size_t>(C.Size(), 2);
              source.ReadBuffer(C.In.data(), head);
              if (head < 2 || !BeginsZlibStream(C.In[0], C.In[1])) {
                C.What = Chunk::NotAStream;
              } else {
                source.Skip(static_cast<int64_t>(C.Size() - head));
              }
            } else {
              source.Skip(static_cast<int64_t>(C.Size()));
            }
          } catch (const EStreamError& e) {
            C.What = Chunk::PayloadCut;
            C.ReadError = e.SystemError();
          }
        }
      }
    } catch (...) {
      C.What = Chunk::Threw;
      C.Error = std::current_exception();
    }
    C.End = source.Position();
    if (C.What != Chunk::Data) ended_ = true;
  }

  // Reads ahead on the caller's thread, as far as the section and the free
  // chunks allow (one at a time when chunks are stepped over), and queues
  // the deflated ones for the workers at once.
  void Fill() {
    const bool callerTakesFirst = work_.NoneQueued();
    read_.clear();
    while (work_.FreeCount() > 0 && !ended_ && (inflate_ || read_.empty())) {
      Chunk& chunk = work_.TakeFree();
      ReadChunk(chunk);
      read_.push_back(&chunk);
    }
    const bool inflate = inflate_;
    work_.Queue(read_, callerTakesFirst, [inflate](const Chunk& C) {
      return inflate && C.What == Chunk::Data && C.Length > 0;
    });
  }

  PieceWorkers<Chunk, Inflater> work_;
  const size_t refill_;

  // The caller's thread only.
  std::vector<Chunk*> read_;
  TStream* source_ = nullptr;
  bool inflate_ = false;
  bool ended_ = false;      // a chunk that ends the section was read
  bool handedOut_ = false;  // the front chunk was handed out and is done with at the next
  int64_t taken_ = 0;       // where the last chunk handed out ended
};

}  // namespace kelmora
