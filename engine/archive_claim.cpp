#include "engine/archive_claim.h"

#include <cerrno>

#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

bool ArchiveClaim::Take(RunContext& Run, const std::string& ArchiveName, bool Replaces) {
  if (ArchiveName == kStreamArchiveName || platform::IsSpecialFile(ArchiveName)) return true;
  const TBackupError code = Replaces ? beCannotWriteArchive : beCannotReadArchive;
  const int error = lock_.Take(
      ArchiveName, Replaces ? platform::RunLock::Mode::Exclusive : platform::RunLock::Mode::Shared,
      kArchiveWaitMilliseconds);
  if (error == EWOULDBLOCK) {
    Run.Fail(code, ArchiveName, kArchiveInUse);
    return false;
  }
  if (error != 0 && Replaces) {
    Run.Fail(code, ArchiveName, platform::ErrorText(error));
    return false;
  }
  if (lock_.Held()) platform::RemoveLeftoversBeside(ArchiveName);
  return true;
}

}  // namespace kelmora
