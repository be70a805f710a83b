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
// Run pointers it hands out stay valid until the list is destroyed.
class CDataRunList : public IDataRunList {
 public:
  static constexpr int kType = 5;

  CDataRunList() = default;
  explicit CDataRunList(uint32_t resident) : m_resident(resident) {}
  ~CDataRunList() override = default;

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
  void SetResident(uint32_t resident) { m_resident = resident; }
  size_t GetDataRunCount() const { return m_runs.size(); }

 protected:
  // Appends a copy without merging (for lists that keep every run as given).
  void AppendDataRun(const DataRun& run) { m_runs.push_back(run); }

 private:
  uint32_t m_resident = 0;
  std::deque<DataRun> m_runs;
  // Index of the run under the cursor; -1 before the first GetFirst.
  int64_t m_cursor = -1;
};

// A new empty CDataRunList; the caller owns it (usually by handing it to a
// node).
IDataRunList* CreateDataRunList();
