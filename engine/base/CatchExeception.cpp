#include "base/CatchExeception.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <execinfo.h>
#include <sys/resource.h>
#include <unistd.h>

#include "base/Utility.h"

namespace {

constexpr size_t kTextField = 2000;  // at most 1999 characters after the prefix
constexpr int kMaxFrames = 128;
constexpr int kCrashSignals[] = {SIGILL, SIGABRT, SIGBUS, SIGSEGV};

std::recursive_mutex& LogLock() {
  // Never destroyed: see the header.
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

void RaiseLimitToHard(int resource) {
  struct rlimit limit {};
  if (getrlimit(resource, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(resource, &limit);
}

std::string ProcessName() {
  char name[64] = {};
  if (FILE* f = std::fopen("/proc/self/comm", "r")) {
    if (std::fgets(name, sizeof name, f) == nullptr) name[0] = 0;
    std::fclose(f);
  }
  size_t n = std::strlen(name);
  while (n > 0 && (name[n - 1] == '\n' || name[n - 1] == '\r')) name[--n] = 0;
  return n > 0 ? std::string(name) : std::string("Pocketrove");
}

void WriteAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t w = write(fd, text, length);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    text += w;
    length -= static_cast<size_t>(w);
  }
}

void WriteDecimal(int fd, long value) {
  char digits[24];
  size_t n = 0;
  const bool negative = value < 0;
  unsigned long v = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) digits[n++] = '-';
  char out[24];
  for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
  WriteAll(fd, out, n);
}

// Runs on the crashing thread, possibly inside malloc or with the log lock
// held: only async-signal-safe calls. backtrace() was primed in Install(), so
// it no longer loads libgcc (which would allocate).
void CrashHandler(int sig) {
  for (int s : kCrashSignals) signal(s, SIG_DFL);
  static const char kHeader[] = "crashed with signal ";
  WriteAll(STDOUT_FILENO, kHeader, sizeof kHeader - 1);
  WriteDecimal(STDOUT_FILENO, sig);
  WriteAll(STDOUT_FILENO, "\n", 1);
  void* frames[kMaxFrames];
  const int count = backtrace(frames, kMaxFrames);
  backtrace_symbols_fd(frames, count, STDOUT_FILENO);
  // The signal stays blocked until the handler returns; raising it now makes
  // the default action end the process on return, whether the signal came
  // from a fault or from raise()/abort().
  raise(sig);
}

}  // namespace

CatchExeception::CatchExeception() {
  RaiseLimitToHard(RLIMIT_CORE);
  RaiseLimitToHard(RLIMIT_NOFILE);
  const std::string name = ProcessName();
  WriteLog("process[%s:%d] started\n", name.c_str(), static_cast<int>(getpid()));
  std::atexit([] { WriteLog("process[%d] existed\n", static_cast<int>(getpid())); });
}

CatchExeception& CatchExeception::Instance() {
  static auto* instance = new CatchExeception();
  return *instance;
}

const char* CatchExeception::GetWorkPath() {
  static const std::string path = [] {
    std::string p = GetAppWorkPath();
    if (p.size() > 1023) p.resize(1023);
    return p;
  }();
  return path.c_str();
}

int CatchExeception::Install() {
  void* prime[1];
  backtrace(prime, 1);

  // An alternate stack lets the handler run after a stack overflow on the
  // installing thread.
  static char* altStack = static_cast<char*>(std::malloc(SIGSTKSZ * 4));
  if (altStack != nullptr) {
    stack_t ss {};
    ss.ss_sp = altStack;
    ss.ss_size = SIGSTKSZ * 4;
    sigaltstack(&ss, nullptr);
  }

  struct sigaction action {};
  action.sa_handler = CrashHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_ONSTACK;
  for (int s : kCrashSignals) sigaction(s, &action, nullptr);
  return 0;
}

int CatchExeception::WriteLog(const char* format, ...) {
  _SYSTEMTIME now {};
  GetLocalTime(&now);
  char line[16 + kTextField];
  const int prefix = std::snprintf(line, 16, "%02d:%02d:%02d ", now.wHour, now.wMinute, now.wSecond);

  va_list args;
  va_start(args, format);
  std::vsnprintf(line + prefix, kTextField, format, args);
  va_end(args);
  const int length = static_cast<int>(std::strlen(line));

  std::lock_guard<std::recursive_mutex> held(LogLock());
  std::printf("%s", line);
  std::fflush(stdout);
  const std::string path = std::string(GetWorkPath()) + "/" + kLogFileName;
  if (FILE* f = std::fopen(path.c_str(), "a+")) {
    const size_t written = std::fwrite(line, 1, static_cast<size_t>(length), f);
    // A full disk shows only when the buffer is flushed.
    const bool flushed = std::fflush(f) == 0;
    if ((written == 0 && length > 0) || !flushed) {
      std::printf("%s failed with %s\n", "WriteLog", std::strerror(errno));
    }
    std::fclose(f);
  }
  return length;
}
