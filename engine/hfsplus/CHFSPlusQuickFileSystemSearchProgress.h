// The go-on question and the progress count of the quick scan's walks (the
// journal's deleted records, then the catalog), passed on to the scan's
// progress sink (none: the walk always goes on). Unless silenced, the
// wrapper reports once more, finished, when it goes.
#pragma once

#include <cstdint>

#include "Progress.h"

class CHFSPlusQuickFileSystemSearchProgress {
 public:
  explicit CHFSPlusQuickFileSystemSearchProgress(IProgress* sink = nullptr, uint64_t total = 0, bool silent = true)
      : m_sink(sink), m_total(total), m_silent(silent) {}
  ~CHFSPlusQuickFileSystemSearchProgress() {
    if (m_silent || m_sink == nullptr) return;
    Report(PROGRESS_STATUS_FINISHED);
  }
  CHFSPlusQuickFileSystemSearchProgress(const CHFSPlusQuickFileSystemSearchProgress&) = delete;
  CHFSPlusQuickFileSystemSearchProgress& operator=(const CHFSPlusQuickFileSystemSearchProgress&) = delete;

  int Continued() { return m_sink == nullptr || m_sink->Continued() != 0; }
  // One more file or folder handed on. The sink hears of every 1024th: it
  // copies the record under the operation's lock and the application looks
  // at it every 0.1 s, so a call per file of a catalog of a million would
  // only cost time.
  void Advance() {
    ++m_current;
    if (m_sink != nullptr && (m_current & 0x3FF) == 0) Report(PROGRESS_STATUS_RUNNING);
  }
  void SetTotal(uint64_t total) { m_total = total; }
  uint64_t GetTotal() const { return m_total; }
  uint64_t GetCurrent() const { return m_current; }

 private:
  void Report(uint32_t status) {
    _PROGRESS_INFO info;
    info.status = status;
    info.total = m_total;
    info.current = m_current;
    m_sink->UpdateProgress(&info);
  }

  IProgress* m_sink;
  uint64_t m_total;
  uint64_t m_current = 0;
  bool m_silent;
};
