#include "engine/archive_walk.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/archive_format.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

constexpr const char* kCannotReadArchive = "Cannot read archive";
constexpr const char* kNoEndMarker = "the archive ends without its end marker";

std::string ThreeDigits(int Number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03d", Number % 1000);
  return digits;
}

// Why a read of the archive ended early: the system's reason when a read
// failed, else Ended (the archive itself is cut short).
std::string ReadFailure(int SystemError, const char* Ended = "") {
  return SystemError != 0 ? "the archive cannot be read: " + platform::ErrorText(SystemError)
                          : std::string(Ended);
}

// The size of a stream that can seek, -1 for one that cannot.
int64_t SizeOf(TStream& Stream) {
  try {
    const int64_t at = Stream.Position();
    const int64_t end = Stream.Seek(0, SeekOrigin::End);
    Stream.Seek(at, SeekOrigin::Begin);
    return end;
  } catch (const EStreamError&) {
    return -1;
  }
}

}  // namespace

ArchiveWalk::ArchiveWalk(RunContext& Run, EntryConsumer& Consumer, const std::string& ArchiveName,
                         VolumeLocator Locate)
    : run_(Run),
      e_(Run.Engine()),
      s_(Run.State()),
      consumer_(Consumer),
      sections_(Run),
      archiveName_(ArchiveName),
      fromStream_(ArchiveName == kStreamArchiveName),
      locate_(std::move(Locate)),
      firstName_(ArchiveName) {
  // A linked archive's volumes lie beside the link's target, where the
  // backup wrote them.
  if (!locate_ && !fromStream_) {
    locate_ = [first = platform::LinkTarget(ArchiveName)](int Number) {
      return format::NextVolumeName(first, ThreeDigits(Number));
    };
    askForVolumes_ = true;
  }
}

void ArchiveWalk::Open() {
  if (fromStream_) {
    reader_ = e_.SourceStream();
    if (reader_ == nullptr) throw Exception(kCannotReadArchive);
  } else {
    try {
      volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmOpenRead);
    } catch (const EStreamError& e) {
      throw EStreamError(kCannotReadArchive, e.SystemError());
    }
    reader_ = volume_.get();
  }
  // A caller's stream may hold more after the archive, so its end says
  // nothing; and it may not seek at all (a pipe), which rules out searching.
  const int64_t size = SizeOf(*reader_);
  seekable_ = size >= 0;
  volumeEnd_ = fromStream_ ? -1 : size;
  consumer_.VolumeOpened(*reader_);
}

void ArchiveWalk::Run() {
  s_.Damages.clear();
  s_.Incomplete = false;
  s_.ArchiveBytes = 0;
  ReadHeader();
  while (!finished_ && s_.Continue) ReadRecord();
  if (open_.Active) {
    EndOpenFile(!s_.Continue    ? EntryConsumer::Ending::Stopped
                : open_.Damaged ? EntryConsumer::Ending::Damaged
                                : EntryConsumer::Ending::Sound);
  }
  // The count is checked only where nothing else was found: after damage a
  // short count says nothing new.
  if (!stretched_ && endMarker_ && s_.Damages.empty() && !headerDamaged_ &&
      entries_ < s_.FileCount) {
    Report("", countAt_,
           "the header counts " + std::to_string(s_.FileCount) + " files, the archive holds " +
               std::to_string(entries_));
  }
  if (reader_ != nullptr) s_.ArchiveBytes += reader_->Position();
  volume_.reset();
}

void ArchiveWalk::ReadHeader() {
  const int64_t start = reader_->Position();
  try {
    const format::Header header = format::ReadHeader(*reader_);
    s_.TotalSize = header.TotalSize;
    s_.FileCount = header.FileCount;
    countAt_ = reader_->Position() - 4;
    // Nothing in the header can be checked: a title length that is a
    // little off shows only at the first record, which may then lie
    // before where the header seemed to end.
    sound_ = start + 4;
    s_.BytesDone = 0;
    return;
  } catch (const EStreamError& e) {
    // A header the disk fails to give is no damage to search past.
    if (e.SystemError() != 0) throw EStreamError(kCannotReadArchive, e.SystemError());
  } catch (const Exception&) {
  }
  s_.BytesDone = 0;
  // A damaged title length must not cost the whole archive: the entries
  // after it are searched for. Nothing found means this is no archive.
  if (!seekable_) throw Exception(kCannotReadArchive);
  const Landing landing = sections_.FindNextRecord(*reader_, start + 1);
  if (landing.What == Landing::EndOfVolume) {
    // A first volume that holds only the header may end in a damaged
    // volume-change entry; the archive still goes on in the next volume.
    if (!EndsInDamagedVolumeChange()) throw Exception(kCannotReadArchive);
    headerDamaged_ = true;
    Report("", start, "the archive header cannot be read");
    Report("", volumeEnd_ - 16, "the volume-change entry is damaged");
    OpenVolume(volumeNumber_ + 1);
    return;
  }
  headerDamaged_ = true;
  lastLanding_ = landing.Position;
  Report("", start, "the archive header cannot be read");
}

