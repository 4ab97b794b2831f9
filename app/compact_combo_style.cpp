// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/compact_combo_style.h"

#include <QApplication>
#include <QComboBox>
#include <QStyleOptionComplex>

namespace kelmora::app {

TCompactComboStyle::TCompactComboStyle() : QProxyStyle(QApplication::style()->name()) {}

QRect TCompactComboStyle::subControlRect(ComplexControl Control, const QStyleOptionComplex* Option,
                                         SubControl Sub, const QWidget* Widget) const {
  if (Control != CC_ComboBox || !Option)
    return QProxyStyle::subControlRect(Control, Option, Sub, Widget);
  const QRect all = Option->rect;
  const int frame = 2;
  switch (Sub) {
    case SC_ComboBoxArrow:
      return QRect(all.right() - frame - kArrowWidth + 1, all.top() + frame, kArrowWidth,
                   all.height() - 2 * frame);
    case SC_ComboBoxEditField:
      return QRect(all.left() + frame + 1, all.top() + frame,
                   all.width() - 2 * frame - kArrowWidth - 1, all.height() - 2 * frame);
    default:
      return QProxyStyle::subControlRect(Control, Option, Sub, Widget);
  }
}

void MakeCompact(QComboBox* List) {
  auto* style = new TCompactComboStyle;
  style->setParent(List);
  List->setStyle(style);
}

}  // namespace kelmora::app
