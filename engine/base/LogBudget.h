// Keeps one damaged file from flooding the log. Copying or reading a file
// whose every chunk fails would write a line per chunk (hundreds of
// megabytes for a damaged size); a budget writes the first few lines of
// each kind (operation and source line) and only counts the rest, then
// writes one line with the count when it is flushed or goes.
#pragma once

#include <cstdint>
#include <vector>

class CLogBudget {
 public:
  static constexpr uint32_t kLinesPerKind = 3;

  CLogBudget() = default;
  // Flushes.
  ~CLogBudget();
  // A copy starts with a budget of its own.
  CLogBudget(const CLogBudget&) {}
  CLogBudget& operator=(const CLogBudget&) { return *this; }

  // Writes "%s %d\r\n" with `operation` (a string literal) and `line`, unless
  // kLinesPerKind lines of this kind were written already.
  void Log(const char* operation, int line);
  // Writes "%s %d: %u more\r\n" for every kind that was cut short, and
  // starts afresh.
  void Flush();

 private:
  struct Kind {
    const char* operation;
    int line;
    uint32_t seen;
  };
  std::vector<Kind> m_kinds;
};
