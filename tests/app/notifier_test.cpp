// SPDX-License-Identifier: GPL-3.0-or-later
//
// The desktop notification on a bus of the test's own: the service named
// by the freedesktop specification gets the title and the body, and with
// no service on the bus the call ends quietly as not taken.
#include "app/notifier.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include "form_fixture.h"

namespace kelmora::test {
namespace {

// Answers Notify as a notification daemon does, keeping what it was sent.
class FakeNotifications : public QDBusVirtualObject {
 public:
  QList<QVariant> Arguments;
  int Calls = 0;

  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) override {
    if (Message.interface() != "org.freedesktop.Notifications" || Message.member() != "Notify")
      return false;
    ++Calls;
    Arguments = Message.arguments();
    Connection.send(Message.createReply(QVariant::fromValue(7u)));
    return true;
  }
};

TEST(Notifier, TheServiceGetsTitleAndBodyAndNoServiceMeansNothing) {
  const QString daemonProgram = QStandardPaths::findExecutable("dbus-daemon");
  if (daemonProgram.isEmpty()) GTEST_SKIP() << "no dbus-daemon to run a bus of our own";
  QProcess daemon;
  daemon.start(daemonProgram, {"--session", "--nofork", "--nopidfile", "--print-address"});
  ASSERT_TRUE(daemon.waitForStarted(5000));
  ASSERT_TRUE(daemon.waitForReadyRead(5000));
  const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
  ASSERT_FALSE(address.isEmpty());

  QDBusConnection service = QDBusConnection::connectToBus(address, "notifier-test-service");
  QDBusConnection client = QDBusConnection::connectToBus(address, "notifier-test-client");
  ASSERT_TRUE(service.isConnected());
  ASSERT_TRUE(client.isConnected());

  // No service yet: the call is answered with an error, and only Done hears it.
  int done = 0;
  bool taken = true;
  app::SendDesktopNotification(client, "Backup: done", "x.bkp", [&](bool Taken) {
    ++done;
    taken = Taken;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done == 1; }, 5000));
  EXPECT_FALSE(taken);

  FakeNotifications fake;
  ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/Notifications", &fake));
  ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));
  app::SendDesktopNotification(client, "Restore: done", "x.bkp\nRestored: 6", [&](bool Taken) {
    ++done;
    taken = Taken;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done == 2; }, 5000));
  EXPECT_TRUE(taken);
  ASSERT_EQ(fake.Calls, 1);
  ASSERT_EQ(fake.Arguments.size(), 8);
  EXPECT_EQ(fake.Arguments[0].toString(), "Kelmora");
  EXPECT_EQ(fake.Arguments[3].toString(), "Restore: done");
  EXPECT_EQ(fake.Arguments[4].toString(), "x.bkp\nRestored: 6");

  // Without a bus at all nothing waits.
  QDBusConnection nowhere = QDBusConnection::connectToBus(
      QStringLiteral("unix:path=/nonexistent/kelmora-bus"), "notifier-test-nowhere");
  app::SendDesktopNotification(nowhere, "t", "b", [&](bool Taken) {
    ++done;
    taken = Taken;
  });
  EXPECT_EQ(done, 3) << "told at once";
  EXPECT_FALSE(taken);

  QDBusConnection::disconnectFromBus("notifier-test-service");
  QDBusConnection::disconnectFromBus("notifier-test-client");
  QDBusConnection::disconnectFromBus("notifier-test-nowhere");
  daemon.kill();
  daemon.waitForFinished(5000);
}

}  // namespace
}  // namespace kelmora::test
