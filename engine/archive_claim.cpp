// SPDX-License-Identifier: GPL-3.0-or-later

#include "engine/archive_claim.h"

#include <cerrno>

#include "engine/replacement.h"
#include "kelmora/backup_file.h"
#include "platform/platform.h"

namespace kelmora {

bool ArchiveClaim::Take(RunContext& Run, const std::string& ArchiveName, bool Replaces) {
  if (ArchiveName == kStreamArchiveName || platform::IsSpecialFile(ArchiveName)) return true;
  const TBackupError code = Replaces ? beCannotWriteArchive : beCannotReadArchive;
  const std::string archive = platform::LinkTarget(ArchiveName);
  const std::string record = platform::JournalPathOf(archive);
  // A reader with nothing to read leaves no lock behind.
  if (!Replaces && !platform::FileExists(record) && !platform::FileExists(archive)) return true;
  // Twice at most: a record found is completed holding the archive alone,
  // and a reader then takes its share.
  bool completed = false;
  for (;;) {
    const bool recorded = !completed && platform::FileExists(record);
    const bool alone = Replaces || recorded;
    const int error = lock_.Take(
        archive, alone ? platform::RunLock::Mode::Exclusive : platform::RunLock::Mode::Shared,
        kArchiveWaitMilliseconds);
    if (error == EWOULDBLOCK) {
      Run.Fail(code, ArchiveName, kArchiveInUse);
      return false;
    }
    if (error != 0 && (Replaces || recorded)) {
      Run.Fail(code, ArchiveName,
               recorded ? "the unfinished replacement of the archive cannot be completed: " +
                              platform::ErrorText(error)
                        : platform::ErrorText(error));
      return false;
    }
    if (error != 0) return true;
    // The run waited on may have been cut in its replacement since.
    if (!completed && !recorded && platform::FileExists(record)) continue;
    if (recorded) {
      const Completion done = CompleteReplacement(archive);
      if (done.How == Completion::Kind::Failed) {
        Run.Fail(code, done.Subject, done.Why);
        return false;
      }
      completed = true;
      if (!Replaces) continue;
    }
    break;
  }
  if (lock_.Held()) platform::RemoveLeftoversBeside(archive);
  return true;
}

}  // namespace kelmora
