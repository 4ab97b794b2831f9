// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/samples/spin_edit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QRegularExpressionValidator>
#include <algorithm>

namespace kelmora::widgets {

TCSpinEdit::TCSpinEdit(QWidget* Parent)
    : QWidget(Parent), editor_(new QLineEdit(this)), button_(new TCSpinButton(this)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(editor_);
  layout->addWidget(button_);
  // Any count of digits may be typed so that an entry past a limit can be
  // clamped; ten digits already pass either limit of an int.
  editor_->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[-+]?[0-9]{0,10}")), editor_));
  editor_->setText(QString::number(value_));
  editor_->installEventFilter(this);
  setFocusProxy(editor_);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  connect(editor_, &QLineEdit::editingFinished, this, &TCSpinEdit::CommitText);
  connect(button_, &TCSpinButton::UpClick, this, [this] { Step(1); });
  connect(button_, &TCSpinButton::DownClick, this, [this] { Step(-1); });
}

void TCSpinEdit::SetClamped(long long Wanted) {
  const int clamped = static_cast<int>(std::clamp<long long>(Wanted, minValue_, maxValue_));
  editor_->setText(QString::number(clamped));
  if (clamped == value_) return;
  value_ = clamped;
  emit ValueChanged(value_);
}

void TCSpinEdit::SetValue(int NewValue) {
  SetClamped(NewValue);
}

void TCSpinEdit::SetMinValue(int Limit) {
  minValue_ = Limit;
  maxValue_ = std::max(maxValue_, Limit);
  SetClamped(value_);
}

void TCSpinEdit::SetMaxValue(int Limit) {
  maxValue_ = Limit;
  minValue_ = std::min(minValue_, Limit);
  SetClamped(value_);
}

void TCSpinEdit::SetIncrement(int Amount) {
  if (Amount >= 1) increment_ = Amount;
}

void TCSpinEdit::Step(int Steps) {
  // Take up what was typed first, so a step starts from the shown number.
  CommitText();
  SetClamped(static_cast<long long>(value_) + static_cast<long long>(Steps) * increment_);
}

void TCSpinEdit::CommitText() {
  bool ok = false;
  const long long typed = editor_->text().toLongLong(&ok);
  SetClamped(ok ? typed : value_);
}

bool TCSpinEdit::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == editor_ && Event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(Event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up ? 1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(Watched, Event);
}

}  // namespace kelmora::widgets
