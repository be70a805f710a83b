// Keeps the machine from idling to sleep while the application runs.
//
// It asks logind on the system bus for an idle and sleep inhibitor (held as a
// file descriptor until released); when that is refused or missing it asks the
// desktop's screen saver on the session bus instead. Without a bus, or with
// neither service, it does nothing and says nothing. The method calls are
// asynchronous, so the main thread never waits for a service's answer (only
// the connection to a local bus is made in place). Use it on the thread of the
// QCoreApplication.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <memory>

namespace platform {

class KeepAwake {
 public:
  enum class Method { None, Login1, ScreenSaver };

  // The system and session buses that the environment names when a request
  // is made (DBUS_SYSTEM_BUS_ADDRESS, DBUS_SESSION_BUS_ADDRESS, else the
  // usual places).
  KeepAwake();
  // The buses at the given addresses; an empty address skips that bus.
  KeepAwake(const QString& systemBusAddress, const QString& sessionBusAddress);
  ~KeepAwake();
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

  // Asks for an inhibitor unless one is held or a request is on its way.
  void Acquire();
  // Gives back what is held and drops any answer still on its way.
  void Release();

  Method CurrentMethod() const { return method_; }
  bool IsPending() const { return pending_; }

  // What logind and the screen saver are told.
  static constexpr const char* kWho = "Clipmender";
  static constexpr const char* kWhy = "Scanning or recovering files";

 private:
  enum class Bus { System, Session };
  bool Connect(Bus bus, QString* name);
  void AskLogin1();
  void AskScreenSaver();
  void Done(Method method);

  bool useEnvironment_ = true;
  QString systemAddress_;
  QString sessionAddress_;
  QString systemName_;
  QString sessionName_;
  std::unique_ptr<QObject> context_;  // owns the reply watchers of the current request
  quint64 generation_ = 0;
  bool pending_ = false;
  Method method_ = Method::None;
  QDBusUnixFileDescriptor inhibitor_;
  uint cookie_ = 0;
};

}  // namespace platform
