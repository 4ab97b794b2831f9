#include "app/paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kelmora::app {

namespace {

// Qt asks the system as access(W_OK) would on Linux, and reads the
// read-only attribute on Windows.
bool IsWritable(const QString& path) {
  return QFileInfo(path).isWritable();
}

QString WithSlash(QString folder) {
  if (!folder.endsWith('/')) folder += '/';
  return folder;
}

QString UserConfigFolder() {
  const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
  // XDG_CONFIG_HOME counts only when it is an absolute path.
  if (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) return WithSlash(xdg);
  return WithSlash(QDir::homePath()) + ".config/";
}

// An installed program finds its languages in the shared data folder and
// none beside it; its own folder belongs to the system, not to the user.
bool IsInstalled(const QString& appFolder) {
  return !QFileInfo(WithSlash(appFolder) + "language").isDir() &&
         QFileInfo(QDir::cleanPath(WithSlash(appFolder) + "../share/kelmora/language")).isDir();
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

QString ExtractFilePath(const QString& path) {
  const qsizetype slash = path.lastIndexOf('/');
  return slash < 0 ? QString() : path.left(slash + 1);
}

QString RemoveExtension(const QString& path) {
  const qsizetype slash = path.lastIndexOf('/');
  const qsizetype dot = path.lastIndexOf('.');
  return dot > slash ? path.left(dot) : path;
}

QString SettingsPathFor(const QString& executablePath) {
  const QString beside = RemoveExtension(executablePath) + ".ini";
  const QFileInfo info(beside);
  if (!IsInstalled(ExtractFilePath(executablePath)) &&
      (info.exists() ? IsWritable(beside) : IsWritable(ExtractFilePath(beside))))
    return beside;
  return UserConfigFolder() + "kelmora/" + info.fileName();
}

QString LanguageFolderFor(const QString& appFolder) {
  const QString beside = WithSlash(appFolder) + "language/";
  if (QFileInfo(beside).isDir()) return beside;
  const QString installed =
      QDir::cleanPath(WithSlash(appFolder) + "../share/kelmora/language") + "/";
  if (QFileInfo(installed).isDir()) return installed;
  return beside;
}

QString DefaultDataFolder(const QString& appFolder) {
  if (!IsInstalled(appFolder) && IsWritable(appFolder)) return appFolder;
  return WithSlash(QDir::homePath());
}

}  // namespace kelmora::app
