#include "support/TestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace fs = std::filesystem;

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 65536> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  result.exitCode = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string RunCommandOrFail(const std::string& command) {
  CommandResult r = RunCommand(command);
  EXPECT_EQ(r.exitCode, 0) << "command failed: " << command << "\n" << r.output;
  return r.output;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

ChildResult RunInChild(const std::function<int()>& body) {
  int fds[2];
  ChildResult result;
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "no pipe";
    return result;
  }
  std::fflush(stdout);  // or the child writes the parent's pending output again
  const pid_t pid = fork();
  if (pid < 0) {
    // Without a child, waitpid below would wait for any other one.
    ADD_FAILURE() << "no fork";
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    const int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  close(fds[1]);
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, &result.status, 0);
  return result;
}

bool HaveTool(const std::string& name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null 2>&1").exitCode == 0;
}

std::string ToolMissing(const std::string& name) {
  // Appended, not `std::string(...) + name` in the macro: g++ 12 warns
  // falsely about that temporary's bounds in some test files at -O1.
  std::string message = "tool not installed: ";
  message += name;
  return message;
}

bool IsRoot() { return geteuid() == 0; }
bool HaveLoopDevices() { return IsRoot() && access("/dev/loop-control", R_OK | W_OK) == 0; }
bool HaveFuse() { return IsRoot() && access("/dev/fuse", R_OK | W_OK) == 0; }

bool InCI() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  fs::path root = (base && *base) ? fs::path(base) : fs::temp_directory_path();
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = root / ("clipmender-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  ADD_FAILURE() << "cannot make a temporary folder under " << root;
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  EXPECT_TRUE(out.good()) << "cannot write " << path;
}

std::string Sha256(const fs::path& path) {
  std::string out = RunCommand("sha256sum " + ShellQuote(path.string())).output;
  return out.substr(0, out.find(' '));
}

fs::path SourceDir() {
  if (const char* dir = std::getenv("CLIPMENDER_SOURCE_DIR"); dir && *dir) return dir;
  return fs::path(__FILE__).parent_path().parent_path().parent_path();
}

fs::path SharedFixturesDir() {
  if (const char* dir = std::getenv("CLIPMENDER_SHARED_FIXTURES"); dir && *dir) return dir;
  const fs::path candidate = SourceDir().parent_path() / "shared" / "fixtures";
  std::error_code ec;
  return fs::is_directory(candidate, ec) ? candidate : fs::path();
}

}  // namespace testsupport
