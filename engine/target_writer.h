// Restored files put in place on a thread of their own.
//
// Restoring many small files is system calls from end to end: each is
// created, written, stamped, closed and renamed. On one thread the archive
// waits on all of them. A restore with threads hands every whole file,
// still open under its temporary name, to this writer, which writes its
// last buffered bytes, stamps, closes and renames it, strictly in the order
// handed over, while the restore reads and inflates the next files.
//
// Creating a name and renaming one both lock their folder, so two threads
// working in one folder mostly wait on each other. The writer therefore
// keeps behind the restore: it takes a file once the restore has moved on
// to another folder, or when the queue is full, and then works until the
// queue is half empty, so neither thread wakes the other for every file.
//
// The files stay those of a one-thread run because the restore waits for
// the writer (Drain) wherever a file still in its queue could change what
// it is about to look at (restore.cpp says where). A failure ends the run
// as it would have on the restore's own thread; the files handed over
// after it are not put in place. A file that fails for what stands in its
// own way is left out, and the others are still put in place.
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
};

// Writes what the stream still holds, stamps and closes the file; a stamp
// that is no valid date leaves the time of writing.
Placement FinishWriting(FinishedTarget& Target);
// Renames the written file to its name in its folder, or in the folder
// now at its place below the restore folder.
Placement Place(FinishedTarget& Target);
// Both. On failure the temporary file is removed with Target.
Placement PutInPlace(FinishedTarget& Target);

class TargetWriter {
 public:
  // At most Slots files wait, each holding a descriptor and a buffer.
  explicit TargetWriter(size_t Slots);
  // Puts in place what was handed over, then ends the thread.
  ~TargetWriter();
  TargetWriter(const TargetWriter&) = delete;
  TargetWriter& operator=(const TargetWriter&) = delete;

  // Queues Target, which goes into the folder numbered Folder: the same
  // number as the file before for the same folder, a higher one for
  // another. Waits while Slots files wait already.
  void Hand(FinishedTarget Target, uint64_t Folder);
  // Waits until every file handed over is in place or dropped.
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
  std::thread thread_;
};

}  // namespace kelmora
