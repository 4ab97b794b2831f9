// SPDX-License-Identifier: GPL-3.0-or-later
//
// TRunOutcome: what a run did, kept as figures so that its words can be
// said again in another language. DescribeOutcome turns it into the status
// line: files restored, kept, damaged and refused, bytes with units, the
// archive's size and volumes, the time taken, and for a backup that did not
// finish whether an archive was written and that an older one is kept.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/units.h"
#include "kelmora/backup_file.h"

namespace kelmora::app {

enum class TRunKind : uint8_t { Backup, Restore, Test };
enum class TRunEnd : uint8_t {
  Completed,  // went through to the end (damaged or refused files included)
  Stopped,    // the user stopped it
  Cancelled,  // a missing volume was not given
  Failed,     // a failure ended it early
};

// A stored file a restore left out because another stored name had gone to
// its target already.
struct TClash {
  std::string Stored, Earlier, Target;
};

struct TRunOutcome {
  TRunKind Kind = TRunKind::Backup;
  TRunEnd End = TRunEnd::Completed;
  QString Archive;
  // Backup: files stored of those selected. Restore: files reached of those
  // chosen. Test: files checked of those the header counts.
  int32_t FilesDone = 0;
  int32_t FileCount = 0;
  int32_t Restored = 0;
  int32_t Kept = 0;  // left as they were by the restore mode
  int32_t Refused = 0;
  int64_t Bytes = 0;  // backup: read; restore: written; test: checked
  int64_t ArchiveBytes = 0;
  int32_t Volumes = 0;
  int32_t Rate = 0;           // a backup's compression rate in percent
  int32_t HiddenFolders = 0;  // hidden folders a backup left out
  double Seconds = 0;
  bool HadArchive = false;  // an archive of the name was there before the backup
  uint16_t MissingVolume = 0;
  bool Incomplete = false;  // no end marker was found
  // What a restore made of the archive's companion: without one it gives
  // back no modes, links or exact times.
  TCompanionState Companion = csNone;
  // The failure on record at the end, as the engine recorded it.
  TFailure Failure;
  // The message of an exception that ended the run; "" when none did.
  std::string Exception;
  std::vector<TDamage> Damages;
  std::vector<TClash> Clashes;

  // Damaged files (damage outside any file not counted), each once.
  int32_t DamagedFiles() const;
};

// Translates a message the engine raised as an exception, which carries no
// code, from its English wording into the interface language.
using TEngineText = std::function<QString(const std::string& English)>;
// An engine error code's own message in the interface language, chosen by
// the code.
using TErrorText = std::function<QString(int32_t Code)>;

// The failure as the user reads it: the code's message in the interface
// language, then the file it concerns and why ("Cannot write to archive:
// /b/x.bkp: No space left on device").
QString DescribeFailure(const TFailure& Failure, const TErrorText& ErrorText);
// The whole status line for Outcome, without the leading blank.
QString DescribeOutcome(const TRunOutcome& Outcome, const TTextSource& Text,
                        const TErrorText& ErrorText, const TEngineText& EngineText);

}  // namespace kelmora::app
