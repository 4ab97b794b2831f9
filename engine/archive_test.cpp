// Test: the archive read exactly as a restore reads it, every chunk
// inflated and checked, with nothing written anywhere.
#include <string>
#include <utility>

#include "engine/archive_claim.h"
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
    if (ArchiveName != kStreamArchiveName && !platform::FileExists(ArchiveName)) {
      run_.NoteFailure(beCannotReadArchive, ArchiveName);
      if (!locate_) run_.Engine().MessageError(s_.Failure.Code);
      return false;
    }
    BusyScope busy(s_.Busy);
    try {
      ArchiveWalk walk(run_, *this, ArchiveName, locate_);
      walk.Open();
      walk.Run();
    } catch (const Exception& e) {
      // Nothing of it could be read: it is no archive, or not one any more,
      // or the disk failed to give it.
      const auto* read = dynamic_cast<const EStreamError*>(&e);
      run_.NoteFailure(beCannotReadArchive, ArchiveName,
                       read != nullptr && read->SystemError() != 0
                           ? platform::ErrorText(read->SystemError())
                           : std::string());
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
