// SPDX-License-Identifier: GPL-3.0-or-later
//
// Test: the archive read exactly as a restore reads it, every chunk
// inflated and checked, with nothing written anywhere; then, with a
// companion that belongs to it, every block of every volume against its
// checksum, which finds what the layout cannot: a changed byte in a stored
// chunk, a name, a time stamp or the title.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/archive_claim.h"
#include "engine/archive_companion.h"
#include "engine/archive_format.h"
#include "engine/archive_walk.h"
#include "engine/busy_scope.h"
#include "engine/run_state.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

class TestRun : public EntryConsumer {
 public:
  // With Locate, the volumes it names are read and a failure is only
  // recorded, for the caller to report.
  TestRun(TBackupFile& Engine, bool Inflate, VolumeLocator Locate = {})
      : run_(Engine), s_(run_.State()), inflate_(Inflate), locate_(std::move(Locate)) {}

  bool Run(const std::string& ArchiveName) {
    s_.Continue = true;
    // The volumes a backup reads back before they take their names are
    // that backup's own, held by it already.
    ArchiveClaim claim;
    if (!locate_ && !claim.Take(run_, ArchiveName, false)) {
      run_.Engine().MessageError(s_.Failure.Code);
      return false;
    }
    if (ArchiveName != kStreamArchiveName) {
      // The backup's own volumes gone is the backup's to report.
      if (!locate_ && !run_.ArchiveThere(ArchiveName)) return false;
      if (locate_ && !platform::FileExists(ArchiveName)) {
        run_.NoteFailure(beCannotReadArchive, ArchiveName);
        return false;
      }
    }
    BusyScope busy(s_.Busy);
    // The volumes a backup just wrote have no companion yet.
    std::unique_ptr<ArchiveCompanion> companion;
    std::vector<unsigned> foreign;
    if (ArchiveName != kStreamArchiveName && !locate_) {
      companion = std::make_unique<ArchiveCompanion>(ArchiveName);
      run_.NoteCompanion(companion->Open());
      if (!companion->Usable()) companion.reset();
    }
    try {
      ArchiveWalk walk(run_, *this, ArchiveName, locate_);
      if (companion) {
        walk.SetVolumeCheck([&](int Number) {
          const auto volume = static_cast<unsigned>(Number);
          if (companion->ForeignReason(volume).empty()) return std::string();
          foreign.push_back(volume);
          ReportForeignVolume(run_, *companion, volume);
          return companion->ForeignReason(volume);
        });
      }
      walk.Open();
      walk.Run();
    } catch (const Exception& e) {
      // Nothing of it could be read: it is no archive, or not one any more,
      // or the disk failed to give it.
      run_.NoteUnreadable(ArchiveName, e);
    }
    if (companion && s_.Continue) {
      std::vector<std::string> named;
      for (const TDamage& damage : s_.Damages) named.push_back(damage.Filename);
      // A missing volume was met by the walk already.
      for (unsigned v = 1; v <= companion->Volumes(); ++v)
        if (companion->VolumeFit(v) == ArchiveCompanion::Fit::Missing) foreign.push_back(v);
      ReportChangedBlocks(run_, *companion, named, foreign);
    }
    if (!s_.Damages.empty() && s_.Failure.Code == beNone)
      run_.NoteFailure(beCompression, ArchiveName, "the archive is damaged");
    const bool result = s_.Failure.Code == beNone && s_.Continue;
    run_.ReportProgress(std::string(), 100);
    busy.End();
    if (s_.Failure.Code != beNone && !locate_) run_.Engine().MessageError(s_.Failure.Code);
    return result;
  }

  Plan BeginFile(const std::string& Name, int32_t) override {
    s_.CurrentFile = Name;
    isFileList_ = format::IsFileListName(Name);
    return {nullptr, inflate_, true};
  }
  void EndFile(Ending How) override {
    if (How != Ending::Stopped && !isFileList_) ++s_.FilesDone;
  }

 private:
  RunContext run_;  // a fresh state for this run, published on the engine
  RunState& s_;
  const bool inflate_;
  const VolumeLocator locate_;
  bool isFileList_ = false;
};

bool TBackupFile::Test(const std::string& ArchiveName, bool Inflate) {
  return TestRun(*this, Inflate).Run(ArchiveName);
}

bool TestArchiveVolumes(TBackupFile& Engine, const std::string& First,
                        const VolumeLocator& Locate) {
  return TestRun(Engine, true, Locate).Run(First);
}

bool TBackupFile::TestFromStream(TStream* Stream) {
  if (Stream == nullptr) return false;
  sourceStream_ = Stream;
  return Test(kStreamArchiveName, true);
}

}  // namespace kelmora
