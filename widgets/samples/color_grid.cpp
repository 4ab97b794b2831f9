// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/color_grid.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <array>

namespace kelmora::widgets {

namespace {

constexpr int kRows = TCColorGrid::kColours / TCColorGrid::kColumns;

// The sixteen colours of the classic desktop palette.
constexpr std::array<QRgb, TCColorGrid::kColours> kPalette = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0x808080,
    0xC0C0C0, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};

// Moves an index one cell in the direction of an arrow key, staying inside
// the grid; -1 for any other key.
int Neighbour(int Index, int Key) {
  const int row = Index / TCColorGrid::kColumns;
  const int column = Index % TCColorGrid::kColumns;
  switch (Key) {
    case Qt::Key_Left:
      return column > 0 ? Index - 1 : Index;
    case Qt::Key_Right:
      return column < TCColorGrid::kColumns - 1 ? Index + 1 : Index;
    case Qt::Key_Up:
      return row > 0 ? Index - TCColorGrid::kColumns : Index;
    case Qt::Key_Down:
      return row < kRows - 1 ? Index + TCColorGrid::kColumns : Index;
    default:
      return -1;
  }
}

}  // namespace

TCColorGrid::TCColorGrid(QWidget* Parent) : QWidget(Parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor TCColorGrid::StandardColor(int Index) {
  if (Index < 0 || Index >= kColours) return {};
  return QColor(kPalette[static_cast<size_t>(Index)]);
}

void TCColorGrid::SetForegroundIndex(int Index) {
  if (Index < 0 || Index >= kColours || Index == foreground_) return;
  foreground_ = Index;
  update();
  emit ForegroundChanged(Index);
}

void TCColorGrid::SetBackgroundIndex(int Index) {
  if (Index < 0 || Index >= kColours || Index == background_) return;
  background_ = Index;
  update();
  emit BackgroundChanged(Index);
}

QRect TCColorGrid::CellRect(int Index) const {
  const int row = Index / kColumns;
  const int column = Index % kColumns;
  const int left = column * width() / kColumns;
  const int top = row * height() / kRows;
  return QRect(left, top, (column + 1) * width() / kColumns - left,
               (row + 1) * height() / kRows - top);
}

QSize TCColorGrid::sizeHint() const {
  const int cell = fontMetrics().horizontalAdvance(QStringLiteral("FGBG")) + 8;
  return QSize(cell * kColumns, cell * kRows);
}

void TCColorGrid::DrawMarker(QPainter& Painter, int Index, const QString& Text,
                             Qt::Alignment Where) const {
  const QRect cell = CellRect(Index).adjusted(3, 3, -3, -3);
  // Black or white text, whichever stands out on the cell's colour.
  const QColor colour = StandardColor(Index);
  Painter.setPen(qGray(colour.rgb()) > 128 ? Qt::black : Qt::white);
  Painter.drawText(cell, Where, Text);
}

void TCColorGrid::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  for (int index = 0; index < kColours; ++index) {
    const QRect cell = CellRect(index).adjusted(1, 1, -1, -1);
    painter.fillRect(cell, StandardColor(index));
    painter.setPen(palette().mid().color());
    painter.drawRect(cell.adjusted(0, 0, -1, -1));
  }
  DrawMarker(painter, foreground_, QStringLiteral("FG"), Qt::AlignLeft | Qt::AlignTop);
  DrawMarker(painter, background_, QStringLiteral("BG"), Qt::AlignRight | Qt::AlignBottom);
  if (hasFocus()) {
    painter.setPen(QPen(palette().highlight().color(), 2));
    painter.drawRect(CellRect(foreground_).adjusted(1, 1, -1, -1));
  }
}

void TCColorGrid::mousePressEvent(QMouseEvent* Event) {
  for (int index = 0; index < kColours; ++index) {
    if (!CellRect(index).contains(Event->position().toPoint())) continue;
    if (Event->button() == Qt::LeftButton) SetForegroundIndex(index);
    if (Event->button() == Qt::RightButton) SetBackgroundIndex(index);
    return;
  }
}

void TCColorGrid::keyPressEvent(QKeyEvent* Event) {
  const bool background = Event->modifiers() & Qt::ControlModifier;
  const int moved = Neighbour(background ? background_ : foreground_, Event->key());
  if (moved < 0) return QWidget::keyPressEvent(Event);
  if (background)
    SetBackgroundIndex(moved);
  else
    SetForegroundIndex(moved);
}

}  // namespace kelmora::widgets
