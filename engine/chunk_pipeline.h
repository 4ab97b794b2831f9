// SPDX-License-Identifier: GPL-3.0-or-later
//
// Reads the selected files ahead of the writer, piece by piece and across
// file boundaries, and compresses the pieces on worker threads, handing
// them back strictly in archive order.
//
// The writer still takes one chunk at a time on the caller's thread and
// raises every event there; files are opened and read there too, only
// compression runs elsewhere. Each worker has a compressor of its own, and
// a chunk's bytes do not depend on which thread made it, so the archive is
// the same whatever the thread count.
//
// A backup of many small files is where the hand-over costs: pieces are
// read and queued in batches, a worker takes several at a time, and a
// worker wakes the writer only when the writer is waiting. At most Slots
// pieces and as many open files are ahead of the writer, so memory stays
// bounded whatever the size or the number of files. With no workers there
// is one piece and one open file: the caller reads and compresses each
// piece when it asks for it, exactly in turn.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "engine/archive_format.h"
#include "engine/piece_codec.h"
#include "engine/piece_workers.h"
#include "engine/source_file.h"
#include "kelmora/streams.h"
#include "platform/assertions.h"

namespace kelmora {

class ChunkPipeline {
 public:
  struct Piece {
    std::vector<unsigned char> In = std::vector<unsigned char>(format::kPieceSize);
    std::vector<unsigned char> Out = std::vector<unsigned char>(format::kPieceSize);
    size_t Size = 0;  // bytes read; 0 = the file ended early
    bool ReadFailed = false;
    int ReadError = 0;  // the system's error number when it failed
    PieceCompressor::Result Result = PieceCompressor::Failed;
    size_t Packed = 0;  // bytes in Out when Result is Compressed
    size_t File = 0;    // index of the file it belongs to
    bool done = false;
  };

  // One selected file, opened ahead of the writer.
  struct File {
    size_t Index = 0;
    std::unique_ptr<SourceFile> Source;  // null: vanished, or could not be opened
    bool OpenFailed = false;             // it exists but could not be opened
    int OpenError = 0;                   // the system's error number then
    int64_t ToRead = 0;                  // bytes still to be read ahead
    bool Ended = false;                  // no further piece will be read
  };

  // Opens the selected file at Index: null when it no longer exists;
  // throws EFOpenError when it exists but cannot be opened.
  using Opener = std::function<std::unique_ptr<SourceFile>(size_t Index)>;

  ChunkPipeline(TCompressionLevel Level, unsigned Workers)
      : work_(Workers == 0 ? 1 : kSlotsPerThread * (Workers + 1), Workers,
              [Level] { return std::make_unique<Compressor>(Level); }) {
    maxFiles_ = work_.Slots();
    refill_ = std::max<size_t>(1, work_.Slots() / 4);
  }

  ~ChunkPipeline() { Reset(); }

  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // Starts on a selection of Count files.
  void Begin(size_t Count, Opener Open) {
    Reset();
    open_ = std::move(Open);
    count_ = Count;
    nextToOpen_ = 0;
  }

  // The writer moves on to the file at Index, every earlier one left.
  File& Enter(size_t Index) {
    while (files_.empty() || files_.back()->Index < Index) OpenNext();
    return *files_.front();
  }

  // The next piece of the file entered, read and compressed. Stays valid
  // until Release. Only while the file has something left: the writer
  // counts its bytes down.
  Piece& Next() {
    if (work_.NoneQueued() || work_.FreeCount() >= refill_) Fill();
    KELMORA_ASSERT(!work_.NoneQueued());
    return work_.Front();
  }

  void Release() { work_.ReleaseFront(); }

  // Done with the file entered: the pieces read ahead of it that the
  // writer did not take (a stop, a failure) are dropped, and it is closed.
  void Leave() {
    if (files_.empty()) return;
    const size_t index = files_.front()->Index;
    work_.Drop([index](const Piece& P) { return P.File == index; });
    files_.pop_front();
  }

  // Closes the file entered and every one read ahead of it, to be opened
  // and read again from the file at Index on.
  void Rewind(size_t Index) {
    work_.Drop([](const Piece&) { return true; });
    files_.clear();
    nextToOpen_ = Index;
  }

  // Drops everything read ahead, once no worker holds a piece any more.
  void Reset() {
    work_.Drop([](const Piece&) { return true; });
    files_.clear();
    open_ = nullptr;
    count_ = 0;
  }

 private:
  static constexpr size_t kSlotsPerThread = 16;

  struct Compressor {
    explicit Compressor(TCompressionLevel Level) : compressor(Level) {}
    void Process(Piece& P) {
      P.Result = compressor.Compress(P.In.data(), P.Size, P.Out.data(), P.Packed);
    }
    PieceCompressor compressor;
  };

  void OpenNext() {
    auto file = std::make_unique<File>();
    file->Index = nextToOpen_++;
    try {
      file->Source = open_(file->Index);
    } catch (const EFOpenError& e) {
      file->OpenFailed = true;
      file->OpenError = e.SystemError();
    }
    if (file->Source) {
      file->ToRead = file->Source->Size();
    }
    file->Ended = !file->Source || file->ToRead <= 0;
    files_.push_back(std::move(file));
  }

  // The first file with pieces still to read, opening the next ones as far
  // as the bound on open files allows; null when there is none.
  File* Reading() {
    for (;;) {
      for (auto& file : files_)
        if (!file->Ended) return file.get();
      if (nextToOpen_ >= count_ || files_.size() >= maxFiles_) return nullptr;
      OpenNext();
    }
  }

  // Reads ahead on the caller's thread, as far as the files go and the
  // free pieces allow, and queues what was read for the workers at once.
  void Fill() {
    const bool callerTakesFirst = work_.NoneQueued();
    read_.clear();
    File* file = nullptr;
    while (work_.FreeCount() > 0 && (file = Reading()) != nullptr) {
      Piece& piece = work_.TakeFree();
      piece.File = file->Index;
      piece.ReadFailed = false;
      piece.ReadError = 0;
      piece.Packed = 0;
      try {
        // No more than the size the file had at its open: a small file
        // is then read in one call, without a second that finds its end.
        // One that grew since is read again whole, as its changed size
        // and time say.
        piece.Size = file->Source->Read(
            piece.In.data(), static_cast<size_t>(std::min<int64_t>(
                                 static_cast<int64_t>(piece.In.size()), file->ToRead)));
      } catch (const EStreamError& e) {
        piece.Size = 0;
        piece.ReadFailed = true;
        piece.ReadError = e.SystemError();
      }
      file->ToRead -= static_cast<int64_t>(piece.Size);
      if (piece.Size == 0 || file->ToRead <= 0) file->Ended = true;
      read_.push_back(&piece);
    }
    work_.Queue(read_, callerTakesFirst, [](const Piece& P) { return P.Size != 0; });
  }

  PieceWorkers<Piece, Compressor> work_;
  size_t maxFiles_ = 1;
  size_t refill_ = 1;

  // The caller's thread only.
  std::vector<Piece*> read_;
  std::deque<std::unique_ptr<File>> files_;  // the writer's file first, then those read ahead
  Opener open_;
  size_t count_ = 0;
  size_t nextToOpen_ = 0;
};

}  // namespace kelmora
