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
int Neighbour(int index, int key) {
  const int row = index / TCColorGrid::kColumns;
  const int column = index % TCColorGrid::kColumns;
  switch (key) {
    case Qt::Key_Left:
      return column > 0 ? index - 1 : index;
    case Qt::Key_Right:
      return column < TCColorGrid::kColumns - 1 ? index + 1 : index;
    case Qt::Key_Up:
      return row > 0 ? index - TCColorGrid::kColumns : index;
    case Qt::Key_Down:
      return row < kRows - 1 ? index + TCColorGrid::kColumns : index;
    default:
      return -1;
  }
}

}  // namespace

TCColorGrid::TCColorGrid(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor TCColorGrid::StandardColor(int index) {
  if (index < 0 || index >= kColours) return {};
  return QColor(kPalette[static_cast<size_t>(index)]);
}

void TCColorGrid::SetForegroundIndex(int index) {
  if (index < 0 || index >= kColours || index == foreground_) return;
  foreground_ = index;
  update();
  emit ForegroundChanged(index);
}

void TCColorGrid::SetBackgroundIndex(int index) {
  if (index < 0 || index >= kColours || index == background_) return;
  background_ = index;
  update();
  emit BackgroundChanged(index);
}

QRect TCColorGrid::CellRect(int index) const {
  const int row = index / kColumns;
  const int column = index % kColumns;
  const int left = column * width() / kColumns;
  const int top = row * height() / kRows;
  return QRect(left, top, (column + 1) * width() / kColumns - left,
               (row + 1) * height() / kRows - top);
}

QSize TCColorGrid::sizeHint() const {
  const int cell = fontMetrics().horizontalAdvance(QStringLiteral("FGBG")) + 8;
  return QSize(cell * kColumns, cell * kRows);
}

void TCColorGrid::DrawMarker(QPainter& painter, int index, const QString& text,
                             Qt::Alignment where) const {
  const QRect cell = CellRect(index).adjusted(3, 3, -3, -3);
  // Black or white text, whichever stands out on the cell's colour.
  const QColor colour = StandardColor(index);
  painter.setPen(qGray(colour.rgb()) > 128 ? Qt::black : Qt::white);
  painter.drawText(cell, where, text);
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

void TCColorGrid::mousePressEvent(QMouseEvent* event) {
  for (int index = 0; index < kColours; ++index) {
    if (!CellRect(index).contains(event->position().toPoint())) continue;
    if (event->button() == Qt::LeftButton) SetForegroundIndex(index);
    if (event->button() == Qt::RightButton) SetBackgroundIndex(index);
    return;
  }
}

void TCColorGrid::keyPressEvent(QKeyEvent* event) {
  const bool background = event->modifiers() & Qt::ControlModifier;
  const int moved = Neighbour(background ? background_ : foreground_, event->key());
  if (moved < 0) return QWidget::keyPressEvent(event);
  if (background)
    SetBackgroundIndex(moved);
  else
    SetForegroundIndex(moved);
}

}  // namespace kelmora::widgets
