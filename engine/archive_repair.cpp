// SPDX-License-Identifier: GPL-3.0-or-later
//
// Repair: damaged blocks and missing volumes rebuilt from the companion's
// recovery record. The volumes themselves are only read. Every volume that
// gets a rebuilt block (a missing one whole) is written as a copy beside
// it under a temporary name, cut to its size as written, and the copies
// are checked against the block checksums; only when every one agrees are
// they synced and put in place as one replacement, the first volume last
// (engine/replacement.h). A stop, a full disk or damage beyond the record
// removes the copies and leaves the archive exactly as it was; a failure
// once the renames began leaves the record for the next command to
// complete.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_format.h"
#include "engine/busy_scope.h"
#include "engine/companion/archive_check.h"
#include "engine/companion/repair.h"
#include "engine/replacement.h"
#include "engine/run_state.h"
#include "kelmora/helpers.h"
#include "kelmora/streams.h"
#include "platform/platform.h"

namespace kelmora {

namespace {

// Copies of the volumes being repaired, beside them; removed with the
// object unless put in place.
class VolumeCopies : public companion::RepairSink {
 public:
  explicit VolumeCopies(std::string First) : first_(std::move(First)) {}
  ~VolumeCopies() override {
    for (auto& [volume, copy] : copies_) {
      copy.file = platform::File();
      if (!copy.name.empty()) platform::DeleteFile(copy.name);
    }
  }

  void Put(unsigned Volume, int64_t Offset, const uint8_t* Bytes, size_t Count) override {
    platform::File& file = CopyOf(Volume);
    if (file.Seek(Offset, platform::SeekFrom::Begin) != Offset || !file.Write(Bytes, Count))
      Failed(Volume, file.LastError());
  }

  // The copy of Volume, made from the volume as it is (or empty when it is
  // missing) on first need.
  platform::File& CopyOf(unsigned Volume) {
    Copy& copy = copies_[Volume];
    if (copy.file.Valid()) return copy.file;
    const std::string final = VolumeName(Volume);
    copy.file = platform::CreateFileBeside(final, copy.name);
    if (!copy.file.Valid()) Failed(Volume, copy.file.LastError());
    platform::File original = platform::File::Open(final, platform::OpenMode::Read, true);
    if (!original.Valid() && platform::FileExists(final)) ReadFailed(Volume, original.LastError());
    std::vector<char> buffer(size_t{1} << 20);
    while (original.Valid()) {
      const int64_t n = original.Read(buffer.data(), buffer.size());
      if (n < 0) {
        // What cannot be read is rebuilt, if it can be; else the check of
        // the copies finds it, and this says why.
        ReadFailed(Volume, original.LastError());
        break;
      }
      if (n == 0) break;
      if (!copy.file.Write(buffer.data(), static_cast<size_t>(n)))
        Failed(Volume, copy.file.LastError());
    }
    return copy.file;
  }

  // Every copy cut to its size as written and closed; false after a failure.
  bool Finish(const std::vector<companion::VolumeCheck>& Volumes) {
    for (auto& [volume, copy] : copies_) {
      if (!copy.file.Resize(Volumes[volume - 1].Expected) || !copy.file.Close())
        Failed(volume, copy.file.LastError());
    }
    return true;
  }

  // The volumes with each copy in its volume's place.
  std::vector<std::string> Names(unsigned Count) const {
    std::vector<std::string> names;
    for (unsigned v = 1; v <= Count; ++v) {
      const auto copy = copies_.find(v);
      names.push_back(copy != copies_.end() ? copy->second.name : VolumeName(v));
    }
    return names;
  }

  // Synced, then put in place by one replacement (engine/replacement.h),
  // the first volume last: with more than one, a stop between two renames
  // leaves a record that the next command completes, never a mix of
  // damaged and repaired volumes. 0, or the error number, with the file it
  // concerns in Subject.
  int PutInPlace(std::string& Subject) {
    Replacement replacement(first_);
    for (auto it = copies_.rbegin(); it != copies_.rend(); ++it) {
      Subject = VolumeName(it->first);
      if (const int error = platform::SyncFile(it->second.name); error != 0) return error;
      replacement.Put(it->second.name, Subject);
    }
    const int error = replacement.Commit(Subject);
    // Put in place, or the next command's to complete.
    if (replacement.Begun())
      for (auto& [volume, copy] : copies_) copy.name.clear();
    return error;
  }