void ArchiveWalk::ReadRecord() {
  const int64_t at = reader_->Position();
  std::string name;
  int32_t stamp = 0;
  try {
    int32_t length = 0;
    unsigned char raw[4];
    size_t got = 0;
    try {
      for (size_t n = 1; got < sizeof raw && n != 0; got += n)
        n = reader_->Read(raw + got, sizeof raw - got);
    } catch (const EStreamError& e) {
      // The disk failed to give the bytes: no cut archive, and said so.
      if (e.SystemError() != 0) throw RecordDamage{at, ReadFailure(e.SystemError()), ""};
    }
    if (got < sizeof raw) {
      RecordDamage cut{at, kNoEndMarker, "", reader_->Position() == at};
      if (reader_->Position() == at + static_cast<int64_t>(got))
        cut.CutLength.assign(reinterpret_cast<char*>(raw), got);
      throw cut;
    }
    length = format::Int32At(raw);
    if (length == 0) {
      if (volumeEnd_ >= 0 && at + 4 != volumeEnd_)
        throw RecordDamage{at, "bytes follow the end marker", ""};
      endMarker_ = true;
      finished_ = true;
      return;
    }
    if (length < 0 || length > format::kMaxNameLength)
      throw RecordDamage{at, "an entry's name length is impossible", ""};
    try {
      name = format::ReadChars(*reader_, length);
    } catch (const EStreamError& e) {
      throw RecordDamage{at, ReadFailure(e.SystemError(), "the archive ends inside an entry"), ""};
    }
    // No file system names a file with a NUL in it. Such a name is a
    // damaged length that took in what follows it, maybe the head of the
    // next entry: read as an entry, it would hide that file's data under a
    // name no restore can write.
    if (name.find('\0') != std::string::npos)
      throw RecordDamage{at, "an entry's name holds a NUL byte", ""};
    if (format::IsVolumeChangeName(name)) {
      if (volumeEnd_ >= 0 && reader_->Position() != volumeEnd_)
        throw RecordDamage{at, "a volume-change entry does not end its volume", ""};
    } else {
      const std::string shown = IsPlausibleStoredName(name) ? name : std::string();
      try {
        stamp = format::ReadInt32(*reader_);
      } catch (const EStreamError& e) {
        throw RecordDamage{at, ReadFailure(e.SystemError(), "the archive ends inside an entry"),
                           shown};
      }
      const int64_t signatureAt = reader_->Position();
      try {
        format::ReadSignature(*reader_);
      } catch (const Exception&) {
        throw RecordDamage{signatureAt, "an entry has no data-section signature", shown, false, at};
      }
    }
  } catch (const RecordDamage& damage) {
    OnRecordDamage(damage);
    return;
  }
  if (format::IsVolumeChangeName(name)) {
    if (!HeaderSwallowedEntry(at)) ChangeVolume(name, at);
    return;
  }
  // The record after the open file read soundly, so its data did too.
  if (open_.Active)
    EndOpenFile(open_.Damaged ? EntryConsumer::Ending::Damaged : EntryConsumer::Ending::Sound);
  if (PastStretch(at)) {
    finished_ = true;
    return;
  }
  sound_ = reader_->Position();
  if (!format::IsFileListName(name)) ++entries_;
  open_.Active = true;
  open_.Name = name;
  open_.Damaged = false;
  open_.Plan = consumer_.BeginFile(name, stamp);
  if (!s_.Continue) {
    EndOpenFile(s_.Failure.Code != beNone ? EntryConsumer::Ending::Failed
                                          : EntryConsumer::Ending::Stopped);
    return;
  }
  ReadSection(false);
}

