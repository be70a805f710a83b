// The program as ./run starts it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace {

using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TempDir;

const char kNoBus[] = "unix:path=/nonexistent/clipmender-test-bus";

testsupport::CommandResult RunProgram(const TempDir& work, const std::string& args) {
  const std::string env = "CLIPMENDER_WORK_DIR=" + ShellQuote(work.path().string()) +
                          " DBUS_SYSTEM_BUS_ADDRESS=" + kNoBus + " DBUS_SESSION_BUS_ADDRESS=" + kNoBus +
                          " QT_QPA_PLATFORM=offscreen ";
  return RunCommand("env " + env + ShellQuote(CLIPMENDER_EXECUTABLE) + " " + args + " 2>/dev/null");
}

std::string IniValue(const std::filesystem::path& path, const std::string& key) {
  return RunCommand("python3 -c " +
                    ShellQuote("import configparser,sys\nc=configparser.RawConfigParser()\nc.optionxform=str\n"
                               "c.read(sys.argv[1])\nprint(c['General'][sys.argv[2]],end='')") +
                    " " + ShellQuote(path.string()) + " " + ShellQuote(key))
      .output;
}

TEST(ClipmenderProgram, ALanguageArgumentIsStoredAndTheProgramEndsCleanly) {
  REQUIRE_TOOL("python3");
  TempDir work;
  const auto result = RunProgram(work, "fr");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_NE(result.output.find("argv = fr\n"), std::string::npos) << result.output;
  EXPECT_NE(result.output.find("windows are not built yet"), std::string::npos) << result.output;
  EXPECT_EQ(IniValue(work / "UserDefaults.ini", "PreferredLanguages"), "fr");
}

TEST(ClipmenderProgram, WithoutAnArgumentTheDefaultsAreLeftAlone) {
  TempDir work;
  auto result = RunProgram(work, "");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output.find("argv ="), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(work / "UserDefaults.ini"));

  ASSERT_EQ(RunProgram(work, "pt_BR").exitCode, 0);
  const std::string before = testsupport::Sha256(work / "UserDefaults.ini");
  result = RunProgram(work, "");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(testsupport::Sha256(work / "UserDefaults.ini"), before);
}

TEST(ClipmenderProgram, OnlyTheFirstArgumentCounts) {
  REQUIRE_TOOL("python3");
  TempDir work;
  ASSERT_EQ(RunProgram(work, "de fr").exitCode, 0);
  EXPECT_EQ(IniValue(work / "UserDefaults.ini", "PreferredLanguages"), "de");
}

}  // namespace
