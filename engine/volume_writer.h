// SPDX-License-Identifier: GPL-3.0-or-later
//
// The volumes of a backup as they are written: each created under a
// temporary name beside its final one, ended and the next begun when the
// run changes volume, cut back when an entry is written again, the
// header's count put right in the first, then synced for the replacement
// that puts them in place (engine/backup_commit.cpp), or removed.
//
// The first volume stays open from its creation to the end of the run: the
// count is written into it through the descriptor that wrote it, and an
// entry taken back into it goes on there, so it is never opened again by a
// name that could by then lead elsewhere.
//
// A caller's stream, a device or a FIFO is written to directly: there is
// nothing beside it to create and nothing to replace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_target.h"
#include "engine/volume_output.h"
#include "kelmora/streams.h"

namespace kelmora {

class VolumeWriter {
 public:
  struct Volume {
    std::string Final;
    std::string Temp;  // "" once renamed, and for a device or FIFO
  };

  // Direct: written under its own name (a device or FIFO), or the caller's
  // stream, never replaced.
  VolumeWriter(const ArchiveTarget& Target, bool Direct) : target_(Target), direct_(Direct) {}
  // Whatever was not put in place is removed.
  ~VolumeWriter() { Discard(); }
  VolumeWriter(const VolumeWriter&) = delete;
  VolumeWriter& operator=(const VolumeWriter&) = delete;

  // The first volume created, or the caller's stream taken. Throws
  // EStreamError when it cannot be.
  void Begin();
  // Where the archive's bytes go; every failure there is an EArchiveWrite.
  TStream& Archive() { return sink_; }
  int64_t Position() const { return sink_.Position(); }

  // The volume being written, or the archive before any volume exists.
  const std::string& Written() const {
    return volumes_.empty() ? target_.Name() : volumes_.back().Final;
  }
  // The volume being written, counted from 0; 0 for a stream.
  size_t Current() const { return volumes_.empty() ? 0 : volumes_.size() - 1; }
  const std::vector<Volume>& Volumes() const { return volumes_; }
  // Every volume under the name it has now.
  std::vector<std::string> Names() const;

  // Why no further volume can be begun; "" when one can.
  std::string CannotAddVolume() const;
  // Ends the volume being written: 0 when its bytes reached it, else the
  // error number. The first stays open.
  int EndVolume();
  // Begins the next volume, to be named Final. Throws EStreamError.
  void BeginVolume(const std::string& Final);
  // Cuts the archive back to Position in volume Index, removing the
  // volumes begun after it. Throws EStreamError.
  void RewindTo(size_t Index, int64_t Position);

  // Writes Count at At in the first volume, or the caller's stream: the
  // header's file count, put right at the end. False, and nothing
  // written, where the archive cannot be taken back (a pipe, a device).
  // Throws EStreamError.
  bool PatchCount(int64_t At, int32_t Count);
  // Closes every volume: 0 when every byte reached its file, else the
  // error number, and in Failed the volume. A caller's stream is left open.
  int Close(std::string& Failed);
  // Syncs every volume: 0, or the error number and in Failed the volume.
  int Sync(std::string& Failed) const;
  // The volumes were handed to the replacement: no longer this writer's
  // to remove.
  void Release();
  // Closes and removes every volume not put in place.
  void Discard();

 private:
  const ArchiveTarget target_;
  const bool direct_;
  std::vector<Volume> volumes_;           // of a file archive, in order
  GatheredVolume volume_;                 // the last of them, while it is open
  std::unique_ptr<THandleStream> first_;  // the first, once a later one is begun
  ArchiveSink sink_;
};

}  // namespace kelmora
