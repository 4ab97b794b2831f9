// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/timer_speed_button.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace kelmora::widgets {

TQtRepeatTimer::TQtRepeatTimer(QObject* Parent) : TRepeatTimer(Parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &TRepeatTimer::Elapsed);
}

TTimerSpeedButton::TTimerSpeedButton(QWidget* Parent) : QToolButton(Parent) {
  SetRepeatTimer(new TQtRepeatTimer);
}

void TTimerSpeedButton::SetInitialDelay(int Milliseconds) {
  if (Milliseconds >= 0) initialDelay_ = Milliseconds;
}

void TTimerSpeedButton::SetRepeatInterval(int Milliseconds) {
  // A zero interval would click as fast as the event loop turns.
  if (Milliseconds > 0) repeatInterval_ = Milliseconds;
}

void TTimerSpeedButton::SetRepeatTimer(TRepeatTimer* Timer) {
  if (timer_ != nullptr) {
    timer_->Stop();
    delete timer_;
  }
  timer_ = Timer;
  timer_->setParent(this);
  connect(timer_, &TRepeatTimer::Elapsed, this, &TTimerSpeedButton::Repeat);
}

// The stock button clicks on release; this one clicks on press and handles
// press and release itself, so the base class never adds a click of its own.
void TTimerSpeedButton::Press() {
  if (isDown() || !isEnabled()) return;
  setDown(true);
  emit pressed();
  if (repeating_) timer_->Start(initialDelay_);
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
  timer_->Start(repeatInterval_);
  emit clicked(false);
}

void TTimerSpeedButton::mousePressEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton)
    Press();
  else
    Event->ignore();
}

void TTimerSpeedButton::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton)
    Release();
  else
    Event->ignore();
}

void TTimerSpeedButton::keyPressEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_Space && !Event->isAutoRepeat())
    Press();
  else if (Event->key() != Qt::Key_Space)
    QToolButton::keyPressEvent(Event);
}

void TTimerSpeedButton::keyReleaseEvent(QKeyEvent* Event) {
  if (Event->key() == Qt::Key_Space && !Event->isAutoRepeat())
    Release();
  else if (Event->key() != Qt::Key_Space)
    QToolButton::keyReleaseEvent(Event);
}

void TTimerSpeedButton::focusOutEvent(QFocusEvent* Event) {
  Release();
  QToolButton::focusOutEvent(Event);
}

void TTimerSpeedButton::hideEvent(QHideEvent* Event) {
  Release();
  QToolButton::hideEvent(Event);
}

}  // namespace kelmora::widgets
