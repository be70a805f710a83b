// A stand-in for logind's and the screen saver's inhibitor methods on a
// private bus, run under dbus-run-session. Its arguments pick what it offers:
// "login1" (an inhibitor held by a pipe), "login1-deny" (refuses),
// "screensaver" (cookies from 42 on), "screensaver-hold" (answers only when a
// line arrives on its input). It prints "ready <bus address>", one line per
// call it serves and "login1.released" when the client closed an inhibitor,
// and ends when its standard input closes.
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

class Service : public QDBusVirtualObject {
 public:
  Service(const QString& interface, bool refuseOrHold) : interface_(interface), refuseOrHold_(refuseOrHold) {}
  QString introspect(const QString&) const override { return {}; }
  void SendHeldAnswers() {
    for (auto& [reply, connection] : held_) connection.send(reply);
    held_.clear();
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != interface_) return false;
    const QList<QVariant> args = message.arguments();
    QStringList a;
    for (const QVariant& arg : args) a << arg.toString();
    if (interface_.endsWith(QLatin1String("Manager")) && message.member() == QLatin1String("Inhibit")) {
      Say(QStringLiteral("login1.Inhibit what=%1 who=%2 why=%3 mode=%4")
              .arg(a.value(0), a.value(1), a.value(2), a.value(3)));
      if (refuseOrHold_) {
        connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"), "no"));
        return true;
      }
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) return false;
      connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]))));  // a duplicate
      close(fds[1]);
      // The read end sees the end of the file once every copy of the write end is closed.
      auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read);
      QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, fd = fds[0]] {
        char byte;
        if (read(fd, &byte, 1) > 0) return;
        Say(QStringLiteral("login1.released"));
        notifier->setEnabled(false);
        close(fd);
        notifier->deleteLater();
      });
      return true;
    }
    if (message.member() == QLatin1String("Inhibit") && args.size() == 2) {
      const uint cookie = next_++;
      Say(QStringLiteral("screensaver.Inhibit app=%1 reason=%2 cookie=%3").arg(a[0], a[1]).arg(cookie));
      const QDBusMessage reply = message.createReply(QVariant::fromValue(cookie));
      if (refuseOrHold_) {
        held_.emplace_back(reply, connection);
      } else {
        connection.send(reply);
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
  QString interface_;
  bool refuseOrHold_;
  uint next_ = 42;
  std::vector<std::pair<QDBusMessage, QDBusConnection>> held_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return 1;
  const QStringList modes = app.arguments().mid(1);
  Service login1(QStringLiteral("org.freedesktop.login1.Manager"), modes.contains(QStringLiteral("login1-deny")));
  Service screensaver(QStringLiteral("org.freedesktop.ScreenSaver"),
                      modes.contains(QStringLiteral("screensaver-hold")));
  const struct {
    const char *mode, *service, *path;
    Service* object;
  } offers[] = {{"login1", "org.freedesktop.login1", "/org/freedesktop/login1", &login1},
                {"screensaver", "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", &screensaver}};
  for (const auto& offer : offers) {
    if (modes.filter(QLatin1String(offer.mode)).isEmpty()) continue;
    if (!bus.registerService(QLatin1String(offer.service)) ||
        !bus.registerVirtualObject(QLatin1String(offer.path), offer.object)) {
      std::fprintf(stderr, "cannot offer %s\n", offer.service);
      return 1;
    }
  }
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
    char buffer[64];
    read(STDIN_FILENO, buffer, sizeof buffer) <= 0 ? app.quit() : screensaver.SendHeldAnswers();
  });
  Say(QStringLiteral("ready ") + qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
  return app.exec();
}
