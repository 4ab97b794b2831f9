// SPDX-License-Identifier: GPL-3.0-or-later
//
// Backup, the wind-down: the end marker, the header's count put right, the
// new volumes read back on request, and the step that puts them in the
// older archive's place (engine/backup_run.h).
#include <string>
#include <vector>

#include "engine/archive_format.h"
#include "engine/archive_walk.h"
#include "engine/backup_run.h"
#include "engine/replacement.h"
#include "kelmora/backup_file.h"
#include "kelmora/streams.h"
#include "platform/path_guard.h"
#include "platform/platform.h"
#include "platform/working_files.h"

namespace kelmora {

// The end marker, then the archive closed. The last bytes reach the
// device only here, so a run is a success only when they did.
bool BackupRun::Finish() {
  bool result = false;
  if (s_.Continue && archive_ != nullptr) {
    try {
      format::WriteInt32(*archive_, 0);
      // A caller's stream is flushed, never closed.
      if (toStream_) archive_->Flush();
      result = true;
    } catch (const EArchiveWrite& e) {
      FailWriting(e.SystemError());
    }
  }
  selected_.clear();
  archive_ = nullptr;
  // Through the first volume's own descriptor, before it is closed.
  if (result && entries_ != s_.FileCount) result = CorrectCount();
  std::string failed;
  if (const int error = volumes_.Close(failed); error != 0) {
    result = false;
    // An earlier failure keeps its own message.
    if (s_.Failure.Code == 0) run_.Fail(beCannotWriteArchive, failed, platform::ErrorText(error));
  }
  // A stream cannot be read back: it is the caller's, and may be a pipe.
  if (result && owner_.VerifyBeforeCommit && !toStream_) result = Verify();
  if (result && companion_) result = WriteCompanionFile();
  if (!direct_ && result) result = Commit();
  DiscardVolumes();
  if (result) {
    for (const Stored& file : stored_)
      platform::ClearArchiveAttribute(file.Path, file.Size, file.ModifiedNs);
  }
  fileIds_.Remove();
  return result;
}

// A file that vanished between selection and its turn has no entry, so
// the header, written first, counts one too many: put right once the
// rest is written, or the archive would read as one that lost a file.
// A pipe or a device cannot be taken back; its header keeps the count of
// the selection, and a reader that finds an entry missing says so.
bool BackupRun::CorrectCount() {
  try {
    if (!volumes_.PatchCount(countAt_, entries_)) return true;
  } catch (const EStreamError& e) {
    FailWriting(e.SystemError());
    return false;
  }
  s_.FileCount = entries_;
  return true;
}

// Read as Test reads an archive, under the names the volumes have now, on
// a run of its own; this run's figures are published again afterwards,
// with what the reading found damaged.
bool BackupRun::Verify() {
  const std::vector<std::string> names = volumes_.Names();
  const bool sound = TestArchiveVolumes(owner_, names.front(), [&names](int Number) {
    return Number >= 2 && static_cast<size_t>(Number) <= names.size() ? names[Number - 1]
                                                                      : std::string();
  });
  const std::vector<TDamage> damages = owner_.Damages();
  const TFailure failure = owner_.Failure();
  const bool incomplete = owner_.Incomplete();
  run_.Publish();
  if (sound) return true;
  s_.Damages = damages;
  s_.Incomplete = incomplete;
  if (damages.empty() && failure.Code == beNone) {
    s_.Continue = false;  // stopped while it was read
    return false;
  }
  run_.Fail(beCannotWriteArchive, archiveName_,
            !damages.empty()
                ? "it reads back damaged"
                : "it cannot be read back" +
                      (failure.Reason.empty() ? std::string() : ": " + failure.Reason));
  return false;
}

// Every volume synced first, then put in place by a replacement
// (engine/replacement.h): renamed over its final name, the first one last,
// so the name a reader opens appears only when the volumes it leads to are
// all in place; with a record the next command completes when the run is
// cut among the renames.
bool BackupRun::Commit() {
  if (std::string volume; const int error = volumes_.Sync(volume)) {
    run_.Fail(beCannotWriteArchive, volume, platform::ErrorText(error));
    return false;
  }
  // The companion is one more file of the same replacement.
  if (const int error = SyncCompanion(); error != 0) {
    run_.Fail(beCannotWriteArchive, companionFile_.Final, platform::ErrorText(error));
    return false;
  }
  // Only the older archive's own volumes are replaced; a file that took
  // such a name while the run went on is left as it is.
  const std::vector<VolumeWriter::Volume>& volumes = volumes_.Volumes();
  for (size_t i = 1; i < volumes.size(); ++i) {
    const std::string& name = volumes[i].Final;
    if (platform::InspectPath(name, false).Kind != platform::PathKind::Missing &&
        !older_->Owns(static_cast<unsigned>(i + 1), name)) {
      run_.Fail(beCannotWriteArchive, name, "it is no volume of the archive being replaced");
      return false;
    }
  }
  Replacement replacement(archiveName_);
  for (auto it = volumes.rbegin(); it != volumes.rend(); ++it) {
    // The companion goes in before the first volume, so that the name a
    // reader opens never leads to a companion of the older archive.
    if (it + 1 == volumes.rend() && !companionFile_.Temp.empty())
      replacement.Put(companionFile_.Temp, companionFile_.Final);
    replacement.Put(it->Temp, it->Final);
  }
  // An older companion would describe an archive that is gone.
  if (const std::string stale = StaleCompanion(); !stale.empty()) replacement.Remove(stale);
  // The older archive's volumes past the new one's last would only
  // mislead: they belong to no archive any more. Nothing else is removed.
  for (auto n = static_cast<unsigned>(volumes.size() + 1); n <= older_->Volumes(); ++n) {
    const std::string stale = format::VolumeName(archiveName_, n);
    if (older_->Owns(n, stale)) replacement.Remove(stale);
  }
  std::string failed;
  const int error = replacement.Commit(failed);
  if (replacement.Begun()) {
    // In place, or the record's to put there: never the run's to remove.
    volumes_.Release();
    platform::ReleaseTemporary(companionFile_.Temp);
    companionFile_.Temp.clear();
  }
  if (error != 0) {
    run_.Fail(beCannotWriteArchive, failed,
              platform::ErrorText(error) +
                  (replacement.Pending()
                       ? "; the next Kelmora run on the archive completes its replacement"
                       : std::string()));
    return false;
  }
  return true;
}

// Removes whatever volumes were not renamed into place.
void BackupRun::DiscardVolumes() {
  DiscardCompanion();
  volumes_.Discard();
}

}  // namespace kelmora
