// The buses the environment names are looked up at every request, not once
// per process: a keep-awake object made after a failed try finds the bus the
// environment names now.
#include <gtest/gtest.h>

#include <cstdlib>

#include "QtTestSupport.h"
#include "platform/KeepAwake.h"
#include "support/TestSupport.h"

namespace {

using platform::KeepAwake;

void SetBuses(const QString& system, const QString& session) {
  setenv("DBUS_SYSTEM_BUS_ADDRESS", system.toUtf8().constData(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", session.toUtf8().constData(), 1);
}

TEST(KeepAwakeEnvironment, ABusNamedAfterAFailedTryIsFound) {
  REQUIRE_TOOL("dbus-run-session");
  qttest::App();
  const QString noBus = QStringLiteral("unix:path=/nonexistent/clipmender-test-bus");
  SetBuses(noBus, noBus);
  {
    KeepAwake first;
    first.Acquire();
    ASSERT_TRUE(qttest::PumpUntil([&] { return !first.IsPending(); }));
    EXPECT_EQ(first.CurrentMethod(), KeepAwake::Method::None);
  }
  qttest::PrivateBus bus(QStringLiteral(FAKE_INHIBIT_SERVICE), {"login1"});
  ASSERT_TRUE(bus.ok());
  SetBuses(bus.address(), noBus);
  KeepAwake later;
  later.Acquire();
  ASSERT_TRUE(qttest::PumpUntil([&] { return !later.IsPending(); }));
  EXPECT_EQ(later.CurrentMethod(), KeepAwake::Method::Login1);
  later.Release();
  EXPECT_GE(bus.WaitForLine("login1.released"), 0);
}

}  // namespace
