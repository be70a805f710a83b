// The go-on question and the progress count of a walk over the catalog,
// passed on to the scan's progress sink (none: the walk always goes on).
#pragma once

#include <cstdint>

#include "Progress.h"

class CHFSPlusQuickFileSystemSearchProgress {
 public:
  explicit CHFSPlusQuickFileSystemSearchProgress(IProgress* sink = nullptr, uint64_t total = 0)
      : m_sink(sink), m_total(total) {}

  int Continued() { return m_sink == nullptr || m_sink->Continued() != 0; }
  // One more file or folder handed on.
  void Advance() {
    ++m_current;
    if (m_sink != nullptr && (m_current & 0x3FF) == 0) {
      _PROGRESS_INFO info;
      info.status = PROGRESS_STATUS_RUNNING;
      info.total = m_total;
      info.current = m_current;
      m_sink->UpdateProgress(&info);
    }
  }
  uint64_t GetCurrent() const { return m_current; }

 private:
  IProgress* m_sink;
  uint64_t m_total;
  uint64_t m_current = 0;
};
