// SPDX-License-Identifier: GPL-3.0-or-later
//
// TCSpinButton: an up and a down TTimerSpeedButton stacked in one narrow
// column, each repeating while held.
#pragma once

#include <QWidget>

#include "widgets/samples/timer_speed_button.h"

namespace kelmora::widgets {

class TCSpinButton : public QWidget {
  Q_OBJECT

 public:
  explicit TCSpinButton(QWidget* Parent = nullptr);

  TTimerSpeedButton* UpButton() const { return up_; }
  TTimerSpeedButton* DownButton() const { return down_; }

  QSize sizeHint() const override;

 signals:
  void UpClick();
  void DownClick();

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  TTimerSpeedButton* up_;
  TTimerSpeedButton* down_;
};

}  // namespace kelmora::widgets
