// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/target_writer.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>

#include "platform/file.h"

namespace kelmora {

std::string MetadataShortfall(const platform::MetadataResult& Result) {
  std::string why;
  const auto add = [&why](int Error, const char* What) {
    // A system that has no such thing (modes on Windows) loses nothing.
    if (Error == 0 || Error == ENOTSUP) return;
    if (!why.empty()) why += "; ";
    why += std::string("its ") + What + " could not be given back: " + platform::ErrorText(Error);
  };
  add(Result.Owner, "owner");
  add(Result.Mode, "mode");
  add(Result.Time, "time");
  return why;
}

Placement FinishWriting(FinishedTarget& Target) {
  Placement written;
  try {
    // Flushed first, so no later write can move the time again.
    Target.Stream->Flush();
    if (Target.HasMetadata)
      written.Partly = MetadataShortfall(
          platform::ApplyMetadata(Target.Stream->OpenFile(), Target.Metadata, Target.Rules));
    else
      Target.Stream->OpenFile().SetStamp(Target.Stamp);
    Target.Stream->Close();
  } catch (const EStreamError& e) {
    // A restore's failure names the write, never only a "Cannot read file".
    if (e.SystemError() == 0) return {std::string("writing it failed: ") + e.what(), 0};
    return {"writing it failed: " + platform::ErrorText(e.SystemError()), e.SystemError()};
  }
  return written;
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
  const Placement written = FinishWriting(Target);
  if (!written.Why.empty()) return written;
  if (const int error = Target.File->SyncData(); error != 0) return Failed(error);
  Placement placed = Place(Target);
  if (placed.Why.empty()) placed.Partly = written.Partly;
  return placed;
}

TargetWriter::TargetWriter(size_t Slots, bool OwnThread) : slots_(Slots) {
  if (OwnThread) thread_ = std::thread([this] { Work(); });
}

TargetWriter::~TargetWriter() {
  if (!thread_.joinable()) {
    Flush();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  thread_.join();
}

void TargetWriter::Hand(FinishedTarget Target, uint64_t Folder) {
  if (!thread_.joinable()) {
    Batch(std::move(Target));
    return;
  }
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
  if (!thread_.joinable()) {
    Flush();
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  draining_ = true;
  work_.notify_one();
  room_.wait(lock, [this] { return queue_.empty() && !working_ && batched_ == 0; });
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
    // Whatever was handed over is put in place before the writer ends: a
    // one-thread run would have done so before it got any further.
    work_.wait(lock, [this] {
      return Takes() || ((draining_ || ending_) && batched_ > 0) || (ending_ && queue_.empty());
    });
    if (!Takes() && batched_ == 0) return;
    working_ = true;
    if (Takes()) {
      FinishedTarget target = std::move(queue_.front().Target);
      queue_.pop_front();
      if (queue_.size() <= slots_ / 2) burst_ = false;
      lock.unlock();
      Batch(std::move(target));
    } else {
      lock.unlock();
      Flush();
    }
    lock.lock();
    working_ = false;
    room_.notify_all();
  }
}

void TargetWriter::Batch(FinishedTarget Target) {
  // A file handed over after a failure is dropped: closed and its
  // temporary name removed, here, outside the lock.
  if (HasFailed()) return;
  int64_t bytes = 0;
  try {
    bytes = Target.Stream->Position();
  } catch (const std::exception&) {
  }
  const Placement written = FinishWriting(Target);
  if (!written.Why.empty()) {
    // The files before it are put in place first, as they would have been.
    Flush();
    Record(written, Target.Name);
    return;
  }
  Target.Partly = written.Partly;
  batch_.push_back(std::move(Target));
  batchBytes_ += bytes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++batched_;
  }
  if (batch_.size() >= kBatchFiles || batchBytes_ >= kBatchBytes) Flush();
}

void TargetWriter::Flush() {
  std::vector<FinishedTarget> files = std::move(batch_);
  batch_.clear();
  batchBytes_ = 0;
  // The data of every file on the disk before any of them takes its name.
  std::vector<uint64_t> synced;
  const platform::FolderHandle* lastFolder = nullptr;
  Placement unsynced;
  for (const FinishedTarget& file : files) {
    const platform::FolderHandle& folder = *file.File->Folder();
    if (&folder == lastFolder) continue;
    lastFolder = &folder;
    platform::FileIdentity identity;
    const bool known = platform::IdentityOf(folder, identity);
    if (known && std::find(synced.begin(), synced.end(), identity.Device) != synced.end()) continue;
    if (known) synced.push_back(identity.Device);
    if (const int error = platform::SyncFileSystem(folder); error != 0) {
      unsynced = {"the restored files could not be synced: " + platform::ErrorText(error), error};
      Record(unsynced, file.Name);
      break;
    }
  }
  for (FinishedTarget& file : files) {
    if (!unsynced.Why.empty() || HasFailed()) break;
    Placement placed;
    try {
      placed = Place(file);
    } catch (const std::exception& e) {
      placed.Why = e.what();
    }
    if (placed.Why.empty()) placed.Partly = file.Partly;
    Record(placed, file.Name);
  }
  // The files not put in place are closed and their temporary names
  // removed here, outside the lock.
  files.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  batched_ = 0;
}

void TargetWriter::Record(const Placement& Placed, const std::string& Name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failed_) return;
  if (Placed.Why.empty()) {
    ++outcome_.Placed;
    if (!Placed.Partly.empty()) outcome_.Refused.emplace_back(Name, Placed.Partly);
  } else if (Placed.OnlyThisFile) {
    outcome_.Refused.emplace_back(Name, Placed.Why);
  } else {
    failed_ = true;
    outcome_.Failed = true;
    outcome_.Name = Name;
    outcome_.Why = Placed.Why;
  }
}

}  // namespace kelmora
