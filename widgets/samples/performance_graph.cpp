#include "widgets/samples/performance_graph.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace kelmora::widgets {

namespace {

// The smallest of 1, 2 or 5 times a power of ten that is not below a value,
// so the grid lines fall on readable numbers.
double RoundUp(double value) {
  if (value <= 0) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (const double step : {1.0, 2.0, 5.0, 10.0})
    if (step * power >= value) return step * power;
  return 10 * power;
}

}  // namespace

TPerformanceGraph::TPerformanceGraph(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPerformanceGraph::AddValue(double value) {
  if (!std::isfinite(value)) return;
  values_.push_back(std::max(value, 0.0));
  while (values_.size() > static_cast<size_t>(capacity_)) values_.pop_front();
  ++added_;
  update();
}

void TPerformanceGraph::Clear() {
  values_.clear();
  update();
}

double TPerformanceGraph::Scale() const {
  if (fixed_maximum_ > 0) return fixed_maximum_;
  const auto largest = std::max_element(values_.begin(), values_.end());
  return RoundUp(largest == values_.end() ? 0 : *largest);
}

void TPerformanceGraph::SetKind(TGraphKind kind) {
  kind_ = kind;
  update();
}

void TPerformanceGraph::SetCapacity(int capacity) {
  capacity_ = std::max(capacity, 2);
  while (values_.size() > static_cast<size_t>(capacity_)) values_.pop_front();
  update();
}

void TPerformanceGraph::SetFixedMaximum(double maximum) {
  fixed_maximum_ = std::isfinite(maximum) && maximum > 0 ? maximum : 0;
  update();
}

void TPerformanceGraph::SetGraphColor(const QColor& colour) {
  graph_color_ = colour;
  update();
}

void TPerformanceGraph::SetBackgroundColor(const QColor& colour) {
  background_color_ = colour;
  update();
}

void TPerformanceGraph::SetGridColor(const QColor& colour) {
  grid_color_ = colour;
  update();
}

void TPerformanceGraph::SetShowGrid(bool show) {
  show_grid_ = show;
  update();
}

void TPerformanceGraph::SetGridLines(int lines) {
  grid_lines_ = std::clamp(lines, 1, 20);
  update();
}

void TPerformanceGraph::DrawGrid(QPainter& painter) const {
  painter.setPen(grid_color_);
  const double spacing = static_cast<double>(height()) / (grid_lines_ + 1);
  for (int line = 1; line <= grid_lines_; ++line) {
    const int y = static_cast<int>(std::lround(line * spacing));
    painter.drawLine(0, y, width(), y);
  }
  // One slot per value; the lines sit every few slots and scroll left as
  // values are added.
  const double slot = static_cast<double>(width()) / capacity_;
  const int every = std::max(1, static_cast<int>(std::lround(spacing / slot)));
  const int shift = static_cast<int>(added_ % static_cast<unsigned>(every));
  for (int index = every - shift; index <= capacity_; index += every) {
    const int x = static_cast<int>(std::lround(width() - index * slot));
    painter.drawLine(x, 0, x, height());
  }
}

void TPerformanceGraph::DrawValues(QPainter& painter) const {
  if (values_.empty()) return;
  const double scale = Scale();
  const double slot = static_cast<double>(width()) / capacity_;
  const auto top_of = [&](double value) {
    return height() - std::min(value / scale, 1.0) * (height() - 1);
  };
  // The newest value takes the rightmost slot.
  const double first_left = width() - static_cast<double>(values_.size()) * slot;
  if (kind_ == gkBars) {
    for (size_t i = 0; i < values_.size(); ++i) {
      const double left = first_left + i * slot;
      const double top = top_of(values_[i]);
      painter.fillRect(QRectF(left, top, std::max(slot - 1, 1.0), height() - top), graph_color_);
    }
    return;
  }
  QPainterPath path;
  for (size_t i = 0; i < values_.size(); ++i) {
    const QPointF point(first_left + (i + 0.5) * slot, top_of(values_[i]));
    if (i == 0)
      path.moveTo(point);
    else
      path.lineTo(point);
  }
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(graph_color_, 1.5));
  painter.drawPath(path);
}

void TPerformanceGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), background_color_);
  if (show_grid_) DrawGrid(painter);
  DrawValues(painter);
}

}  // namespace kelmora::widgets
