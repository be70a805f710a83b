#include "platform/NetworkFetch.h"

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVariant>

#include <memory>
#include <optional>

#include "QtTestSupport.h"

namespace {

using platform::FetchResult;

const char kPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\"><dict><key>VersionCheck</key><integer>7</integer>"
    "<key>1</key><string>Faster scans</string></dict></plist>\n";

// A web server on the loopback address with a few fixed answers.
class LocalServer {
 public:
  LocalServer() {
    qttest::App();
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { Answer(socket); });
      }
    });
  }
  QUrl Url(const QString& path) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path));
  }

 private:
  static void Answer(QTcpSocket* socket) {
    // Requests may come in pieces and several on one connection.
    QByteArray pending = socket->property("request").toByteArray() + socket->readAll();
    qsizetype end;
    while ((end = pending.indexOf("\r\n\r\n")) >= 0) {
      const QByteArray request = pending.left(end);
      pending.remove(0, end + 4);
      Respond(socket, request);
    }
    socket->setProperty("request", pending);
  }
  static void Respond(QTcpSocket* socket, const QByteArray& request) {
    const QByteArray path = request.split(' ').value(1);
    if (path == "/plist") {
      Send(socket, "200 OK", kPlist);
    } else if (path == "/redirect") {
      socket->write("HTTP/1.1 302 Found\r\nLocation: /plist\r\nContent-Length: 0\r\n\r\n");
    } else if (path == "/garbage") {
      Send(socket, "200 OK", "this is not a property list");
    } else if (path == "/huge") {
      socket->write("HTTP/1.1 200 OK\r\nContent-Length: 10000000\r\n\r\n");
      socket->write(QByteArray(200000, 'x'));
    } else if (path == "/stream") {
      // No declared length: the body runs until the connection closes.
      socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
      socket->write(QByteArray(200000, 'x'));
    } else if (path == "/silent") {
      // Never answers.
    } else {
      Send(socket, "404 Not Found", "missing");
    }
  }
  static void Send(QTcpSocket* socket, const char* status, const QByteArray& body) {
    socket->write(QByteArray("HTTP/1.1 ") + status + "\r\nContent-Type: application/xml\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
  }
  QTcpServer server_;
};

std::optional<FetchResult> Fetch(const QUrl& url, int timeoutMs = 10000, qint64 maxBytes = 1 << 20) {
  std::optional<FetchResult> got;
  int calls = 0;
  platform::FetchUrl(url, timeoutMs, maxBytes, [&](const FetchResult& r) {
    got = r;
    ++calls;
  });
  qttest::PumpUntil([&] { return calls > 0; });
  qttest::PumpPending();
  EXPECT_EQ(calls, 1);
  return got;
}

TEST(NetworkFetch, ABodyArrives) {
  LocalServer server;
  const auto result = Fetch(server.Url("/plist"));
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->ok) << result->error.toStdString();
  EXPECT_EQ(result->httpStatus, 200);
  EXPECT_EQ(result->data, QByteArray(kPlist));
}

TEST(NetworkFetch, RedirectsAreFollowed) {
  LocalServer server;
  const auto result = Fetch(server.Url("/redirect"));
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->ok) << result->error.toStdString();
  EXPECT_EQ(result->data, QByteArray(kPlist));
}

TEST(NetworkFetch, HttpErrorsFail) {
  LocalServer server;
  const auto result = Fetch(server.Url("/nothing-here"));
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->ok);
  EXPECT_EQ(result->httpStatus, 404);
  EXPECT_TRUE(result->data.isEmpty());
}

TEST(NetworkFetch, ASilentServerTimesOut) {
  LocalServer server;
  const auto result = Fetch(server.Url("/silent"), 300);
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->ok);
  EXPECT_FALSE(result->error.isEmpty());
}

TEST(NetworkFetch, OversizedAnswersAreCutOff) {
  LocalServer server;
  const auto result = Fetch(server.Url("/huge"), 10000, 50000);
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->ok);
  EXPECT_TRUE(result->error.contains("larger")) << result->error.toStdString();
}

TEST(NetworkFetch, OversizedStreamsAreCutOff) {
  LocalServer server;
  const auto result = Fetch(server.Url("/stream"), 10000, 50000);
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->ok);
  EXPECT_TRUE(result->error.contains("larger")) << result->error.toStdString();
}

TEST(NetworkFetch, NobodyListeningFails) {
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
  const quint16 port = closed.serverPort();
  closed.close();
  const auto result = Fetch(QUrl(QStringLiteral("http://127.0.0.1:%1/plist").arg(port)));
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(result->ok);
}

TEST(NetworkFetch, PropertyListsAreReadFromTheBody) {
  LocalServer server;
  QVariant value;
  QString error;
  bool done = false;
  platform::FetchPropertyList(server.Url("/plist"), 10000, [&](const QVariant& v, const QString& e) {
    value = v;
    error = e;
    done = true;
  });
  ASSERT_TRUE(qttest::PumpUntil([&] { return done; }));
  EXPECT_TRUE(error.isEmpty()) << error.toStdString();
  EXPECT_EQ(value.toMap().value("VersionCheck").toInt(), 7);

  done = false;
  platform::FetchPropertyList(server.Url("/garbage"), 10000, [&](const QVariant& v, const QString& e) {
    value = v;
    error = e;
    done = true;
  });
  ASSERT_TRUE(qttest::PumpUntil([&] { return done; }));
  EXPECT_FALSE(value.isValid());
  EXPECT_FALSE(error.isEmpty());
}

}  // namespace
