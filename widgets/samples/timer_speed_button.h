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
  virtual void Start(int milliseconds) = 0;
  virtual void Stop() = 0;

 signals:
  void Elapsed();
};

// The real clock behind the button.
class TQtRepeatTimer : public TRepeatTimer {
  Q_OBJECT

 public:
  explicit TQtRepeatTimer(QObject* parent = nullptr);
  void Start(int milliseconds) override { timer_.start(milliseconds); }
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
  explicit TTimerSpeedButton(QWidget* parent = nullptr);

  bool Repeating() const { return repeating_; }
  void SetRepeating(bool repeating) { repeating_ = repeating; }
  int InitialDelay() const { return initial_delay_; }
  void SetInitialDelay(int milliseconds);
  int RepeatInterval() const { return repeat_interval_; }
  void SetRepeatInterval(int milliseconds);

  // Takes the timer over (the button becomes its parent); used by tests.
  void SetRepeatTimer(TRepeatTimer* timer);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Press();
  void Release();
  void Repeat();

  TRepeatTimer* timer_ = nullptr;
  bool repeating_ = true;
  int initial_delay_ = 400;
  int repeat_interval_ = 100;
};

}  // namespace kelmora::widgets
