#include "app/ini_file.h"

// Plain bytes in and out: the texts are UTF-8 and converted by Qt.
#define SI_NO_CONVERSION
// The Debian header keeps the template definitions behind this switch.
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <limits>
#include <string>

namespace kelmora::app {

// CSimpleIniA compares section and key names without regard to ASCII case.
struct TIniFile::Data {
  CSimpleIniA ini{true, false, false};
};

namespace {

std::string Bytes(const QString& text) {
  return text.toUtf8().toStdString();
}

// The profile services drop one pair of enclosing quotes, which is how a
// value keeps leading or trailing blanks.
QString StripQuotes(QString value) {
  if (value.size() >= 2) {
    const QChar first = value.front();
    if ((first == '"' || first == '\'') && value.back() == first)
      value = value.mid(1, value.size() - 2);
  }
  return value;
}

}  // namespace

bool ParseInt32(const QString& text, int32_t& value) {
  const QString trimmed = text.trimmed();
  qsizetype i = 0;
  bool negative = false;
  if (i < trimmed.size() && (trimmed[i] == '-' || trimmed[i] == '+')) {
    negative = trimmed[i] == '-';
    ++i;
  }
  if (i == trimmed.size()) return false;
  int64_t magnitude = 0;
  for (; i < trimmed.size(); ++i) {
    const char16_t c = trimmed[i].unicode();
    if (c < u'0' || c > u'9') return false;
    magnitude = magnitude * 10 + (c - u'0');
    if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) return false;
  }
  const int64_t result = negative ? -magnitude : magnitude;
  if (result > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(result);
  return true;
}

TIniFile::TIniFile() : data_(std::make_unique<Data>()) {}
TIniFile::~TIniFile() = default;

void TIniFile::Load(const QString& path) {
  data_->ini.Reset();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QByteArray bytes = file.readAll();
  if (data_->ini.LoadData(bytes.constData(), static_cast<size_t>(bytes.size())) < 0)
    data_->ini.Reset();
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
  const char* value = data_->ini.GetValue(Bytes(section).c_str(), Bytes(key).c_str(), nullptr);
  if (!value) return def;
  return StripQuotes(QString::fromUtf8(value));
}

int32_t TIniFile::ReadInteger(const QString& section, const QString& key, int32_t def) const {
  int32_t value = 0;
  return ParseInt32(ReadString(section, key, QString()), value) ? value : def;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  data_->ini.SetValue(Bytes(section).c_str(), Bytes(key).c_str(), Bytes(value).c_str());
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int32_t value) {
  WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
  WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TIniFile::Save(const QString& path, QString& error) const {
  std::string text;
  data_->ini.SetSpaces(false);
  const bool saved = data_->ini.Save(text) >= 0;
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  // A writable file in a folder that is not can still be rewritten in place.
  file.setDirectWriteFallback(true);
  if (saved && file.open(QIODevice::WriteOnly) &&
      file.write(text.data(), static_cast<qint64>(text.size())) ==
          static_cast<qint64>(text.size()) &&
      file.commit())
    return true;
  error = QStringLiteral("Unable to write to %1").arg(path);
  return false;
}

}  // namespace kelmora::app
