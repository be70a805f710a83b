#include "ntfs/CompressedDataRunList.h"

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

void PutLittleEndian(std::vector<uint8_t>& out, int64_t value, int bytes) {
  const uint64_t v = static_cast<uint64_t>(value);
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

CCompressedDataRunList* CCompressedDataRunList::Compress(IDataRunList* list) {
  if (list == nullptr) return nullptr;
  const int64_t offset = list->GetOffset();
  const bool resident = list->IsResident() != 0;
  if (resident ? (offset <= 0 || offset > 0xFFFF) : offset != 0) return nullptr;

  std::vector<uint8_t> bytes;
  int64_t previous = 0;
  int64_t clusters = 0;
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    if (run->length <= 0) continue;
    // The unpacked list must decode: no cluster count or last cluster that
    // overflows.
    int64_t last;
    if (__builtin_add_overflow(clusters, run->length, &clusters)) return nullptr;
    if (!run->IsSparse() && __builtin_add_overflow(run->start, run->length - 1, &last)) return nullptr;
    const int lengthBytes = GetNeedBytes(run->length);
    if (run->IsSparse()) {
      bytes.push_back(static_cast<uint8_t>(lengthBytes));
      PutLittleEndian(bytes, run->length, lengthBytes);
      continue;
    }
    const int64_t delta = run->start - previous;  // both are non-negative
    const int offsetBytes = GetNeedBytes(delta);
    bytes.push_back(static_cast<uint8_t>(offsetBytes * 16 + lengthBytes));
    PutLittleEndian(bytes, run->length, lengthBytes);
    PutLittleEndian(bytes, delta, offsetBytes);
    previous = run->start;
  }
  if (bytes.empty()) return nullptr;
  bytes.push_back(0);
  auto* packed = new CCompressedDataRunList();
  packed->m_residentOffset = resident ? static_cast<uint16_t>(offset) : 0;
  packed->m_runs = std::move(bytes);
  return packed;
}

IDataRunList* CCompressedDataRunList::Decompress() const {
  if (m_runs.empty()) return nullptr;
  CNTFSDataRunList::Runs runs;
  if (!CNTFSDataRunList::FormDataRunList(m_runs.data(), static_cast<int>(m_runs.size()), runs)) return nullptr;
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
