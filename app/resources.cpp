// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitKelmoraResources() {
  Q_INIT_RESOURCE(kelmora);
}

namespace kelmora::app {

void InitResources() {
  InitKelmoraResources();
}

QIcon ApplicationIcon() {
  InitResources();
  QIcon icon;
  icon.addFile(QStringLiteral(":/kelmora/kelmora-32.png"));
  icon.addFile(QStringLiteral(":/kelmora/kelmora-64.png"));
  return icon;
}

QPixmap ApplicationPixmap() {
  InitResources();
  return QPixmap(QStringLiteral(":/kelmora/kelmora-64.png"));
}

}  // namespace kelmora::app
