// Test: the archive read exactly as a restore reads it, every chunk
// inflated and checked, with nothing written anywhere.
#include <string>

#include "engine/archive_format.h"
#include "engine/archive_walk.h"
#include "engine/busy_scope.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

class TestRun : public EntryConsumer {
 public:
  TestRun(TBackupFile& Engine, bool Inflate) : e_(Engine), inflate_(Inflate) {}

  Plan BeginFile(const std::string& Name, int32_t) override {
    e_.currentFile_ = Name;
    isFileList_ = format::IsFileListName(Name);
    return {nullptr, inflate_, true};
  }
  void EndFile(Ending How) override {
    if (How != Ending::Stopped && !isFileList_) ++e_.filesDone_;
  }

 private:
  TBackupFile& e_;
  const bool inflate_;
  bool isFileList_ = false;
};

bool TBackupFile::Test(const std::string& ArchiveName, bool Inflate) {
  ClearFailure();
  filesDone_ = 0;
  continue_ = true;
  damages_.clear();
  incomplete_ = false;
  if (ArchiveName != kStreamArchiveName && !platform::FileExists(ArchiveName)) {
    NoteFailure(beCannotReadArchive, ArchiveName);
    MessageError(errorCode_);
    return false;
  }
  TestRun run(*this, Inflate);
  BusyScope busy(busy_);
  try {
    ArchiveWalk walk(*this, run, ArchiveName);
    walk.Open();
    walk.Run();
  } catch (const Exception&) {
    // Nothing of it could be read: it is no archive, or not one any more.
    NoteFailure(beCannotReadArchive, ArchiveName);
  }
  if (!damages_.empty() && errorCode_ == beNone)
    NoteFailure(beCompression, ArchiveName, "the archive is damaged");
  const bool result = errorCode_ == beNone && continue_;
  ReportProgress(std::string(), 100);
  busy.End();
  if (errorCode_ != beNone) MessageError(errorCode_);
  return result;
}

bool TBackupFile::TestFromStream(TStream* Stream) {
  if (Stream == nullptr) return false;
  sourceStream_ = Stream;
  return Test(kStreamArchiveName, true);
}

}  // namespace kelmora
