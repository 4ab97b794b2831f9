// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/cgauge.h"

#include <QFont>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QString>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace kelmora::widgets {
namespace {

constexpr double kPi = 3.141592653589793;

// The lowest bound the minimum error names is one above INT_MIN, as callers
// have always been told.
constexpr int64_t kLowestNamedMin = -2147483647;
constexpr int64_t kHighestNamedMax = 2147483647;

std::string RangeMessage(int64_t Low, int64_t High) {
  return QString::asprintf("Value must be between %lld and %lld", static_cast<long long>(Low),
                           static_cast<long long>(High))
      .toStdString();
}

// Every picture is built in images of this format; the exclusive-or
// combination below works on whole pixel words.
QImage MakeImage(const QImage& Like) {
  QImage image(Like.size(), QImage::Format_RGB32);
  image.setDevicePixelRatio(Like.devicePixelRatio());
  return image;
}

void XorInto(QImage& Target, const QImage& Source) {
  QPainter painter(&Target);
  painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  painter.drawImage(0, 0, Source);
}

// Qt rectangles from right/bottom-exclusive coordinates.
QRect FillRect(int Left, int Top, int Right, int Bottom) {
  return QRect(Left, Top, Right - Left, Bottom - Top);
}

// The outline of an ellipse or pie with a one-pixel pen covers the pixels
// left..right-1 and top..bottom-1 of a right/bottom-exclusive box.
QRect OutlineRect(int Left, int Top, int Right, int Bottom) {
  return QRect(Left, Top, Right - Left - 1, Bottom - Top - 1);
}

// Angle (in 1/16 degree, counter-clockwise from three o'clock) at which the
// ray from the centre of the box through (x, y) meets the ellipse inscribed
// in the box. Qt measures arc angles on the ellipse's parametric circle, so
// the ray's slope is scaled by the axes first.
double RayAngle16(int Left, int Top, int Right, int Bottom, double X, double Y) {
  const double cx = (Left + Right) / 2.0;
  const double cy = (Top + Bottom) / 2.0;
  const double a = (Right - Left) / 2.0;
  const double b = (Bottom - Top) / 2.0;
  if (a <= 0 || b <= 0) return 0;
  return std::atan2((cy - Y) / b, (X - cx) / a) * 180.0 / kPi * 16.0;
}

// Draws the sector from the ray through (x1, y1) counter-clockwise to the
// ray through (x2, y2); coinciding rays give the whole ellipse.
void DrawPie(QPainter& Painter, int Left, int Top, int Right, int Bottom, double X1, double Y1,
             double X2, double Y2) {
  const double start = RayAngle16(Left, Top, Right, Bottom, X1, Y1);
  const double end = RayAngle16(Left, Top, Right, Bottom, X2, Y2);
  int span = static_cast<int>(std::lround(end - start)) % 5760;
  if (span <= 0) span += 5760;
  Painter.drawPie(OutlineRect(Left, Top, Right, Bottom), static_cast<int>(std::lround(start)),
                  span);
}

void SetPenAndBrush(QPainter& Painter, const QColor& Pen, const QColor& Brush) {
  Painter.setPen(QPen(Pen, 1));
  Painter.setBrush(Brush);
}

}  // namespace

TCGauge::TCGauge(QWidget* Parent) : QWidget(Parent) {
  // The gauge covers every pixel it owns, so nothing needs painting beneath
  // it and a repaint goes straight to the screen.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  resize(100, 100);
}

QColor TCGauge::Color() const {
  return palette().color(QPalette::Window);
}

void TCGauge::SetMinValue(int Value) {
  if (Value == minValue_) return;
  if (Value > maxValue_) {
    throw EGaugeError(RangeMessage(kLowestNamedMin, static_cast<int64_t>(maxValue_) - 1));
  }
  minValue_ = Value;
  if (progress_ < Value) progress_ = Value;
  RepaintNow();
}

void TCGauge::SetMaxValue(int Value) {
  // A maximum of 0 has always been ignored; stored forms rely on it.
  if (Value == 0) return;
  if (Value < minValue_) {
    throw EGaugeError(RangeMessage(static_cast<int64_t>(minValue_) + 1, kHighestNamedMax));
  }
  maxValue_ = Value;
  if (progress_ > Value) progress_ = Value;
  RepaintNow();
}

