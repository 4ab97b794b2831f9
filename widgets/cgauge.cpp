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

std::string RangeMessage(int64_t low, int64_t high) {
  return QString::asprintf("Value must be between %lld and %lld", static_cast<long long>(low),
                           static_cast<long long>(high))
      .toStdString();
}

// Every picture is built in images of this format; the exclusive-or
// combination below works on whole pixel words.
QImage MakeImage(const QImage& like) {
  QImage image(like.size(), QImage::Format_RGB32);
  image.setDevicePixelRatio(like.devicePixelRatio());
  return image;
}

void XorInto(QImage& target, const QImage& source) {
  QPainter painter(&target);
  painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  painter.drawImage(0, 0, source);
}

// Qt rectangles from right/bottom-exclusive coordinates.
QRect FillRect(int left, int top, int right, int bottom) {
  return QRect(left, top, right - left, bottom - top);
}

// The outline of an ellipse or pie with a one-pixel pen covers the pixels
// left..right-1 and top..bottom-1 of a right/bottom-exclusive box.
QRect OutlineRect(int left, int top, int right, int bottom) {
  return QRect(left, top, right - left - 1, bottom - top - 1);
}

// Angle (in 1/16 degree, counter-clockwise from three o'clock) at which the
// ray from the centre of the box through (x, y) meets the ellipse inscribed
// in the box. Qt measures arc angles on the ellipse's parametric circle, so
// the ray's slope is scaled by the axes first.
double RayAngle16(int left, int top, int right, int bottom, double x, double y) {
  const double cx = (left + right) / 2.0;
  const double cy = (top + bottom) / 2.0;
  const double a = (right - left) / 2.0;
  const double b = (bottom - top) / 2.0;
  if (a <= 0 || b <= 0) return 0;
  return std::atan2((cy - y) / b, (x - cx) / a) * 180.0 / kPi * 16.0;
}

// Draws the sector from the ray through (x1, y1) counter-clockwise to the
// ray through (x2, y2); coinciding rays give the whole ellipse.
void DrawPie(QPainter& painter, int left, int top, int right, int bottom, double x1, double y1,
             double x2, double y2) {
  const double start = RayAngle16(left, top, right, bottom, x1, y1);
  const double end = RayAngle16(left, top, right, bottom, x2, y2);
  int span = static_cast<int>(std::lround(end - start)) % 5760;
  if (span <= 0) span += 5760;
  painter.drawPie(OutlineRect(left, top, right, bottom), static_cast<int>(std::lround(start)),
                  span);
}

void SetPenAndBrush(QPainter& painter, const QColor& pen, const QColor& brush) {
  painter.setPen(QPen(pen, 1));
  painter.setBrush(brush);
}

}  // namespace

TCGauge::TCGauge(QWidget* parent) : QWidget(parent) {
  // The gauge covers every pixel it owns, so nothing needs painting beneath
  // it and a repaint goes straight to the screen.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  resize(100, 100);
}

QColor TCGauge::Color() const {
  return palette().color(QPalette::Window);
}

void TCGauge::SetMinValue(int value) {
  if (value == min_value_) return;
  if (value > max_value_) {
    throw EGaugeError(RangeMessage(kLowestNamedMin, static_cast<int64_t>(max_value_) - 1));
  }
  min_value_ = value;
  if (progress_ < value) progress_ = value;
  RepaintNow();
}

void TCGauge::SetMaxValue(int value) {
  // A maximum of 0 has always been ignored; stored forms rely on it.
  if (value == 0) return;
  if (value < min_value_) {
    throw EGaugeError(RangeMessage(static_cast<int64_t>(min_value_) + 1, kHighestNamedMax));
  }
  max_value_ = value;
  if (progress_ > value) progress_ = value;
  RepaintNow();
}

void TCGauge::SetProgress(int value) {
  const int shown = GetPercentDone();
  if (value < min_value_) {
    value = min_value_;
  } else if (value > max_value_) {
    value = max_value_;
  }
  if (value == progress_) return;
  progress_ = value;
  if (GetPercentDone() != shown) RepaintNow();
}

void TCGauge::AddProgress(int delta) {
  const int64_t target = static_cast<int64_t>(progress_) + delta;
  // Saturate so a huge delta clamps like any other out-of-range value.
  SetProgress(static_cast<int>(std::clamp<int64_t>(target, INT_MIN, INT_MAX)));
  RepaintNow();
}

void TCGauge::SetKind(TCGaugeKind kind) {
  if (kind == kind_) return;
  kind_ = kind;
  RepaintNow();
}

void TCGauge::SetShowText(bool show) {
  if (show == show_text_) return;
  show_text_ = show;
  RepaintNow();
}

void TCGauge::SetBorderStyle(TFormBorderStyle style) {
  if (style == border_style_) return;
  border_style_ = style;
  RepaintNow();
}

void TCGauge::SetForeColor(const QColor& color) {
  if (color == fore_color_) return;
  fore_color_ = color;
  RepaintNow();
}

void TCGauge::SetBackColor(const QColor& color) {
  if (color == back_color_) return;
  back_color_ = color;
  RepaintNow();
}

void TCGauge::SetColor(const QColor& color) {
  if (color == Color()) return;
  QPalette own = palette();
  own.setColor(QPalette::Window, color);
  setPalette(own);
  RepaintNow();
}

int TCGauge::GetPercentDone() const {
  const int64_t range = static_cast<int64_t>(max_value_) - min_value_;
  if (range == 0) return 0;
  // Both operands are non-negative, so integer division is the floor.
  return static_cast<int>((static_cast<int64_t>(progress_) - min_value_) * 100 / range);
}

