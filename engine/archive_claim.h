// SPDX-License-Identifier: GPL-3.0-or-later
//
// A run's claim on its archive, held from before it reads or writes any
// of it to its end.
//
// Two runs on one archive must never interleave: a backup renames its
// volumes one by one, and a restore, test or listing reading them
// meanwhile would mix two archives. A backup holds the archive alone; the
// readers may share it with each other. The second run waits briefly for
// the first, then is refused with a failure naming the archive. The lock
// lies where the archive's bytes do: beside the file a link of the
// archive's name leads to, where a backup writes its volumes.
//
// A run that holds the claim first completes an unfinished replacement of
// the archive's files that a cut run left (engine/replacement.h), holding
// the archive alone meanwhile, then removes what earlier runs, cut short by
// a kill or a power failure, left beside the archive: temporary files no
// running Kelmora holds.
#pragma once

#include <string>

#include "engine/run_state.h"
#include "kelmora/helpers.h"
#include "platform/working_files.h"

namespace kelmora {

// How long a run waits for another to let go of its archive.
inline constexpr int kArchiveWaitMilliseconds = 1000;

class ArchiveClaim {
 public:
  // True when the run may go on: it holds the archive, or the archive is a
  // stream or device that has no folder to hold a lock, or a reader's
  // archive is not there at all (the caller says so). Otherwise the failure
  // is recorded on Run: code 4 for a run that Replaces the archive, code 3
  // for one that reads it. A reader that cannot make the lock (a read-only
  // medium, another user's folder) goes on without it, unless a replacement
  // waits to be completed there.
  bool Take(RunContext& Run, const std::string& ArchiveName, bool Replaces);

 private:
  platform::RunLock lock_;
};

}  // namespace kelmora