void TCGauge::SetProgress(int Value) {
  const int shown = GetPercentDone();
  if (Value < minValue_) {
    Value = minValue_;
  } else if (Value > maxValue_) {
    Value = maxValue_;
  }
  if (Value == progress_) return;
  progress_ = Value;
  if (GetPercentDone() != shown) RepaintNow();
}

void TCGauge::AddProgress(int Delta) {
  const int64_t target = static_cast<int64_t>(progress_) + Delta;
  // Saturate so a huge delta clamps like any other out-of-range value.
  SetProgress(static_cast<int>(std::clamp<int64_t>(target, INT_MIN, INT_MAX)));
  RepaintNow();
}

void TCGauge::SetKind(TCGaugeKind Value) {
  if (Value == kind_) return;
  kind_ = Value;
  RepaintNow();
}

void TCGauge::SetShowText(bool Show) {
  if (Show == showText_) return;
  showText_ = Show;
  RepaintNow();
}

void TCGauge::SetBorderStyle(TFormBorderStyle Style) {
  if (Style == borderStyle_) return;
  borderStyle_ = Style;
  RepaintNow();
}

void TCGauge::SetForeColor(const QColor& Value) {
  if (Value == foreColor_) return;
  foreColor_ = Value;
  RepaintNow();
}

void TCGauge::SetBackColor(const QColor& Value) {
  if (Value == backColor_) return;
  backColor_ = Value;
  RepaintNow();
}

void TCGauge::SetColor(const QColor& Value) {
  if (Value == Color()) return;
  QPalette own = palette();
  own.setColor(QPalette::Window, Value);
  setPalette(own);
  RepaintNow();
}

int TCGauge::GetPercentDone() const {
  const int64_t range = static_cast<int64_t>(maxValue_) - minValue_;
  if (range == 0) return 0;
  // Both operands are non-negative, so integer division is the floor.
  return static_cast<int>((static_cast<int64_t>(progress_) - minValue_) * 100 / range);
}

void TCGauge::RepaintNow() {
  ++paintCount_;
  // repaint() draws before returning, so the gauge moves on screen even while
  // a long operation keeps the event loop from running.
  repaint();
}

void TCGauge::paintEvent(QPaintEvent* /*event*/) {
  // Drawn at the screen's own resolution: a picture drawn at layout size
  // would be stretched, and blurred, on a scaled display.
  const QImage picture = Render(devicePixelRatioF());
  QPainter painter(this);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(0, 0, picture);
}

QImage TCGauge::Render(qreal DevicePixelRatio) const {
  const qreal ratio = DevicePixelRatio > 0 ? DevicePixelRatio : 1.0;
  // Painters on the image work in layout pixels; the image holds device ones.
  QImage image(static_cast<int>(std::ceil(qMax(width(), 0) * ratio)),
               static_cast<int>(std::ceil(qMax(height(), 0) * ratio)), QImage::Format_RGB32);
  if (image.isNull()) return image;
  image.setDevicePixelRatio(ratio);
  PaintBackground(image);

  Box r{0, 0, width(), height()};
  if (borderStyle_ == bsSingle) r = Box{1, 1, width() - 1, height() - 1};

  QImage overlay = MakeImage(image);
  PaintBackground(overlay);
  switch (kind_) {
    case gkText:
      PaintAsNothing(overlay, r);
      break;
    case gkHorizontalBar:
    case gkVerticalBar:
      PaintAsBar(overlay, r);
      break;
    case gkPie:
      PaintAsPie(overlay, r);
      break;
    case gkNeedle:
      PaintAsNeedle(overlay, r);
      break;
  }
  // The main image is black, so this leaves the overlay inside and the black
  // frame outside the paint rectangle.
  XorInto(image, overlay);
  if (showText_) PaintAsText(image, r);
  return image;
}

void TCGauge::PaintBackground(QImage& Image) const {
  Image.fill(Qt::black);
}

