// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/spin_button.h"

#include <QResizeEvent>

namespace kelmora::widgets {

namespace {

TTimerSpeedButton* MakeHalf(QWidget* Parent, Qt::ArrowType Arrow) {
  auto* button = new TTimerSpeedButton(Parent);
  button->setArrowType(Arrow);
  // The edit beside the buttons keeps the focus while they are clicked.
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

}  // namespace

TCSpinButton::TCSpinButton(QWidget* Parent)
    : QWidget(Parent), up_(MakeHalf(this, Qt::UpArrow)), down_(MakeHalf(this, Qt::DownArrow)) {
  up_->setObjectName(QStringLiteral("UpButton"));
  down_->setObjectName(QStringLiteral("DownButton"));
  connect(up_, &QAbstractButton::clicked, this, &TCSpinButton::UpClick);
  connect(down_, &QAbstractButton::clicked, this, &TCSpinButton::DownClick);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
}

QSize TCSpinButton::sizeHint() const {
  return QSize(18, 24);
}

void TCSpinButton::resizeEvent(QResizeEvent* Event) {
  const int half = Event->size().height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace kelmora::widgets
