// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/calendar.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "widgets/qt_application.h"

namespace kelmora::widgets {
namespace {

// Cell of the grid that shows a day, or (-1, -1) when the grid lacks it.
QPoint CellOfDay(const TCCalendar& Calendar, int Day) {
  for (int row = 0; row < TCCalendar::kRows; ++row)
    for (int column = 0; column < TCCalendar::kColumns; ++column)
      if (Calendar.DayAtCell(row, column) == Day) return {column, row};
  return {-1, -1};
}

TEST(Calendar, KeysMoveAcrossMonthsYearsAndLeapDays) {
  TCCalendar calendar;
  calendar.SetDate(QDate(2024, 1, 31));
  QSignalSpy changes(&calendar, &TCCalendar::DateChanged);

  struct Step {
    int key;
    Qt::KeyboardModifiers modifiers;
    QDate expected;
  };
  const Step steps[] = {
      {Qt::Key_PageDown, Qt::NoModifier, QDate(2024, 2, 29)},  // 31 January to a leap February
      {Qt::Key_Right, Qt::NoModifier, QDate(2024, 3, 1)},
      {Qt::Key_Left, Qt::NoModifier, QDate(2024, 2, 29)},
      {Qt::Key_PageDown, Qt::ControlModifier, QDate(2025, 2, 28)},  // no 29th next year
      {Qt::Key_Down, Qt::NoModifier, QDate(2025, 3, 7)},
      {Qt::Key_Up, Qt::NoModifier, QDate(2025, 2, 28)},
      {Qt::Key_PageUp, Qt::NoModifier, QDate(2025, 1, 28)},
      {Qt::Key_PageUp, Qt::NoModifier, QDate(2024, 12, 28)},  // back over the year's turn
      {Qt::Key_End, Qt::NoModifier, QDate(2024, 12, 31)},
      {Qt::Key_Right, Qt::NoModifier, QDate(2025, 1, 1)},
      {Qt::Key_Home, Qt::NoModifier, QDate(2025, 1, 1)},
  };
  for (const Step& step : steps) {
    const QDate before = calendar.Date();
    QTest::keyClick(&calendar, static_cast<Qt::Key>(step.key), step.modifiers);
    EXPECT_EQ(calendar.Date(), step.expected)
        << "key " << step.key << " from " << before.toString(Qt::ISODate).toStdString();
  }
  // Home on the first is no change and so no signal.
  EXPECT_EQ(changes.count(), static_cast<int>(std::size(steps)) - 1);
  EXPECT_EQ(changes.last().at(0).toDate(), QDate(2025, 1, 1));
}

TEST(Calendar, PropertiesKeepTheDayInsideTheMonth) {
  TCCalendar calendar;
  calendar.SetDate(QDate(2000, 3, 31));
  calendar.SetMonth(2);
  EXPECT_EQ(calendar.Date(), QDate(2000, 2, 29)) << "2000 is a leap year";
  calendar.SetDay(30);  // no such day in February: refused
  EXPECT_EQ(calendar.Date(), QDate(2000, 2, 29));
  calendar.SetYear(1900);
  EXPECT_EQ(calendar.Date(), QDate(1900, 2, 28)) << "1900 is not a leap year";
  calendar.SetMonth(13);
  calendar.SetYear(0);
  calendar.SetDate(QDate());
  EXPECT_EQ(calendar.Date(), QDate(1900, 2, 28));
  EXPECT_TRUE(calendar.setProperty("Month", 12));
  EXPECT_EQ(calendar.property("Day").toInt(), 28);
  EXPECT_EQ(calendar.Date(), QDate(1900, 12, 28));

  calendar.SetDate(QDate(1, 1, 1));
  QTest::keyClick(&calendar, Qt::Key_Left);
  QTest::keyClick(&calendar, Qt::Key_PageUp);
  EXPECT_EQ(calendar.Date(), QDate(1, 1, 1)) << "no step before the first year";
  calendar.SetDate(QDate(9999, 12, 31));
  QTest::keyClick(&calendar, Qt::Key_Down);
  EXPECT_EQ(calendar.Date(), QDate(9999, 12, 31));
}

TEST(Calendar, GridStartsOnTheLocalesFirstWeekdayAndLeavesOtherMonthsEmpty) {
  TCCalendar calendar;
  calendar.SetDate(QDate(2026, 12, 15));                                 // the 1st is a Tuesday
  calendar.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));  // weeks from Sunday
  EXPECT_EQ(CellOfDay(calendar, 1), QPoint(2, 0));
  EXPECT_EQ(calendar.ColumnName(0), QLocale(QLocale::English).dayName(7, QLocale::ShortFormat));
  calendar.setLocale(QLocale(QLocale::German, QLocale::Germany));  // weeks from Monday
  EXPECT_EQ(CellOfDay(calendar, 1), QPoint(1, 0));
  EXPECT_EQ(calendar.ColumnName(0), QLocale(QLocale::German).dayName(1, QLocale::ShortFormat));
  calendar.SetStartOfWeek(Qt::Wednesday);  // the property overrides the locale
  EXPECT_EQ(CellOfDay(calendar, 1), QPoint(6, 0));
  EXPECT_EQ(CellOfDay(calendar, 31), QPoint(1, 5)) << "the month needs the sixth row";

  int filled = 0;
  for (int row = 0; row < TCCalendar::kRows; ++row)
    for (int column = 0; column < TCCalendar::kColumns; ++column)
      filled += calendar.DayAtCell(row, column) != 0;
  EXPECT_EQ(filled, 31);
}

TEST(Calendar, AClickSelectsADayAndAnEmptyCellChangesNothing) {
  TCCalendar calendar;
  calendar.SetStartOfWeek(Qt::Monday);
  calendar.SetDate(QDate(2026, 12, 15));
  calendar.resize(280, 200);
  calendar.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&calendar));

  const QPoint cell = CellOfDay(calendar, 24);
  QTest::mouseClick(&calendar, Qt::LeftButton, {}, calendar.CellRect(cell.y(), cell.x()).center());
  EXPECT_EQ(calendar.Date(), QDate(2026, 12, 24));
  ASSERT_EQ(calendar.DayAtCell(0, 0), 0);  // 30 November would stand here
  QTest::mouseClick(&calendar, Qt::LeftButton, {}, calendar.CellRect(0, 0).center());
  ASSERT_EQ(calendar.DayAtCell(5, 6), 0);
  QTest::mouseClick(&calendar, Qt::LeftButton, {}, calendar.CellRect(5, 6).center());
  EXPECT_EQ(calendar.Date(), QDate(2026, 12, 24));
}

}  // namespace
}  // namespace kelmora::widgets
