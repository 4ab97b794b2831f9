// SPDX-License-Identifier: GPL-3.0-or-later
//
// TCGauge: a progress gauge drawn off screen and copied to the screen in one
// step, so it never flickers. It repaints only when the shown whole
// percentage changes, which keeps it cheap to feed from a busy loop.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QSize>
#include <QWidget>
#include <stdexcept>
#include <string>

namespace kelmora::widgets {

enum TCGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };

// Raised when a caller gives the gauge inconsistent limits.
class EGaugeError : public std::runtime_error {
 public:
  explicit EGaugeError(const std::string& Message) : std::runtime_error(Message) {}
};

class TCGauge : public QWidget {
  Q_OBJECT

 public:
  explicit TCGauge(QWidget* Parent = nullptr);

  int MinValue() const { return minValue_; }
  int MaxValue() const { return maxValue_; }
  int Progress() const { return progress_; }
  TCGaugeKind Kind() const { return kind_; }
  bool ShowText() const { return showText_; }
  TFormBorderStyle BorderStyle() const { return borderStyle_; }
  QColor ForeColor() const { return foreColor_; }
  QColor BackColor() const { return backColor_; }
  // Background around a pie or a needle dial; the parent's colour unless set.
  QColor Color() const;

  // Throws EGaugeError when the value lies above MaxValue.
  void SetMinValue(int Value);
  // 0 is ignored; throws EGaugeError when the value lies below MinValue.
  void SetMaxValue(int Value);
  // Clamps to [MinValue, MaxValue]; repaints only when the whole percentage changes.
  void SetProgress(int Value);
  // Moves Progress by Delta and always repaints.
  void AddProgress(int Delta);
  void SetKind(TCGaugeKind Value);
  void SetShowText(bool Show);
  void SetBorderStyle(TFormBorderStyle Style);
  void SetForeColor(const QColor& Value);
  void SetBackColor(const QColor& Value);
  void SetColor(const QColor& Value);

  // Whole percentage of Progress between the limits, 0 to 100.
  int GetPercentDone() const;

  // The complete picture of the gauge at its current size, exactly as the
  // screen receives it at DevicePixelRatio device pixels per pixel of the
  // layout (the image carries that ratio).
  QImage Render(qreal DevicePixelRatio = 1.0) const;
  // Number of repaints the setters have asked for since creation.
  int PaintCount() const { return paintCount_; }

 protected:
  void paintEvent(QPaintEvent* Event) override;

 private:
  // Win32-style rectangle: right and bottom are exclusive.
  struct Box {
    int left, top, right, bottom;
  };

  void RepaintNow();
  void PaintBackground(QImage& Image) const;
  void PaintAsText(QImage& Image, const Box& R) const;
  void PaintAsNothing(QImage& Image, const Box& R) const;
  void PaintAsBar(QImage& Image, const Box& R) const;
  // Fills R with Color, sets the dial's pen and brush, and returns the size
  // of the box the pie and the needle's dial are drawn in.
  QSize PrepareDial(QPainter& Painter, const Box& R) const;
  void PaintAsPie(QImage& Image, const Box& R) const;
  void PaintAsNeedle(QImage& Image, const Box& R) const;

  int minValue_ = 0;
  int maxValue_ = 100;
  int progress_ = 0;
  TCGaugeKind kind_ = gkHorizontalBar;
  bool showText_ = true;
  TFormBorderStyle borderStyle_ = bsSingle;
  QColor foreColor_{0, 0, 0};
  QColor backColor_{255, 255, 255};
  int paintCount_ = 0;
};

}  // namespace kelmora::widgets
