#include "platform/KeepAwake.h"

#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "support/TestSupport.h"

namespace {

using platform::KeepAwake;
using Method = KeepAwake::Method;

const QString kService = QStringLiteral(FAKE_INHIBIT_SERVICE);

bool Settle(const KeepAwake& keepAwake) {
  return qttest::PumpUntil([&] { return !keepAwake.IsPending(); });
}

// The fake logind and screen saver on a private bus print one line per call.
TEST(KeepAwake, AsksLogindThenTheScreenSaverAndGivesBackWhatItHolds) {
  qttest::App();
  REQUIRE_TOOL("dbus-run-session");
  const QString kLogind("login1.Inhibit what=idle:sleep who=Clipmender why=Scanning or recovering files mode=block"),
      kScreenSaver("screensaver.Inhibit app=Clipmender reason=Scanning or recovering files cookie=42");
  const struct {
    QStringList modes;
    Method method;
    QStringList calls;  // in order, after the release
  } cases[] = {
      {{"login1", "screensaver"}, Method::Login1, {kLogind, "login1.released"}},
      {{"screensaver"}, Method::ScreenSaver, {kScreenSaver, "screensaver.UnInhibit cookie=42"}},
      {{"login1-deny", "screensaver"}, Method::ScreenSaver, {kLogind, kScreenSaver, "screensaver.UnInhibit cookie=42"}},
      {{}, Method::None, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.modes.join(',').toStdString());
    qttest::PrivateBus bus(kService, c.modes);
    ASSERT_TRUE(bus.ok());
    KeepAwake keepAwake(bus.address(), bus.address());
    keepAwake.Acquire();
    ASSERT_TRUE(Settle(keepAwake));
    EXPECT_EQ(keepAwake.CurrentMethod(), c.method);
    keepAwake.Acquire();  // held already: no second request
    keepAwake.Release();
    EXPECT_EQ(keepAwake.CurrentMethod(), Method::None);
    bus.WaitForLine(c.calls.value(c.calls.size() - 1, QStringLiteral("ready ")));
    bus.Settle();
    EXPECT_EQ(bus.lines().mid(1), c.calls);
  }
}

TEST(KeepAwake, AnAnswerArrivingAfterTheReleaseIsGivenBack) {
  qttest::App();
  REQUIRE_TOOL("dbus-run-session");
  {
    qttest::PrivateBus bus(kService, {"login1"});
    ASSERT_TRUE(bus.ok());
    KeepAwake keepAwake(bus.address(), bus.address());
    keepAwake.Acquire();
    keepAwake.Release();  // the request is on its way
    EXPECT_FALSE(keepAwake.IsPending());
    EXPECT_GE(bus.WaitForLine("login1.released"), 0);
    EXPECT_EQ(keepAwake.CurrentMethod(), Method::None);
  }
  qttest::PrivateBus bus(kService, {"screensaver-hold"});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  ASSERT_GE(bus.WaitForLine("screensaver.Inhibit"), 0);  // asked; the answer is held back
  EXPECT_TRUE(keepAwake.IsPending());
  keepAwake.Release();
  bus.Tell("answer");
  EXPECT_GE(bus.WaitForLine("screensaver.UnInhibit cookie=42"), 0);
  EXPECT_EQ(keepAwake.CurrentMethod(), Method::None);
}

}  // namespace
