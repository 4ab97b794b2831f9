// SPDX-License-Identifier: GPL-3.0-or-later
//
// TRunView: a window a run shows itself in, the main window or a contents
// window: its gauge, its status line and its title.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace kelmora::widgets {
class TCGauge;
}

namespace kelmora::app {

class TRunView {
 public:
  virtual ~TRunView() = default;
  virtual widgets::TCGauge* RunGauge() = 0;
  // The status line. Text is asked again when the language changes, so
  // the line is said anew in the new language.
  virtual void ShowStatus(std::function<QString()> Text) = 0;
  // The window whose title shows the percentage during a run.
  virtual QWidget* RunWindow() = 0;
  // Its title when no run is shown in it.
  virtual QString RestingTitle() const = 0;
  // Whether a run is shown here now: Stop works, the commands wait.
  virtual void SetRunShown(bool Shown) = 0;
};

}  // namespace kelmora::app
