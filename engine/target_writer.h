// SPDX-License-Identifier: GPL-3.0-or-later
//
// Restored files put in place in batches, on a thread of their own when
// the restore has threads.
//
// A file must not take its name before its data is on the disk: a
// journalling file system may commit the rename first, and after a power
// cut the name would hold an empty or torn file where the older one was.
// Syncing each file before its rename costs a commit of the file system's
// journal per file, seconds for thousands of small files. So whole files
// are written, stamped and closed under their temporary names and gathered
// (up to kBatchFiles of them or kBatchBytes of data); then one sync of each
// file system written to makes all their data durable, and only then are
// they renamed into place, in the order they were handed over.
//
// Restoring many small files is system calls from end to end: each is
// created, written, stamped, closed and renamed. On one thread the archive
// waits on all of them. A restore with threads hands every whole file,
// still open under its temporary name, to this writer's thread, which does
// the rest while the restore reads and inflates the next files.
//
// Creating a name and renaming one both lock their folder, so two threads
// working in one folder mostly wait on each other. The writer therefore
// keeps behind the restore: it takes a file once the restore has moved on
// to another folder, or when the queue is full, and then works until the
// queue is half empty, so neither thread wakes the other for every file.
//
// The files stay those of a run that puts each in place at once because
// the restore waits for the writer (Drain), its batch put in place, wherever
// a file not in place yet could change what it is about to look at
// (restore.cpp says where). A failure ends the run as it would have on the
// restore's own thread; the files handed over after it are not put in
// place. A file that fails for what stands in its own way is left out, and
// the others are still put in place.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelmora/streams.h"
#include "platform/platform.h"
#include "platform/target_file.h"

namespace kelmora {

// A file read whole, open under its temporary name.
struct FinishedTarget {
  std::unique_ptr<platform::PendingFile> File;
  std::unique_ptr<TFileStream> Stream;
  std::string Leaf;  // the name it takes in its folder
  std::string Name;  // the target, as the run reports it
  int32_t Stamp = 0;
  // Replace: whatever has the name is replaced. KeepExisting: a taken name
  // fails the placing with EEXIST.
  platform::PendingFile::Placing How = platform::PendingFile::Placing::Replace;
  // With a restore folder, Root, and the way Below it to the file's folder.
  // The folder the file was begun in may have been moved since; the file
  // then goes where the way leads now (made again when missing), placed as
  // WhenMoved says, and never after the folder.
  std::shared_ptr<const platform::FolderHandle> Root;
  std::string Below;
  platform::LinkTrust Trust;  // the links the way may follow
  platform::PendingFile::Placing WhenMoved = platform::PendingFile::Placing::Replace;
  // What the companion recorded of the file, given back in place of the
  // stamp: owner, mode and the time to the nanosecond.
  bool HasMetadata = false;
  platform::PathMetadata Metadata;
  platform::MetadataRules Rules;
  // Once written: what of the metadata could not be given back.
  std::string Partly;
};

// How putting a target in place ended: Why is empty when it is in place,
// else why not, with the system's error number when it gave one.
struct Placement {
  std::string Why;
  int Error = 0;
  // The failure concerns this file's name or folder alone (a folder stands
  // in its place, say), not the disk: the run goes on without it.
  bool OnlyThisFile = false;
  // The file's folder was found still where the way from the restore
  // folder leads, and the file put there.
  bool FolderChecked = false;
  // In place, but its recorded owner, mode or time could not be given
  // back: why not.
  std::string Partly = {};
};

// Why some of what ApplyMetadata was asked for was not done ("its owner
// could not be given back: Operation not permitted"); "" when all was.
std::string MetadataShortfall(const platform::MetadataResult& Result);

// Writes what the stream still holds, stamps and closes the file; a stamp
// that is no valid date leaves the time of writing.
Placement FinishWriting(FinishedTarget& Target);
// Renames the written file to its name in its folder, or in the folder
// now at its place below the restore folder.
Placement Place(FinishedTarget& Target);
// All three, the file's own data synced on its own between the last two: a
// file put in place outside a batch. On failure the temporary file is
// removed with Target.
Placement PutInPlace(FinishedTarget& Target);

// The most files, and data in them, that wait for one sync.
inline constexpr size_t kBatchFiles = 256;
inline constexpr int64_t kBatchBytes = int64_t{64} << 20;

class TargetWriter {
 public:
  // At most Slots files wait for the thread, each holding a descriptor and
  // a buffer; without OwnThread, every file is batched on the caller's
  // thread as it is handed over.
  TargetWriter(size_t Slots, bool OwnThread);
  // Puts in place what was handed over, then ends the thread.
  ~TargetWriter();
  TargetWriter(const TargetWriter&) = delete;
  TargetWriter& operator=(const TargetWriter&) = delete;

  // Queues Target, which goes into the folder numbered Folder: the same
  // number as the file before for the same folder, a higher one for
  // another. Waits while Slots files wait already.
  void Hand(FinishedTarget Target, uint64_t Folder);
  // Waits until every file handed over is in place or dropped, the batch
  // included.
  void Drain();

  struct Outcome {
    int32_t Placed = 0;   // files put in place since the last Collect
    bool Failed = false;  // the first failure that ends the run, reported once
    std::string Name;
    std::string Why;
    // The files left out since the last Collect for what stood in their
    // own way, in order, each with why; the files after them are still put
    // in place.
    std::vector<std::pair<std::string, std::string>> Refused;
  };
  Outcome Collect();

 private:
  struct Queued {
    FinishedTarget Target;
    uint64_t Folder = 0;
  };
  void Work();
  // Writes Target's last bytes, closes it and adds it to the batch, which
  // is put in place when full; dropped after a failure.
  void Batch(FinishedTarget Target);
  // One sync per file system of the batch, then every file renamed.
  void Flush();
  void Record(const Placement& Placed, const std::string& Name);
  bool HasFailed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
  }
  // Whether the writer is to take the file at the front now.
  bool Takes() const {
    return !queue_.empty() &&
           (queue_.front().Folder < restoreFolder_ || burst_ || draining_ || ending_);
  }

  const size_t slots_;
  std::mutex mutex_;
  std::condition_variable work_;  // a file waits, or the writer is to end
  std::condition_variable room_;  // a file left the queue
  std::deque<Queued> queue_;
  uint64_t restoreFolder_ = 0;  // the folder of the file handed over last
  bool burst_ = false;          // the queue filled up: work it down to half
  bool working_ = false;        // the writer holds a file outside the queue
  bool draining_ = false;
  bool ending_ = false;
  bool failed_ = false;
  Outcome outcome_;
  // Written and closed, waiting for their sync; only the thread that
  // batches touches them, and batched_ tells the others how many there are.
  std::vector<FinishedTarget> batch_;
  int64_t batchBytes_ = 0;
  size_t batched_ = 0;
  std::thread thread_;  // none without OwnThread
};

}  // namespace kelmora
