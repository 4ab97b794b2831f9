// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/archive_walk.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "engine/archive_format.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

constexpr const char* kCannotReadArchive = "Cannot read archive";

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
      // A caller's stream has no later volume; a given locator names every
      // one; otherwise they lie beside the first and are asked for.
      chain_(fromStream_ || Locate ? VolumeChain(ArchiveName, std::move(Locate))
                                   : VolumeChain(ArchiveName)) {}

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

void ArchiveWalk::Begin() {
  s_.Damages.clear();
  s_.Incomplete = false;
  s_.ArchiveBytes = 0;
  ReadHeader();
}

void ArchiveWalk::ReadRecords() {
  while (!finished_ && s_.Continue) ReadRecord();
  if (open_.Active) {
    EndOpenFile(!s_.Continue    ? EntryConsumer::Ending::Stopped
                : open_.Damaged ? EntryConsumer::Ending::Damaged
                                : EntryConsumer::Ending::Sound);
  }
}

void ArchiveWalk::End() {
  if (reader_ != nullptr) s_.ArchiveBytes += reader_->Position();
  volume_.reset();
}

void ArchiveWalk::Run() {
  Begin();
  ReadRecords();
  // The count is checked only where nothing else was found: after damage a
  // short count says nothing new.
  if (!stretched_ && endMarker_ && s_.Damages.empty() && !headerDamaged_ &&
      entries_ < s_.FileCount) {
    Report("", countAt_,
           "the header counts " + std::to_string(s_.FileCount) + " files, the archive holds " +
               std::to_string(entries_));
  }
  End();
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
    PastDamagedVolumeChange("the volume-change entry is damaged");
    return;
  }
  headerDamaged_ = true;
  lastLanding_ = landing.Position;
  Report("", start, "the archive header cannot be read");
}

std::optional<ArchiveWalk::RecordDamage> ArchiveWalk::ReadRecordHead(int64_t At, RecordHead& Head) {
  unsigned char raw[4];
  size_t got = 0;
  try {
    for (size_t n = 1; got < sizeof raw && n != 0; got += n)
      n = reader_->Read(raw + got, sizeof raw - got);
  } catch (const EStreamError& e) {
    // The disk failed to give the bytes: no cut archive, and said so.
    if (e.SystemError() != 0) return RecordDamage{At, ReadFailure(e.SystemError()), ""};
  }
  if (got < sizeof raw) {
    RecordDamage cut{At, kNoEndMarker, "", reader_->Position() == At};
    if (reader_->Position() == At + static_cast<int64_t>(got))
      cut.CutLength.assign(reinterpret_cast<char*>(raw), got);
    return cut;
  }
  const int32_t length = format::Int32At(raw);
  if (length == 0) {
    if (volumeEnd_ >= 0 && At + 4 != volumeEnd_)
      return RecordDamage{At, "bytes follow the end marker", ""};
    Head.What = RecordHead::EndMarker;
    return std::nullopt;
  }
  if (length < 0 || length > format::kMaxNameLength)
    return RecordDamage{At, "an entry's name length is impossible", ""};
  try {
    Head.Name = format::ReadChars(*reader_, length);
  } catch (const EStreamError& e) {
    return RecordDamage{At, ReadFailure(e.SystemError(), "the archive ends inside an entry"), ""};
  }
  // No file system names a file with a NUL in it. Such a name is a
  // damaged length that took in what follows it, maybe the head of the
  // next entry: read as an entry, it would hide that file's data under a
  // name no restore can write.
  if (Head.Name.find('\0') != std::string::npos)
    return RecordDamage{At, "an entry's name holds a NUL byte", ""};
  if (format::IsVolumeChangeName(Head.Name)) {
    if (volumeEnd_ >= 0 && reader_->Position() != volumeEnd_)
      return RecordDamage{At, "a volume-change entry does not end its volume", ""};
    Head.What = RecordHead::VolumeChange;
    return std::nullopt;
  }
  const std::string shown = IsPlausibleStoredName(Head.Name) ? Head.Name : std::string();
  try {
    Head.Stamp = format::ReadInt32(*reader_);
  } catch (const EStreamError& e) {
    return RecordDamage{At, ReadFailure(e.SystemError(), "the archive ends inside an entry"),
                        shown};
  }
  const int64_t signatureAt = reader_->Position();
  try {
    format::ReadSignature(*reader_);
  } catch (const Exception&) {
    return RecordDamage{signatureAt, "an entry has no data-section signature", shown, false, At};
  }
  Head.What = RecordHead::FileEntry;
  return std::nullopt;
}

void ArchiveWalk::ReadRecord() {
  const int64_t at = reader_->Position();
  RecordHead head;
  if (const std::optional<RecordDamage> damage = ReadRecordHead(at, head)) {
    OnRecordDamage(*damage);
    return;
  }
  const std::string& name = head.Name;
  if (head.What == RecordHead::EndMarker) {
    endMarker_ = true;
    finished_ = true;
    return;
  }
  if (head.What == RecordHead::VolumeChange) {
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
  open_.Plan = consumer_.BeginFile(name, head.Stamp);
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
  if (backwards || (number != next && chain_.Present(next))) {
    const std::string reason = "the volume-change entry names volume " + format::VolumeDigits(Name);
    // Never asked for: a chain that goes back could go round for ever.
    if (!chain_.Present(next)) {
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

void ArchiveWalk::OpenVolume(int Number) {
  const int64_t endOfLast = volumeEnd_;
  if (Number > format::kMaxVolumes) {
    Cut("the archive names more than 999 volumes", endOfLast);
    return;
  }
  if (reader_ != nullptr) s_.ArchiveBytes += std::max(reader_->Position(), endOfLast);
  volume_.reset();
  reader_ = nullptr;
  archiveName_ = chain_.Reach(run_, Number);
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
    if (Number < format::kMaxVolumes && chain_.Present(Number + 1)) {
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
  TakeVolume(Number);
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

void ArchiveWalk::TakeVolume(int Number) {
  reader_ = volume_.get();
  volumeNumber_ = Number;
  volumeEnd_ = volume_->Size();
  seekable_ = volume_->CanSeek();
  sound_ = 0;
  lastLanding_ = -1;
  consumer_.VolumeOpened(*reader_);
}

}  // namespace kelmora
