// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/settings.h"

#include "app/ini_file.h"

namespace kelmora::app {

namespace {

const QString kSection = QStringLiteral("Settings");
const QString kLanguage = QStringLiteral("Language");
const QString kBackupFile = QStringLiteral("Backup File");
const QString kBackupFolder = QStringLiteral("Backup Folder");
const QString kRestoreFolder = QStringLiteral("Restore Folder");
const QString kLimitSize = QStringLiteral("Limit Size");
const QString kMaxSize = QStringLiteral("Max Size");
const QString kSizeType = QStringLiteral("Size Type");
const QString kSubdirs = QStringLiteral("Subdirs");
const QString kHidden = QStringLiteral("Hidden Folders");
const QString kCompressionLevel = QStringLiteral("Compression Level");
const QString kRestoreMode = QStringLiteral("Restore Mode");
// Beside the ten keys, in a section of its own, and there only when a
// record is asked for.
const QString kCompanionSection = QStringLiteral("Companion");
const QString kRecovery = QStringLiteral("Recovery Record");
const QString kRecentSection = QStringLiteral("Recent Archives");
const QString kRecentKey = QStringLiteral("Archive%1");

}  // namespace

TWindowValues ReadSettings(const QString& Path, const QString& DefaultFolder) {
  TIniFile ini;
  ini.Load(Path);
  TWindowValues v;
  v.LanguageName = ini.ReadString(kSection, kLanguage, QStringLiteral("English"));
  v.BackupFileName = ini.ReadString(kSection, kBackupFile, DefaultFolder + "MyBackup.bkp");
  v.BackupFolder = ini.ReadString(kSection, kBackupFolder, DefaultFolder);
  v.RestoreFolder = ini.ReadString(kSection, kRestoreFolder, DefaultFolder);
  v.LimitSize = ini.ReadBool(kSection, kLimitSize, false);
  v.SizeValue = ini.ReadInteger(kSection, kMaxSize, 10);
  v.SizeUnit = ini.ReadInteger(kSection, kSizeType, 1);
  v.SubDirs = ini.ReadBool(kSection, kSubdirs, true);
  v.Hidden = ini.ReadBool(kSection, kHidden, false);
  v.LevelIndex = ini.ReadInteger(kSection, kCompressionLevel, 0);
  v.ModeIndex = ini.ReadInteger(kSection, kRestoreMode, 0);
  // A share the window does not offer is none, not a guess.
  v.RecoveryPercent = ini.ReadInteger(kCompanionSection, kRecovery, 0);
  if (!IsRecoveryChoice(v.RecoveryPercent)) v.RecoveryPercent = 0;
  for (int i = 1; i <= kRecentArchives; ++i) {
    const QString archive = ini.ReadString(kRecentSection, kRecentKey.arg(i), QString());
    if (!archive.isEmpty() && !v.RecentArchives.contains(archive)) v.RecentArchives << archive;
  }
  return v;
}

bool WriteSettings(const QString& Path, const TWindowValues& V, QString& Error) {
  TIniFile ini;
  ini.Load(Path);
  ini.WriteString(kSection, kLanguage, V.LanguageName);
  ini.WriteString(kSection, kBackupFile, V.BackupFileName);
  ini.WriteString(kSection, kBackupFolder, V.BackupFolder);
  ini.WriteString(kSection, kRestoreFolder, V.RestoreFolder);
  ini.WriteBool(kSection, kLimitSize, V.LimitSize);
  ini.WriteInteger(kSection, kMaxSize, V.SizeValue);
  ini.WriteInteger(kSection, kSizeType, V.SizeUnit);
  ini.WriteBool(kSection, kSubdirs, V.SubDirs);
  ini.WriteInteger(kSection, kCompressionLevel, V.LevelIndex);
  ini.WriteInteger(kSection, kRestoreMode, V.ModeIndex);
  // After the ten keys the window always kept, which stay as they were.
  ini.WriteBool(kSection, kHidden, V.Hidden);
  if (V.RecoveryPercent != 0)
    ini.WriteInteger(kCompanionSection, kRecovery, V.RecoveryPercent);
  else
    ini.DeleteSection(kCompanionSection);
  // Rewritten whole, so that a shorter list leaves no older names behind.
  ini.DeleteSection(kRecentSection);
  for (int i = 0; i < V.RecentArchives.size() && i < kRecentArchives; ++i)
    ini.WriteString(kRecentSection, kRecentKey.arg(i + 1), V.RecentArchives[i]);
  return ini.Save(Path, Error);
}

}  // namespace kelmora::app