void ArchiveWalk::ReadSection(bool Continuation) {
  // Data that goes on with no entry open are checked all the same: stepped
  // over unread, a damaged terminator among them would carry the section
  // over the entries after it, and those files would be lost unseen.
  const EntryConsumer::Plan plan = open_.Active   ? open_.Plan
                                   : Continuation ? EntryConsumer::Plan{nullptr, true, false}
                                                  : EntryConsumer::Plan{};
  const int64_t start = reader_->Position();
  SectionOutcome outcome;
  try {
    outcome = sections_.ReadChunks(*reader_, plan.Target, plan.Inflate, plan.Progress);
  } catch (const std::exception& e) {
    // Only the target's own failures pass out of the section reader: a
    // write, which the record says with the system's reason.
    const auto* stream = dynamic_cast<const EStreamError*>(&e);
    const std::string why = stream != nullptr && stream->SystemError() != 0
                                ? platform::ErrorText(stream->SystemError())
                                : std::string(e.what());
    if (s_.Continue) run_.Fail(beCannotReadFile, s_.CurrentFile, "writing it failed: " + why);
    if (open_.Active) EndOpenFile(EntryConsumer::Ending::Failed);
    finished_ = true;
    return;
  }
  const int64_t end = reader_->Position();
  switch (outcome.Result) {
    case SectionOutcome::Stopped:
      if (open_.Active) EndOpenFile(EntryConsumer::Ending::Stopped);
      return;
    case SectionOutcome::Complete:
      // The writer changes volumes only inside a file, so data that goes on
      // with no entry open belongs to a file whose head was lost (a damaged
      // length can swallow it). Unless that file was reported already, it
      // would otherwise vanish without a word.
      if (Continuation && !open_.Active && !open_.Damaged && end - start > 4)
        Report("", start, "a file's continuation follows no entry: the file it belongs to is lost");
      if (outcome.Damaged()) {
        // The file stays open: a continuation still belongs in its copy.
        if (open_.Active) ReportOpenFile(outcome.DamageAt, outcome.Reason);
        sound_ = outcome.SoundUntil;
        EntryInside(outcome.DamageAt + 1, end);
      } else {
        // A stored tail is taken on trust until the next record reads.
        sound_ = outcome.SoundUntil >= end - 4 ? end : outcome.SoundUntil;
      }
      return;
    case SectionOutcome::Broken:
      if (open_.Active) {
        ReportOpenFile(outcome.DamageAt, outcome.Reason);
        EndOpenFile(EntryConsumer::Ending::Damaged);
      } else {
        Report("", outcome.DamageAt,
               std::string(Continuation ? "the continuation of a file is damaged: "
                                        : "a data section is damaged: ") +
                   outcome.Reason);
      }
      Resync(outcome.SoundUntil);
      return;
  }
}

void ArchiveWalk::ChangeVolume(const std::string& Name, int64_t At) {
  if (fromStream_) {
    // A caller's stream has no next volume to open; it is left open and
    // untouched, and the run ends as an unreadable archive.
    run_.Fail(beCannotReadArchive, archiveName_, "a stream holds one volume only");
    finished_ = true;
    return;
  }
  int number = format::VolumeNumber(format::VolumeDigits(Name));
  // The writer numbers volumes one by one. A number that goes back (or is
  // none) is damage, as is one that skips ahead while the next volume is
  // there: a volume of this archive would be passed over, and every file
  // that goes on in it lost. Either way the next volume follows. A number
  // further on is followed only when there is no next volume to read.
  const int next = volumeNumber_ + 1;
  const bool backwards = number <= volumeNumber_;
  if (backwards || (number != next && platform::FileExists(VolumeName(next)))) {
    const std::string reason = "the volume-change entry names volume " + format::VolumeDigits(Name);
    // Never asked for: a chain that goes back could go round for ever.
    if (!platform::FileExists(VolumeName(next))) {
      if (open_.Active) {
        ReportOpenFile(At, reason);
        EndOpenFile(EntryConsumer::Ending::Damaged);
      }
      Cut(reason, At);
      return;
    }
    Report("", At, reason);
    number = next;
  }
  OpenVolume(number);
}

std::string ArchiveWalk::VolumeName(int Number) const {
  return locate_ ? locate_(Number) : std::string();
}

