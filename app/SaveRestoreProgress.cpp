#include "app/SaveRestoreProgress.h"

#include <chrono>

namespace SaveRestoreResult {

SaveRestoreProgress::SaveRestoreProgress(IProgress* sink, std::function<uint64_t()> clockMs)
    : m_sink(sink), m_clockMs(std::move(clockMs)) {
  if (!m_clockMs) {
    m_clockMs = [] {
      return static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count());
    };
  }
}

int SaveRestoreProgress::IncProgress(bool finish, bool start) {
  if (start) {
    m_record = _PROGRESS_INFO();
    m_record.status = PROGRESS_STATUS_RUNNING;
    m_record.total = 100;
    m_record.current = 5;
  } else if (finish) {
    m_record.status = PROGRESS_STATUS_FINISHED;
    if (m_record.total == 0) m_record.total = 100;
    m_record.current = m_record.total;
    m_record.error = m_error;
  } else {
    // Steps come per record, far more often than anyone can watch.
    const uint64_t now = m_clockMs();
    if (m_stepped && now - m_lastStepMs < kThinningMs) return 0;
    m_stepped = true;
    m_lastStepMs = now;
    if (m_record.current + 2 < m_record.total) ++m_record.current;
  }
  if (m_sink == nullptr) return 0;
  _PROGRESS_INFO copy = m_record;
  return m_sink->UpdateProgress(&copy);
}

void SaveRestoreProgress::TipError(uint64_t code) {
  if (m_error == 0) m_error = code;
}

}  // namespace SaveRestoreResult
