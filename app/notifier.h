// SPDX-License-Identifier: GPL-3.0-or-later
//
// A desktop notification through the freedesktop notification service on
// the session bus: how a long run ended, for a user who looked away.
#pragma once

#include <QString>
#include <functional>

class QDBusConnection;

namespace kelmora::app {

// Sends Title and Body without waiting for an answer. Done, when set,
// learns later whether the service took it; with no bus or no service
// nothing is shown and nothing waits.
void SendDesktopNotification(const QDBusConnection& Bus, const QString& Title, const QString& Body,
                             std::function<void(bool)> Done = {});

}  // namespace kelmora::app
