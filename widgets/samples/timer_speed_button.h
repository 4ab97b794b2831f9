// SPDX-License-Identifier: GPL-3.0-or-later
//
// TTimerSpeedButton: a button that clicks once when pressed and, while it is
// held, clicks again and again after an initial delay. The waits come from a
// TRepeatTimer, so a test can step the repeats itself instead of sleeping.
#pragma once

#include <QObject>
#include <QTimer>
#include <QToolButton>

namespace kelmora::widgets {

// A one-shot wait that says when it is over.
class TRepeatTimer : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;
  // Starts (or restarts) the wait.
  virtual void Start(int Milliseconds) = 0;
  virtual void Stop() = 0;

 signals:
  void Elapsed();
};

// The real clock behind the button.
class TQtRepeatTimer : public TRepeatTimer {
  Q_OBJECT

 public:
  explicit TQtRepeatTimer(QObject* Parent = nullptr);
  void Start(int Milliseconds) override { timer_.start(Milliseconds); }
  void Stop() override { timer_.stop(); }

 private:
  QTimer timer_;
};

class TTimerSpeedButton : public QToolButton {
  Q_OBJECT
  Q_PROPERTY(bool Repeating READ Repeating WRITE SetRepeating)
  Q_PROPERTY(int InitialDelay READ InitialDelay WRITE SetInitialDelay)
  Q_PROPERTY(int RepeatInterval READ RepeatInterval WRITE SetRepeatInterval)

 public:
  explicit TTimerSpeedButton(QWidget* Parent = nullptr);

  bool Repeating() const { return repeating_; }
  void SetRepeating(bool Value) { repeating_ = Value; }
  int InitialDelay() const { return initialDelay_; }
  void SetInitialDelay(int Milliseconds);
  int RepeatInterval() const { return repeatInterval_; }
  void SetRepeatInterval(int Milliseconds);

  // Takes the timer over (the button becomes its parent); used by tests.
  void SetRepeatTimer(TRepeatTimer* Timer);

 protected:
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;
  void keyReleaseEvent(QKeyEvent* Event) override;
  void focusOutEvent(QFocusEvent* Event) override;
  void hideEvent(QHideEvent* Event) override;

 private:
  void Press();
  void Release();
  void Repeat();

  TRepeatTimer* timer_ = nullptr;
  bool repeating_ = true;
  int initialDelay_ = 400;
  int repeatInterval_ = 100;
};

}  // namespace kelmora::widgets
