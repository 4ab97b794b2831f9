// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kelmora::app {

namespace {

// Qt asks the system as access(W_OK) would on Linux, and reads the
// read-only attribute on Windows.
bool IsWritable(const QString& Path) {
  return QFileInfo(Path).isWritable();
}

QString WithSlash(QString Folder) {
  if (!Folder.endsWith('/')) Folder += '/';
  return Folder;
}

QString UserConfigFolder() {
  const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
  // XDG_CONFIG_HOME counts only when it is an absolute path.
  if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return WithSlash(xdg);
  return WithSlash(QDir::homePath()) + ".config/";
}

// An installed program finds its languages in the shared data folder and
// none beside it; its own folder belongs to the system, not to the user.
bool IsInstalled(const QString& AppFolder) {
  return !QFileInfo(WithSlash(AppFolder) + "language").isDir() &&
         QFileInfo(QDir::cleanPath(WithSlash(AppFolder) + "../share/kelmora/language")).isDir();
}

}  // namespace

QString ExecutablePath() {
  const QString path = QCoreApplication::applicationFilePath();
  if (!path.isEmpty()) return path;
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString ExecutableFolder() {
  return ExtractFilePath(ExecutablePath());
}

QString ExtractFilePath(const QString& Path) {
  const qsizetype slash = Path.lastIndexOf('/');
  return slash < 0 ? QString() : Path.left(slash + 1);
}

QString RemoveExtension(const QString& Path) {
  const qsizetype slash = Path.lastIndexOf('/');
  const qsizetype dot = Path.lastIndexOf('.');
  return dot > slash ? Path.left(dot) : Path;
}

QString SettingsPathFor(const QString& Executable) {
  const QString beside = RemoveExtension(Executable) + ".ini";
  const QFileInfo info(beside);
  if (!IsInstalled(ExtractFilePath(Executable)) &&
      (info.exists() ? IsWritable(beside) : IsWritable(ExtractFilePath(beside))))
    return beside;
  return UserConfigFolder() + "kelmora/" + info.fileName();
}

QString LanguageFolderFor(const QString& AppFolder) {
  const QString beside = WithSlash(AppFolder) + "language/";
  if (QFileInfo(beside).isDir()) return beside;
  const QString installed =
      QDir::cleanPath(WithSlash(AppFolder) + "../share/kelmora/language") + "/";
  if (QFileInfo(installed).isDir()) return installed;
  return beside;
}

QString DefaultDataFolder(const QString& AppFolder) {
  if (!IsInstalled(AppFolder) && IsWritable(AppFolder)) return AppFolder;
  return WithSlash(QDir::homePath());
}

}  // namespace kelmora::app
