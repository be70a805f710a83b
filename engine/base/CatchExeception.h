// The process-wide log writer and crash handler.
//
// Every log line starts with the local time as "HH:MM:SS " and goes to
// standard output and, appended, to "tolveraware.log" in the working folder.
// One process-wide lock keeps lines whole when threads log at once.
//
// The object is made on first use and never destroyed: workers may still log
// while the process exits, so nothing they use may be torn down under them.
#pragma once

#include <cstddef>

class CatchExeception {
 public:
  // Writes one line and answers its length (time prefix included). The text
  // after the prefix is cut to 1999 characters; no newline is added.
  static int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // The process object: on first use it raises the core-file and open-file
  // limits as far as allowed and logs "process[<name>:<pid>] started".
  static CatchExeception& Instance();

  // Installs the crash handler for SIGILL, SIGABRT, SIGBUS and SIGSEGV. On a
  // crash it prints the call stack (at most 128 frames) to standard output,
  // using only async-signal-safe calls, and the process then dies by the
  // same signal. Answers 0.
  static int Install();

  // The working folder (at most 1023 characters), computed once.
  static const char* GetWorkPath();

  // The name of the log file inside the working folder.
  static constexpr const char* kLogFileName = "tolveraware.log";

  CatchExeception(const CatchExeception&) = delete;
  CatchExeception& operator=(const CatchExeception&) = delete;

 private:
  CatchExeception();
  ~CatchExeception() = delete;
};
