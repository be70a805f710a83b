#include "ntfs/NTFSDataRunList.h"

#include <algorithm>

namespace {

// Walks mapping pairs and hands each decoded run to `sink`; answers the
// number of bytes consumed including the 0 terminator, or 0 when the runs are
// not sound. Every check happens before the bytes it guards are read.
template <class Sink>
int WalkMappingPairs(const uint8_t* runs, int length, Sink&& sink) {
  if (runs == nullptr || length < 1) return 0;
  int64_t pos = 0;
  int64_t lcn = 0;
  int64_t vcn = 0;
  while (true) {
    if (pos >= length) return 0;  // no terminator inside the buffer
    const uint8_t header = runs[pos];
    if (header == 0) return static_cast<int>(pos + 1);
    const int lengthSize = header & 0x0F;
    const int offsetSize = header >> 4;
    if (lengthSize < 1 || lengthSize > 8 || offsetSize > 8) return 0;
    // The fields and at least the next header byte must fit.
    if (pos + 1 + lengthSize + offsetSize >= length) return 0;
    const uint8_t* field = runs + pos + 1;

    uint64_t runLength = 0;
    for (int i = lengthSize - 1; i >= 0; --i) runLength = (runLength << 8) | field[i];
    if (runLength == 0 || runLength > static_cast<uint64_t>(INT64_MAX)) return 0;

    CDataRun run;
    run.VCN = vcn;
    run.Length = static_cast<int64_t>(runLength);
    if (offsetSize == 0) {
      run.LCN = -1;  // sparse: the previous start stays the reference
    } else {
      const uint8_t* off = field + lengthSize;
      uint64_t raw = 0;
      for (int i = offsetSize - 1; i >= 0; --i) raw = (raw << 8) | off[i];
      if (offsetSize < 8 && (off[offsetSize - 1] & 0x80)) raw |= ~uint64_t{0} << (8 * offsetSize);
      const int64_t delta = static_cast<int64_t>(raw);
      int64_t next;
      if (__builtin_add_overflow(lcn, delta, &next) || next < 0) return 0;
      int64_t last;
      if (__builtin_add_overflow(next, run.Length - 1, &last)) return 0;
      lcn = next;
      run.LCN = next;
    }
    if (__builtin_add_overflow(vcn, run.Length, &vcn)) return 0;
    sink(run);
    pos += 1 + lengthSize + offsetSize;
  }
}

}  // namespace

bool CNTFSDataRunList::IsValid(const uint8_t* runs, int length) {
  return WalkMappingPairs(runs, length, [](const CDataRun&) {}) > 0;
}

int CNTFSDataRunList::GetDataRunsByteCount(const uint8_t* runs, int length) {
  return WalkMappingPairs(runs, length, [](const CDataRun&) {});
}

bool CNTFSDataRunList::FormDataRunList(const uint8_t* runs, int length, Runs& list) {
  Runs decoded;
  if (WalkMappingPairs(runs, length, [&](const CDataRun& run) { decoded.push_back(run); }) == 0) return false;
  list.insert(list.end(), decoded.begin(), decoded.end());
  return true;
}

int64_t CNTFSDataRunList::GetTotalClusters(const uint8_t* runs, int length) {
  // The VCN sum is overflow-checked by the walk, so the total cannot overflow.
  int64_t total = 0;
  if (WalkMappingPairs(runs, length, [&](const CDataRun& run) { total += run.Length; }) == 0) return -1;
  return total;
}

int64_t CNTFSDataRunList::GetTotalClusters() const {
  int64_t total = 0;
  for (const CDataRun& run : runs_) {
    if (__builtin_add_overflow(total, run.Length, &total)) return INT64_MAX;
  }
  return total;
}

bool CNTFSDataRunList::InitFromBuffer(const uint8_t* runs, int length) {
  runs_.clear();
  return AddDataRunsfromBuffer(runs, length, 0);
}

bool CNTFSDataRunList::AddDataRunsfromBuffer(const uint8_t* runs, int length, int64_t startVCN) {
  Runs decoded;
  if (!FormDataRunList(runs, length, decoded)) return false;
  if (startVCN < 0) return false;
  for (CDataRun& run : decoded) {
    int64_t end;
    if (__builtin_add_overflow(run.VCN, startVCN, &run.VCN) ||
        __builtin_add_overflow(run.VCN, run.Length, &end)) {
      return false;
    }
  }
  runs_.insert(runs_.end(), decoded.begin(), decoded.end());
  return true;
}

int64_t CNTFSDataRunList::GetLCN(int64_t vcn) const {
  for (const CDataRun& run : runs_) {
    if (run.Length <= 0 || vcn < run.VCN) continue;
    const int64_t into = vcn - run.VCN;  // no overflow: vcn >= run.VCN
    if (into >= run.Length) continue;
    // A sparse run has no cluster on the volume: reading its part is zeros.
    int64_t lcn;
    if (run.IsSparse() || __builtin_add_overflow(run.LCN, into, &lcn)) return -1;
    return lcn;
  }
  return -1;
}

int64_t CNTFSDataRunList::GetVCN(int64_t lcn) const {
  if (lcn < 0) return -1;
  for (const CDataRun& run : runs_) {
    if (run.IsSparse() || run.Length <= 0 || lcn < run.LCN) continue;
    const int64_t into = lcn - run.LCN;
    if (into >= run.Length) continue;
    int64_t vcn;
    return __builtin_add_overflow(run.VCN, into, &vcn) ? -1 : vcn;
  }
  return -1;
}

bool CNTFSDataRunList::IsLCNContained(int64_t lcn) const { return GetVCN(lcn) >= 0; }

void CNTFSDataRunList::GetDataRunList(Runs& out) const { out.insert(out.end(), runs_.begin(), runs_.end()); }

bool CNTFSDataRunList::IsEqual(const CNTFSDataRunList& other) const { return runs_ == other.runs_; }

void CNTFSDataRunList::Sort() { std::stable_sort(runs_.begin(), runs_.end(), CLessThanbyVCN()); }
