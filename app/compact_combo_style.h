// SPDX-License-Identifier: GPL-3.0-or-later
//
// A drop-down list style with a narrow arrow button, for a list so narrow
// that the theme's own arrow would leave no room for its text. Everything
// else is drawn by the application's style.
#pragma once

#include <QProxyStyle>

class QComboBox;

namespace kelmora::app {

class TCompactComboStyle : public QProxyStyle {
 public:
  TCompactComboStyle();

  QRect subControlRect(ComplexControl Control, const QStyleOptionComplex* Option, SubControl Sub,
                       const QWidget* Widget) const override;

  static constexpr int kArrowWidth = 12;
};

// Gives List the compact style; the style lives as long as the list.
void MakeCompact(QComboBox* List);

}  // namespace kelmora::app
