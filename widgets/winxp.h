// SPDX-License-Identifier: GPL-3.0-or-later
//
// TWinXP stands on a form for the request that the standard controls follow
// the desktop's visual theme, and guards that it is placed once per form.
#pragma once

#include <QObject>

namespace kelmora::widgets {

class TWinXP : public QObject {
  Q_OBJECT

 public:
  // Throws std::runtime_error when the owner is not a top-level window or
  // already has a TWinXP; nothing is left behind in the owner then.
  explicit TWinXP(QObject* Owner);
};

}  // namespace kelmora::widgets
