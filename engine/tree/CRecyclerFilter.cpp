#include "tree/CRecyclerFilter.h"

#include <strings.h>

#include <cstring>

#include "FileNode.h"

namespace {

// No real volume nests folders this deep; the bound only keeps a damaged
// tree from holding a scan.
constexpr int kMaxAncestors = 1 << 16;

bool StartsWith(const char* name, const char* prefix) {
  return name != nullptr && std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

bool CRecyclerFilter::IsFolder(IFileNode* node) {
  return node != nullptr && ((node->GetAttribute() & 0x10) != 0 || node->IsDirectory() != 0);
}

bool CRecyclerFilter::IsRecycleBinSigleNode(IFileNode* node) {
  if (!IsFolder(node)) return false;
  const char* name = node->GetFileName();
  if (name == nullptr) return false;
  static const char* const kNames[] = {"Recycler", "Recycled", "$Recycle.Bin", "$RECYCLE.BI0"};
  for (const char* bin : kNames) {
    if (strcasecmp(name, bin) == 0) return true;
  }
  return false;
}

bool CRecyclerFilter::IsRecycleBin(IFileNode* node) {
  int steps = 0;
  for (IFileNode* at = node; at != nullptr && steps < kMaxAncestors; at = at->GetParent(), ++steps) {
    if (IsRecycleBinSigleNode(at)) return true;
  }
  return false;
}

bool CRecyclerFilter::IsRecycleRecordName(const char* name) { return StartsWith(name, "$I") || StartsWith(name, "#I"); }

bool CRecyclerFilter::IsRecycledDataName(const char* name) {
  if (!StartsWith(name, "$R") && !StartsWith(name, "#R")) return false;
  return std::strstr("$RmMetadata$Reparse$Repair", name) == nullptr;
}
