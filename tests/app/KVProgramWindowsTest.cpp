// The program as ./run starts it, on a desktop: without a display it says
// so instead of failing inside the toolkit; with one it shows its first
// window, keeps the language of its first argument, and a termination signal
// (logout, kill) ends it cleanly with its log closed.
#include <gtest/gtest.h>

#include <QSettings>
#include <QStringList>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "app/KVLinkUrl.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ShellQuote;

const std::string kNoBus = "unix:path=/nonexistent/clipmender-test-bus";

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The program with a private working folder, no buses and `display` as its
// only display setting.
std::string Program(const testsupport::TempDir& work, const std::string& display) {
  return "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM CLIPMENDER_WORK_DIR=" +
         ShellQuote(work.path().string()) + " DBUS_SYSTEM_BUS_ADDRESS=" + kNoBus +
         " DBUS_SESSION_BUS_ADDRESS=" + kNoBus + " " + display + " " + ShellQuote(CLIPMENDER_EXECUTABLE);
}

bool DisksRefused(const std::string& output) { return output.find("cannot read the disks") != std::string::npos; }

struct ProgramRun {
  int status = -1;
  std::string pid;
  std::string output;  // standard output and error
};

// Starts the program offscreen with `args`, waits for its first window and
// ends it with SIGTERM.
ProgramRun StartAndTerminate(const testsupport::TempDir& work, const std::string& args) {
  const std::string out = ShellQuote((work / "program.out").string());
  const auto result = testsupport::RunCommand(
      Program(work, "QT_QPA_PLATFORM=offscreen") + " " + args + " >" + out + " 2>&1 & pid=$!; " +
      "for i in $(seq 300); do grep -q 'stand-in window' " + out +
      " && break; kill -0 $pid 2>/dev/null || break; sleep 0.1; done; kill -TERM $pid 2>/dev/null; wait $pid; "
      "echo status=$? pid=$pid");
  ProgramRun run;
  std::smatch status;
  if (std::regex_search(result.output, status, std::regex(R"(status=(\d+) pid=(\d+))"))) {
    run.status = std::stoi(status[1]);
    run.pid = status[2];
  }
  run.output = ReadText(work / "program.out");
  return run;
}

TEST(ClipmenderWindows, WithoutADisplayItSaysSo) {
  testsupport::TempDir work;
  const auto result = testsupport::RunCommand(Program(work, "") + " 2>&1");
  if (DisksRefused(result.output)) GTEST_SKIP() << "this machine keeps its disks from the program";
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_NE(result.output.find("graphical desktop"), std::string::npos) << result.output;
}

TEST(ClipmenderWindows, ATerminationSignalEndsItCleanly) {
  testsupport::TempDir work;
  const ProgramRun run = StartAndTerminate(work, "");
  if (DisksRefused(run.output)) GTEST_SKIP() << "this machine keeps its disks from the program";
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("stand-in window"), std::string::npos) << run.output;
  // The process object announces the start and the end in the log.
  const std::string log = ReadText(work / "tolveraware.log");
  const std::string time = R"(\d\d:\d\d:\d\d )";
  EXPECT_TRUE(std::regex_search(log, std::regex("^" + time + R"(process\[clipmender:)" + run.pid + R"(\] started\n)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(time + R"(process\[)" + run.pid + R"(\] existed\n$)"))) << log;
}

TEST(ClipmenderWindows, TheFirstArgumentIsStoredAsTheLanguage) {
  testsupport::TempDir work;
  const auto ini = work / "UserDefaults.ini";
  const auto keys = [&] { return QSettings(QString::fromStdString(ini.string()), QSettings::IniFormat).allKeys(); };
  ProgramRun run = StartAndTerminate(work, "");
  if (DisksRefused(run.output)) GTEST_SKIP() << "this machine keeps its disks from the program";
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("argv ="), std::string::npos);
  // Nothing else is written; an update check, when the build names a list,
  // leaves its stamp.
  EXPECT_EQ(keys(),
            KVLinkUrl::BuiltInUrl(QStringLiteral("IniURL")).isEmpty() ? QStringList() : QStringList{"upDataTimeStr"});

  run = StartAndTerminate(work, "de fr");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("argv = de\n"), std::string::npos) << run.output;
  EXPECT_EQ(platform::UserDefaults(QString::fromStdString(ini.string())).PreferredLanguages(), QStringList{"de"});
  const std::string before = testsupport::Sha256(ini);
  EXPECT_EQ(StartAndTerminate(work, "").status, 0);
  EXPECT_EQ(testsupport::Sha256(ini), before);
}

}  // namespace
