// The category filter: decides, for every node a searcher finds, whether it
// enters the result tree. Folders always do; files do when their extension's
// category is selected, or when nothing is selected.
#pragma once

#include <cstdint>

class IFileNode;

// Category bits chosen by the user.
enum _FILTER_TYPE : int {
  FILTER_TYPE_PICTURE = 1,
  FILTER_TYPE_MUSIC = 2,
  FILTER_TYPE_MOVIE = 4,
  FILTER_TYPE_ARCHIVE = 8,
  FILTER_TYPE_DOCUMENT = 16,
  FILTER_TYPE_OTHER = 32,
};
inline constexpr uint32_t kFilterAllTypes = 63;

enum _SCAN_TYPE : int {
  SCAN_TYPE_QUICK_MOUNTED = 0,  // quick scan of a mounted volume
  SCAN_TYPE_DEEP = 1,
  SCAN_TYPE_QUICK_UNMOUNTED = 2,  // quick scan of an unmounted volume
};

// The order of the virtual operations is part of the interface.
class IRecoveryFilter {
 public:
  virtual ~IRecoveryFilter() = default;
  // 1 when existing (not deleted) files are shown too: in deep scans and in
  // quick scans of unmounted volumes.
  virtual int ShowNormalFiles() const = 0;
  virtual void SetScanType(_SCAN_TYPE type) = 0;
  // 0 for null; 1 for a folder, for any file when no category is selected,
  // and for a file of a selected category.
  virtual int IsFileNodeValid(IFileNode* node) = 0;
  // Category bits; 0 and 63 both select nothing, i.e. every file passes.
  virtual void SetFilterTypes(uint32_t mask) = 0;
  // The node's category as a filter bit (32 for anything unknown).
  virtual _FILTER_TYPE GetNodeFileType(IFileNode* node) = 0;
  virtual void Release() = 0;
};

// The one process-wide filter, made on the first call from the extension
// lists of FileTypeManager.h (set them first). Every call answers the same
// object; it is never destroyed, so scans still running while the process
// exits never see it freed, and Release does nothing.
IRecoveryFilter* CreateFilter();
