#include "widgets/winxp.h"

#include <QWidget>
#include <stdexcept>

namespace kelmora::widgets {
namespace {

QObject* CheckedOwner(QObject* owner) {
  const auto* form = qobject_cast<QWidget*>(owner);
  if (form == nullptr || !form->isWindow()) {
    throw std::runtime_error("Control parent must be a form!");
  }
  // Counting happens before this instance joins the owner, so a refused
  // instance never appears among its children.
  if (!owner->findChildren<TWinXP*>(Qt::FindDirectChildrenOnly).isEmpty()) {
    throw std::runtime_error("Only one instance of TWinXP allowed on form");
  }
  return owner;
}

}  // namespace

// Qt's standard widgets already draw with the desktop's style (the platform
// theme plugin picks it when the application starts), so the themed look
// needs no code here: the application simply never overrides the style. What
// remains of this component is the check that it stands once on a form.
TWinXP::TWinXP(QObject* owner) : QObject(CheckedOwner(owner)) {}

}  // namespace kelmora::widgets
