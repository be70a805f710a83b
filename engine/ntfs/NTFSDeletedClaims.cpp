#include "ntfs/NTFSDeletedClaims.h"

#include "DataRunList.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/NTFSFileProperties.h"

int64_t CNTFSDeletedClaims::Add(CNTFSFileProperties& properties) {
  const CCompressedDataRunList* packed = properties.GetCompressedDataRunList();
  // Resident data lives in the file's own record: no cluster of its own.
  if (packed == nullptr || packed->GetResidentOffset() != 0) return -1;
  IDataRunList* list = properties.GetDataRunList();
  if (list == nullptr) return -1;
  std::vector<Extent> extents;
  if (list->IsResident() == 0) {
    for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
      if (run->IsSparse() || run->length <= 0) continue;
      const auto first = static_cast<uint64_t>(run->start);
      const auto length = static_cast<uint64_t>(run->length);
      if (length > UINT64_MAX - first) continue;
      extents.emplace_back(first, first + length);
    }
  }
  list->Release();
  if (extents.empty() || m_times.size() >= claims::kNoOwner) return -1;
  const claims::Times times{properties.GetCreationTime(), properties.GetModificationTime()};
  const auto [at, added] = m_known.try_emplace(std::make_tuple(times.created, times.written, extents),
                                               static_cast<uint32_t>(m_times.size()));
  if (!added) return at->second;
  const uint32_t owner = at->second;
  m_times.push_back(times);
  for (const Extent& e : extents) m_spans.push_back(claims::Span{e.first, e.second, owner, 1});
  return owner;
}

std::vector<bool> CNTFSDeletedClaims::Judge() const {
  // NTFS times count in 100-nanosecond steps: only equal ones cannot be
  // told apart.
  return claims::OverwrittenAmongOverlapping(m_spans, m_times, 0);
}
