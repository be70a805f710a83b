// Helpers for tests of Qt code: one application object per test program,
// event pumping until something has happened, a private D-Bus and a local
// web server.
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

// The test program's application object, made on first call on the calling
// thread (which then is the main thread) and kept until the program ends.
QCoreApplication* App();

// Processes events until `done` answers true. The guard only stops a test
// that would otherwise hang; nothing is measured. Answers done().
bool PumpUntil(const std::function<bool()>& done, int guardSeconds = 60);

// Processes the events that are due now (and those they post) a few times.
void PumpPending();

// A private D-Bus daemon (dbus-run-session) running the fake inhibitor
// service of tests/platform/FakeInhibitService.cpp with the given modes.
class PrivateBus {
 public:
  PrivateBus(const QString& servicePath, const QStringList& modes);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return !address_.isEmpty(); }
  // The daemon's address, empty when it did not start.
  const QString& address() const { return address_; }
  // Pumps events until the service printed a line starting with `prefix`
  // after `from` lines; answers the line's index, or -1.
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

// A web server on 127.0.0.1 that writes fixed raw bytes for each path it
// knows (nothing at all for an empty answer) and "404 Not Found" otherwise.
class HttpServer {
 public:
  HttpServer();
  // `raw` is written as it stands; with `close` the connection ends after it.
  void Raw(const QByteArray& path, const QByteArray& raw, bool close = true) { answers_[path] = {raw, close}; }
  // A complete answer with a Content-Length, ending the connection.
  void Answer(const QByteArray& path, const QByteArray& status, const QByteArray& body);
  QUrl Url(const QString& path) const;

 private:
  QTcpServer server_;
  QHash<QByteArray, std::pair<QByteArray, bool>> answers_;
};

}  // namespace qttest
