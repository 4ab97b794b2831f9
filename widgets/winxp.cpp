// SPDX-License-Identifier: GPL-3.0-or-later

#include "widgets/winxp.h"

#include <QWidget>
#include <stdexcept>

namespace kelmora::widgets {
namespace {

QObject* CheckedOwner(QObject* Owner) {
  const auto* form = qobject_cast<QWidget*>(Owner);
  if (form == nullptr || !form->isWindow()) {
    throw std::runtime_error("Control parent must be a form!");
  }
  // Counting happens before this instance joins the owner, so a refused
  // instance never appears among its children.
  if (!Owner->findChildren<TWinXP*>(Qt::FindDirectChildrenOnly).isEmpty()) {
    throw std::runtime_error("Only one instance of TWinXP allowed on form");
  }
  return Owner;
}

}  // namespace

// Qt's standard widgets already draw with the desktop's style (the platform
// theme plugin picks it when the application starts), so the themed look
// needs no code here: the application simply never overrides the style. What
// remains of this component is the check that it stands once on a form.
TWinXP::TWinXP(QObject* Owner) : QObject(CheckedOwner(Owner)) {}

}  // namespace kelmora::widgets
