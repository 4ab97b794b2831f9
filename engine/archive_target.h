// SPDX-License-Identifier: GPL-3.0-or-later
//
// Where a backup writes: a file archive under its name, split into volumes
// of MaxSize bytes when that is set, or a caller's stream, which holds one
// volume only. The run is given one of these instead of telling a stream
// by a reserved archive name.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "kelmora/backup_file.h"
#include "kelmora/streams.h"

namespace kelmora {

class ArchiveTarget {
 public:
  static ArchiveTarget File(std::string Name, int64_t MaxSize) {
    return ArchiveTarget(std::move(Name), nullptr, false, MaxSize);
  }
  // A caller's stream; null when none was given, which the run reports as a
  // failure to write it. With a limit the run fails when a volume would
  // have to end, since a caller's stream is never closed.
  static ArchiveTarget Stream(TStream* Target, int64_t MaxSize = 0) {
    return ArchiveTarget(kStreamArchiveName, Target, true, MaxSize);
  }

  bool ToStream() const { return toStream_; }
  // The archive's name; for a stream the name failures give it.
  const std::string& Name() const { return name_; }
  TStream* Stream() const { return stream_; }
  // Bytes per volume; 0 for one volume of any size.
  int64_t MaxSize() const { return maxSize_; }

 private:
  ArchiveTarget(std::string Name, TStream* Target, bool ToStream, int64_t MaxSize)
      : name_(std::move(Name)), stream_(Target), toStream_(ToStream), maxSize_(MaxSize) {}

  std::string name_;
  TStream* stream_;
  bool toStream_;
  int64_t maxSize_;
};

}  // namespace kelmora