void TCGauge::PaintAsText(QImage& Image, const Box& R) const {
  QImage textImage = MakeImage(Image);
  textImage.fill(Qt::black);
  const QString text = QString::asprintf("%i", GetPercentDone()) + QLatin1Char('%');

  // Smoothed glyph edges would turn the exclusive-or into stray colours;
  // solid glyphs invert exactly what lies beneath them.
  QFont textFont = font();
  textFont.setStyleStrategy(QFont::NoAntialias);
  const QFontMetrics metrics(textFont);
  const int x = (R.right - R.left + 1 - metrics.horizontalAdvance(text)) / 2;
  const int y = (R.bottom - R.top + 1 - metrics.height()) / 2;

  {
    QPainter painter(&textImage);
    painter.setFont(textFont);
    painter.setPen(Qt::white);
    painter.setBrush(Qt::NoBrush);
    painter.setClipRect(FillRect(R.left, R.top, R.right, R.bottom));
    painter.drawText(x, y + metrics.ascent(), text);
  }
  XorInto(Image, textImage);
}

void TCGauge::PaintAsNothing(QImage& Image, const Box& R) const {
  QPainter painter(&Image);
  painter.fillRect(FillRect(R.left, R.top, R.right, R.bottom), backColor_);
}

void TCGauge::PaintAsBar(QImage& Image, const Box& R) const {
  const int w = R.right - R.left + 1;
  const int h = R.bottom - R.top + 1;
  const int percent = GetPercentDone();
  QPainter painter(&Image);
  painter.fillRect(FillRect(R.left, R.top, R.right, R.bottom), backColor_);
  if (kind_ == gkHorizontalBar) {
    int filled = percent * w / 100;
    if (filled > w) filled = w;
    // The right edge is the filled width itself: with the one-pixel frame the
    // bar then ends exactly at the paint rectangle's right edge at 100 %.
    if (filled > 0) painter.fillRect(FillRect(R.left, R.top, filled, h), foreColor_);
  } else {
    int filled = percent * h / 100;
    if (filled >= h) filled = h - 1;
    painter.fillRect(FillRect(R.left, h - filled, w, h), foreColor_);
  }
}

QSize TCGauge::PrepareDial(QPainter& Painter, const Box& R) const {
  // With a frame the dial's box reaches one pixel past the paint rectangle.
  const int grow = borderStyle_ == bsSingle ? 1 : 0;
  Painter.fillRect(FillRect(R.left, R.top, R.right, R.bottom), Color());
  SetPenAndBrush(Painter, foreColor_, backColor_);
  return QSize(R.right - R.left + grow, R.bottom - R.top + grow);
}

void TCGauge::PaintAsPie(QImage& Image, const Box& R) const {
  QPainter painter(&Image);
  const QSize dial = PrepareDial(painter, R);
  const int w = dial.width();
  const int h = dial.height();
  painter.drawEllipse(OutlineRect(R.left, R.top, w, h));

  const int percent = GetPercentDone();
  if (percent <= 0) return;
  painter.setBrush(foreColor_);
  if (percent >= 100) {
    // Rounding in the start ray would otherwise leave a one-degree notch.
    painter.drawEllipse(OutlineRect(R.left, R.top, w, h));
    return;
  }
  const double mx = w / 2;
  const double my = h / 2;
  const double angle = (percent * 0.02 + 0.5) * kPi;
  DrawPie(painter, R.left, R.top, w, h, std::floor((1 - std::cos(angle)) * mx),
          std::floor((1 - std::sin(angle)) * my), mx, 0);
}

void TCGauge::PaintAsNeedle(QImage& Image, const Box& R) const {
  const int x = R.left;
  const int y = R.top;
  QPainter painter(&Image);
  const QSize dial = PrepareDial(painter, R);
  const int w = dial.width();
  const int h = dial.height();
  // The upper half of an ellipse centred on the bottom edge: the dial.
  DrawPie(painter, x, y, w, 2 * h - 1, x + w, R.bottom - 1, x, R.bottom - 1);
  painter.drawLine(x, R.bottom, x + w - 1, R.bottom);

  const int percent = GetPercentDone();
  if (percent <= 0) return;
  const int halfWidth = width() / 2;
  const double angle = percent * 0.01 * kPi;
  const QPoint pivot(halfWidth, R.bottom - 1);
  const QPoint tip(static_cast<int>(std::floor((1 - std::cos(angle)) * halfWidth)),
                   static_cast<int>(std::floor((1 - std::sin(angle)) * (R.bottom - 1))));
  painter.drawLine(pivot, tip);
}

}  // namespace kelmora::widgets
