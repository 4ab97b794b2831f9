// SPDX-License-Identifier: GPL-3.0-or-later
//
// The figures behind the gauge, the status line and the summaries: the
// share of a run done, its speed and time left, and sizes and times as
// people read them.
#include "app/run_progress.h"

#include <gtest/gtest.h>

#include <QLocale>

#include "app/units.h"

namespace kelmora::test {
namespace {

using app::TRunProgress;

TEST(RunProgress, GoesByFilesMovesWithinAFileAndIsFullOnlyWhenFinished) {
  TRunProgress p;
  p.Start(2, 200, 0);
  EXPECT_EQ(p.Percent(), 0);
  p.BeginFile(100);
  p.Advance(50, 0.1);
  EXPECT_DOUBLE_EQ(p.Fraction(), 0.25);
  p.Advance(100, 0.2);
  EXPECT_EQ(p.Percent(), 49) << "a file is not done before its end is seen";
  p.BeginFile(100);
  EXPECT_EQ(p.Percent(), 50);
  p.Advance(150, 0.3);
  EXPECT_DOUBLE_EQ(p.Fraction(), 0.75);
  p.Advance(200, 0.4);
  EXPECT_EQ(p.Percent(), 99);
  // More files than counted, or a file larger than said, never reach 100.
  p.BeginFile(10);
  p.Advance(400, 0.5);
  EXPECT_EQ(p.Percent(), 99);
  p.Finish();
  EXPECT_EQ(p.Percent(), 100);
  EXPECT_EQ(p.SecondsLeft(1), 0);
}

TEST(RunProgress, AFileOfUnknownSizeTakesItsShareOfWhatIsLeft) {
  TRunProgress p;
  p.Start(4, 1000, 0);
  p.BeginFile(-1);  // 1000 left over 4 files
  p.Advance(125, 0.1);
  EXPECT_DOUBLE_EQ(p.Fraction(), 0.125);
  p.Advance(700, 0.2);  // it was larger than its share
  EXPECT_EQ(p.Percent(), 24);
  p.BeginFile(-1);
  p.BeginFile(-1);
  p.BeginFile(-1);  // the last file: exactly what is left, 300
  p.Advance(850, 0.3);
  EXPECT_DOUBLE_EQ(p.Fraction(), 0.875);
  // Going back is never shown: a later estimate that says less is ignored.
  TRunProgress q;
  q.Start(2, 0, 0);  // bytes to do unknown: files alone count
  q.BeginFile(-1);
  q.Advance(5000, 1);
  EXPECT_EQ(q.Percent(), 0);
  q.BeginFile(-1);
  EXPECT_EQ(q.Percent(), 50);
  q.Advance(9000, 2);
  EXPECT_EQ(q.Percent(), 50);
}

TEST(RunProgress, SpeedIsSmoothedAndTimeLeftWaitsForAFirstMeasure) {
  TRunProgress p;
  p.Start(1, 100'000'000, 0);
  p.BeginFile(100'000'000);
  p.Advance(1'000'000, 1.0);
  EXPECT_DOUBLE_EQ(p.Speed(), 1'000'000);
  EXPECT_LT(p.SecondsLeft(1.0), 0) << "not from the first second";
  for (int s = 2; s <= 10; ++s) p.Advance(int64_t{s} * 1'000'000, s);
  EXPECT_NEAR(p.Speed(), 1'000'000, 1);
  EXPECT_NEAR(p.SecondsLeft(10), 90, 0.01);
  // Twice as fast from now on: the speed follows, without jumping at once.
  int64_t done = 10'000'000;
  done += 2'000'000;
  p.Advance(done, 11);
  EXPECT_GT(p.Speed(), 1'100'000);
  EXPECT_LT(p.Speed(), 1'600'000);
  for (int s = 12; s <= 30; ++s) p.Advance(done += 2'000'000, s);
  EXPECT_NEAR(p.Speed(), 2'000'000, 20'000);
  // Samples closer together than half a second are folded into the next.
  const double before = p.Speed();
  p.Advance(done + 50'000'000, 30.1);
  EXPECT_DOUBLE_EQ(p.Speed(), before);
}

TEST(RunProgress, WithoutBytesToDoTimeLeftComesFromTheShareDone) {
  TRunProgress p;
  p.Start(4, 0, 0);
  p.BeginFile(-1);
  p.Advance(100, 1);
  p.BeginFile(-1);
  p.Advance(200, 2);
  p.BeginFile(-1);
  p.Advance(300, 3);
  EXPECT_DOUBLE_EQ(p.Fraction(), 0.5);
  EXPECT_NEAR(p.SecondsLeft(3), 3, 1e-9) << "half done in 3 s: 3 s to go";
}

TEST(Units, SizesDurationsAndCountsReadAsPeopleWriteThem) {
  const app::TTextSource text = [](const QString& Key) {
    if (Key == "Unit->Bytes") return QStringLiteral("%1 B");
    if (Key == "Unit->KB") return QStringLiteral("%1 KB");
    if (Key == "Unit->MB") return QStringLiteral("%1 MB");
    if (Key == "Unit->GB") return QStringLiteral("%1 GB");
    if (Key == "Unit->TB") return QStringLiteral("%1 TB");
    if (Key == "Unit->PerSecond") return QStringLiteral("%1/s");
    if (Key == "Unit->Seconds") return QStringLiteral("%1 s");
    if (Key == "Unit->MinutesSeconds") return QStringLiteral("%1 min %2 s");
    if (Key == "Unit->HoursMinutes") return QStringLiteral("%1 h %2 min");
    return Key;
  };
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(app::FormatSize(0, text), "0 B");
  EXPECT_EQ(app::FormatSize(1023, text), "1,023 B");
  EXPECT_EQ(app::FormatSize(1024, text), "1.0 KB");
  EXPECT_EQ(app::FormatSize(4114791, text), "3.9 MB");
  EXPECT_EQ(app::FormatSize(102'300, text), "99.9 KB");
  EXPECT_EQ(app::FormatSize(102'400, text), "100 KB");
  EXPECT_EQ(app::FormatSize(1024 * 1024 - 1, text), "1.0 MB") << "never 1024 KB";
  EXPECT_EQ(app::FormatSize(int64_t{5} << 40, text), "5.0 TB");
  EXPECT_EQ(app::FormatSize(int64_t{5000} << 40, text), "5,000 TB");
  EXPECT_EQ(app::FormatSpeed(1.5 * 1024 * 1024, text), "1.5 MB/s");
  EXPECT_EQ(app::FormatDuration(0.04, text), "0.04 s");
  EXPECT_EQ(app::FormatDuration(0.996, text), "1.0 s");
  EXPECT_EQ(app::FormatDuration(2.34, text), "2.3 s");
  EXPECT_EQ(app::FormatDuration(9.96, text), "10 s");
  EXPECT_EQ(app::FormatDuration(65, text), "1 min 05 s");
  EXPECT_EQ(app::FormatDuration(3599.6, text), "1 h 00 min");
  EXPECT_EQ(app::FormatDuration(7325, text), "2 h 02 min");
  EXPECT_EQ(app::FormatCount(1234567), "1,234,567");
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  EXPECT_EQ(app::FormatSize(4114791, text), "3,9 MB");
  EXPECT_EQ(app::FormatCount(1234567), QStringLiteral("1\u00a0234\u00a0567"));
  QLocale::setDefault(QLocale::c());
}

}  // namespace
}  // namespace kelmora::test
