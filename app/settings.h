// SPDX-License-Identifier: GPL-3.0-or-later
//
// The window values kept between runs and the settings file that holds
// them: section "Settings", ten keys and "Hidden Folders" after them, read
// and written in one order; the recent archives and the recovery record's
// share in sections of their own.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace kelmora::app {

struct TWindowValues {
  QString LanguageName;
  QString BackupFileName;
  QString BackupFolder;
  QString RestoreFolder;
  bool LimitSize = false;
  int32_t SizeValue = 0;
  int32_t SizeUnit = 0;  // 0 "Kb", 1 "Mb", 2 "Gb"
  bool SubDirs = false;
  bool Hidden = false;     // a backup enters hidden folders too
  int32_t LevelIndex = 0;  // index in the compression level list
  int32_t ModeIndex = 0;   // index in the restore mode list
  // Share of a backup's size given to its companion's recovery record, in
  // percent; 0 for none.
  int32_t RecoveryPercent = 0;
  // The archives opened last, the latest first; in a section of their own.
  QStringList RecentArchives;

  bool operator==(const TWindowValues&) const = default;
};

// Reads the ten keys, each with its default; DefaultFolder ends in "/" and
// stands for the folders and the archive's folder when they are absent. A
// missing file, section or key, or a number that is not one, gives the
// default.
TWindowValues ReadSettings(const QString& Path, const QString& DefaultFolder);

// The recovery record's shares the Settings menu offers, in percent.
inline constexpr int32_t kRecoveryChoices[] = {0, 1, 5, 10, 20};
inline bool IsRecoveryChoice(int32_t Percent) {
  for (const int32_t choice : kRecoveryChoices)
    if (choice == Percent) return true;
  return false;
}

// How many archives the File menu remembers.
inline constexpr int kRecentArchives = 8;

// Writes all ten keys and the recent archives, keeping whatever else the file holds. False with
// error set when the file cannot be written.
bool WriteSettings(const QString& Path, const TWindowValues& Values, QString& Error);

}  // namespace kelmora::app
