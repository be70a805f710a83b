#include "ntfs/CompressedDataRunList.h"

#include <cstring>
#include <memory>

#include "ntfs/NTFSDataRunList.h"

CResidentNTFSDataRunList::CResidentNTFSDataRunList(int64_t recordSector, int64_t length, uint32_t offset)
    : CDataRunList(1), m_offset(offset) {
  AppendDataRun(DataRun{recordSector, length});
}

int CCompressedDataRunList::GetNeedBytes(int64_t value) {
  for (int n = 1; n < 8; ++n) {
    const int64_t limit = int64_t{1} << (8 * n - 1);
    if (value >= -limit && value < limit) return n;
  }
  return 8;
}

namespace {

// Appends `value` in `bytes` little-endian bytes at `out`; answers the end.
uint8_t* PutLittleEndian(uint8_t* out, int64_t value, int bytes) {
  const uint64_t v = static_cast<uint64_t>(value);
  for (int i = 0; i < bytes; ++i) *out++ = static_cast<uint8_t>(v >> (8 * i));
  return out;
}

}  // namespace

CCompressedDataRunList::CCompressedDataRunList(const CCompressedDataRunList& other) {
  Assign(other.GetData(), other.m_size, other.m_residentOffset);
}

CCompressedDataRunList& CCompressedDataRunList::operator=(const CCompressedDataRunList& other) {
  if (this != &other) Assign(other.GetData(), other.m_size, other.m_residentOffset);
  return *this;
}

CCompressedDataRunList::~CCompressedDataRunList() { Clear(); }

uint8_t* CCompressedDataRunList::HeapBytes() const {
  uint8_t* heap;
  std::memcpy(&heap, m_bytes, sizeof heap);
  return heap;
}

const uint8_t* CCompressedDataRunList::GetData() const { return m_size > kInline ? HeapBytes() : m_bytes; }

void CCompressedDataRunList::Clear() {
  if (m_size > kInline) delete[] HeapBytes();
  m_size = 0;
  m_residentOffset = 0;
}

void CCompressedDataRunList::Assign(const uint8_t* bytes, uint32_t size, uint16_t residentOffset) {
  uint8_t* heap = size > kInline ? new uint8_t[size] : nullptr;
  Clear();
  if (heap != nullptr) {
    std::memcpy(heap, bytes, size);
    std::memcpy(m_bytes, &heap, sizeof heap);
  } else if (size != 0) {
    std::memcpy(m_bytes, bytes, size);
  }
  m_size = size;
  m_residentOffset = size != 0 ? residentOffset : 0;
}

CCompressedDataRunList* CCompressedDataRunList::Compress(IDataRunList* list) {
  auto packed = std::make_unique<CCompressedDataRunList>();
  return packed->Pack(list) ? packed.release() : nullptr;
}

bool CCompressedDataRunList::Pack(IDataRunList* list) {
  Clear();
  if (list == nullptr) return false;
  const int64_t offset = list->GetOffset();
  const bool resident = list->IsResident() != 0;
  if (resident ? (offset <= 0 || offset > 0xFFFF) : offset != 0) return false;

  // A run takes at most 17 bytes; most lists are packed on the stack.
  uint8_t small[4 * 17 + 1];
  std::vector<uint8_t> large;
  uint8_t* out = small;
  uint8_t* end = small + sizeof small - 1;  // room for the terminator
  int64_t previous = 0;
  int64_t clusters = 0;
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    if (run->length <= 0) continue;
    // The unpacked list must decode: no cluster count or last cluster that
    // overflows.
    int64_t last;
    if (__builtin_add_overflow(clusters, run->length, &clusters)) return false;
    if (!run->IsSparse() && __builtin_add_overflow(run->start, run->length - 1, &last)) return false;
    if (end - out < 17) {
      // Past the stack buffer: what is packed so far moves to the heap.
      const size_t used = static_cast<size_t>(out - (large.empty() ? small : large.data()));
      if (large.empty()) large.assign(small, small + used);
      large.resize(used * 2 + 18);
      out = large.data() + used;
      end = large.data() + large.size() - 1;
    }
    const int lengthBytes = GetNeedBytes(run->length);
    if (run->IsSparse()) {
      *out++ = static_cast<uint8_t>(lengthBytes);
      out = PutLittleEndian(out, run->length, lengthBytes);
      continue;
    }
    const int64_t delta = run->start - previous;  // both are non-negative
    const int offsetBytes = GetNeedBytes(delta);
    *out++ = static_cast<uint8_t>(offsetBytes * 16 + lengthBytes);
    out = PutLittleEndian(out, run->length, lengthBytes);
    out = PutLittleEndian(out, delta, offsetBytes);
    previous = run->start;
  }
  const uint8_t* begin = large.empty() ? small : large.data();
  if (out == begin) return false;
  *out++ = 0;
  const auto size = static_cast<size_t>(out - begin);
  if (size > UINT32_MAX) return false;
  Assign(begin, static_cast<uint32_t>(size), resident ? static_cast<uint16_t>(offset) : 0);
  return true;
}

IDataRunList* CCompressedDataRunList::Decompress() const {
  if (m_size == 0 || m_size > static_cast<uint32_t>(INT32_MAX)) return nullptr;
  CNTFSDataRunList::Runs runs;
  if (!CNTFSDataRunList::FormDataRunList(GetData(), static_cast<int>(m_size), runs)) return nullptr;
  if (m_residentOffset != 0) {
    if (runs.empty()) return nullptr;
    return new CResidentNTFSDataRunList(runs.front().LCN, runs.front().Length, m_residentOffset);
  }
  auto* out = new CNoneResidentNTFSDataRunList();
  for (const CDataRun& run : runs) out->AddDataRun(DataRun{run.IsSparse() ? -1 : run.LCN, run.Length});
  return out;
}

// Every resident file of a scan keeps one of these on its node.
static_assert(sizeof(CResidentNTFSDataRunList) <= 40, "the content offset lives in the base list's tail padding");
