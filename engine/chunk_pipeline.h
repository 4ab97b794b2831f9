// Reads the pieces of one file ahead of the writer and compresses them on
// worker threads, handing them back strictly in file order.
//
// The writer still takes one chunk at a time on the caller's thread and
// raises every event there; only deflate runs elsewhere. Each worker has a
// compressor of its own, and a chunk's bytes do not depend on which thread
// made it. At most Slots() pieces are in flight, so memory
// stays bounded whatever the size of the file. With no workers the caller
// reads and compresses each piece when it asks for it, exactly in turn.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/archive_format.h"
#include "engine/piece_codec.h"
#include "engine/streams.h"

namespace kelmora {

class ChunkPipeline {
 public:
  struct Piece {
    std::vector<unsigned char> In = std::vector<unsigned char>(format::kPieceSize);
    std::vector<unsigned char> Out = std::vector<unsigned char>(format::kPieceSize);
    size_t Size = 0;  // bytes read; 0 = the file ended early
    bool ReadFailed = false;
    PieceCompressor::Result Result = PieceCompressor::Failed;
    size_t Packed = 0;  // bytes in Out when Result is Compressed
    bool taken = false;
    bool done = false;
  };

  ChunkPipeline(TCompressionLevel Level, unsigned Workers) : level_(Level), own_(Level) {
    pieces_.resize(2 * (Workers + 1) - 1);
    for (auto& piece : pieces_) free_.push_back(&piece);
    for (unsigned i = 0; i < Workers; ++i) workers_.emplace_back([this] { Work(); });
  }

  ~ChunkPipeline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
    }
    jobReady_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // Starts on a file: Remaining bytes are to be read from Source.
  void Start(TStream& Source, int64_t Remaining) {
    Reset();
    source_ = &Source;
    toRead_ = Remaining;
    ended_ = false;
  }

  // The next piece of the file, read and compressed. Stays valid until
  // Release; must not be called when the file has nothing left to give.
  Piece& Next() {
    Fill();
    Piece& piece = *order_.front();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!piece.done) {
      if (jobs_.empty()) {
        pieceDone_.wait(lock);
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

  // Drops the pieces read ahead, once no worker holds one any more.
  void Reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (Piece* piece : jobs_) piece->done = true;  // never started
    jobs_.clear();
    pieceDone_.wait(lock, [&] {
      for (const Piece* piece : order_)
        if (!piece->done) return false;
      return true;
    });
    for (Piece* piece : order_) free_.push_back(piece);
    order_.clear();
    source_ = nullptr;
  }

 private:
  static void Compress(PieceCompressor& Compressor, Piece& P) {
    P.Result = Compressor.Compress(P.In.data(), P.Size, P.Out.data(), P.Packed);
  }

  // Reads ahead on the caller's thread, as far as the file goes and the
  // free pieces allow, and queues what was read for the workers.
  void Fill() {
    while (!free_.empty() && !ended_ && toRead_ > 0) {
      Piece& piece = *free_.back();
      free_.pop_back();
      piece.ReadFailed = false;
      piece.Packed = 0;
      try {
        piece.Size = source_->Read(piece.In.data(), piece.In.size());
      } catch (const EStreamError&) {
        piece.Size = 0;
        piece.ReadFailed = true;
      }
      if (piece.Size == 0) ended_ = true;
      toRead_ -= static_cast<int64_t>(piece.Size);
      const bool compress = piece.Size != 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        piece.taken = !compress;
        piece.done = !compress;
        order_.push_back(&piece);
        if (compress) jobs_.push_back(&piece);
      }
      if (compress && !workers_.empty()) jobReady_.notify_one();
    }
  }

  void Work() {
    PieceCompressor compressor(level_);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      jobReady_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
      if (shutdown_) return;
      Piece& piece = *jobs_.front();
      jobs_.pop_front();
      piece.taken = true;
      lock.unlock();
      Compress(compressor, piece);
      lock.lock();
      piece.done = true;
      pieceDone_.notify_all();
    }
  }

  const TCompressionLevel level_;
  PieceCompressor own_;  // the caller's, for pieces no worker took
  std::vector<Piece> pieces_;
  std::vector<Piece*> free_;   // caller's thread only
  std::deque<Piece*> order_;   // read, in file order; caller's thread only
  TStream* source_ = nullptr;  // caller's thread only
  int64_t toRead_ = 0;
  bool ended_ = false;

  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::condition_variable pieceDone_;
  std::deque<Piece*> jobs_;  // read, not yet taken by anyone
  bool shutdown_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace kelmora
