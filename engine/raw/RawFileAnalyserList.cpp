#include "raw/RawFileAnalyserList.h"

CRawFileAnalyserListSingle* CRawFileAnalyserListSingle::CreateInstance() {
  static CRawFileAnalyserListSingle instance;
  return &instance;
}

CRawFileAnalyserListSingle::CRawFileAnalyserListSingle() {
  BuildRawFileAnalyserList(m_all);
  BuildRawFileAnalyserMap(m_map);
  IndexKeys();
}

void CRawFileAnalyserListSingle::IndexKeys() {
  m_keyBits.fill(0);
  for (const auto& entry : m_map) m_keyBits[(entry.first & 0xFFFF) >> 6] |= uint64_t{1} << (entry.first & 63);
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserListByRawFileType(const std::vector<RAW_FILE_TYPE>* types) {
  m_noMagic.clear();
  BuildRawFileAnalyserListByFileType(m_noMagic, types);
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserMapByRawFileType(const std::vector<RAW_FILE_TYPE>*) {
  m_map.clear();
  BuildRawFileAnalyserMap(m_map);
  IndexKeys();
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserListByFileType(RawAnalyserList& list,
                                                                    const std::vector<RAW_FILE_TYPE>* types) {
  if (types != nullptr && !types->empty()) {
    for (const RAW_FILE_TYPE type : *types) CraetePartRawFileAnalyser(type, list);
    return;
  }
  for (uint32_t type = 1; type < kRawFileTypeCount; ++type) CraetePartRawFileAnalyser(type, list);
}

void CRawFileAnalyserListSingle::CraetePartRawFileAnalyser(uint32_t type, RawAnalyserList& list) {
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) {
    if (entry.noMagic && entry.type == type) list.emplace_back(entry.make());
  }
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserMap(RawAnalyserMap& map) {
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) {
    for (const uint32_t key : entry.keys) {
      if (key == 0) break;
      map[key].reset(entry.make());
    }
  }
}

void CRawFileAnalyserListSingle::BuildRawFileAnalyserList(RawAnalyserList& list) {
  for (const RawAnalyserEntry& entry : RawAnalyserEntries()) {
    if (entry.listed) list.emplace_back(entry.make());
  }
}
