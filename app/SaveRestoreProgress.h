// The progress of one save or load of a scan result, as its operation's sink
// sees it: a start at 5 of 100, steps of one, at most one per 100 ms and
// never past 98 before the end, and exactly one closing report (state 3,
// current = total) that carries the operation's error, 0 for none.
//
// Each operation has its own record and time stamp; only the operation's
// worker thread uses them.
#pragma once

#include <cstdint>
#include <functional>

#include "Progress.h"

namespace SaveRestoreResult {

class SaveRestoreProgress {
 public:
  // `clockMs` answers milliseconds on any steady scale (a monotonic clock
  // when empty).
  explicit SaveRestoreProgress(IProgress* sink, std::function<uint64_t()> clockMs = {});

  // The start (state 2, total 100, current 5), a step or the closing report;
  // answers the sink's answer, 0 when a step was thinned out.
  int IncProgress(bool finish, bool start);
  // Remembers the operation's error for the closing report; the first one
  // counts.
  void TipError(uint64_t code);
  uint64_t GetError() const { return m_error; }
  IProgress* Sink() const { return m_sink; }

  static constexpr uint64_t kThinningMs = 100;

 private:
  IProgress* m_sink;
  std::function<uint64_t()> m_clockMs;
  _PROGRESS_INFO m_record;
  uint64_t m_lastStepMs = 0;
  bool m_stepped = false;
  uint64_t m_error = 0;
};

}  // namespace SaveRestoreResult