void TCGauge::RepaintNow() {
  ++paint_count_;
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

QImage TCGauge::Render(qreal devicePixelRatio) const {
  const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
  // Painters on the image work in layout pixels; the image holds device ones.
  QImage image(static_cast<int>(std::ceil(qMax(width(), 0) * ratio)),
               static_cast<int>(std::ceil(qMax(height(), 0) * ratio)), QImage::Format_RGB32);
  if (image.isNull()) return image;
  image.setDevicePixelRatio(ratio);
  PaintBackground(image);

  Box r{0, 0, width(), height()};
  if (border_style_ == bsSingle) r = Box{1, 1, width() - 1, height() - 1};

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
  if (show_text_) PaintAsText(image, r);
  return image;
}

void TCGauge::PaintBackground(QImage& image) const {
  image.fill(Qt::black);
}

void TCGauge::PaintAsText(QImage& image, const Box& r) const {
  QImage text_image = MakeImage(image);
  text_image.fill(Qt::black);
  const QString text = QString::asprintf("%i", GetPercentDone()) + QLatin1Char('%');

  // Smoothed glyph edges would turn the exclusive-or into stray colours;
  // solid glyphs invert exactly what lies beneath them.
  QFont text_font = font();
  text_font.setStyleStrategy(QFont::NoAntialias);
  const QFontMetrics metrics(text_font);
  const int x = (r.right - r.left + 1 - metrics.horizontalAdvance(text)) / 2;
  const int y = (r.bottom - r.top + 1 - metrics.height()) / 2;

  {
    QPainter painter(&text_image);
    painter.setFont(text_font);
    painter.setPen(Qt::white);
    painter.setBrush(Qt::NoBrush);
    painter.setClipRect(FillRect(r.left, r.top, r.right, r.bottom));
    painter.drawText(x, y + metrics.ascent(), text);
  }
  XorInto(image, text_image);
}

void TCGauge::PaintAsNothing(QImage& image, const Box& r) const {
  QPainter painter(&image);
  painter.fillRect(FillRect(r.left, r.top, r.right, r.bottom), back_color_);
}

void TCGauge::PaintAsBar(QImage& image, const Box& r) const {
  const int w = r.right - r.left + 1;
  const int h = r.bottom - r.top + 1;
  const int percent = GetPercentDone();
  QPainter painter(&image);
  painter.fillRect(FillRect(r.left, r.top, r.right, r.bottom), back_color_);
  if (kind_ == gkHorizontalBar) {
    int filled = percent * w / 100;
    if (filled > w) filled = w;
    // The right edge is the filled width itself: with the one-pixel frame the
    // bar then ends exactly at the paint rectangle's right edge at 100 %.
    if (filled > 0) painter.fillRect(FillRect(r.left, r.top, filled, h), fore_color_);
  } else {
    int filled = percent * h / 100;
    if (filled >= h) filled = h - 1;
    painter.fillRect(FillRect(r.left, h - filled, w, h), fore_color_);
  }
}

QSize TCGauge::PrepareDial(QPainter& painter, const Box& r) const {
  // With a frame the dial's box reaches one pixel past the paint rectangle.
  const int grow = border_style_ == bsSingle ? 1 : 0;
  painter.fillRect(FillRect(r.left, r.top, r.right, r.bottom), Color());
  SetPenAndBrush(painter, fore_color_, back_color_);
  return QSize(r.right - r.left + grow, r.bottom - r.top + grow);
}

void TCGauge::PaintAsPie(QImage& image, const Box& r) const {
  QPainter painter(&image);
  const QSize dial = PrepareDial(painter, r);
  const int w = dial.width();
  const int h = dial.height();
  painter.drawEllipse(OutlineRect(r.left, r.top, w, h));

  const int percent = GetPercentDone();
  if (percent <= 0) return;
  painter.setBrush(fore_color_);
  if (percent >= 100) {
    // Rounding in the start ray would otherwise leave a one-degree notch.
    painter.drawEllipse(OutlineRect(r.left, r.top, w, h));
    return;
  }
  const double mx = w / 2;
  const double my = h / 2;
  const double angle = (percent * 0.02 + 0.5) * kPi;
  DrawPie(painter, r.left, r.top, w, h, std::floor((1 - std::cos(angle)) * mx),
          std::floor((1 - std::sin(angle)) * my), mx, 0);
}

void TCGauge::PaintAsNeedle(QImage& image, const Box& r) const {
  const int x = r.left;
  const int y = r.top;
  QPainter painter(&image);
  const QSize dial = PrepareDial(painter, r);
  const int w = dial.width();
  const int h = dial.height();
  // The upper half of an ellipse centred on the bottom edge: the dial.
  DrawPie(painter, x, y, w, 2 * h - 1, x + w, r.bottom - 1, x, r.bottom - 1);
  painter.drawLine(x, r.bottom, x + w - 1, r.bottom);

  const int percent = GetPercentDone();
  if (percent <= 0) return;
  const int half_width = width() / 2;
  const double angle = percent * 0.01 * kPi;
  const QPoint pivot(half_width, r.bottom - 1);
  const QPoint tip(static_cast<int>(std::floor((1 - std::cos(angle)) * half_width)),
                   static_cast<int>(std::floor((1 - std::sin(angle)) * (r.bottom - 1))));
  painter.drawLine(pivot, tip);
}

}  // namespace kelmora::widgets