  std::string VolumeName(unsigned Volume) const { return format::VolumeName(first_, Volume); }
  const std::string& FailedVolume() const { return failed_; }
  // The first volume the device failed to give while it was copied, 0
  // when none, with the error number.
  unsigned UnreadVolume() const { return unreadVolume_; }
  int ReadError() const { return readError_; }

 private:
  struct Copy {
    platform::File file;
    std::string name;
  };
  [[noreturn]] void Failed(unsigned Volume, int Error) {
    failed_ = VolumeName(Volume);
    throw EStreamError(kStreamWriteError, Error);
  }
  void ReadFailed(unsigned Volume, int Error) {
    if (unreadVolume_ != 0) return;
    unreadVolume_ = Volume;
    readError_ = Error;
  }
  std::string first_;
  std::string failed_;  // the volume whose copy could not be written
  unsigned unreadVolume_ = 0;
  int readError_ = 0;
  std::map<unsigned, Copy> copies_;
};

TRepairOutcome OutcomeOf(companion::RepairOutcome Outcome, bool DryRun) {
  switch (Outcome) {
    case companion::RepairOutcome::Sound:
      return roSound;
    case companion::RepairOutcome::Repaired:
      return DryRun ? roRepairable : roRepaired;
    case companion::RepairOutcome::Unrepairable:
      return roUnrepairable;
    case companion::RepairOutcome::NoRecord:
      return roNoRecord;
    case companion::RepairOutcome::Unusable:
      return roUnusable;
    case companion::RepairOutcome::Stopped:
      return roStopped;
  }
  return roUnusable;
}

}  // namespace

bool TBackupFile::Repair(const std::string& ArchiveName, bool DryRun) {
  RunContext run(*this);
  RunState& s = run.State();
  s.Continue = true;
  TRepairReport& out = s.Repair;
  const auto end = [&](bool Result) {
    if (s.Failure.Code != beNone) MessageError(s.Failure.Code);
    return Result;
  };
  if (ArchiveName == kStreamArchiveName) return end(false);
  // Held before anything is read: a backup may be replacing the volumes,
  // or a cut one have left its replacement to complete. Holding it also
  // removes what a repair cut short left beside the volumes.
  ArchiveClaim claim;
  if (!claim.Take(run, ArchiveName, !DryRun)) {
    out.Outcome = roFailed;
    return end(false);
  }
  const std::string first = platform::LinkTarget(ArchiveName);
  const std::string name = CompanionFileName(ArchiveName);
  if (!platform::FileExists(name)) {
    out.Problem = "there is no companion " + name + " to repair from";
    run.Fail(beCannotReadArchive, name, "it is missing");
    return end(false);
  }
  BusyScope busy(s.Busy);
  std::unique_ptr<TFileStream> stream;
  try {
    stream = std::make_unique<TFileStream>(name, TFileStream::fmOpenRead);
  } catch (const EStreamError& e) {
    out.Outcome = roFailed;
    run.Fail(beCannotReadArchive, name, platform::ErrorText(e.SystemError()));
    busy.End();
    return end(false);
  }
  companion::CompanionReader reader(*stream);
  companion::FileVolumes source(first);
  VolumeCopies copies(first);
  companion::RepairOptions options;
  options.Progress = [&](int64_t Done, int64_t Total) {
    run.ProcessMessages();
    run.ReportProgress(std::string(), PercentOf(Done, Total));
    return s.Continue;
  };
  companion::RepairReport report;
  bool written = true;
  std::string subject;
  try {
    report = companion::RepairArchive(source, reader, DryRun ? nullptr : &copies, options);
    // A volume of another size than written is rewritten at its size.
    if (!DryRun && report.Outcome == companion::RepairOutcome::Repaired) {
      for (unsigned v = 1; v <= report.Volumes.size(); ++v)
        if (report.Volumes[v - 1].Found != report.Volumes[v - 1].Expected) copies.CopyOf(v);
      copies.Finish(report.Volumes);
    }
  } catch (const EStreamError& e) {
    written = false;
    run.Fail(beCannotWriteArchive, copies.FailedVolume(), platform::ErrorText(e.SystemError()));
  }
  out.Outcome = written ? OutcomeOf(report.Outcome, DryRun) : roFailed;
  out.Problem = report.Problem;
  companion::ChecksumTable table;
  std::string problem;
  if (companion::LoadChecksums(reader, table, problem)) out.BlockSize = table.Identity.BlockSize;
  out.DamagedBlocks = report.DamagedBlocks;
  out.RepairedBlocks = report.RepairedBlocks;
  out.UnrepairableBlocks = report.UnrepairableBlocks;
  for (unsigned v = 1; v <= report.Volumes.size(); ++v) {
    const companion::VolumeCheck& check = report.Volumes[v - 1];
    if (check.Found < 0)
      out.MissingVolumes.push_back(static_cast<uint16_t>(v));
    else if (check.Found != check.Expected)
      out.ResizedVolumes.push_back(static_cast<uint16_t>(v));
  }
  for (const companion::DamagedRange& r : report.Unrepairable)
    out.Unrepairable.push_back({static_cast<uint16_t>(r.Volume), r.Offset, r.Length});

  if (out.Outcome == roRepaired) {
    // The copies are read back against the checksums before anything is
    // replaced: a rebuilt block that disagrees would be worse than none.
    companion::CheckReport check;
    companion::FileVolumes repaired(copies.Names(static_cast<unsigned>(report.Volumes.size())));
    if (out.BlockSize == 0 || !companion::CheckVolumes(repaired, reader, table, nullptr, check) ||
        !check.Sound()) {
      out.Outcome = roFailed;
      // A device that failed to give a volume, or a copy, is the reason.
      if (copies.UnreadVolume() != 0)
        run.Fail(beCannotReadArchive, copies.VolumeName(copies.UnreadVolume()),
                 platform::ErrorText(copies.ReadError()));
      else if (repaired.DeviceError() != 0)
        run.Fail(beCannotReadArchive, first,
                 "the repaired volumes cannot be read back: " +
                     platform::ErrorText(repaired.DeviceError()));
      else
        run.Fail(beCannotWriteArchive, first, "the repaired volumes do not check sound");
    } else if (const int error = copies.PutInPlace(subject); error != 0) {
      out.Outcome = roFailed;
      run.Fail(beCannotWriteArchive, subject, platform::ErrorText(error));
    }
  }
  if ((out.Outcome == roNoRecord || out.Outcome == roUnusable || out.Outcome == roUnrepairable) &&
      reader.ReadError() != 0) {
    // The device failed to give the companion: it is not shown damaged.
    out.Outcome = roFailed;
    run.Fail(beCannotReadArchive, name, platform::ErrorText(reader.ReadError()));
  } else if (out.Outcome == roUnrepairable && source.DeviceError() != 0) {
    // Blocks the device failed to give count as damaged: the damage beyond
    // the record may be the device's alone, and the user must know.
    out.Outcome = roFailed;
    run.Fail(beCannotReadArchive, format::VolumeName(first, source.DeviceErrorVolume()),
             platform::ErrorText(source.DeviceError()) + "; " +
                 std::to_string(out.UnrepairableBlocks) +
                 " damaged or unreadable blocks are beyond what the recovery record can rebuild");
  }
  switch (out.Outcome) {
    case roUnrepairable:
      run.NoteFailure(beCompression, first,
                      std::to_string(out.UnrepairableBlocks) +
                          " damaged blocks are beyond what the recovery record can rebuild");
      break;
    case roNoRecord:
    case roUnusable:
      run.NoteFailure(beCannotReadArchive, name, out.Problem);
      break;
    case roStopped:
      s.Continue = false;
      break;
    default:
      break;
  }
  busy.End();
  const bool result =
      out.Outcome == roSound || out.Outcome == roRepaired || out.Outcome == roRepairable;
  return end(result && s.Continue);
}

}  // namespace kelmora
