#include "app/KVAppDelegate.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdlib>

#include "QtTestSupport.h"
#include "app/KVLinkUrl.h"
#include "app/KVPublicUtilities.h"
#include "platform/NotificationCenter.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"

namespace {

// The settings file lives in the work folder, fixed at its first use: point it
// at a private folder before anything reads it.
QTemporaryDir& WorkDir() {
  static QTemporaryDir dir;
  static const bool set = [] {
    return ::setenv("CLIPMENDER_WORK_DIR", dir.path().toLocal8Bit().constData(), 1) == 0;
  }();
  (void)set;
  return dir;
}

QByteArray XmlList(const QByteArray& value) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>VersionCheck</key>" + value +
         "</dict></plist>\n";
}

// {"VersionCheck": 9} and {"VersionCheck": 5} as Python's plistlib writes them.
const QByteArray kBinary9(
    "bplist00\xd1\x01\x02\x5cVersionCheck\x10\x09\x08\x0b\x18\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x03"
    "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x1a",
    61);
const QByteArray kBinary5(
    "bplist00\xd1\x01\x02\x5cVersionCheck\x10\x05\x08\x0b\x18\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x03"
    "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x1a",
    61);

const QDateTime kNow(QDate(2026, 3, 10), QTime(12, 0, 0));

QString StampDaysBefore(double days) {
  return kNow.addSecs(-static_cast<qint64>(days * 86400.0)).toString(QString::fromLatin1(KVAppDelegate::kStampFormat));
}

class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    WorkDir();
    qttest::App();
    ASSERT_TRUE(resources_.isValid());
    platform::Resources::SetRoot(resources_.path());
    QFile local(resources_.path() + QStringLiteral("/LocalVersionMessage.plist"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(XmlList("<integer>5</integer>"));
  }

  // Runs the start-up sequence with the stamp `stamp`, the remote list at
  // `url`, until a window hook was called (or the guard ran out).
  void Run(const QString& stamp, const QUrl& url, bool setUrl = true) {
    KVPublicUtilities::writeUpDataTimeStr(stamp);
    KVAppDelegate::Hooks hooks;
    hooks.showUpdateWindow = [this] { ++update_; };
    hooks.showRootWindow = [this] { ++root_; };
    hooks.startWatcher = [this] { return ++watcher_ > 0; };
    hooks.now = [] { return kNow; };
    KVAppDelegate delegate(hooks);
    if (setUrl) delegate.SetRemoteListUrl(url);
    delegate.applicationDidFinishLaunching();
    checked_ = delegate.checkStarted();
    stampAtFetch_ = KVPublicUtilities::getUpDataTimeStr().toString();  // before any answer arrived
    qttest::PumpUntil([this] { return update_ + root_ > 0; }, 30);
    qttest::PumpPending();
    // A late or second answer would call a hook again.
    delegate.runRootWindow();
  }

  QTemporaryDir resources_;
  qttest::HttpServer server_;
  int update_ = 0, root_ = 0, watcher_ = 0;
  bool checked_ = false;
  QString stampAtFetch_;
};

TEST_F(Launch, TheCheckRunsOnceAWeekAndTheStampIsWrittenFirst) {
  server_.Answer("/list", "200 OK", XmlList("<integer>9</integer>"));
  Run(StampDaysBefore(6.9), server_.Url(QStringLiteral("/list")));
  EXPECT_FALSE(checked_);
  EXPECT_EQ(update_, 0);
  EXPECT_EQ(root_, 1);
  EXPECT_EQ(watcher_, 1);
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), StampDaysBefore(6.9));

  update_ = root_ = 0;
  Run(StampDaysBefore(7.0), server_.Url(QStringLiteral("/list")));
  EXPECT_TRUE(checked_);
  EXPECT_EQ(update_, 1);
  EXPECT_EQ(root_, 1);  // only through runRootWindow, as the update window's closing does
  EXPECT_EQ(stampAtFetch_, StampDaysBefore(0));
}

