// The program as ./run starts it, on a desktop: without a display it says
// so instead of failing inside the toolkit; with one it shows its first
// window, the wizard, keeps the language of its first argument, and a
// termination signal (logout, kill) ends it cleanly with its log closed. A
// second program of the same name ends at once.
#include <gtest/gtest.h>

#include <QSettings>
#include <QStringList>

#include <unistd.h>

#include <filesystem>
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

// The line the program prints once its first window shows, and the one it
// prints when it ends at once because another runs.
const char* const kWindowShown = "wizard window is shown";
const char* const kAnotherRuns = "another process of the application runs";

// A program of the application's name that runs beside the tests (a user's,
// or another build's tests) ends the programs started here at once.
bool AnotherRan(const std::string& output) { return output.find(kAnotherRuns) != std::string::npos; }

// The program under a process name of its own: a program that finds another
// of the application's name running ends at once, and these tests may run
// side by side.
std::string Launcher(const testsupport::TempDir& work, const std::string& name) {
  std::filesystem::create_directories(work / "bin");
  const auto link = work / "bin" / name;
  if (!std::filesystem::exists(link)) std::filesystem::create_symlink(CLIPMENDER_EXECUTABLE, link);
  return link.string();
}

std::string OwnName() { return "cm-" + std::to_string(getpid()); }

// The program with a private working folder, no buses and `display` as its
// only display setting.
std::string Program(const testsupport::TempDir& work, const std::string& display, const std::string& name = OwnName()) {
  return "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM CLIPMENDER_WORK_DIR=" +
         ShellQuote(work.path().string()) + " DBUS_SYSTEM_BUS_ADDRESS=" + kNoBus +
         " DBUS_SESSION_BUS_ADDRESS=" + kNoBus + " " + display + " " + ShellQuote(Launcher(work, name));
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
  // The last run's output goes first: the new program may not have opened
  // (and emptied) the file yet when the first look finds the old line.
  const auto result = testsupport::RunCommand(
      "rm -f " + out + "; " + Program(work, "QT_QPA_PLATFORM=offscreen") + " " + args + " >" + out + " 2>&1 & pid=$!; " +
      "for i in $(seq 300); do grep -q '" + kWindowShown + "' " + out +
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
  if (AnotherRan(run.output)) GTEST_SKIP() << "another program of the application's name runs on this machine";
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(kWindowShown), std::string::npos) << run.output;
  // The process object announces the start (with the process's name) and
  // the end in the log.
  const std::string log = ReadText(work / "tolveraware.log");
  const std::string time = R"(\d\d:\d\d:\d\d )";
  EXPECT_TRUE(
      std::regex_search(log, std::regex("^" + time + R"(process\[)" + OwnName() + ":" + run.pid + R"(\] started\n)")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex(time + R"(process\[)" + run.pid + R"(\] existed\n$)"))) << log;
}

TEST(ClipmenderWindows, TheFirstArgumentIsStoredAsTheLanguage) {
  testsupport::TempDir work;
  const auto ini = work / "UserDefaults.ini";
  const auto keys = [&] { return QSettings(QString::fromStdString(ini.string()), QSettings::IniFormat).allKeys(); };
  ProgramRun run = StartAndTerminate(work, "");
  if (DisksRefused(run.output)) GTEST_SKIP() << "this machine keeps its disks from the program";
  if (AnotherRan(run.output)) GTEST_SKIP() << "another program of the application's name runs on this machine";
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

TEST(ClipmenderWindows, ASecondProgramEndsAtOnce) {
  testsupport::TempDir work;
  const std::string out = ShellQuote((work / "first.out").string());
  // Both under the application's own name.
  const auto result = testsupport::RunCommand(
      Program(work, "QT_QPA_PLATFORM=offscreen", "clipmender") + " >" + out + " 2>&1 & pid=$!; " +
      "for i in $(seq 300); do grep -q '" + kWindowShown + "' " + out +
      " && break; kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
      "kill -0 $pid 2>/dev/null || { echo first-ended; exit 0; }; " +
      "timeout 60 " + Program(work, "QT_QPA_PLATFORM=offscreen", "clipmender") + " >" +
      ShellQuote((work / "second.out").string()) + " 2>&1; echo second=$?; kill -TERM $pid; wait $pid");
  const std::string first = ReadText(work / "first.out");
  if (DisksRefused(first)) GTEST_SKIP() << "this machine keeps its disks from the program";
  if (result.output.find("first-ended") != std::string::npos) {
    GTEST_SKIP() << "another program of the application's name runs on this machine:\n" << first;
  }
  EXPECT_NE(result.output.find("second=0"), std::string::npos) << result.output;
  const std::string second = ReadText(work / "second.out");
  EXPECT_EQ(second.find(kWindowShown), std::string::npos) << second;
  EXPECT_TRUE(AnotherRan(second)) << second;
}

}  // namespace
