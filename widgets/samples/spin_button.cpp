#include "widgets/samples/spin_button.h"

#include <QResizeEvent>

namespace kelmora::widgets {

namespace {

TTimerSpeedButton* MakeHalf(QWidget* parent, Qt::ArrowType arrow) {
  auto* button = new TTimerSpeedButton(parent);
  button->setArrowType(arrow);
  // The edit beside the buttons keeps the focus while they are clicked.
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

}  // namespace

TCSpinButton::TCSpinButton(QWidget* parent)
    : QWidget(parent), up_(MakeHalf(this, Qt::UpArrow)), down_(MakeHalf(this, Qt::DownArrow)) {
  up_->setObjectName(QStringLiteral("UpButton"));
  down_->setObjectName(QStringLiteral("DownButton"));
  connect(up_, &QAbstractButton::clicked, this, &TCSpinButton::UpClick);
  connect(down_, &QAbstractButton::clicked, this, &TCSpinButton::DownClick);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
}

QSize TCSpinButton::sizeHint() const {
  return QSize(18, 24);
}

void TCSpinButton::resizeEvent(QResizeEvent* event) {
  const int half = event->size().height() / 2;
  up_->setGeometry(0, 0, width(), half);
  down_->setGeometry(0, half, width(), height() - half);
}

}  // namespace kelmora::widgets
