// SPDX-License-Identifier: GPL-3.0-or-later

#include "app/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <QVariantMap>

namespace kelmora::app {

void SendDesktopNotification(const QDBusConnection& Bus, const QString& Title, const QString& Body,
                             std::function<void(bool)> Done) {
  if (!Bus.isConnected()) {
    if (Done) Done(false);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  // The desktop entry lets the service show the application's own icon.
  const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("kelmora")}};
  call << QStringLiteral("Kelmora") << 0u << QStringLiteral("kelmora") << Title << Body
       << QStringList() << hints << -1;
  QDBusConnection bus = Bus;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [Done = std::move(Done)](QDBusPendingCallWatcher* Call) {
                     if (Done) Done(!Call->isError());
                     Call->deleteLater();
                   });
}

}  // namespace kelmora::app
