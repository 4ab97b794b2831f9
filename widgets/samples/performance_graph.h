// SPDX-License-Identifier: GPL-3.0-or-later
//
// TPerformanceGraph: a chart of the last values added, newest on the right,
// drawn as bars or as a line. Each new value pushes the oldest one out. The
// scale follows the largest value still on show, rounded up to a round
// number, unless a fixed maximum is set.
#pragma once

#include <QColor>
#include <QWidget>
#include <deque>
#include <vector>

namespace kelmora::widgets {

class TPerformanceGraph : public QWidget {
  Q_OBJECT
  Q_PROPERTY(TGraphKind Kind READ Kind WRITE SetKind)
  Q_PROPERTY(int Capacity READ Capacity WRITE SetCapacity)
  Q_PROPERTY(double FixedMaximum READ FixedMaximum WRITE SetFixedMaximum)
  Q_PROPERTY(QColor GraphColor READ GraphColor WRITE SetGraphColor)
  Q_PROPERTY(QColor BackgroundColor READ BackgroundColor WRITE SetBackgroundColor)
  Q_PROPERTY(QColor GridColor READ GridColor WRITE SetGridColor)
  Q_PROPERTY(bool ShowGrid READ ShowGrid WRITE SetShowGrid)
  Q_PROPERTY(int GridLines READ GridLines WRITE SetGridLines)

 public:
  enum TGraphKind { gkBars, gkLine };
  Q_ENUM(TGraphKind)

  explicit TPerformanceGraph(QWidget* Parent = nullptr);

  // Adds a value on the right. Values below zero count as zero; a value that
  // is not a finite number is dropped.
  void AddValue(double Value);
  void Clear();
  // The values on show, oldest first.
  std::vector<double> Values() const { return {values_.begin(), values_.end()}; }
  // The value drawn at the top edge.
  double Scale() const;

  TGraphKind Kind() const { return kind_; }
  void SetKind(TGraphKind Value);
  // How many values are on show; at least 2. Shrinking drops the oldest.
  int Capacity() const { return capacity_; }
  void SetCapacity(int Value);
  // 0 lets the scale follow the values; a positive maximum fixes it, and
  // larger values are cut off at the top.
  double FixedMaximum() const { return fixedMaximum_; }
  void SetFixedMaximum(double Maximum);
  QColor GraphColor() const { return graphColor_; }
  void SetGraphColor(const QColor& Colour);
  QColor BackgroundColor() const { return backgroundColor_; }
  void SetBackgroundColor(const QColor& Colour);
  QColor GridColor() const { return gridColor_; }
  void SetGridColor(const QColor& Colour);
  bool ShowGrid() const { return showGrid_; }
  void SetShowGrid(bool Show);
  // Horizontal lines between the bottom and the top; the vertical lines keep
  // the same spacing and scroll with the values.
  int GridLines() const { return gridLines_; }
  void SetGridLines(int Lines);

  QSize sizeHint() const override { return QSize(200, 80); }

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  void DrawGrid(QPainter& Painter) const;
  void DrawValues(QPainter& Painter) const;

  std::deque<double> values_;
  // Counts every value ever added, so the vertical grid lines move along
  // with the values instead of standing still.
  unsigned long long added_ = 0;
  TGraphKind kind_ = gkBars;
  int capacity_ = 50;
  double fixedMaximum_ = 0;
  QColor graphColor_{0, 255, 0};
  QColor backgroundColor_{0, 0, 0};
  QColor gridColor_{0, 128, 64};
  bool showGrid_ = true;
  int gridLines_ = 4;
};

}  // namespace kelmora::widgets
