// SPDX-License-Identifier: GPL-3.0-or-later
//
// The application's compiled-in resources: its icon.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace kelmora::app {

// Registers the resources of this library (they live in a static library,
// whose registration the linker would otherwise drop).
void InitResources();

QIcon ApplicationIcon();
QPixmap ApplicationPixmap();

}  // namespace kelmora::app
