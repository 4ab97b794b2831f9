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
  s_.Damages.clear();
  s_.Incomplete = false;
  s_.ArchiveBytes = 0;
  ReadHeader();
  stretched_ = true;
  for (const Stretch& stretch : Stretches) {
    if (!s_.Continue || !JumpTo(stretch.Volume, stretch.Offset)) break;
    stretch_ = stretch;
    finished_ = false;
    while (!finished_ && s_.Continue) ReadRecord();
    if (open_.Active) {
      EndOpenFile(!s_.Continue    ? EntryConsumer::Ending::Stopped
                  : open_.Damaged ? EntryConsumer::Ending::Damaged
                                  : EntryConsumer::Ending::Sound);
    }
    open_.Damaged = false;
  }
  if (reader_ != nullptr) s_.ArchiveBytes += reader_->Position();
  volume_.reset();
}

bool ArchiveWalk::JumpTo(int Number, int64_t Offset) {
  if (Number != volumeNumber_ || reader_ == nullptr) {
    if (reader_ != nullptr) s_.ArchiveBytes += reader_->Position();
    volume_.reset();
    reader_ = nullptr;
    archiveName_ = Number == 1 ? firstName_ : VolumeName(Number);
    if (askForVolumes_ && Number > 1) {
      while (!platform::FileExists(archiveName_) && s_.Continue) {
        run_.AskForDisk(static_cast<uint16_t>(Number));
        std::string named;
        named.swap(e_.NeededVolumeFile);
        if (!named.empty()) archiveName_ = named;
      }
    }
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
    reader_ = volume_.get();
    volumeNumber_ = Number;
    volumeEnd_ = volume_->Size();
    seekable_ = volume_->CanSeek();
    consumer_.VolumeOpened(*reader_);
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
