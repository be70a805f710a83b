// Helpers for tests of Qt code: the application object, event pumping, a
// private D-Bus with the fake inhibitor service, and a local web server.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QCoreApplication;

namespace qttest {

// The program's application object, made on the first call (whose thread is
// then the main thread) and kept until the program ends.
QCoreApplication* App();

// Processes events until `done` answers true; the guard only stops a test that
// would hang. Answers done().
bool PumpUntil(const std::function<bool()>& done, int guardSeconds = 60);

// Processes the events that are due now (and those they post) a few times.
void PumpPending();

// A private D-Bus daemon (dbus-run-session) running tests/platform/FakeInhibitService.cpp
// with the given modes.
class PrivateBus {
 public:
  PrivateBus(const QString& servicePath, const QStringList& modes);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return !address_.isEmpty(); }
  const QString& address() const { return address_; }  // empty when the daemon did not start
  // Pumps events until the service printed a line starting with `prefix` after
  // `from` lines; answers the line's index, or -1.
  int WaitForLine(const QString& prefix, int from = 0);
  // Every line the service printed so far.
  const QStringList& lines();
  // Sends a line to the service's standard input.
  void Tell(const QByteArray& line) {
    process_.write(line + '\n');
    process_.waitForBytesWritten();
  }
  // Lets the service print what it has, pumping events meanwhile.
  void Settle();

 private:
  void ReadLines();
  QProcess process_;
  QString address_;
  QStringList lines_;
  QByteArray partial_;
};

// A web server on 127.0.0.1: fixed raw bytes for each path it knows (nothing
// for an empty answer), "404 Not Found" for others.
class HttpServer {
 public:
  HttpServer();
  // Written as it stands; with `close` the connection ends after it.
  void Raw(const QByteArray& path, const QByteArray& raw, bool close = true) { answers_[path] = {raw, close}; }
  // A whole answer with its Content-Length, ending the connection.
  void Answer(const QByteArray& path, const QByteArray& status, const QByteArray& body);
  QUrl Url(const QString& path) const;

 private:
  QTcpServer server_;
  QHash<QByteArray, std::pair<QByteArray, bool>> answers_;
};

}  // namespace qttest
