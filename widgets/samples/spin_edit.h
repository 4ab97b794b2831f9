// SPDX-License-Identifier: GPL-3.0-or-later
//
// TCSpinEdit: an integer edit with a TCSpinButton beside it. Only digits and
// a sign can be typed; what is entered is clamped to the limits when the edit
// is left or Return is pressed, and text that is no number at all is dropped
// for the last good value.
#pragma once

#include <QLineEdit>
#include <QWidget>

#include "widgets/samples/spin_button.h"

namespace kelmora::widgets {

class TCSpinEdit : public QWidget {
  Q_OBJECT
  Q_PROPERTY(int Value READ Value WRITE SetValue NOTIFY ValueChanged)
  Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
  Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
  Q_PROPERTY(int Increment READ Increment WRITE SetIncrement)

 public:
  explicit TCSpinEdit(QWidget* Parent = nullptr);

  int Value() const { return value_; }
  int MinValue() const { return minValue_; }
  int MaxValue() const { return maxValue_; }
  int Increment() const { return increment_; }
  // Clamped to the limits.
  void SetValue(int NewValue);
  // A minimum above the maximum raises the maximum with it, and the reverse.
  void SetMinValue(int Limit);
  void SetMaxValue(int Limit);
  // Values below 1 are refused.
  void SetIncrement(int Amount);
  // Moves the value by a number of increments, stopping at the limits.
  void Step(int Steps);

  QLineEdit* Editor() const { return editor_; }
  TCSpinButton* Button() const { return button_; }

 signals:
  void ValueChanged(int NewValue);

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void SetClamped(long long Wanted);
  void CommitText();

  QLineEdit* editor_;
  TCSpinButton* button_;
  int value_ = 0;
  int minValue_ = 0;
  int maxValue_ = 100;
  int increment_ = 1;
};

}  // namespace kelmora::widgets
