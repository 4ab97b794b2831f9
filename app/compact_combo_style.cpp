#include "app/compact_combo_style.h"

#include <QApplication>
#include <QComboBox>
#include <QStyleOptionComplex>

namespace kelmora::app {

TCompactComboStyle::TCompactComboStyle() : QProxyStyle(QApplication::style()->name()) {}

QRect TCompactComboStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                         SubControl sub, const QWidget* widget) const {
  if (control != CC_ComboBox || !option)
    return QProxyStyle::subControlRect(control, option, sub, widget);
  const QRect all = option->rect;
  const int frame = 2;
  switch (sub) {
    case SC_ComboBoxArrow:
      return QRect(all.right() - frame - kArrowWidth + 1, all.top() + frame, kArrowWidth,
                   all.height() - 2 * frame);
    case SC_ComboBoxEditField:
      return QRect(all.left() + frame + 1, all.top() + frame,
                   all.width() - 2 * frame - kArrowWidth - 1, all.height() - 2 * frame);
    default:
      return QProxyStyle::subControlRect(control, option, sub, widget);
  }
}

void MakeCompact(QComboBox* list) {
  auto* style = new TCompactComboStyle;
  style->setParent(list);
  list->setStyle(style);
}

}  // namespace kelmora::app
