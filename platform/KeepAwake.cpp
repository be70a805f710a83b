#include "platform/KeepAwake.h"

#include <QAtomicInteger>
#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace platform {

namespace {

constexpr int kCallTimeoutMs = 5000;

QString UniqueName(const char* what) {
  static QAtomicInteger<quint64> counter;
  return QStringLiteral("clipmender-keepawake-%1-%2").arg(QLatin1String(what)).arg(counter.fetchAndAddRelaxed(1));
}

}  // namespace

KeepAwake::KeepAwake()
    : systemName_(UniqueName("system")), sessionName_(UniqueName("session")), context_(std::make_unique<QObject>()) {}

KeepAwake::KeepAwake(const QString& systemBusAddress, const QString& sessionBusAddress)
    : useEnvironment_(false),
      systemAddress_(systemBusAddress),
      sessionAddress_(sessionBusAddress),
      systemName_(UniqueName("system")),
      sessionName_(UniqueName("session")),
      context_(std::make_unique<QObject>()) {}

KeepAwake::~KeepAwake() {
  Release();
  context_.reset();
  QDBusConnection::disconnectFromBus(systemName_);
  QDBusConnection::disconnectFromBus(sessionName_);
}

bool KeepAwake::Connect(Bus bus, QString* name) {
  *name = bus == Bus::System ? systemName_ : sessionName_;
  QDBusConnection existing(*name);
  if (existing.isConnected()) return true;
  // A connection that failed once stays failed: drop it so that a later
  // request tries the bus again.
  QDBusConnection::disconnectFromBus(*name);
  if (useEnvironment_) {
    // libdbus reads the bus addresses from the environment once per process
    // and keeps them; the environment is read here at every request instead,
    // so that a bus named after the first try is found.
    const QByteArray named = qgetenv(bus == Bus::System ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS");
    if (!named.isEmpty()) return QDBusConnection::connectToBus(QString::fromLocal8Bit(named), *name).isConnected();
    const auto type = bus == Bus::System ? QDBusConnection::SystemBus : QDBusConnection::SessionBus;
    return QDBusConnection::connectToBus(type, *name).isConnected();
  }
  const QString& address = bus == Bus::System ? systemAddress_ : sessionAddress_;
  if (address.isEmpty()) return false;
  return QDBusConnection::connectToBus(address, *name).isConnected();
}

void KeepAwake::Acquire() {
  if (pending_ || method_ != Method::None) return;
  pending_ = true;
  ++generation_;
  AskLogin1();
}

void KeepAwake::AskLogin1() {
  QString name;
  if (!Connect(Bus::System, &name)) {
    AskScreenSaver();
    return;
  }
  QDBusConnection connection(name);
  if (!(connection.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
    AskScreenSaver();
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  call << QStringLiteral("idle:sleep") << QLatin1String(kWho) << QLatin1String(kWhy) << QStringLiteral("block");
  auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMs), context_.get());
  const quint64 generation = generation_;
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context_.get(),
                   [this, generation](QDBusPendingCallWatcher* w) {
                     w->deleteLater();
                     // An answer to a request that was released meanwhile is
                     // dropped; the descriptor closes with the reply.
                     if (generation != generation_) return;
                     QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                     if (reply.isError() || !reply.value().isValid()) {
                       AskScreenSaver();
                       return;
                     }
                     inhibitor_ = reply.value();
                     Done(Method::Login1);
                   });
}

void KeepAwake::AskScreenSaver() {
  QString name;
  if (!Connect(Bus::Session, &name)) {
    Done(Method::None);
    return;
  }
  QDBusConnection connection(name);
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
      QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("Inhibit"));
  call << QLatin1String(kWho) << QLatin1String(kWhy);
  auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMs), context_.get());
  const quint64 generation = generation_;
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context_.get(),
                   [this, generation, name](QDBusPendingCallWatcher* w) {
                     w->deleteLater();
                     QDBusPendingReply<uint> reply = *w;
                     if (generation != generation_) {
                       // Released while the request was on its way: give the
                       // cookie straight back.
                       if (!reply.isError()) {
                         QDBusMessage undo = QDBusMessage::createMethodCall(
                             QStringLiteral("org.freedesktop.ScreenSaver"),
                             QStringLiteral("/org/freedesktop/ScreenSaver"),
                             QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("UnInhibit"));
                         undo << reply.value();
                         QDBusConnection(name).send(undo);
                       }
                       return;
                     }
                     if (reply.isError()) {
                       Done(Method::None);
                       return;
                     }
                     cookie_ = reply.value();
                     Done(Method::ScreenSaver);
                   });
}

void KeepAwake::Done(Method method) {
  pending_ = false;
  method_ = method;
}

void KeepAwake::Release() {
  ++generation_;  // answers still on their way are dropped
  pending_ = false;
  if (method_ == Method::Login1) {
    inhibitor_ = QDBusUnixFileDescriptor();  // closing our descriptor ends the inhibitor
  } else if (method_ == Method::ScreenSaver) {
    QDBusConnection connection(sessionName_);
    if (connection.isConnected()) {
      QDBusMessage undo = QDBusMessage::createMethodCall(
          QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("/org/freedesktop/ScreenSaver"),
          QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("UnInhibit"));
      undo << cookie_;
      connection.send(undo);
    }
    cookie_ = 0;
  }
  method_ = Method::None;
}

}  // namespace platform
