// SPDX-License-Identifier: GPL-3.0-or-later

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

std::string Bytes(const QString& Text) {
  return Text.toUtf8().toStdString();
}

// The profile services drop one pair of enclosing quotes, which is how a
// value keeps leading or trailing blanks.
QString StripQuotes(QString Value) {
  if (Value.size() >= 2) {
    const QChar first = Value.front();
    if ((first == '"' || first == '\'') && Value.back() == first)
      Value = Value.mid(1, Value.size() - 2);
  }
  return Value;
}

}  // namespace

bool ParseInt32(const QString& Text, int32_t& Value) {
  const QString trimmed = Text.trimmed();
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
  Value = static_cast<int32_t>(result);
  return true;
}

TIniFile::TIniFile() : data_(std::make_unique<Data>()) {}
TIniFile::~TIniFile() = default;

void TIniFile::Load(const QString& Path) {
  data_->ini.Reset();
  QFile file(Path);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QByteArray bytes = file.readAll();
  if (data_->ini.LoadData(bytes.constData(), static_cast<size_t>(bytes.size())) < 0)
    data_->ini.Reset();
}

QString TIniFile::ReadString(const QString& Section, const QString& Key, const QString& Def) const {
  const char* value = data_->ini.GetValue(Bytes(Section).c_str(), Bytes(Key).c_str(), nullptr);
  if (!value) return Def;
  return StripQuotes(QString::fromUtf8(value));
}

int32_t TIniFile::ReadInteger(const QString& Section, const QString& Key, int32_t Def) const {
  int32_t value = 0;
  return ParseInt32(ReadString(Section, Key, QString()), value) ? value : Def;
}

bool TIniFile::ReadBool(const QString& Section, const QString& Key, bool Def) const {
  return ReadInteger(Section, Key, Def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& Section, const QString& Key, const QString& Value) {
  data_->ini.SetValue(Bytes(Section).c_str(), Bytes(Key).c_str(), Bytes(Value).c_str());
}

void TIniFile::WriteInteger(const QString& Section, const QString& Key, int32_t Value) {
  WriteString(Section, Key, QString::number(Value));
}

void TIniFile::WriteBool(const QString& Section, const QString& Key, bool Value) {
  WriteString(Section, Key, Value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniFile::DeleteSection(const QString& Section) {
  data_->ini.Delete(Bytes(Section).c_str(), nullptr);
}

bool TIniFile::Save(const QString& Path, QString& Error) const {
  std::string text;
  data_->ini.SetSpaces(false);
  const bool saved = data_->ini.Save(text) >= 0;
  QDir().mkpath(QFileInfo(Path).absolutePath());
  QSaveFile file(Path);
  // A writable file in a folder that is not can still be rewritten in place.
  file.setDirectWriteFallback(true);
  if (saved && file.open(QIODevice::WriteOnly) &&
      file.write(text.data(), static_cast<qint64>(text.size())) ==
          static_cast<qint64>(text.size()) &&
      file.commit())
    return true;
  Error = QStringLiteral("Unable to write to %1").arg(Path);
  return false;
}

}  // namespace kelmora::app
