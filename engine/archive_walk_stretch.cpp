// SPDX-License-Identifier: GPL-3.0-or-later
//
// The archive walk over stretches of records an index points to: what a
// restore of a few files reads instead of the whole archive
// (engine/archive_walk.h).
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_walk.h"
#include "platform/platform.h"

namespace kelmora {

void ArchiveWalk::RunStretches(const std::vector<Stretch>& Stretches) {
  Begin();
  stretched_ = true;
  for (const Stretch& stretch : Stretches) {
    if (!s_.Continue || !JumpTo(stretch.Volume, stretch.Offset)) break;
    stretch_ = stretch;
    finished_ = false;
    ReadRecords();
    open_.Damaged = false;
  }
  End();
}

bool ArchiveWalk::JumpTo(int Number, int64_t Offset) {
  if (Number != volumeNumber_ || reader_ == nullptr) {
    if (reader_ != nullptr) s_.ArchiveBytes += reader_->Position();
    volume_.reset();
    reader_ = nullptr;
    archiveName_ = chain_.Reach(run_, Number, VolumeChain::Ask::WhenMissing);
    try {
      if (s_.Continue)
        volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmOpenRead);
    } catch (const EStreamError&) {
    }
    if (!volume_) {
      if (s_.Continue) Report("", 0, "volume " + std::to_string(Number) + " cannot be read");
      s_.Incomplete = true;
      return false;
    }
    TakeVolume(Number);
  }
  try {
    reader_->Seek(Offset, SeekOrigin::Begin);
  } catch (const EStreamError&) {
    return false;
  }
  // Nothing before the stretch is known sound; searches after damage
  // begin inside it.
  sound_ = Offset;
  lastLanding_ = Offset - 1;
  return true;
}

bool ArchiveWalk::PastStretch(int64_t At) const {
  return stretched_ && stretch_.EndVolume > 0 &&
         (volumeNumber_ > stretch_.EndVolume ||
          (volumeNumber_ == stretch_.EndVolume && At >= stretch_.End));
}

}  // namespace kelmora
