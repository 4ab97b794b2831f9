// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/units.h"

#include <QLocale>
#include <cmath>

namespace kelmora::app {

namespace {

QString Decimal(double Value, int Decimals) {
  return QLocale().toString(Value, 'f', Decimals);
}

}  // namespace

QString FormatSize(int64_t Bytes, const TTextSource& Text) {
  static const char* const kUnits[] = {"Unit->KB", "Unit->MB", "Unit->GB", "Unit->TB"};
  if (Bytes < 1024) return Text(QStringLiteral("Unit->Bytes")).arg(FormatCount(Bytes));
  double value = static_cast<double>(Bytes);
  int unit = -1;
  do {
    value /= 1024.0;
    ++unit;
    // 1023.6 would show as "1024": the next unit says it better.
  } while (value >= 1023.5 && unit + 1 < static_cast<int>(std::size(kUnits)));
  // 99.96 would round to "100.0": whole units from there on.
  const int decimals = value < 99.95 ? 1 : 0;
  return Text(QString::fromLatin1(kUnits[unit])).arg(Decimal(value, decimals));
}

QString FormatSpeed(double BytesPerSecond, const TTextSource& Text) {
  const int64_t bytes = BytesPerSecond > 0 ? static_cast<int64_t>(std::llround(BytesPerSecond)) : 0;
  return Text(QStringLiteral("Unit->PerSecond")).arg(FormatSize(bytes, Text));
}

QString FormatDuration(double Seconds, const TTextSource& Text) {
  if (Seconds < 0) Seconds = 0;
  // A run of a moment still says how short it was.
  if (Seconds < 0.995) return Text(QStringLiteral("Unit->Seconds")).arg(Decimal(Seconds, 2));
  if (Seconds < 9.95) return Text(QStringLiteral("Unit->Seconds")).arg(Decimal(Seconds, 1));
  const int64_t whole = std::llround(Seconds);
  if (whole < 60) return Text(QStringLiteral("Unit->Seconds")).arg(whole);
  const QString two = QStringLiteral("%1");
  if (whole < 3600) {
    return Text(QStringLiteral("Unit->MinutesSeconds"))
        .arg(whole / 60)
        .arg(two.arg(whole % 60, 2, 10, QChar('0')));
  }
  const int64_t minutes = (whole + 30) / 60;
  return Text(QStringLiteral("Unit->HoursMinutes"))
      .arg(minutes / 60)
      .arg(two.arg(minutes % 60, 2, 10, QChar('0')));
}

QString FormatCount(int64_t Count) {
  return QLocale().toString(static_cast<qlonglong>(Count));
}

QString FormatPercent(int Percent, const TTextSource& Text) {
  return Text(QStringLiteral("Unit->Percent")).arg(Percent);
}

}  // namespace kelmora::app
