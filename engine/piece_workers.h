// SPDX-License-Identifier: GPL-3.0-or-later
//
// Pieces handed out strictly in order while worker threads process them
// out of order: what the backup's compression and the restore's inflation
// have in common.
//
// The caller's thread reads pieces into free slots and queues them; it
// takes them back from the front, one at a time, in the order they were
// queued. Rather than wait for a piece no worker has started, the caller
// processes the oldest such piece itself. Workers take several pieces at a
// time and wake the caller only when it waits, so a hand-over costs no
// system call when the caller is busy. Each thread has a tool of its own
// (a compressor, an inflater) and a piece's result depends on the piece
// alone, never on which thread made it.
//
// Slots bounds the pieces in flight, and so the memory.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/assertions.h"

namespace kelmora {

// Piece has a member `bool done`, set once its work is finished or when
// it needs none. Tool processes a piece through Tool::Process(Piece&).
template <typename Piece, typename Tool>
class PieceWorkers {
 public:
  template <typename MakeTool>
  PieceWorkers(size_t Slots, unsigned Workers, MakeTool Make)
      : own_(Make()), workerCount_(Workers), pieces_(Slots) {
    for (auto& piece : pieces_) free_.push_back(&piece);
    for (unsigned i = 0; i < Workers; ++i) workers_.emplace_back([this, Make] { Work(Make()); });
  }

  ~PieceWorkers() {
    Drop([](const Piece&) { return true; });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
    }
    jobReady_.notify_all();
    for (auto& worker : workers_) worker.join();
  }

  PieceWorkers(const PieceWorkers&) = delete;
  PieceWorkers& operator=(const PieceWorkers&) = delete;

  bool HasWorkers() const { return !workers_.empty(); }
  size_t Slots() const { return pieces_.size(); }
  size_t FreeCount() const { return free_.size(); }
  bool NoneQueued() const { return order_.empty(); }

  // A free slot to read into.
  Piece& TakeFree() {
    KELMORA_ASSERT(!free_.empty());
    Piece& piece = *free_.back();
    free_.pop_back();
    return piece;
  }

  // Queues what was read, in order; NeedsWork tells the pieces the
  // workers must process from those that are done as they are. When
  // CallerTakesFirst, the first piece is the one the caller asks for next
  // and inflates or compresses itself, so it wakes no one: a lone piece (a
  // small file's) then costs no hand-over at all.
  template <typename Needs>
  void Queue(const std::vector<Piece*>& Read, bool CallerTakesFirst, Needs NeedsWork) {
    if (Read.empty()) return;
    size_t queued = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (Piece* piece : Read) {
        piece->done = !NeedsWork(*piece);
        order_.push_back(piece);
        if (!piece->done) {
          jobs_.push_back(piece);
          ++queued;
        }
      }
      if (CallerTakesFirst && !Read.front()->done) --queued;
    }
    if (queued == 0 || workers_.empty()) return;
    if (queued == 1) {
      jobReady_.notify_one();
    } else {
      jobReady_.notify_all();
    }
  }

  // The oldest piece queued, its work done; stays valid until ReleaseFront.
  Piece& Front() {
    KELMORA_ASSERT(!order_.empty());
    Piece& piece = *order_.front();
    // Read under the lock even when it may be done: a worker's writes to
    // the piece are seen only through it.
    std::unique_lock<std::mutex> lock(mutex_);
    while (!piece.done) {
      if (jobs_.empty()) {
        WaitForWorker(lock);
        continue;
      }
      // Rather than wait, process the oldest piece no one has taken:
      // this one when no worker got to it, else one needed soon.
      Piece& job = *jobs_.front();
      jobs_.pop_front();
      lock.unlock();
      own_->Process(job);
      lock.lock();
      job.done = true;
    }
    return piece;
  }

  void ReleaseFront() {
    KELMORA_ASSERT(!order_.empty());
    free_.push_back(order_.front());
    order_.pop_front();
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

 private:
  static constexpr size_t kMostInOneTake = 8;

  void WaitForWorker(std::unique_lock<std::mutex>& Lock) {
    waiting_ = true;
    pieceDone_.wait(Lock);
    waiting_ = false;
  }

  void Work(std::unique_ptr<Tool> Own) {
    std::vector<Piece*> batch;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      jobReady_.wait(lock, [&] { return shutdown_ || !jobs_.empty(); });
      if (shutdown_) return;
      // A fair share of what is queued, so the other threads (the caller
      // among them) are not left idle behind one worker's batch.
      const size_t share = std::clamp<size_t>(jobs_.size() / (workerCount_ + 1), 1, kMostInOneTake);
      batch.clear();
      for (size_t i = 0; i < share; ++i) {
        batch.push_back(jobs_.front());
        jobs_.pop_front();
      }
      for (Piece* piece : batch) {
        lock.unlock();
        Own->Process(*piece);
        lock.lock();
        piece->done = true;
        if (waiting_) pieceDone_.notify_all();
      }
    }
  }

  std::unique_ptr<Tool> own_;  // the caller's, for pieces no worker took
  const unsigned workerCount_;
  std::vector<Piece> pieces_;

  // The caller's thread only.
  std::vector<Piece*> free_;
  std::deque<Piece*> order_;  // queued, in order

  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::condition_variable pieceDone_;
  std::deque<Piece*> jobs_;  // queued, not yet taken by anyone
  bool waiting_ = false;     // the caller waits for a worker
  bool shutdown_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace kelmora
