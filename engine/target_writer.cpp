#include "engine/target_writer.h"

#include <exception>
#include <utility>

#include "platform/file.h"

namespace kelmora {

Placement FinishWriting(FinishedTarget& Target) {
  try {
    // Flushed first, so no later write can move the time again.
    Target.Stream->Flush();
    Target.Stream->OpenFile().SetStamp(Target.Stamp);
    Target.Stream->Close();
  } catch (const EStreamError& e) {
    // A restore's failure names the write, never only a "Cannot read file".
    if (e.SystemError() == 0) return {std::string("writing it failed: ") + e.what(), 0};
    return {"writing it failed: " + platform::ErrorText(e.SystemError()), e.SystemError()};
  }
  return {};
}

namespace {

Placement Failed(int Error) {
  return {platform::ErrorText(Error), Error, !platform::FailsEveryFile(Error)};
}

}  // namespace

Placement Place(FinishedTarget& Target) {
  platform::PendingFile::Placing how = Target.How;
  platform::FolderHandle now;
  const bool inPlace =
      Target.Root && platform::FolderStillBeneath(*Target.Root, Target.Below,
                                                  *Target.File->Folder(), Target.Trust);
  if (Target.Root && !inPlace) {
    now = platform::OpenFolderBeneath(*Target.Root, Target.Below, true, Target.Trust);
    if (!now.Valid()) return Failed(now.LastError());
    if (how == platform::PendingFile::Placing::Replace) how = Target.WhenMoved;
  }
  if (!Target.File->PutInPlace(Target.Leaf, how, now.Valid() ? &now : nullptr))
    return Failed(Target.File->LastError());
  Placement placed;
  placed.FolderChecked = inPlace;
  return placed;
}

Placement PutInPlace(FinishedTarget& Target) {
  Placement written = FinishWriting(Target);
  return written.Why.empty() ? Place(Target) : written;
}

TargetWriter::TargetWriter(size_t Slots) : slots_(Slots), thread_([this] { Work(); }) {}

TargetWriter::~TargetWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  thread_.join();
}

void TargetWriter::Hand(FinishedTarget Target, uint64_t Folder) {
  std::unique_lock<std::mutex> lock(mutex_);
  room_.wait(lock, [this] { return queue_.size() < slots_; });
  const bool wasTaking = Takes();
  queue_.push_back({std::move(Target), Folder});
  restoreFolder_ = Folder;
  if (queue_.size() == slots_) burst_ = true;
  // Woken only when there is newly something to take, not for every file.
  if (!wasTaking && Takes()) work_.notify_one();
}

void TargetWriter::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  draining_ = true;
  work_.notify_one();
  room_.wait(lock, [this] { return queue_.empty() && !working_; });
  draining_ = false;
}

TargetWriter::Outcome TargetWriter::Collect() {
  std::lock_guard<std::mutex> lock(mutex_);
  Outcome taken = std::move(outcome_);
  outcome_ = Outcome{};
  return taken;
}

void TargetWriter::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return Takes() || (ending_ && queue_.empty()); });
    // Whatever was handed over is put in place before the writer ends: a
    // one-thread run would have done so before it got any further.
    if (queue_.empty()) return;
    FinishedTarget target = std::move(queue_.front().Target);
    queue_.pop_front();
    if (queue_.size() <= slots_ / 2) burst_ = false;
    working_ = true;
    const bool drop = failed_;
    lock.unlock();
    Placement placed;
    if (!drop) {
      try {
        placed = PutInPlace(target);
      } catch (const std::exception& e) {
        placed.Why = e.what();
      }
    }
    const std::string name = std::move(target.Name);
    // A dropped or failed file is closed and its temporary name removed
    // here, outside the lock.
    target = FinishedTarget{};
    lock.lock();
    working_ = false;
    if (!drop && placed.Why.empty()) {
      ++outcome_.Placed;
    } else if (!drop && placed.OnlyThisFile) {
      outcome_.Refused.emplace_back(name, placed.Why);
    } else if (!drop) {
      failed_ = true;
      outcome_.Failed = true;
      outcome_.Name = name;
      outcome_.Why = placed.Why;
    }
    room_.notify_all();
  }
}

}  // namespace kelmora
