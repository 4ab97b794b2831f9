// SPDX-License-Identifier: GPL-3.0-or-later
//
// TCColorGrid: the sixteen standard colours in a grid, with a foreground and
// a background choice. The left button picks the foreground, the right button
// the background. From the keyboard the arrow keys move the foreground choice
// and Ctrl with an arrow key moves the background choice.
#pragma once

#include <QColor>
#include <QRect>
#include <QWidget>

namespace kelmora::widgets {

class TCColorGrid : public QWidget {
  Q_OBJECT
  Q_PROPERTY(
      int ForegroundIndex READ ForegroundIndex WRITE SetForegroundIndex NOTIFY ForegroundChanged)
  Q_PROPERTY(
      int BackgroundIndex READ BackgroundIndex WRITE SetBackgroundIndex NOTIFY BackgroundChanged)
  Q_PROPERTY(QColor ForegroundColor READ ForegroundColor)
  Q_PROPERTY(QColor BackgroundColor READ BackgroundColor)

 public:
  static constexpr int kColours = 16;
  static constexpr int kColumns = 4;

  explicit TCColorGrid(QWidget* Parent = nullptr);

  // The standard colour at an index 0 to 15, in the usual order from black
  // to white; invalid for any other index.
  static QColor StandardColor(int Index);

  int ForegroundIndex() const { return foreground_; }
  int BackgroundIndex() const { return background_; }
  QColor ForegroundColor() const { return StandardColor(foreground_); }
  QColor BackgroundColor() const { return StandardColor(background_); }
  // Indexes outside 0 to 15 are refused.
  void SetForegroundIndex(int Index);
  void SetBackgroundIndex(int Index);

  QRect CellRect(int Index) const;
  QSize sizeHint() const override;

 signals:
  void ForegroundChanged(int Index);
  void BackgroundChanged(int Index);

 protected:
  void paintEvent(QPaintEvent* Event) override;
  void mousePressEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  void DrawMarker(QPainter& Painter, int Index, const QString& Text, Qt::Alignment Where) const;

  int foreground_ = 0;
  int background_ = 15;
};

}  // namespace kelmora::widgets
