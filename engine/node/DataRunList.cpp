#include "DataRunList.h"

namespace {

// Whether `next` continues `last` on disk, so that the two can be one run.
bool Continues(const DataRun& last, const DataRun& next, int64_t& mergedLength) {
  if (last.start < 0 || next.start < 0 || last.length < 0 || next.length < 0) return false;
  int64_t end;
  if (__builtin_add_overflow(last.start, last.length, &end) || end != next.start) return false;
  return !__builtin_add_overflow(last.length, next.length, &mergedLength);
}

}  // namespace

DataRun* CDataRunList::GetFirst() {
  m_cursor = 0;
  return m_runs.empty() ? nullptr : &m_runs.front();
}

DataRun* CDataRunList::GetNext() {
  const int64_t size = static_cast<int64_t>(m_runs.size());
  if (m_cursor < size) ++m_cursor;
  return m_cursor < size ? &m_runs[static_cast<size_t>(m_cursor)] : nullptr;
}

int CDataRunList::IsDone() const { return (m_runs.empty() || m_cursor >= static_cast<int64_t>(m_runs.size())) ? 1 : 0; }

int CDataRunList::IsResident() const { return m_resident != 0 ? 1 : 0; }

IDataRunList* CDataRunList::Clone() {
  auto* copy = new CDataRunList(m_resident);
  for (const DataRun& run : m_runs) copy->AddDataRun(&run);
  return copy;
}

void CDataRunList::AddDataRun(const DataRun* run) {
  if (run == nullptr) return;
  int64_t merged;
  if (!m_runs.empty() && Continues(m_runs.back(), *run, merged)) {
    m_runs.back().length = merged;
    return;
  }
  m_runs.push_back(*run);
}

int64_t CDataRunList::GetOffset() const { return 0; }

int CDataRunList::GetDataRunListType() const { return kType; }

void CDataRunList::Release() { delete this; }

IDataRunList* CreateDataRunList() { return new CDataRunList(); }
