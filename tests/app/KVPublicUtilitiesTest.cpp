#include "app/KVPublicUtilities.h"

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdlib>
#include <optional>

#include "QtTestSupport.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using platform::Resources;
using platform::UserDefaults;
using testsupport::TempDir;

// Expected texts are Python's "%.0f byte" / "%0.2f <unit>" of the value
// narrowed to single precision (struct.pack('f')).
TEST(SizeText, UsesDecimalUnits) {
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(0), "0 byte");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(999), "999 byte");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(1000), "1.00 KB");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(1500000), "1.50 MB");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(1000000000), "1.00 GB");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(1234567890), "1.23 GB");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(500000000000LL), "500.00 GB");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(1000000000000LL), "1.00 TB");
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(123456789012345LL), "123.46 TB");
}

TEST(SizeText, RoundsAtTheUnitBorderAsTheUnitBelow) {
  // 999999 bytes stay kilobytes and round up within them.
  EXPECT_EQ(KVPublicUtilities::longlongDiskSize(999999), "1000.00 KB");
}

TEST(SizeText, VolumeSpaceReadsTheSame) {
  for (long long v : {0LL, 999LL, 1000LL, 1500000LL, 1000000000000LL, 4000787030016LL}) {
    EXPECT_EQ(KVPublicUtilities::longlongConvertVolSpace(v), KVPublicUtilities::longlongDiskSize(v)) << v;
  }
}

TEST(FileSystemText, NamesEachTypeCode) {
  const char* names[] = {"FAT12", "FAT16", "FAT32", "NTFS", "EXT2", "EXT3", "RAW", "EXFAT", "HFS+", "Unknown"};
  for (int type = 0; type <= 9; ++type) EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(type, 0), names[type]);
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(-1, 0), "Disk");
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(10, 0), "Disk");
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(8, 1), "Disk Image");
  EXPECT_EQ(KVPublicUtilities::fileSystemTypeForInt(-1, 1), "Disk Image");
}

class Marks : public ::testing::Test {
 protected:
  void SetUp() override {
    static TempDir work;  // the working folder is fixed for the whole process
    setenv("CLIPMENDER_WORK_DIR", work.path().c_str(), 1);
    UserDefaults::Standard().Remove(UserDefaults::kFirstTimeKey);
    UserDefaults::Standard().Remove(UserDefaults::kUpdateStampKey);
    UserDefaults::Standard().Synchronize();
    Resources::SetRoot(QString::fromStdString(resources.path().string()));
  }
  void TearDown() override { Resources::SetRoot(QString()); }
  // Ships a "LocalVersionMessage" list, written by Python's plistlib.
  void ShipList(const std::string& pythonDict) {
    testsupport::RunCommandOrFail(
        "python3 -c " +
        testsupport::ShellQuote("import plistlib,sys; plistlib.dump(" + pythonDict + ", open(sys.argv[1], 'wb'))") +
        " " + testsupport::ShellQuote((resources / "LocalVersionMessage.plist").string()));
  }
  TempDir resources;
};

TEST_F(Marks, AreAbsentUntilSetOrShipped) {
  EXPECT_FALSE(KVPublicUtilities::isFristTime().isValid());
  EXPECT_FALSE(KVPublicUtilities::getUpDataTimeStr().isValid());
}

TEST_F(Marks, ShippedValuesHoldUntilTheUserHasHisOwn) {
  ShipList("{'FristTime': 'YES', 'upDataTimeStr': ' ', 'VersionCheck': 3}");
  EXPECT_EQ(KVPublicUtilities::isFristTime().toString(), "YES");
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), " ");
  KVPublicUtilities::writeFristTime();
  KVPublicUtilities::writeUpDataTimeStr("2024-05-06 07:08:09");
  EXPECT_EQ(KVPublicUtilities::isFristTime().toString(), "NO");
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), "2024-05-06 07:08:09");
  // The shipped list is left alone: it is shared by every user.
  QVariant shipped;
  ASSERT_TRUE(Resources::ReadPropertyList("LocalVersionMessage", &shipped));
  EXPECT_EQ(shipped.toMap().value("FristTime").toString(), "YES");
}

TEST_F(Marks, AreWrittenToTheUsersSettingsFileAtOnce) {
  KVPublicUtilities::writeFristTime();
  KVPublicUtilities::writeUpDataTimeStr("2024-01-01 00:00:00");
  UserDefaults reread(UserDefaults::Standard().FilePath());
  EXPECT_EQ(reread.Value(UserDefaults::kFirstTimeKey).toString(), "NO");
  EXPECT_EQ(reread.Value(UserDefaults::kUpdateStampKey).toString(), "2024-01-01 00:00:00");
}

// A web server on the loopback address: "/page" answers with a body,
// "/empty" with none, "/silent" never, anything else 404.
class ProbeServer {
 public:
  ProbeServer() {
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
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n")) return;
    const QByteArray path = request.split(' ').value(1);
    if (path == "/silent") return;
    QByteArray status = "200 OK";
    QByteArray body = "<html>hello</html>";
    if (path == "/empty") {
      body.clear();
    } else if (path != "/page") {
      status = "404 Not Found";
      body = "missing";
    }
    socket->write("HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                  "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
  }
  QTcpServer server_;
};

std::optional<bool> Probe(const QUrl& url, int timeoutMs = 10000) {
  std::optional<bool> answer;
  int calls = 0;
  KVPublicUtilities::isCanBeUseNetWork(
      [&](bool usable) {
        answer = usable;
        ++calls;
      },
      url, timeoutMs);
  qttest::PumpUntil([&] { return calls > 0; });
  qttest::PumpPending();
  EXPECT_EQ(calls, 1);
  return answer;
}

TEST(NetworkProbe, DataArrivingMeansTheNetworkWorks) {
  ProbeServer server;
  EXPECT_EQ(Probe(server.Url("/page")), std::optional<bool>(true));
}

TEST(NetworkProbe, NoDataErrorsAndSilenceMeanItDoesNot) {
  ProbeServer server;
  EXPECT_EQ(Probe(server.Url("/empty")), std::optional<bool>(false));
  EXPECT_EQ(Probe(server.Url("/missing")), std::optional<bool>(false));
  EXPECT_EQ(Probe(server.Url("/silent"), 300), std::optional<bool>(false));
  // Nobody listens on the discard port of the loopback address.
  EXPECT_EQ(Probe(QUrl("http://127.0.0.1:9/")), std::optional<bool>(false));
}

}  // namespace
