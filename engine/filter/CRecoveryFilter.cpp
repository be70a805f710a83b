#include "filter/CRecoveryFilter.h"

#include <cstring>

#include "FileNode.h"

CRecoveryFilter::CRecoveryFilter() { m_manager.Initialize(); }

int CRecoveryFilter::ShowNormalFiles() const {
  return m_scanType.load(std::memory_order_relaxed) != SCAN_TYPE_QUICK_MOUNTED ? 1 : 0;
}

void CRecoveryFilter::SetScanType(_SCAN_TYPE type) { m_scanType.store(type, std::memory_order_relaxed); }

void CRecoveryFilter::SetFilterTypes(uint32_t mask) {
  m_mask.store(mask, std::memory_order_relaxed);
  uint32_t selected = 0;
  if (mask != kFilterAllTypes) {
    static constexpr struct {
      uint32_t bit;
      FILE_TYPE_ID type;
    } kBits[] = {
        {FILTER_TYPE_PICTURE, FILE_TYPE_PICTURE}, {FILTER_TYPE_MUSIC, FILE_TYPE_MUSIC},
        {FILTER_TYPE_MOVIE, FILE_TYPE_MOVIE},     {FILTER_TYPE_DOCUMENT, FILE_TYPE_DOCUMENT},
        {FILTER_TYPE_ARCHIVE, FILE_TYPE_ARCHIVE}, {FILTER_TYPE_OTHER, FILE_TYPE_OTHER},
    };
    for (const auto& entry : kBits) {
      if ((mask & entry.bit) != 0) selected |= 1u << entry.type;
    }
  }
  m_selected.store(selected, std::memory_order_relaxed);
}

bool CRecoveryFilter::IsSelected(FILE_TYPE_ID type) const {
  return type >= 0 && type < 32 && (m_selected.load(std::memory_order_relaxed) & (1u << type)) != 0;
}

int CRecoveryFilter::IsFileNodeValid(IFileNode* node) {
  if (node == nullptr) return 0;
  if (m_selected.load(std::memory_order_relaxed) == 0) return 1;
  if (node->IsDirectory() != 0) return 1;
  return IsSelected(GetNodeCategory(node)) ? 1 : 0;
}

FILE_TYPE_ID CRecoveryFilter::GetNodeCategory(IFileNode* node) const {
  if (node == nullptr) return FILE_TYPE_OTHER;
  const char* name = node->GetFileName();
  if (name == nullptr) return FILE_TYPE_OTHER;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return FILE_TYPE_OTHER;
  return m_manager.GetFileTypeID(dot + 1);
}

_FILTER_TYPE CRecoveryFilter::GetNodeFileType(IFileNode* node) {
  switch (GetNodeCategory(node)) {
    case FILE_TYPE_PICTURE:
      return FILTER_TYPE_PICTURE;
    case FILE_TYPE_MUSIC:
      return FILTER_TYPE_MUSIC;
    case FILE_TYPE_MOVIE:
      return FILTER_TYPE_MOVIE;
    case FILE_TYPE_ARCHIVE:
      return FILTER_TYPE_ARCHIVE;
    case FILE_TYPE_DOCUMENT:
      return FILTER_TYPE_DOCUMENT;
    default:
      return FILTER_TYPE_OTHER;
  }
}

void CRecoveryFilter::Release() {}

IRecoveryFilter* CreateFilter() {
  // Made once, thread-safely, and never destroyed (see RecoveryFilter.h).
  static CRecoveryFilter* const filter = new CRecoveryFilter();
  return filter;
}
