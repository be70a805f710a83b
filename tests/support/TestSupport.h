// Helpers for tests that work on real data made by outside tools.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

struct CommandResult {
  int exitCode = -1;   // -1 when the command could not be run or was killed
  std::string output;  // standard output only
};

// Runs `command` through /bin/sh; standard error goes to the test's output.
CommandResult RunCommand(const std::string& command);

// Runs `command` and fails the current test when it does not exit with 0.
std::string RunCommandOrFail(const std::string& command);

// Quotes a path or word for /bin/sh.
std::string ShellQuote(const std::string& text);

bool HaveTool(const std::string& name);
// "tool not installed: NAME", REQUIRE_TOOL's message.
std::string ToolMissing(const std::string& name);
bool IsRoot();
bool HaveLoopDevices();  // root and /dev/loop-control
bool HaveFuse();         // root and /dev/fuse
// True under CI=true, where missing facilities are failures, not skips.
bool InCI();

struct ChildResult {
  int status = 0;      // as waitpid reports it
  std::string output;  // what the child wrote to its standard output
};
// Runs `body` in a forked child whose standard output goes to a pipe; the
// child exits with body's answer, unless it dies first.
ChildResult RunInChild(const std::function<int()>& body);

// A fresh folder under the build's temporary root, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const void* data, size_t size);
inline void WriteFile(const std::filesystem::path& path, const std::string& text) {
  WriteFile(path, text.data(), text.size());
}
// Hex SHA-256 of a file, computed by sha256sum.
std::string Sha256(const std::filesystem::path& path);
// The source tree's root (for committed fixtures and scripts).
std::filesystem::path SourceDir();
// The shared fixtures folder next to the checkout, or empty when absent.
std::filesystem::path SharedFixturesDir();

}  // namespace testsupport

// Skips the test with a message, or fails it under CI=true where every
// facility must be present.
#define REQUIRE_OR_SKIP(condition, message)           \
  do {                                                \
    if (!(condition)) {                               \
      if (::testsupport::InCI()) {                    \
        FAIL() << "required under CI: " << (message); \
      } else {                                        \
        GTEST_SKIP() << (message);                    \
      }                                               \
    }                                                 \
  } while (0)

#define REQUIRE_TOOL(name) REQUIRE_OR_SKIP(::testsupport::HaveTool(name), ::testsupport::ToolMissing(name))
