// The program as ./run starts it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace {

using testsupport::ShellQuote;

TEST(ClipmenderProgram, TheFirstArgumentIsStoredAsTheLanguageAndNothingElseIsWritten) {
  REQUIRE_TOOL("python3");
  testsupport::TempDir work;
  const auto ini = work / "UserDefaults.ini";
  auto run = [&](const std::string& args) {
    const std::string noBus = "unix:path=/nonexistent/clipmender-test-bus";
    return testsupport::RunCommand("env CLIPMENDER_WORK_DIR=" + ShellQuote(work.path().string()) +
                                   " DBUS_SYSTEM_BUS_ADDRESS=" + noBus + " DBUS_SESSION_BUS_ADDRESS=" + noBus +
                                   " QT_QPA_PLATFORM=offscreen " + ShellQuote(CLIPMENDER_EXECUTABLE) + " " + args +
                                   " 2>/dev/null");
  };
  auto language = [&] {  // as Python's configparser reads the settings
    return testsupport::RunCommandOrFail(
        "python3 -c " +
        ShellQuote("import configparser,sys\nc=configparser.RawConfigParser()\nc.optionxform=str\n"
                   "c.read(sys.argv[1])\nprint(c['General']['PreferredLanguages'],end='')") +
        " " + ShellQuote(ini.string()));
  };
  auto result = run("");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output.find("argv ="), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(ini));

  result = run("de fr");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("argv = de\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("windows are not built yet"), std::string::npos) << result.output;
  EXPECT_EQ(language(), "de");

  const std::string before = testsupport::Sha256(ini);
  EXPECT_EQ(run("").exitCode, 0);
  EXPECT_EQ(testsupport::Sha256(ini), before);
}

}  // namespace