TEST_F(Launch, TheRemoteNumberDecidesBetweenTheUpdateAndTheRootWindow) {
  server_.Answer("/xml9", "200 OK", XmlList("<integer>9</integer>"));
  server_.Answer("/xml5", "200 OK", XmlList("<integer>5</integer>"));
  server_.Answer("/text9", "200 OK", XmlList("<string>9</string>"));
  server_.Answer("/bin9", "200 OK", kBinary9);
  server_.Answer("/bin5", "200 OK", kBinary5);
  server_.Answer("/words", "200 OK", XmlList("<string>9 or later</string>"));
  server_.Answer("/deep", "200 OK", QByteArray(100000, '[') + "9");
  server_.Answer(
      "/nested", "200 OK",
      XmlList("<array>" + QByteArray("<array>").repeated(500) + QByteArray("</array>").repeated(500) + "</array>"));
  server_.Answer("/junk", "200 OK", QByteArray("bplist00\xff\xff\xff\xff", 12));
  server_.Answer("/gone", "500 Internal Server Error", XmlList("<integer>9</integer>"));
  QTcpServer closed;
  ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
  const QUrl nobody(QStringLiteral("http://127.0.0.1:%1/list").arg(closed.serverPort()));
  closed.close();

  const struct {
    QUrl url;
    int update;
  } cases[] = {
      {server_.Url(QStringLiteral("/xml9")), 1},
      {server_.Url(QStringLiteral("/xml5")), 0},
      {server_.Url(QStringLiteral("/text9")), 1},
      {server_.Url(QStringLiteral("/bin9")), 1},
      {server_.Url(QStringLiteral("/bin5")), 0},
      {server_.Url(QStringLiteral("/words")), 0},
      {server_.Url(QStringLiteral("/deep")), 0},
      {server_.Url(QStringLiteral("/nested")), 0},
      {server_.Url(QStringLiteral("/junk")), 0},
      {server_.Url(QStringLiteral("/gone")), 0},
      {nobody, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url.toString().toStdString());
    update_ = root_ = 0;
    Run(QStringLiteral(" "), c.url);
    EXPECT_EQ(update_, c.update);
    EXPECT_EQ(root_, 1);  // either at once or when the update window closes
  }
}

TEST_F(Launch, ASilentServerEndsInTheRootWindowAfterTheTimeOut) {
  server_.Raw("/silent", "");
  QElapsedTimer clock;
  clock.start();
  Run(QString(), server_.Url(QStringLiteral("/silent")));
  EXPECT_EQ(update_, 0);
  EXPECT_EQ(root_, 1);
  // The transfer timer is coarse; a give-up well before the time-out would
  // still show here.
  EXPECT_GE(clock.elapsed(), KVAppDelegate::kFetchTimeoutMs / 2);
  EXPECT_LT(clock.elapsed(), KVAppDelegate::kFetchTimeoutMs + 5000);
}

