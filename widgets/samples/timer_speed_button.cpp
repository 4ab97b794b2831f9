#include "widgets/samples/timer_speed_button.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace kelmora::widgets {

TQtRepeatTimer::TQtRepeatTimer(QObject* parent) : TRepeatTimer(parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &TRepeatTimer::Elapsed);
}

TTimerSpeedButton::TTimerSpeedButton(QWidget* parent) : QToolButton(parent) {
  SetRepeatTimer(new TQtRepeatTimer);
}

void TTimerSpeedButton::SetInitialDelay(int milliseconds) {
  if (milliseconds >= 0) initial_delay_ = milliseconds;
}

void TTimerSpeedButton::SetRepeatInterval(int milliseconds) {
  // A zero interval would click as fast as the event loop turns.
  if (milliseconds > 0) repeat_interval_ = milliseconds;
}

void TTimerSpeedButton::SetRepeatTimer(TRepeatTimer* timer) {
  if (timer_ != nullptr) {
    timer_->Stop();
    delete timer_;
  }
  timer_ = timer;
  timer_->setParent(this);
  connect(timer_, &TRepeatTimer::Elapsed, this, &TTimerSpeedButton::Repeat);
}

// The stock button clicks on release; this one clicks on press and handles
// press and release itself, so the base class never adds a click of its own.
void TTimerSpeedButton::Press() {
  if (isDown() || !isEnabled()) return;
  setDown(true);
  emit pressed();
  if (repeating_) timer_->Start(initial_delay_);
  emit clicked(false);
}

void TTimerSpeedButton::Release() {
  if (!isDown()) return;
  timer_->Stop();
  setDown(false);
  emit released();
}

void TTimerSpeedButton::Repeat() {
  // A wait that ends after the release was already called off.
  if (!isDown() || !repeating_) return;
  timer_->Start(repeat_interval_);
  emit clicked(false);
}

void TTimerSpeedButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton)
    Press();
  else
    event->ignore();
}

void TTimerSpeedButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton)
    Release();
  else
    event->ignore();
}

void TTimerSpeedButton::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat())
    Press();
  else if (event->key() != Qt::Key_Space)
    QToolButton::keyPressEvent(event);
}

void TTimerSpeedButton::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat())
    Release();
  else if (event->key() != Qt::Key_Space)
    QToolButton::keyReleaseEvent(event);
}

void TTimerSpeedButton::focusOutEvent(QFocusEvent* event) {
  Release();
  QToolButton::focusOutEvent(event);
}

void TTimerSpeedButton::hideEvent(QHideEvent* event) {
  Release();
  QToolButton::hideEvent(event);
}

}  // namespace kelmora::widgets
