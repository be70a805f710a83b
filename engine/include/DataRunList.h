// Extents of a found file: where its content lies on the scanned device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

// One extent: `start` is a cluster number counted from the partition's first
// data sector (CSearchedPartitionInfo); `length` is in clusters. Any negative
// start marks a sparse run: no stored data, reads as zeros.
struct DataRun {
  int64_t start = 0;
  int64_t length = 0;

  bool IsSparse() const { return start < 0; }
};

// The order of the virtual operations is part of the interface.
class IDataRunList {
 public:
  virtual ~IDataRunList() = default;

  // The first run (null when empty); puts the cursor on it.
  virtual DataRun* GetFirst() = 0;
  // Moves the cursor on and answers the run there; null past the end.
  virtual DataRun* GetNext() = 0;
  virtual int IsDone() const = 0;
  virtual int IsResident() const = 0;
  // A new list with the same runs; the caller owns it.
  virtual IDataRunList* Clone() = 0;
  virtual void AddDataRun(const DataRun* run) = 0;
  virtual int64_t GetOffset() const = 0;
  virtual int GetDataRunListType() const = 0;
  virtual void Release() = 0;
};

// The generic list (type 5). It keeps copies of the runs it is given and
// lengthens its last run instead of adding one when the new run continues it.
// Run pointers it hands out stay valid until the list is destroyed. A list
// holds at most kMaxRuns runs; further runs are ignored.
class CDataRunList : public IDataRunList {
 public:
  static constexpr int kType = 5;
  static constexpr size_t kMaxRuns = (size_t{1} << 30) - 2;

  CDataRunList() = default;
  explicit CDataRunList(uint32_t resident) { SetResident(resident); }
  ~CDataRunList() override;
  CDataRunList& operator=(const CDataRunList&) = delete;

  DataRun* GetFirst() override;
  DataRun* GetNext() override;
  int IsDone() const override;
  int IsResident() const override;
  // The runs in order, added through AddDataRun (so contiguous runs merge),
  // and the same resident flag.
  IDataRunList* Clone() override;
  // Null is ignored. When the last run is not sparse, neither length is
  // negative and the last run ends exactly where `run` starts, the last run
  // grows; otherwise a copy is appended. Nothing merges with a sparse run.
  void AddDataRun(const DataRun* run) override;
  int64_t GetOffset() const override;       // 0
  int GetDataRunListType() const override;  // 5
  void Release() override;

  // The resident flag: set by readers of stored scan results, whose lists
  // stand for content kept inside a metadata record.
  void SetResident(uint32_t resident) { m_bits = resident != 0 ? (m_bits | kResidentBit) : (m_bits & ~kResidentBit); }
  size_t GetDataRunCount() const;

 protected:
  // A copy of the runs, the resident flag and the cursor.
  CDataRunList(const CDataRunList& other);
  // Appends a copy without merging (for lists that keep every run as given).
  void AppendDataRun(const DataRun& run);

 private:
  static constexpr uint32_t kCursorMask = (1u << 30) - 1;
  static constexpr uint32_t kResidentBit = 1u << 30;
  static constexpr uint32_t kFirstBit = 1u << 31;

  DataRun* RunAt(size_t index);
  DataRun* Last();
  // The cursor: index of the run under it, -1 before the first GetFirst.
  int64_t Cursor() const { return static_cast<int64_t>(m_bits & kCursorMask) - 1; }
  void SetCursor(int64_t cursor) { m_bits = (m_bits & ~kCursorMask) | static_cast<uint32_t>(cursor + 1); }

  // Most files have one run: it lives in the list itself, and only a list
  // with more makes the deque (whose blocks keep the runs' addresses while
  // runs are added). The cursor (plus one), the resident flag and whether
  // the first run is there share one word, so that a list of one run (and
  // the four bytes a derived list adds) stays within 40 bytes.
  DataRun m_first;
  std::deque<DataRun>* m_more = nullptr;
  uint32_t m_bits = 0;
};

// A new empty CDataRunList; the caller owns it (usually by handing it to a
// node).
IDataRunList* CreateDataRunList();
