// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/calendar.h"

#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>

namespace kelmora::widgets {

namespace {

// Keeps the day inside the target month, so moving from 31 January lands on
// the last day of February instead of an invalid date.
QDate ClampedDate(int Year, int Month, int Day) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12) return {};
  const int last = QDate(Year, Month, 1).daysInMonth();
  return QDate(Year, Month, std::clamp(Day, 1, last));
}

}  // namespace

TCCalendar::TCCalendar(QWidget* Parent) : QWidget(Parent), date_(QDate::currentDate()) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TCCalendar::SetDate(const QDate& Value) {
  // Years before 1 have no year 0 before them and would upset month arithmetic.
  if (!Value.isValid() || Value.year() < 1 || Value.year() > 9999 || Value == date_) return;
  date_ = Value;
  update();
  emit DateChanged(date_);
}

void TCCalendar::SetDay(int Value) {
  if (Value >= 1 && Value <= date_.daysInMonth()) SetDate(QDate(Year(), Month(), Value));
}

void TCCalendar::SetMonth(int Value) {
  SetDate(ClampedDate(Year(), Value, Day()));
}

void TCCalendar::SetYear(int Value) {
  SetDate(ClampedDate(Value, Month(), Day()));
}

void TCCalendar::SetStartOfWeek(int Value) {
  if (Value < 0 || Value > 7) return;
  startOfWeek_ = Value;
  update();
}

void TCCalendar::MoveMonths(int Months) {
  const QDate first = QDate(Year(), Month(), 1).addMonths(Months);
  SetDate(ClampedDate(first.year(), first.month(), Day()));
}

int TCCalendar::FirstWeekday() const {
  return startOfWeek_ != 0 ? startOfWeek_ : static_cast<int>(locale().firstDayOfWeek());
}

int TCCalendar::LeadingBlanks() const {
  return (QDate(Year(), Month(), 1).dayOfWeek() - FirstWeekday() + 7) % 7;
}

int TCCalendar::DayAtCell(int Row, int Column) const {
  if (Row < 0 || Row >= kRows || Column < 0 || Column >= kColumns) return 0;
  const int day = Row * kColumns + Column - LeadingBlanks() + 1;
  return day >= 1 && day <= date_.daysInMonth() ? day : 0;
}

QString TCCalendar::ColumnName(int Column) const {
  const int weekday = (FirstWeekday() - 1 + Column) % 7 + 1;
  return locale().dayName(weekday, QLocale::ShortFormat);
}

int TCCalendar::HeaderHeight() const {
  return fontMetrics().height() + 6;
}

QRect TCCalendar::CellRect(int Row, int Column) const {
  const int top = HeaderHeight();
  const int left = Column * width() / kColumns;
  const int right = (Column + 1) * width() / kColumns;
  const int y0 = top + Row * (height() - top) / kRows;
  const int y1 = top + (Row + 1) * (height() - top) / kRows;
  return QRect(left, y0, right - left, y1 - y0);
}

QSize TCCalendar::sizeHint() const {
  const int cell = fontMetrics().horizontalAdvance(QStringLiteral("Wed")) + 12;
  return QSize(cell * kColumns, HeaderHeight() + (fontMetrics().height() + 8) * kRows);
}

void TCCalendar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QPalette& colours = palette();
  painter.fillRect(rect(), colours.base());
  painter.fillRect(0, 0, width(), HeaderHeight(), colours.button());
  painter.setPen(colours.buttonText().color());
  for (int column = 0; column < kColumns; ++column) {
    const QRect cell = CellRect(0, column);
    painter.drawText(QRect(cell.left(), 0, cell.width(), HeaderHeight()), Qt::AlignCenter,
                     ColumnName(column));
  }
  painter.setPen(colours.mid().color());
  for (int column = 1; column < kColumns; ++column)
    painter.drawLine(CellRect(0, column).left(), HeaderHeight(), CellRect(0, column).left(),
                     height());
  for (int row = 0; row < kRows; ++row)
    painter.drawLine(0, CellRect(row, 0).top(), width(), CellRect(row, 0).top());
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const int day = DayAtCell(row, column);
      if (day == 0) continue;
      const QRect cell = CellRect(row, column).adjusted(1, 1, 0, 0);
      const bool selected = day == Day();
      if (selected) painter.fillRect(cell, colours.highlight());
      painter.setPen(selected ? colours.highlightedText().color() : colours.text().color());
      painter.drawText(cell, Qt::AlignCenter, QString::number(day));
    }
  }
}

void TCCalendar::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() != Qt::LeftButton) return QWidget::mousePressEvent(Event);
  for (int row = 0; row < kRows; ++row)
    for (int column = 0; column < kColumns; ++column)
      if (CellRect(row, column).contains(Event->position().toPoint())) {
        if (const int day = DayAtCell(row, column); day != 0) SetDay(day);
        return;
      }
}

void TCCalendar::keyPressEvent(QKeyEvent* Event) {
  switch (Event->key()) {
    case Qt::Key_Left:
      return SetDate(date_.addDays(-1));
    case Qt::Key_Right:
      return SetDate(date_.addDays(1));
    case Qt::Key_Up:
      return SetDate(date_.addDays(-7));
    case Qt::Key_Down:
      return SetDate(date_.addDays(7));
    case Qt::Key_PageUp:
      return MoveMonths(Event->modifiers() & Qt::ControlModifier ? -12 : -1);
    case Qt::Key_PageDown:
      return MoveMonths(Event->modifiers() & Qt::ControlModifier ? 12 : 1);
    case Qt::Key_Home:
      return SetDay(1);
    case Qt::Key_End:
      return SetDay(date_.daysInMonth());
    default:
      QWidget::keyPressEvent(Event);
  }
}

void TCCalendar::changeEvent(QEvent* Event) {
  if (Event->type() == QEvent::LocaleChange || Event->type() == QEvent::FontChange) update();
  QWidget::changeEvent(Event);
}

}  // namespace kelmora::widgets
