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
  explicit EGaugeError(const std::string& message) : std::runtime_error(message) {}
};

class TCGauge : public QWidget {
  Q_OBJECT

 public:
  explicit TCGauge(QWidget* parent = nullptr);

  int MinValue() const { return min_value_; }
  int MaxValue() const { return max_value_; }
  int Progress() const { return progress_; }
  TCGaugeKind Kind() const { return kind_; }
  bool ShowText() const { return show_text_; }
  TFormBorderStyle BorderStyle() const { return border_style_; }
  QColor ForeColor() const { return fore_color_; }
  QColor BackColor() const { return back_color_; }
  // Background around a pie or a needle dial; the parent's colour unless set.
  QColor Color() const;

  // Throws EGaugeError when the value lies above MaxValue.
  void SetMinValue(int value);
  // 0 is ignored; throws EGaugeError when the value lies below MinValue.
  void SetMaxValue(int value);
  // Clamps to [MinValue, MaxValue]; repaints only when the whole percentage changes.
  void SetProgress(int value);
  // Moves Progress by delta and always repaints.
  void AddProgress(int delta);
  void SetKind(TCGaugeKind kind);
  void SetShowText(bool show);
  void SetBorderStyle(TFormBorderStyle style);
  void SetForeColor(const QColor& color);
  void SetBackColor(const QColor& color);
  void SetColor(const QColor& color);

  // Whole percentage of Progress between the limits, 0 to 100.
  int GetPercentDone() const;

  // The complete picture of the gauge at its current size, exactly as the
  // screen receives it at DevicePixelRatio device pixels per pixel of the
  // layout (the image carries that ratio).
  QImage Render(qreal devicePixelRatio = 1.0) const;
  // Number of repaints the setters have asked for since creation.
  int PaintCount() const { return paint_count_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Win32-style rectangle: right and bottom are exclusive.
  struct Box {
    int left, top, right, bottom;
  };

  void RepaintNow();
  void PaintBackground(QImage& image) const;
  void PaintAsText(QImage& image, const Box& r) const;
  void PaintAsNothing(QImage& image, const Box& r) const;
  void PaintAsBar(QImage& image, const Box& r) const;
  // Fills R with Color, sets the dial's pen and brush, and returns the size
  // of the box the pie and the needle's dial are drawn in.
  QSize PrepareDial(QPainter& painter, const Box& r) const;
  void PaintAsPie(QImage& image, const Box& r) const;
  void PaintAsNeedle(QImage& image, const Box& r) const;

  int min_value_ = 0;
  int max_value_ = 100;
  int progress_ = 0;
  TCGaugeKind kind_ = gkHorizontalBar;
  bool show_text_ = true;
  TFormBorderStyle border_style_ = bsSingle;
  QColor fore_color_{0, 0, 0};
  QColor back_color_{255, 255, 255};
  int paint_count_ = 0;
};

}  // namespace kelmora::widgets
