// SPDX-License-Identifier: GPL-3.0-or-later
//
// TCCalendar: one month as a grid of days under the locale's day names. The
// keyboard and the mouse move the selected date; cells of the neighbouring
// months stay empty so a click there cannot jump to another month by surprise.
#pragma once

#include <QDate>
#include <QRect>
#include <QString>
#include <QWidget>

namespace kelmora::widgets {

class TCCalendar : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int Day READ Day WRITE SetDay NOTIFY DateChanged)
  Q_PROPERTY(int Month READ Month WRITE SetMonth NOTIFY DateChanged)
  Q_PROPERTY(int Year READ Year WRITE SetYear NOTIFY DateChanged)
  Q_PROPERTY(int StartOfWeek READ StartOfWeek WRITE SetStartOfWeek)

 public:
  static constexpr int kRows = 6;
  static constexpr int kColumns = 7;

  explicit TCCalendar(QWidget* Parent = nullptr);

  QDate Date() const { return date_; }
  int Day() const { return date_.day(); }
  int Month() const { return date_.month(); }
  int Year() const { return date_.year(); }
  // 0 takes the first day of the week from the widget's locale; 1 (Monday)
  // to 7 (Sunday) fix it.
  int StartOfWeek() const { return startOfWeek_; }

  // Invalid dates and years outside 1 to 9999 are refused. A day past the month's end, or a month
  // or year that would make the day invalid, lands on the month's last day.
  void SetDate(const QDate& Value);
  void SetDay(int Value);
  void SetMonth(int Value);
  void SetYear(int Value);
  void SetStartOfWeek(int Value);
  void MoveMonths(int Months);

  // Day of the shown month in a cell of the grid, or 0 where the cell is empty.
  int DayAtCell(int Row, int Column) const;
  QRect CellRect(int Row, int Column) const;
  // The locale's short name of the weekday heading a column.
  QString ColumnName(int Column) const;

  QSize sizeHint() const override;

 signals:
  void DateChanged(const QDate& NewDate);

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  int FirstWeekday() const;
  int LeadingBlanks() const;
  int HeaderHeight() const;

  QDate date_;
  int startOfWeek_ = 0;
};

}  // namespace kelmora::widgets
