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
const QString kCompressionLevel = QStringLiteral("Compression Level");
const QString kRestoreMode = QStringLiteral("Restore Mode");

}  // namespace

TWindowValues ReadSettings(const QString& path, const QString& defaultFolder) {
  TIniFile ini;
  ini.Load(path);
  TWindowValues v;
  v.LanguageName = ini.ReadString(kSection, kLanguage, QStringLiteral("English"));
  v.BackupFileName = ini.ReadString(kSection, kBackupFile, defaultFolder + "MyBackup.bkp");
  v.BackupFolder = ini.ReadString(kSection, kBackupFolder, defaultFolder);
  v.RestoreFolder = ini.ReadString(kSection, kRestoreFolder, defaultFolder);
  v.LimitSize = ini.ReadBool(kSection, kLimitSize, false);
  v.SizeValue = ini.ReadInteger(kSection, kMaxSize, 10);
  v.SizeUnit = ini.ReadInteger(kSection, kSizeType, 1);
  v.SubDirs = ini.ReadBool(kSection, kSubdirs, true);
  v.LevelIndex = ini.ReadInteger(kSection, kCompressionLevel, 0);
  v.ModeIndex = ini.ReadInteger(kSection, kRestoreMode, 0);
  return v;
}

bool WriteSettings(const QString& path, const TWindowValues& v, QString& error) {
  TIniFile ini;
  ini.Load(path);
  ini.WriteString(kSection, kLanguage, v.LanguageName);
  ini.WriteString(kSection, kBackupFile, v.BackupFileName);
  ini.WriteString(kSection, kBackupFolder, v.BackupFolder);
  ini.WriteString(kSection, kRestoreFolder, v.RestoreFolder);
  ini.WriteBool(kSection, kLimitSize, v.LimitSize);
  ini.WriteInteger(kSection, kMaxSize, v.SizeValue);
  ini.WriteInteger(kSection, kSizeType, v.SizeUnit);
  ini.WriteBool(kSection, kSubdirs, v.SubDirs);
  ini.WriteInteger(kSection, kCompressionLevel, v.LevelIndex);
  ini.WriteInteger(kSection, kRestoreMode, v.ModeIndex);
  return ini.Save(path, error);
}

}  // namespace kelmora::app