// The address comes from the shipped list's link table: a list that names
// the test server is fetched from it; without an address (and none built in)
// no check is made, the log says so and the wizard opens.
TEST_F(Launch, TheAddressComesFromTheLinkTableAndNoAddressSkipsTheCheck) {
  server_.Answer("/list", "200 OK", XmlList("<integer>9</integer>"));
  {
    QFile local(resources_.path() + QStringLiteral("/LocalVersionMessage.plist"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>VersionCheck</key>"
        "<integer>5</integer><key>en</key><dict><key>IniURL</key><string>" +
        server_.Url(QStringLiteral("/list")).toEncoded() + "</string></dict></dict></plist>\n");
  }
  Run(QString(), QUrl(), false);
  EXPECT_TRUE(checked_);
  EXPECT_EQ(update_, 1);

  if (!KVLinkUrl::BuiltInUrl(QStringLiteral("IniURL")).isEmpty()) GTEST_SKIP() << "this build names a version list";
  {
    QFile local(resources_.path() + QStringLiteral("/LocalVersionMessage.plist"));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(XmlList("<integer>5</integer>"));
  }
  update_ = root_ = 0;
  Run(QStringLiteral(" "), QUrl(), false);
  EXPECT_FALSE(checked_);
  EXPECT_EQ(update_, 0);
  EXPECT_EQ(root_, 1);
  EXPECT_EQ(KVPublicUtilities::getUpDataTimeStr().toString(), QStringLiteral(" "));  // no check made, none noted
  QFile log(WorkDir().path() + QStringLiteral("/tolveraware.log"));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  EXPECT_TRUE(log.readAll().contains("update check skipped: no address for the remote version list"));
}

// Addresses by the interface language, then English, then the build; only
// web addresses are handed out.
TEST_F(Launch, LinksFollowTheLanguageThenEnglish) {
  QFile local(resources_.path() + QStringLiteral("/LocalVersionMessage.plist"));
  ASSERT_TRUE(local.open(QIODevice::WriteOnly));
  local.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>en</key><dict><key>AboutURL</key><string>https://about.example/en</string>
  <key>HelpURL</key><string>https://help.example/en</string><key>UpdateURL</key><string>file:///etc/passwd</string>
  <key>Twitter</key><string>javascript:alert(1)</string><key>GoogleURL</key><string>https://</string></dict>
<key>de</key><dict><key>AboutURL</key><string></string><key>HelpURL</key><string>https://help.example/de</string></dict>
<key>pt</key><dict><key>AboutURL</key><string>https://about.example/pt</string></dict>
<key>fr</key><string>not a dictionary</string>
</dict></plist>
)");
  local.close();
  platform::UserDefaults& defaults = platform::UserDefaults::Standard();
  const struct {
    const char* language;
    const char* about;
    const char* help;
  } cases[] = {
      {"de", "https://about.example/en", "https://help.example/de"},
      {"pt-BR", "https://about.example/pt", "https://help.example/en"},
      {"fr", "https://about.example/en", "https://help.example/en"},
      {"en", "https://about.example/en", "https://help.example/en"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    defaults.SetPreferredLanguages({QString::fromLatin1(c.language)});
    EXPECT_EQ(KVLinkUrl::GetUrl(QStringLiteral("AboutURL")), QString::fromLatin1(c.about));
    EXPECT_EQ(KVLinkUrl::WebUrl(QStringLiteral("HelpURL")), QUrl(QString::fromLatin1(c.help)));
  }
  defaults.SetPreferredLanguages({});
  // Missing everywhere: what the build was configured with.
  EXPECT_EQ(KVLinkUrl::GetUrl(QStringLiteral("IniURL")), KVLinkUrl::BuiltInUrl(QStringLiteral("IniURL")));
  EXPECT_EQ(KVLinkUrl::GetUrl(QStringLiteral("FaceBookURL")), QString());
  for (const char* key : {"UpdateURL", "Twitter", "GoogleURL"}) {
    EXPECT_FALSE(KVLinkUrl::GetUrl(QString::fromLatin1(key)).isEmpty()) << key;
    EXPECT_TRUE(KVLinkUrl::WebUrl(QString::fromLatin1(key)).isEmpty()) << key;
  }
}

TEST(UpdateCheck, StampRuleAndVersionNumbers) {
  for (const auto& [stamp, due] : std::initializer_list<std::pair<QVariant, bool>>{
           {StampDaysBefore(6.9), false},
           {StampDaysBefore(6.999), false},
           {StampDaysBefore(7.0), true},
           {StampDaysBefore(30), true},
           {QString(), true},
           {QStringLiteral(" "), true},
           {QVariant(), true},
           {QStringLiteral("10/03/2026"), true},
           {kNow.addDays(2).toString(QString::fromLatin1(KVAppDelegate::kStampFormat)), true}}) {
    EXPECT_EQ(KVAppDelegate::ShouldCheckForUpdate(stamp, kNow), due) << stamp.toString().toStdString();
  }
  const auto list = [](const QVariant& v) { return QVariant(QVariantMap{{QStringLiteral("VersionCheck"), v}}); };
  EXPECT_EQ(KVAppDelegate::VersionCheck(list(qlonglong(12))), 12);
  EXPECT_EQ(KVAppDelegate::VersionCheck(list(QStringLiteral(" 12 "))), 12);
  EXPECT_EQ(KVAppDelegate::VersionCheck(list(qlonglong(-3))), 0);
  EXPECT_EQ(KVAppDelegate::VersionCheck(list(QStringLiteral("1e9"))), 0);
  EXPECT_EQ(KVAppDelegate::VersionCheck(list(QVariantList{12})), 0);
  EXPECT_EQ(KVAppDelegate::VersionCheck(QVariantList{list(12)}), 0);
  EXPECT_EQ(KVAppDelegate::VersionCheck(QVariant()), 0);
}

// The user's side of the quit guard: an operation that can be paused, and a
// question answered when the test says.
struct QuitScene {
  bool running = false, paused = false, closed = false, hidden = false;
  int asked = 0, toggles = 0;
  std::function<void(bool)> answer;
  KVAppDelegate delegate{{
      .showUpdateWindow = {},
      .showRootWindow = {},
      .startWatcher = [] { return true; },
      .isOperationRunning = [this] { return running; },
      .isOperationPaused = [this] { return paused; },
      .pauseOrResumeOperation =
          [this] {
            paused = !paused;
            ++toggles;
          },
      .askToQuit =
          [this](std::function<void(bool)> a) {
            ++asked;
            answer = std::move(a);
          },
      .hideMainWindow = [this] { hidden = true; },
      .closeApp = [this] { closed = true; },
      .now = {},
      .showAboutWindow = {},
      .showUpdateWindowFromMenu = {},
      .openUrl = {},
  }};
};

TEST(QuitGuard, AsksOnlyWhileAnOperationRuns) {
  qttest::App();
  {
    QuitScene s;
    EXPECT_TRUE(s.delegate.applicationShouldTerminate());
    EXPECT_EQ(s.asked, 0);
  }
  for (const bool pausedBefore : {false, true}) {
    SCOPED_TRACE(pausedBefore);
    QuitScene s;
    s.running = true;
    s.paused = pausedBefore;
    EXPECT_FALSE(s.delegate.applicationShouldTerminate());
    EXPECT_TRUE(s.paused);
    EXPECT_FALSE(s.delegate.applicationShouldTerminate());  // a second quit while asking asks nothing more
    ASSERT_EQ(s.asked, 1);
    s.answer(false);
    EXPECT_FALSE(s.paused);
    EXPECT_FALSE(s.closed);
    EXPECT_FALSE(s.delegate.applicationShouldTerminate());
    ASSERT_EQ(s.asked, 2);
    s.answer(true);
    EXPECT_TRUE(s.hidden);
    EXPECT_TRUE(s.closed);
  }
  {
    // The windows post "appWillTerminate" when they close with nothing running.
    QuitScene s;
    s.delegate.applicationDidFinishLaunching();
    platform::NotificationCenter::DefaultCenter().Post(QStringLiteral("appWillTerminate"));
    EXPECT_TRUE(s.closed);
  }
}

}  // namespace
