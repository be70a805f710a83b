// A stand-in for logind's and the screen saver's inhibitor methods on a
// private bus, for tests of the keep-awake code.
//
// Run under dbus-run-session. Arguments pick what it offers: "login1" (an
// inhibitor held by a pipe), "login1-deny" (refuses), "screensaver" (cookies
// from 42 on). It prints "ready <bus address>" once its names are taken, one
// line per call it serves, "login1.released" when the client closed an
// inhibitor, and ends when its standard input closes.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>

#include <cstdio>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

void Say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

class Login1 : public QDBusVirtualObject {
 public:
  explicit Login1(bool deny) : deny_(deny) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != QLatin1String("org.freedesktop.login1.Manager") ||
        message.member() != QLatin1String("Inhibit")) {
      return false;
    }
    const QList<QVariant> args = message.arguments();
    QStringList parts;
    for (const QVariant& a : args) parts << a.toString();
    Say(QStringLiteral("login1.Inhibit what=%1 who=%2 why=%3 mode=%4")
            .arg(parts.value(0), parts.value(1), parts.value(2), parts.value(3)));
    if (deny_) {
      connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                               QStringLiteral("not allowed")));
      return true;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    {
      QDBusUnixFileDescriptor handed(fds[1]);  // duplicates the descriptor
      connection.send(message.createReply(QVariant::fromValue(handed)));
    }
    close(fds[1]);
    // The read end sees the end of the file once every copy of the write end
    // is closed: that is when the client gave the inhibitor back.
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, fd = fds[0]] {
      char byte;
      if (read(fd, &byte, 1) <= 0) {
        Say(QStringLiteral("login1.released"));
        notifier->setEnabled(false);
        close(fd);
        notifier->deleteLater();
      }
    });
    return true;
  }

 private:
  bool deny_;
};

class ScreenSaver : public QDBusVirtualObject {
 public:
  explicit ScreenSaver(bool hold) : hold_(hold) {}

  void SendHeldAnswers() {
    for (auto& [reply, connection] : held_) connection.send(reply);
    held_.clear();
  }

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != QLatin1String("org.freedesktop.ScreenSaver")) return false;
    const QList<QVariant> args = message.arguments();
    if (message.member() == QLatin1String("Inhibit") && args.size() == 2) {
      const uint cookie = next_++;
      Say(QStringLiteral("screensaver.Inhibit app=%1 reason=%2 cookie=%3")
              .arg(args[0].toString(), args[1].toString())
              .arg(cookie));
      if (hold_) {
        held_.emplace_back(message.createReply(QVariant::fromValue(cookie)), connection);
      } else {
        connection.send(message.createReply(QVariant::fromValue(cookie)));
      }
      return true;
    }
    if (message.member() == QLatin1String("UnInhibit") && args.size() == 1) {
      Say(QStringLiteral("screensaver.UnInhibit cookie=%1").arg(args[0].toUInt()));
      connection.send(message.createReply());
      return true;
    }
    return false;
  }

 private:
  bool hold_;
  uint next_ = 42;
  std::vector<std::pair<QDBusMessage, QDBusConnection>> held_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "no session bus\n");
    return 1;
  }
  const QStringList modes = app.arguments().mid(1);
  Login1 login1(modes.contains(QStringLiteral("login1-deny")));
  ScreenSaver screensaver(modes.contains(QStringLiteral("screensaver-hold")));
  if (modes.contains(QStringLiteral("login1")) || modes.contains(QStringLiteral("login1-deny"))) {
    if (!bus.registerService(QStringLiteral("org.freedesktop.login1")) ||
        !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &login1)) {
      std::fprintf(stderr, "cannot offer login1\n");
      return 1;
    }
  }
  if (modes.contains(QStringLiteral("screensaver")) || modes.contains(QStringLiteral("screensaver-hold"))) {
    if (!bus.registerService(QStringLiteral("org.freedesktop.ScreenSaver")) ||
        !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/ScreenSaver"), &screensaver)) {
      std::fprintf(stderr, "cannot offer the screen saver\n");
      return 1;
    }
  }
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
    char buffer[64];
    if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
      app.quit();
    } else {
      screensaver.SendHeldAnswers();
    }
  });
  Say(QStringLiteral("ready ") + qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
  return app.exec();
}
