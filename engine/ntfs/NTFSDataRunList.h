// NTFS mapping pairs and the list of runs decoded from them.
//
// A mapping pair is a header byte (high nibble: size of the offset field, low
// nibble: size of the length field), the length (unsigned) and the offset
// (signed, relative to the previous run's first cluster). Fields of 1 to 8
// bytes are accepted, as real volumes past 2^31 clusters and our own packed
// lists need; decoding checks every sum for overflow. A pair without an
// offset field is a sparse run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One decoded run; an LCN of -1 (any negative LCN) marks a sparse run.
struct CDataRun {
  int64_t LCN = -1;     // first cluster, counted from the start of the volume
  int64_t VCN = 0;      // first cluster of the run within the attribute
  int64_t Length = 0;   // in clusters

  bool IsSparse() const { return LCN < 0; }
  bool operator==(const CDataRun& other) const = default;
};

struct CLessThanbyVCN {
  bool operator()(const CDataRun& a, const CDataRun& b) const { return a.VCN < b.VCN; }
};

class CNTFSDataRunList {
 public:
  using Runs = std::vector<CDataRun>;

  // The run-list test: every header's fields are 1-8 bytes long (the length
  // field at least 1), every field lies inside `length` with room left for the
  // terminating 0 byte, lengths are positive, no non-sparse run starts before
  // cluster 0, and no sum overflows. A first byte of 0 is an empty, valid list.
  static bool IsValid(const uint8_t* runs, int length);
  // Decodes runs that pass the test into `list` (appended, VCNs from 0).
  static bool FormDataRunList(const uint8_t* runs, int length, Runs& list);
  // The sum of the run lengths (sparse runs included); -1 when the runs fail
  // the test.
  static int64_t GetTotalClusters(const uint8_t* runs, int length);
  // The number of bytes up to and including the terminating 0; 0 when the
  // runs fail the test.
  static int GetDataRunsByteCount(const uint8_t* runs, int length);

  // The sum of the lengths in the list.
  int64_t GetTotalClusters() const;
  // Replaces the list with the decoded runs; false (list emptied) when the
  // runs fail the test.
  bool InitFromBuffer(const uint8_t* runs, int length);
  // Appends the decoded runs with `startVCN` added to every VCN; false (list
  // unchanged) when the runs fail the test or a VCN would overflow.
  bool AddDataRunsfromBuffer(const uint8_t* runs, int length, int64_t startVCN);
  // Appends one run as it is.
  void AddDataRun(const CDataRun& run) { runs_.push_back(run); }

  // The cluster on the volume that holds `vcn`; -1 when no run covers it or
  // the covering run is sparse.
  int64_t GetLCN(int64_t vcn) const;
  // The VCN of volume cluster `lcn`; -1 when no non-sparse run holds it.
  int64_t GetVCN(int64_t lcn) const;
  bool IsLCNContained(int64_t lcn) const;

  // Appends copies of every run to `out`.
  void GetDataRunList(Runs& out) const;
  bool IsEqual(const CNTFSDataRunList& other) const;
  // Stable sort by VCN.
  void Sort();
  bool IsEmpty() const { return runs_.empty(); }
  size_t GetCount() const { return runs_.size(); }
  void ClearDataRunList() { runs_.clear(); }
  Runs::const_iterator GetBegin() const { return runs_.begin(); }
  Runs::const_iterator GetEnd() const { return runs_.end(); }
  const Runs& GetRuns() const { return runs_; }

 private:
  Runs runs_;
};
