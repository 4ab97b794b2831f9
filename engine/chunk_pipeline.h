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
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/archive_format.h"
#include "engine/piece_codec.h"
#include "engine/source_file.h"
#include "engine/streams.h"

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
    bool taken = false;
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
      : level_(Level), own_(Level), workerCount_(Workers) {
    const size_t slots = Workers == 0 ? 1 : kSlotsPerThread * (Workers + 1);
    pieces_.resize(slots);
    for (auto& piece : pieces_) free_.push_back(&piece);
    maxFiles_ = slots;
    refill_ = std::max<size_t>(1, slots / 4);
    for (unsigned i = 0; i < Workers; ++i) workers_.emplace_back([this] { Work(); });
  }

  ~ChunkPipeline() {
    Reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
    }
    jobReady_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

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
  // until Release; must not be called when the file has nothing left.
  Piece& Next() {
    if (order_.empty() || free_.size() >= refill_) Fill();
    Piece& piece = *order_.front();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!piece.done) {
      if (jobs_.empty()) {
        WaitForWorker(lock);
        continue;
      }
      // Rather than wait, compress the oldest piece no one has taken:
      // this one when no worker got to it, else one the writer needs soon.
      Piece& job = *jobs_.front();
      jobs_.pop_front();
      job.taken = true;
      lock.unlock();
      Compress(own_, job);
      lock.lock();
      job.done = true;
    }
    return piece;
  }

  void Release() {
    free_.push_back(order_.front());
    order_.pop_front();
  }

  // Done with the file entered: the pieces read ahead of it that the
  // writer did not take (a stop, a failure) are dropped, and it is closed.
  void Leave() {
    if (files_.empty()) return;
    const size_t index = files_.front()->Index;
    Drop([index](const Piece& P) { return P.File == index; });
    files_.pop_front();
  }

  // Closes the file entered and every one read ahead of it, to be opened
  // and read again from the file at Index on.
  void Rewind(size_t Index) {
    Drop([](const Piece&) { return true; });
    files_.clear();
    nextToOpen_ = Index;
  }

  // Drops everything read ahead, once no worker holds a piece any more.
  void Reset() {
    Drop([](const Piece&) { return true; });
    files_.clear();
    open_ = nullptr;
    count_ = 0;
  }

 private:
  static constexpr size_t kSlotsPerThread = 16;
  static constexpr size_t kMostInOneTake = 8;

  static void Compress(PieceCompressor& Compressor, Piece& P) {
    P.Result = Compressor.Compress(P.In.data(), P.Size, P.Out.data(), P.Packed);
  }

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
    std::vector<Piece*> read;
    File* file = nullptr;
    while (!free_.empty() && (file = Reading()) != nullptr) {
      Piece& piece = *free_.back();
      free_.pop_back();
      piece.File = file->Index;
      piece.ReadFailed = false;
      piece.ReadError = 0;
      piece.Packed = 0;
      try {
        piece.Size = file->Source->Read(piece.In.data(), piece.In.size());
      } catch (const EStreamError& e) {
        piece.Size = 0;
        piece.ReadFailed = true;
        piece.ReadError = e.SystemError();
      }
      file->ToRead -= static_cast<int64_t>(piece.Size);
      if (piece.Size == 0 || file->ToRead <= 0) file->Ended = true;
      read.push_back(&piece);
    }
    if (read.empty()) return;
    size_t queued = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (Piece* piece : read) {
        const bool compress = piece->Size != 0;
        piece->taken = !compress;
        piece->done = !compress;
        order_.push_back(piece);
        if (compress) {
          jobs_.push_back(piece);
          ++queued;
        }
      }
    }
    if (queued == 0 || workers_.empty()) return;
    if (queued == 1) {
      jobReady_.notify_one();
    } else {
      jobReady_.notify_all();
    }
  }

  // Takes the pieces that Matches selects out of the queue, waits for those
  // a worker holds, and frees them all.
  template <typename Match>
  void Drop(Match Matches) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (Matches(**it)) {
        (*it)->done = true;  // never started
        it = jobs_.erase(it);
      } else {
        ++it;
      }
    }
    for (;;) {
      bool busy = false;
      for (const Piece* piece : order_) busy = busy || (Matches(*piece) && !piece->done);
      if (!busy) break;
      WaitForWorker(lock);
    }
    for (auto it = order_.begin(); it != order_.end();) {
      if (Matches(**it)) {
        free_.push_back(*it);
        it = order_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void WaitForWorker(std::unique_lock<std::mutex>& Lock) {
    waiting_ = true;
    pieceDone_.wait(Lock);
    waiting_ = false;
  }

  void Work() {
    PieceCompressor compressor(level_);
    std::vector<Piece*> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      jobReady_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
      if (shutdown_) return;
      // A fair share of what is queued, so the other threads (the writer
      // among them) are not left idle behind one worker's batch.
      const size_t share = std::clamp<size_t>(jobs_.size() / (workerCount_ + 1), 1, kMostInOneTake);
      batch.clear();
      for (size_t i = 0; i < share; ++i) {
        batch.push_back(jobs_.front());
        jobs_.pop_front();
        batch.back()->taken = true;
      }
      for (Piece* piece : batch) {
        lock.unlock();
        Compress(compressor, *piece);
        lock.lock();
        piece->done = true;
        if (waiting_) pieceDone_.notify_all();
      }
    }
  }

  const TCompressionLevel level_;
  PieceCompressor own_;  // the caller's, for pieces no worker took
  const unsigned workerCount_;
  std::vector<Piece> pieces_;
  size_t maxFiles_ = 1;
  size_t refill_ = 1;

  // The caller's thread only.
  std::vector<Piece*> free_;
  std::deque<Piece*> order_;                 // read, in archive order
  std::deque<std::unique_ptr<File>> files_;  // the writer's file first, then those read ahead
  Opener open_;
  size_t count_ = 0;
  size_t nextToOpen_ = 0;

  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::condition_variable pieceDone_;
  std::deque<Piece*> jobs_;  // read, not yet taken by anyone
  bool waiting_ = false;     // the caller waits for a worker
  bool shutdown_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace kelmora
