#include "platform/KeepAwake.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "QtTestSupport.h"
#include "support/TestSupport.h"

namespace {

using platform::KeepAwake;
using qttest::PrivateBus;

const QString kService = QStringLiteral(FAKE_INHIBIT_SERVICE);
const QString kNoBus = QStringLiteral("unix:path=/nonexistent/clipmender-test-bus");

bool Settled(const KeepAwake& keepAwake) { return !keepAwake.IsPending(); }

class KeepAwakeOnABus : public ::testing::Test {
 protected:
  void SetUp() override {
    qttest::App();
    REQUIRE_TOOL("dbus-run-session");
  }
};

TEST_F(KeepAwakeOnABus, AsksLogindForAnIdleAndSleepBlockAndReleasesByClosing) {
  PrivateBus bus(kService, {"login1", "screensaver"});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::Login1);
  const int call = bus.WaitForLine("login1.Inhibit");
  ASSERT_GE(call, 0);
  EXPECT_EQ(bus.lines()[call],
            "login1.Inhibit what=idle:sleep who=Clipmender why=Scanning or recovering files mode=block");
  keepAwake.Acquire();  // held already: no second request
  keepAwake.Release();
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
  EXPECT_GE(bus.WaitForLine("login1.released", call), 0);
  bus.Settle();
  EXPECT_EQ(bus.lines().filter("login1.Inhibit").size(), 1);
  EXPECT_TRUE(bus.lines().filter("screensaver").isEmpty());
}

TEST_F(KeepAwakeOnABus, FallsBackToTheScreenSaverWhenLogindIsMissing) {
  PrivateBus bus(kService, {"screensaver"});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::ScreenSaver);
  const int call = bus.WaitForLine("screensaver.Inhibit");
  ASSERT_GE(call, 0);
  EXPECT_EQ(bus.lines()[call], "screensaver.Inhibit app=Clipmender reason=Scanning or recovering files cookie=42");
  keepAwake.Release();
  const int undo = bus.WaitForLine("screensaver.UnInhibit", call);
  ASSERT_GE(undo, 0);
  EXPECT_EQ(bus.lines()[undo], "screensaver.UnInhibit cookie=42");
}

TEST_F(KeepAwakeOnABus, FallsBackToTheScreenSaverWhenLogindRefuses) {
  PrivateBus bus(kService, {"login1-deny", "screensaver"});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::ScreenSaver);
  EXPECT_GE(bus.WaitForLine("login1.Inhibit"), 0);
  EXPECT_GE(bus.WaitForLine("screensaver.Inhibit"), 0);
}

TEST_F(KeepAwakeOnABus, ABusWithoutEitherServiceLeavesNothingHeld) {
  PrivateBus bus(kService, {});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
  keepAwake.Release();
}

TEST_F(KeepAwakeOnABus, AReleaseBeforeTheAnswerGivesTheInhibitorBack) {
  PrivateBus bus(kService, {"login1"});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  keepAwake.Release();  // the request is on its way
  EXPECT_FALSE(keepAwake.IsPending());
  const int call = bus.WaitForLine("login1.Inhibit");
  ASSERT_GE(call, 0);
  EXPECT_GE(bus.WaitForLine("login1.released", call), 0);
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
}

TEST_F(KeepAwakeOnABus, AScreenSaverCookieArrivingAfterReleaseIsGivenBack) {
  PrivateBus bus(kService, {"screensaver-hold"});
  ASSERT_TRUE(bus.ok());
  KeepAwake keepAwake(bus.address(), bus.address());
  keepAwake.Acquire();
  const int call = bus.WaitForLine("screensaver.Inhibit");  // asked; the answer is held back
  ASSERT_GE(call, 0);
  EXPECT_TRUE(keepAwake.IsPending());
  keepAwake.Release();
  bus.Tell("answer");
  EXPECT_GE(bus.WaitForLine("screensaver.UnInhibit cookie=42", call), 0);
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
}

TEST_F(KeepAwakeOnABus, AServiceThatAppearsLaterIsFoundByTheNextRequest) {
  KeepAwake keepAwake(kNoBus, kNoBus);
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
  PrivateBus bus(kService, {"login1"});
  ASSERT_TRUE(bus.ok());
  KeepAwake later(bus.address(), bus.address());
  later.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(later); }));
  EXPECT_EQ(later.CurrentMethod(), KeepAwake::Method::Login1);
}

TEST(KeepAwakeWithoutABus, IsASilentNoOp) {
  qttest::App();
  KeepAwake keepAwake(kNoBus, kNoBus);
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
  keepAwake.Release();
  KeepAwake noAddresses{QString(), QString()};
  noAddresses.Acquire();
  EXPECT_FALSE(noAddresses.IsPending());
  EXPECT_EQ(noAddresses.CurrentMethod(), KeepAwake::Method::None);
}

TEST(KeepAwakeWithoutABus, TheEnvironmentsBusesMayBeMissingToo) {
  qttest::App();
  setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBus.toUtf8().constData(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus.toUtf8().constData(), 1);
  KeepAwake keepAwake;
  keepAwake.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return Settled(keepAwake); }));
  EXPECT_EQ(keepAwake.CurrentMethod(), KeepAwake::Method::None);
}

}  // namespace
