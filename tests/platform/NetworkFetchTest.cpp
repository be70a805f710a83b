#include "platform/NetworkFetch.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "QtTestSupport.h"

namespace {

using platform::FetchResult;

const QByteArray kPlist =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\"><dict><key>VersionCheck</key><integer>7</integer></dict></plist>\n";

TEST(NetworkFetch, EachAnswerEndsInExactlyOneResult) {
  qttest::HttpServer server;
  server.Answer("/plist", "200 OK", kPlist);
  server.Raw("/redirect", "HTTP/1.1 302 Found\r\nLocation: /plist\r\nContent-Length: 0\r\n\r\n", false);
  server.Raw("/huge", "HTTP/1.1 200 OK\r\nContent-Length: 10000000\r\n\r\n" + QByteArray(200000, 'x'), false);
  // No declared length: the body would run until the connection closes.
  server.Raw("/stream", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + QByteArray(200000, 'x'), false);
  server.Raw("/silent", "");
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
  const QUrl nobody(QStringLiteral("http://127.0.0.1:%1/plist").arg(closed.serverPort()));
  closed.close();

  const struct {
    QUrl url;
    bool ok;
    int status;  // 0: not checked
    const char* error;
    int timeoutMs = 10000;
  } cases[] = {
      {server.Url("/plist"), true, 200, ""},
      {server.Url("/redirect"), true, 200, ""},
      {server.Url("/nothing"), false, 404, ""},
      {server.Url("/silent"), false, 0, "", 300},
      {server.Url("/huge"), false, 0, "larger"},
      {server.Url("/stream"), false, 0, "larger"},
      {nobody, false, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url.toString().toStdString());
    std::optional<FetchResult> got;
    int calls = 0;
    platform::FetchUrl(c.url, c.timeoutMs, 50000, [&](const FetchResult& r) {
      got = r;
      ++calls;
    });
    qttest::PumpUntil([&] { return calls > 0; });
    qttest::PumpPending();
    ASSERT_EQ(calls, 1);
    EXPECT_EQ(got->ok, c.ok) << got->error.toStdString();
    if (c.status != 0) {
      EXPECT_EQ(got->httpStatus, c.status);
    }
    EXPECT_EQ(got->data, c.ok ? kPlist : QByteArray());
    EXPECT_EQ(got->error.isEmpty(), c.ok);
    EXPECT_TRUE(got->error.contains(c.error)) << got->error.toStdString();
  }
}

// A caller that goes away takes its transfer with it: no answer reaches it,
// also not the time-out's; while it lives, the answer comes as usual.
TEST(NetworkFetch, ATransferEndsWithItsContext) {
  qttest::HttpServer server;
  server.Raw("/silent", "");
  for (const bool keep : {true, false}) {
    SCOPED_TRACE(keep);
    int calls = 0;
    auto context = std::make_unique<QObject>();
    platform::FetchPropertyList(
        server.Url("/silent"), 300, [&](const QVariant&, const QString&) { ++calls; }, context.get());
    qttest::PumpPending();
    if (!keep) context.reset();
    qttest::PumpUntil([&] { return calls > 0; }, 1);  // well past the time-out
    EXPECT_EQ(calls, keep ? 1 : 0);
  }
}

}  // namespace
