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

CDataRunList::~CDataRunList() { delete m_more; }

CDataRunList::CDataRunList(const CDataRunList& other)
    : IDataRunList(other),
      m_first(other.m_first),
      m_more(other.m_more != nullptr ? new std::deque<DataRun>(*other.m_more) : nullptr),
      m_bits(other.m_bits) {}

size_t CDataRunList::GetDataRunCount() const {
  if ((m_bits & kFirstBit) == 0) return 0;
  return 1 + (m_more != nullptr ? m_more->size() : 0);
}

DataRun* CDataRunList::RunAt(size_t index) {
  if (index >= GetDataRunCount()) return nullptr;
  return index == 0 ? &m_first : &(*m_more)[index - 1];
}

DataRun* CDataRunList::Last() {
  const size_t count = GetDataRunCount();
  return count == 0 ? nullptr : RunAt(count - 1);
}

void CDataRunList::AppendDataRun(const DataRun& run) {
  if ((m_bits & kFirstBit) == 0) {
    m_first = run;
    m_bits |= kFirstBit;
    return;
  }
  if (GetDataRunCount() >= kMaxRuns) return;
  if (m_more == nullptr) m_more = new std::deque<DataRun>();
  m_more->push_back(run);
}

DataRun* CDataRunList::GetFirst() {
  SetCursor(0);
  return RunAt(0);
}

DataRun* CDataRunList::GetNext() {
  const auto size = static_cast<int64_t>(GetDataRunCount());
  int64_t cursor = Cursor();
  if (cursor < size) SetCursor(++cursor);
  return cursor < size ? RunAt(static_cast<size_t>(cursor)) : nullptr;
}

int CDataRunList::IsDone() const {
  const auto size = static_cast<int64_t>(GetDataRunCount());
  return (size == 0 || Cursor() >= size) ? 1 : 0;
}

int CDataRunList::IsResident() const { return (m_bits & kResidentBit) != 0 ? 1 : 0; }

IDataRunList* CDataRunList::Clone() {
  auto* copy = new CDataRunList(IsResident());
  const size_t count = GetDataRunCount();
  for (size_t i = 0; i < count; ++i) copy->AddDataRun(RunAt(i));
  return copy;
}

void CDataRunList::AddDataRun(const DataRun* run) {
  if (run == nullptr) return;
  int64_t merged;
  if (DataRun* last = Last(); last != nullptr && Continues(*last, *run, merged)) {
    last->length = merged;
    return;
  }
  AppendDataRun(*run);
}

int64_t CDataRunList::GetOffset() const { return 0; }

int CDataRunList::GetDataRunListType() const { return kType; }

void CDataRunList::Release() { delete this; }

IDataRunList* CreateDataRunList() { return new CDataRunList(); }
