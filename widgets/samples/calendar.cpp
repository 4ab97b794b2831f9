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
QDate ClampedDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return {};
  const int last = QDate(year, month, 1).daysInMonth();
  return QDate(year, month, std::clamp(day, 1, last));
}

}  // namespace

TCCalendar::TCCalendar(QWidget* parent) : QWidget(parent), date_(QDate::currentDate()) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TCCalendar::SetDate(const QDate& date) {
  // Years before 1 have no year 0 before them and would upset month arithmetic.
  if (!date.isValid() || date.year() < 1 || date.year() > 9999 || date == date_) return;
  date_ = date;
  update();
  emit DateChanged(date_);
}

void TCCalendar::SetDay(int day) {
  if (day >= 1 && day <= date_.daysInMonth()) SetDate(QDate(Year(), Month(), day));
}

void TCCalendar::SetMonth(int month) {
  SetDate(ClampedDate(Year(), month, Day()));
}

void TCCalendar::SetYear(int year) {
  SetDate(ClampedDate(year, Month(), Day()));
}

void TCCalendar::SetStartOfWeek(int day) {
  if (day < 0 || day > 7) return;
  start_of_week_ = day;
  update();
}

void TCCalendar::MoveMonths(int months) {
  const QDate first = QDate(Year(), Month(), 1).addMonths(months);
  SetDate(ClampedDate(first.year(), first.month(), Day()));
}

int TCCalendar::FirstWeekday() const {
  return start_of_week_ != 0 ? start_of_week_ : static_cast<int>(locale().firstDayOfWeek());
}

int TCCalendar::LeadingBlanks() const {
  return (QDate(Year(), Month(), 1).dayOfWeek() - FirstWeekday() + 7) % 7;
}

int TCCalendar::DayAtCell(int row, int column) const {
  if (row < 0 || row >= kRows || column < 0 || column >= kColumns) return 0;
  const int day = row * kColumns + column - LeadingBlanks() + 1;
  return day >= 1 && day <= date_.daysInMonth() ? day : 0;
}

QString TCCalendar::ColumnName(int column) const {
  const int weekday = (FirstWeekday() - 1 + column) % 7 + 1;
  return locale().dayName(weekday, QLocale::ShortFormat);
}

int TCCalendar::HeaderHeight() const {
  return fontMetrics().height() + 6;
}

QRect TCCalendar::CellRect(int row, int column) const {
  const int top = HeaderHeight();
  const int left = column * width() / kColumns;
  const int right = (column + 1) * width() / kColumns;
  const int y0 = top + row * (height() - top) / kRows;
  const int y1 = top + (row + 1) * (height() - top) / kRows;
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

void TCCalendar::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  for (int row = 0; row < kRows; ++row)
    for (int column = 0; column < kColumns; ++column)
      if (CellRect(row, column).contains(event->position().toPoint())) {
        if (const int day = DayAtCell(row, column); day != 0) SetDay(day);
        return;
      }
}

void TCCalendar::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Left:
      return SetDate(date_.addDays(-1));
    case Qt::Key_Right:
      return SetDate(date_.addDays(1));
    case Qt::Key_Up:
      return SetDate(date_.addDays(-7));
    case Qt::Key_Down:
      return SetDate(date_.addDays(7));
    case Qt::Key_PageUp:
      return MoveMonths(event->modifiers() & Qt::ControlModifier ? -12 : -1);
    case Qt::Key_PageDown:
      return MoveMonths(event->modifiers() & Qt::ControlModifier ? 12 : 1);
    case Qt::Key_Home:
      return SetDay(1);
    case Qt::Key_End:
      return SetDay(date_.daysInMonth());
    default:
      QWidget::keyPressEvent(event);
  }
}

void TCCalendar::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LocaleChange || event->type() == QEvent::FontChange) update();
  QWidget::changeEvent(event);
}

}  // namespace kelmora::widgets
