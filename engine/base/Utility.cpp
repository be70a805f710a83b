#include "base/Utility.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "base/TextConvert.h"

namespace fs = std::filesystem;

namespace {

std::string ComputeWorkPath() {
  std::string path;
  if (const char* over = std::getenv("CLIPMENDER_WORK_DIR"); over && *over) {
    path = over;
  } else if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') {
    path = std::string(xdg) + "/clipmender";
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    path = std::string(home) + "/.local/share/clipmender";
  } else {
    path = "/tmp/clipmender-" + std::to_string(getuid());
  }
  std::error_code ec;
  fs::create_directories(path, ec);  // a failure shows later as a skipped log file
  return path;
}

// Copies every extended attribute, POSIX access lists included (they are the
// system.posix_acl_* attributes). Attributes the target refuses are skipped.
void CopyXattrs(const char* from, const char* to) {
  ssize_t size = llistxattr(from, nullptr, 0);
  if (size <= 0) return;
  std::vector<char> names(static_cast<size_t>(size));
  size = llistxattr(from, names.data(), names.size());
  if (size <= 0) return;
  std::vector<char> value;
  for (ssize_t i = 0; i < size;) {
    const char* name = names.data() + i;
    i += static_cast<ssize_t>(std::strlen(name)) + 1;
    const ssize_t len = lgetxattr(from, name, nullptr, 0);
    if (len < 0) continue;
    value.resize(static_cast<size_t>(len));
    const ssize_t got = lgetxattr(from, name, value.data(), value.size());
    if (got < 0) continue;
    lsetxattr(to, name, value.data(), static_cast<size_t>(got), 0);
  }
}

bool CopyTree(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  const auto status = fs::symlink_status(from, ec);
  if (ec) return false;
  if (fs::is_directory(status)) {
    fs::create_directory(to, from, ec);
    if (ec) return false;
    for (const auto& entry : fs::directory_iterator(from, ec)) {
      if (!CopyTree(entry.path(), to / entry.path().filename())) return false;
    }
    if (ec) return false;
  } else {
    fs::copy(from, to, fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing, ec);
    if (ec) return false;
  }
  CopyXattrs(from.c_str(), to.c_str());
  if (!fs::is_symlink(status)) {
    fs::last_write_time(to, fs::last_write_time(from, ec), ec);
  }
  return true;
}

}  // namespace

const char* GetAppWorkPath() {
  static const std::string path = ComputeWorkPath();
  return path.c_str();
}

namespace {
std::atomic<int>& NodeTraceState() {
  // -1: not decided yet.
  static std::atomic<int> state{-1};
  return state;
}
}  // namespace

bool IsNodeTraceOn() {
  int state = NodeTraceState().load(std::memory_order_relaxed);
  if (state < 0) {
    const char* text = std::getenv("CLIPMENDER_TRACE_NODES");
    state = text != nullptr && *text != '\0' && std::strcmp(text, "0") != 0 ? 1 : 0;
    int unset = -1;
    NodeTraceState().compare_exchange_strong(unset, state, std::memory_order_relaxed);
    state = NodeTraceState().load(std::memory_order_relaxed);
  }
  return state == 1;
}

void SetNodeTrace(bool on) { NodeTraceState().store(on ? 1 : 0, std::memory_order_relaxed); }

int isValidString(const char* text) {
  if (text == nullptr) return 0;
  return IsValidUtf8(text, std::strlen(text)) ? 1 : 0;
}

int ConverTime(time_t t, _SYSTEMTIME* out) {
  if (out == nullptr || t < 0) return 0;
  struct tm tm {};
  if (localtime_r(&t, &tm) == nullptr) return 0;
  out->wYear = static_cast<uint16_t>(tm.tm_year + 1900);
  out->wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
  out->wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
  out->wDay = static_cast<uint16_t>(tm.tm_mday);
  out->wHour = static_cast<uint16_t>(tm.tm_hour);
  out->wMinute = static_cast<uint16_t>(tm.tm_min);
  out->wSecond = static_cast<uint16_t>(tm.tm_sec);
  out->wMilliseconds = 0;
  return 0;
}

uint32_t GetLocalTime(_SYSTEMTIME* time) {
  if (time == nullptr) return 0xFFFFFFFF;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  ConverTime(now.tv_sec, time);
  time->wMilliseconds = static_cast<uint16_t>(now.tv_nsec / 1'000'000);
  return 0;
}

uint32_t GetTickCount() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u);
}

uint32_t GetFileSize(const char* path) {
  if (path == nullptr) return 0;
  struct stat st {};
  if (stat(path, &st) != 0) return 0;
  return static_cast<uint32_t>(st.st_size);
}

int CopyFileA(const char* from, const char* to, int /*unused*/) {
  if (from == nullptr || to == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return CopyTree(from, to) ? 0 : -1;
}