void ArchiveWalk::OpenVolume(int Number) {
  const int64_t endOfLast = volumeEnd_;
  if (Number > format::kMaxVolumes) {
    Cut("the archive names more than 999 volumes", endOfLast);
    return;
  }
  if (reader_ != nullptr) s_.ArchiveBytes += std::max(reader_->Position(), endOfLast);
  volume_.reset();
  reader_ = nullptr;
  archiveName_ = VolumeName(Number);
  // Asked at least once; every further round asks again, so a volume that
  // stays missing never keeps the run going on its own.
  if (askForVolumes_) {
    // After a volume the handler named in another folder, the next one is
    // looked for beside it.
    if (!namedVolume_.empty())
      archiveName_ = format::NextVolumeName(namedVolume_, ThreeDigits(Number));
    do {
      run_.AskForDisk(static_cast<uint16_t>(Number));
      std::string named;
      named.swap(e_.NeededVolumeFile);
      if (!named.empty()) archiveName_ = namedVolume_ = named;
    } while (!platform::FileExists(archiveName_) && s_.Continue);
  }
  if (!s_.Continue) {
    // Asked for and not given: the run ends as a cancelled one, and the
    // file it splits as a stopped one.
    if (open_.Active) EndOpenFile(EntryConsumer::Ending::Stopped);
    s_.Incomplete = true;
    finished_ = true;
    return;
  }
  if (const std::string why = volumeCheck_ ? volumeCheck_(Number) : std::string(); !why.empty()) {
    // Read as this archive's, another's data would come back as its files.
    if (open_.Active) {
      ReportOpenFile(endOfLast, why);
      EndOpenFile(EntryConsumer::Ending::Damaged);
    }
    open_.Damaged = true;  // what follows in the next volume is that file's
    if (Number < format::kMaxVolumes && platform::FileExists(VolumeName(Number + 1))) {
      volumeNumber_ = Number;
      volumeEnd_ = -1;
      OpenVolume(Number + 1);
    } else {
      s_.Incomplete = true;
      finished_ = true;
    }
    return;
  }
  int openError = 0;
  try {
    volume_ = std::make_unique<TFileStream>(archiveName_, TFileStream::fmOpenRead);
  } catch (const EStreamError& e) {
    openError = e.SystemError();
  }
  if (!volume_) {
    // Everything before the cut stays restored; the file it splits is not.
    if (open_.Active) {
      ReportOpenFile(endOfLast, "volume " + std::to_string(Number) + " cannot be read" +
                                    (openError != 0 ? ": " + platform::ErrorText(openError) : ""));
      EndOpenFile(EntryConsumer::Ending::Damaged);
    }
    s_.Incomplete = true;
    finished_ = true;
    return;
  }
  reader_ = volume_.get();
  volumeNumber_ = Number;
  volumeEnd_ = volume_->Size();
  seekable_ = volume_->CanSeek();
  sound_ = 0;
  lastLanding_ = -1;
  consumer_.VolumeOpened(*reader_);
  try {
    format::ReadSignature(*reader_);
  } catch (const Exception& e) {
    const auto* read = dynamic_cast<const EStreamError*>(&e);
    const int error = read != nullptr ? read->SystemError() : 0;
    if (open_.Active) {
      ReportOpenFile(0, ReadFailure(error, "the volume does not begin with the rest of the file"));
      EndOpenFile(EntryConsumer::Ending::Damaged);
    } else {
      Report("", 0, ReadFailure(error, "the volume does not begin with a data section"));
    }
    Resync(0);
    return;
  }
  ReadSection(true);
}

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
      Report("", volumeEnd_ - 16, "the volume-change entry was read as part of damaged data");
      OpenVolume(volumeNumber_ + 1);
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
      Report("", volumeEnd_ - 16, "the volume-change entry is damaged");
      OpenVolume(volumeNumber_ + 1);
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
    Report("", volumeEnd_ - 16, "the volume-change entry is damaged");
    OpenVolume(volumeNumber_ + 1);
    return !finished_;
  }
  Cut(kNoEndMarker, landing.Position);
  return false;
}

bool ArchiveWalk::EndsInDamagedVolumeChange(int64_t DamagedRecord) {
  constexpr int64_t kRecord = 4 + format::kVolumeChangeNameLength;
  if (fromStream_ || volumeEnd_ < kRecord || !seekable_) return false;
  if (DamagedRecord == volumeEnd_ - kRecord && platform::FileExists(VolumeName(volumeNumber_ + 1)))
    return true;
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
  return same >= kRecord / 2 && platform::FileExists(VolumeName(volumeNumber_ + 1));
}

void ArchiveWalk::Report(const std::string& Name, int64_t At, const std::string& Reason) {
  run_.ReportDamage({Name, static_cast<uint16_t>(volumeNumber_), At, Reason});
}

void ArchiveWalk::ReportOpenFile(int64_t At, const std::string& Reason) {
  if (open_.Damaged) return;  // once per file
  open_.Damaged = true;
  Report(open_.Name, At, Reason);
}

void ArchiveWalk::EndOpenFile(EntryConsumer::Ending How) {
  open_.Active = false;
  consumer_.EndFile(How);
}

void ArchiveWalk::Cut(const std::string& Reason, int64_t At) {
  if (open_.Active)
    EndOpenFile(open_.Damaged ? EntryConsumer::Ending::Damaged : EntryConsumer::Ending::Sound);
  Report("", At, Reason);
  s_.Incomplete = true;
  finished_ = true;
}

}  // namespace kelmora
