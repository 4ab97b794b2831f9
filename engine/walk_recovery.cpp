// SPDX-License-Identifier: GPL-3.0-or-later
//
// The archive walk after damage (engine/archive_walk.h): where reading
// goes on once a record, a section or a volume change does not read as
// the writer left it. The rule throughout: search forward for the next
// record that validates, report what was passed over once, and never let
// a damaged byte cost more than the files it lies in.
#include <algorithm>
#include <string>

#include "engine/archive_format.h"
#include "engine/archive_walk.h"
#include "kelmora/streams.h"

namespace kelmora {

void ArchiveWalk::OnRecordDamage(const RecordDamage& Damage) {
  // An archive that simply stops after a file's data is a backup that was
  // stopped or cut: the writer closes the section of the file it was
  // writing, so that file may hold only its first part.
  if (open_.Active && Damage.NothingFollows)
    ReportOpenFile(Damage.At, "the archive ends right after it; it may be incomplete");
  // Nothing to search when the volume simply ends here (its last bytes, a
  // terminator, would only read as an end marker).
  if (!seekable_ || Damage.NothingFollows) {
    // A damaged length (a title's, a chunk's) can carry a record to the
    // exact end of its volume, over the volume-change entry: the archive
    // goes on in the next volume all the same.
    if (Damage.NothingFollows && EndsInDamagedVolumeChange()) {
      // A title length damaged upwards to the volume's end has taken in
      // the first entry's head as well.
      if (HeaderSwallowedEntry(volumeEnd_ - 16)) return;
      PastDamagedVolumeChange("the volume-change entry was read as part of damaged data");
      return;
    }
    // Without seeking there is no way back to search from.
    Cut(Damage.Reason, Damage.At);
    return;
  }
  const int64_t record = Damage.Record >= 0 ? Damage.Record : Damage.At;
  const int64_t from = std::max(std::min(sound_, record), lastLanding_ + 1);
  const Landing landing = sections_.FindNextRecord(*reader_, from);
  if (EndsInsideLength(Damage, landing)) return;
  if (landing.Position < record) {
    // A record found inside what was read as the open file's data shows
    // that a length in it was wrong: the damage is the file's. Before any
    // file, it was the header's.
    if (open_.Active) {
      ReportOpenFile(sound_, "its data section's layout is damaged");
      EndOpenFile(EntryConsumer::Ending::Damaged);
    } else if (entries_ == 0 && volumeNumber_ == 1 && lastLanding_ < 0) {
      headerDamaged_ = true;
      Report("", 0, "the archive header is damaged");
    } else {
      Report("", from, Damage.Reason);
    }
  } else if (open_.Active && (landing.What != Landing::EndOfVolume || record < volumeEnd_ - 16 ||
                              !EndsInDamagedVolumeChange(record))) {
    // Only a damaged record that is the volume change itself can leave the
    // open file going on in the next volume; any other lies between them.
    EndOpenFile(open_.Damaged ? EntryConsumer::Ending::Damaged : EntryConsumer::Ending::Sound);
  }
  if (landing.What == Landing::EndOfVolume) {
    if (EndsInDamagedVolumeChange(record)) {
      PastDamagedVolumeChange("the volume-change entry is damaged");
      return;
    }
    Cut(Damage.Reason, Damage.At);
    return;
  }
  if (landing.Position >= record) Report(Damage.Name, Damage.At, Damage.Reason);
  lastLanding_ = landing.Position;
}

bool ArchiveWalk::EntryInside(int64_t From, int64_t End) {
  // A damaged chunk length (a terminator's among them) can carry a section
  // over the records after it until another section's terminator ends it;
  // the entries it took in would be lost without a word. Only entries
  // that begin before End matter: a search on past it would read the rest
  // of the volume whenever nothing sound follows, once for every damaged
  // chunk.
  if (!seekable_) return false;
  const Landing landing = sections_.FindNextRecord(*reader_, std::max(From, lastLanding_ + 1), End);
  if (landing.What == Landing::FileEntry && landing.Position < End) {
    if (open_.Active) EndOpenFile(EntryConsumer::Ending::Damaged);
    lastLanding_ = landing.Position;
    return true;
  }
  reader_->Seek(End, SeekOrigin::Begin);
  return false;
}

bool ArchiveWalk::HeaderSwallowedEntry(int64_t At) {
  // Sound, a volume change follows the header only when the header filled
  // the volume. A title length damaged upwards can take in the first
  // entry's head instead; its data would then read as the continuation of
  // nothing in the next volume, and the file would be lost.
  if (!seekable_ || volumeNumber_ != 1 || entries_ != 0 || open_.Active || headerDamaged_ ||
      lastLanding_ >= 0 || sound_ >= At)
    return false;
  const int64_t resume = reader_->Position();
  const Landing landing = sections_.FindNextRecord(*reader_, sound_, At);
  if (landing.What != Landing::FileEntry || landing.Position >= At) {
    reader_->Seek(resume, SeekOrigin::Begin);
    return false;
  }
  headerDamaged_ = true;
  lastLanding_ = landing.Position;
  Report("", 0, "the archive header is damaged");
  return true;
}

bool ArchiveWalk::EndsInsideLength(const RecordDamage& Damage, const Landing& Found) {
  if (Damage.CutLength.empty()) return false;
  // The terminator just read and a cut length of zeros read as an end
  // marker, but none can begin inside that terminator.
  const bool endMarkerInTerminator =
      Found.What == Landing::EndMarker && Found.Position > Damage.At - 4;
  if (!endMarkerInTerminator && (Found.What != Landing::EndOfVolume || EndsInDamagedVolumeChange()))
    return false;
  if (open_.Active) {
    // What is left of the length may be a volume-change entry's: then the
    // file may go on in a volume that is lost, and it is not whole.
    unsigned char change[4];
    format::PutInt32(change, format::kVolumeChangeNameLength);
    if (Damage.CutLength.compare(0, std::string::npos, reinterpret_cast<char*>(change),
                                 Damage.CutLength.size()) == 0)
      ReportOpenFile(Damage.At, "the archive ends where the file may go on in another volume");
  }
  Cut(Damage.Reason, Damage.At);
  return true;
}

bool ArchiveWalk::Resync(int64_t From) {
  if (!seekable_) {
    Cut("the rest of the archive cannot be searched: it is read from a stream", From);
    return false;
  }
  const Landing landing = sections_.FindNextRecord(*reader_, std::max(From, lastLanding_ + 1));
  if (landing.What != Landing::EndOfVolume) {
    lastLanding_ = landing.Position;
    return true;
  }
  if (EndsInDamagedVolumeChange()) {
    PastDamagedVolumeChange("the volume-change entry is damaged");
    return !finished_;
  }
  Cut(kNoEndMarker, landing.Position);
  return false;
}

bool ArchiveWalk::EndsInDamagedVolumeChange(int64_t DamagedRecord) {
  constexpr int64_t kRecord = 4 + format::kVolumeChangeNameLength;
  if (fromStream_ || volumeEnd_ < kRecord || !seekable_) return false;
  if (DamagedRecord == volumeEnd_ - kRecord && chain_.Present(volumeNumber_ + 1)) return true;
  TMemoryStream expected;
  format::WriteVolumeChange(expected, static_cast<unsigned>(volumeNumber_ + 1));
  unsigned char tail[kRecord];
  const int64_t back = reader_->Position();
  try {
    reader_->Seek(volumeEnd_ - kRecord, SeekOrigin::Begin);
    reader_->ReadBuffer(tail, sizeof tail);
    reader_->Seek(back, SeekOrigin::Begin);
  } catch (const EStreamError&) {
    return false;
  }
  int same = 0;
  for (size_t i = 0; i < sizeof tail; ++i) same += tail[i] == expected.Data()[i] ? 1 : 0;
  if (same >= kRecord - 2) return true;
  // With the next volume there, half the entry is evidence enough: the
  // bytes a volume happens to end in match it far less, and a volume left
  // behind unfollowed loses every file after it.
  return same >= kRecord / 2 && chain_.Present(volumeNumber_ + 1);
}

void ArchiveWalk::PastDamagedVolumeChange(const char* Reason) {
  Report("", volumeEnd_ - 16, Reason);
  OpenVolume(volumeNumber_ + 1);
}

void ArchiveWalk::Cut(const std::string& Reason, int64_t At) {
  if (open_.Active)
    EndOpenFile(open_.Damaged ? EntryConsumer::Ending::Damaged : EntryConsumer::Ending::Sound);
  Report("", At, Reason);
  s_.Incomplete = true;
  finished_ = true;
}

}  // namespace kelmora
