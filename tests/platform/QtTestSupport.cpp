#include "QtTestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QThread>

namespace qttest {

QCoreApplication* App() {
  if (QCoreApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "platform-test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives until the program ends
  }
  return QCoreApplication::instance();
}

bool PumpUntil(const std::function<bool()>& done, int guardSeconds) {
  App();
  QDeadlineTimer guard(static_cast<qint64>(guardSeconds) * 1000);
  while (!done()) {
    if (guard.hasExpired()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents();
    QThread::msleep(1);
  }
  return true;
}

void PumpPending() {
  App();
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
}

PrivateBus::PrivateBus(const QString& servicePath, const QStringList& modes) {
  App();
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start(QStringLiteral("dbus-run-session"), QStringList{QStringLiteral("--"), servicePath} + modes);
  const int ready = WaitForLine(QStringLiteral("ready "));
  if (ready >= 0) address_ = lines_[ready].mid(6);
}

PrivateBus::~PrivateBus() {
  process_.closeWriteChannel();
  if (!process_.waitForFinished(30000)) {
    process_.kill();
    process_.waitForFinished();
  }
}

void PrivateBus::ReadLines() {
  partial_ += process_.readAllStandardOutput();
  for (qsizetype eol; (eol = partial_.indexOf('\n')) >= 0; partial_.remove(0, eol + 1)) {
    lines_ << QString::fromUtf8(partial_.left(eol));
  }
}

const QStringList& PrivateBus::lines() {
  ReadLines();
  return lines_;
}

int PrivateBus::WaitForLine(const QString& prefix, int from) {
  int found = -1;
  PumpUntil([&] {
    ReadLines();
    for (int i = from; i < lines_.size() && found < 0; ++i) found = lines_[i].startsWith(prefix) ? i : -1;
    if (found >= 0 || (process_.state() == QProcess::NotRunning && process_.bytesAvailable() == 0)) return true;
    process_.waitForReadyRead(5);
    return false;
  });
  return found;
}

void PrivateBus::Settle() {
  for (int i = 0; i < 20; ++i) {
    PumpPending();
    process_.waitForReadyRead(5);
  }
  ReadLines();
}

HttpServer::HttpServer() {
  App();
  server_.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        // Requests may come in pieces and several on one connection.
        QByteArray pending = socket->property("request").toByteArray() + socket->readAll();
        for (qsizetype end; (end = pending.indexOf("\r\n\r\n")) >= 0; pending.remove(0, end + 4)) {
          const auto [raw, close] = answers_.value(pending.left(end).split(' ').value(1),
                                                   {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", true});
          socket->write(raw);
          if (close && !raw.isEmpty()) socket->disconnectFromHost();
        }
        socket->setProperty("request", pending);
      });
    }
  });
}

void HttpServer::Answer(const QByteArray& path, const QByteArray& status, const QByteArray& body) {
  Raw(path, "HTTP/1.1 " + status + "\r\nContent-Type: application/xml\r\nContent-Length: " +
                QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

QUrl HttpServer::Url(const QString& path) const {
  return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
}

}  // namespace qttest
