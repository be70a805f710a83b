// The category filter behind IRecoveryFilter. The process uses the one that
// CreateFilter makes; tests make their own.
#pragma once

#include <atomic>
#include <cstdint>

#include "FileTypeManager.h"
#include "RecoveryFilter.h"

class CRecoveryFilter : public IRecoveryFilter {
 public:
  // Fills the category table from the extension lists as they are now.
  CRecoveryFilter();
  ~CRecoveryFilter() override = default;

  int ShowNormalFiles() const override;
  void SetScanType(_SCAN_TYPE type) override;
  int IsFileNodeValid(IFileNode* node) override;
  void SetFilterTypes(uint32_t mask) override;
  _FILTER_TYPE GetNodeFileType(IFileNode* node) override;
  // Does nothing: the filter lives as long as the process.
  void Release() override;

  // The category of a node: 7 for null, for a null name and for a name
  // without "."; otherwise that of the text after the last ".".
  FILE_TYPE_ID GetNodeCategory(IFileNode* node) const;
  // Whether the category is among the selected ones (not whether it passes:
  // with nothing selected every file passes).
  bool IsSelected(FILE_TYPE_ID type) const;
  uint32_t GetFilterTypes() const { return m_mask.load(std::memory_order_relaxed); }

 private:
  // The application sets scan type and mask between scans while worker
  // threads of earlier operations may still ask; plain atomics keep that
  // defined without a lock on the per-node path.
  std::atomic<int> m_scanType{SCAN_TYPE_QUICK_MOUNTED};
  std::atomic<uint32_t> m_mask{0};
  CFileTypeManager m_manager;
  // Bit n set when FILE_TYPE_ID n is selected; 0 when nothing is.
  std::atomic<uint32_t> m_selected{0};
};
