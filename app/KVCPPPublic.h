// Shared services of the application core around found nodes: their tree
// root and searcher, year and month of their times, the localised category
// names, and the single-instance test.
#pragma once

#include <ctime>
#include <string>

#include "EngineTypes.h"
#include "FileTime.h"
#include "RecoveryFilter.h"

class IFileNode;
class IFilesystemNode;

class KVCPPPublic {
 public:
  // The one object of the process; it keeps no state.
  static KVCPPPublic& instance();

  // The topmost ancestor reached from `node` itself through at most 1024
  // parents, when it is a file-system node; null for a null node.
  IFilesystemNode* GetFileSystemNode(IFileNode* node);
  // The searcher type of the node's tree root; SEARCHER_TYPE_NONE when the
  // node or its root is missing.
  _tagSearcherType GetNodeSearcheType(IFileNode* node);

  // Local year and month (1 to 12) of a time; null pointers are skipped.
  void GetYearMonthByTimeT(int* year, int* month, time_t t);
  void GetYearMonthByFileTime(int* year, int* month, _FILETIME t);

  // The category's name in the interface language (UTF-8); "" for a value
  // that is not one category bit.
  std::string FilterTypeToString(_FILTER_TYPE type);
  // The first category whose name is `text`; FILTER_TYPE_OTHER when none is,
  // or for null.
  _FILTER_TYPE StringToFilterType(const char* text);
  bool IsTypeString(const char* text, _FILTER_TYPE type);
  // The search's name match (KVUIPublic::IsString).
  bool IsStringInFileNode(const char* key, IFileNode* node);

  // Whether another process of this product runs.
  bool IsAppRunning();

 private:
  KVCPPPublic() = default;
};
