// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/performance_graph.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace kelmora::widgets {

namespace {

// The smallest of 1, 2 or 5 times a power of ten that is not below a value,
// so the grid lines fall on readable numbers.
double RoundUp(double Value) {
  if (Value <= 0) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(Value)));
  for (const double step : {1.0, 2.0, 5.0, 10.0})
    if (step * power >= Value) return step * power;
  return 10 * power;
}

}  // namespace

TPerformanceGraph::TPerformanceGraph(QWidget* Parent) : QWidget(Parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPerformanceGraph::AddValue(double Value) {
  if (!std::isfinite(Value)) return;
  values_.push_back(std::max(Value, 0.0));
  while (values_.size() > static_cast<size_t>(capacity_)) values_.pop_front();
  ++added_;
  update();
}

void TPerformanceGraph::Clear() {
  values_.clear();
  update();
}

double TPerformanceGraph::Scale() const {
  if (fixedMaximum_ > 0) return fixedMaximum_;
  const auto largest = std::max_element(values_.begin(), values_.end());
  return RoundUp(largest == values_.end() ? 0 : *largest);
}

void TPerformanceGraph::SetKind(TGraphKind Value) {
  kind_ = Value;
  update();
}

void TPerformanceGraph::SetCapacity(int Value) {
  capacity_ = std::max(Value, 2);
  while (values_.size() > static_cast<size_t>(capacity_)) values_.pop_front();
  update();
}

void TPerformanceGraph::SetFixedMaximum(double Maximum) {
  fixedMaximum_ = std::isfinite(Maximum) && Maximum > 0 ? Maximum : 0;
  update();
}

void TPerformanceGraph::SetGraphColor(const QColor& Colour) {
  graphColor_ = Colour;
  update();
}

void TPerformanceGraph::SetBackgroundColor(const QColor& Colour) {
  backgroundColor_ = Colour;
  update();
}

void TPerformanceGraph::SetGridColor(const QColor& Colour) {
  gridColor_ = Colour;
  update();
}

void TPerformanceGraph::SetShowGrid(bool Show) {
  showGrid_ = Show;
  update();
}

void TPerformanceGraph::SetGridLines(int Lines) {
  gridLines_ = std::clamp(Lines, 1, 20);
  update();
}

void TPerformanceGraph::DrawGrid(QPainter& Painter) const {
  Painter.setPen(gridColor_);
  const double spacing = static_cast<double>(height()) / (gridLines_ + 1);
  for (int line = 1; line <= gridLines_; ++line) {
    const int y = static_cast<int>(std::lround(line * spacing));
    Painter.drawLine(0, y, width(), y);
  }
  // One slot per value; the lines sit every few slots and scroll left as
  // values are added.
  const double slot = static_cast<double>(width()) / capacity_;
  const int every = std::max(1, static_cast<int>(std::lround(spacing / slot)));
  const int shift = static_cast<int>(added_ % static_cast<unsigned>(every));
  for (int index = every - shift; index <= capacity_; index += every) {
    const int x = static_cast<int>(std::lround(width() - index * slot));
    Painter.drawLine(x, 0, x, height());
  }
}

void TPerformanceGraph::DrawValues(QPainter& Painter) const {
  if (values_.empty()) return;
  const double scale = Scale();
  const double slot = static_cast<double>(width()) / capacity_;
  const auto topOf = [&](double Value) {
    return height() - std::min(Value / scale, 1.0) * (height() - 1);
  };
  // The newest value takes the rightmost slot.
  const double firstLeft = width() - static_cast<double>(values_.size()) * slot;
  if (kind_ == gkBars) {
    for (size_t i = 0; i < values_.size(); ++i) {
      const double left = firstLeft + i * slot;
      const double top = topOf(values_[i]);
      Painter.fillRect(QRectF(left, top, std::max(slot - 1, 1.0), height() - top), graphColor_);
    }
    return;
  }
  QPainterPath path;
  for (size_t i = 0; i < values_.size(); ++i) {
    const QPointF point(firstLeft + (i + 0.5) * slot, topOf(values_[i]));
    if (i == 0)
      path.moveTo(point);
    else
      path.lineTo(point);
  }
  Painter.setRenderHint(QPainter::Antialiasing);
  Painter.setPen(QPen(graphColor_, 1.5));
  Painter.drawPath(path);
}

void TPerformanceGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), backgroundColor_);
  if (showGrid_) DrawGrid(painter);
  DrawValues(painter);
}

}  // namespace kelmora::widgets
