// Readers of what The Sleuth Kit's fsstat and istat print about an NTFS image
// (the generic readers are support/PeerOutput.h), so tests compare our parsing
// with them. Nothing here uses the engine's own NTFS code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/PeerOutput.h"

namespace ntfspeers {

using peers::FileTimeFromText;
using peers::FlsEntry;
using peers::ParseFls;
using peers::ReadText;

// fsstat's NTFS fields besides the common ones.
struct Fsstat : peers::Fsstat {
  int64_t mftCluster = -1;
  uint32_t recordSize = 0;
};
Fsstat ParseFsstat(const std::string& text);

struct IstatAttribute {
  uint32_t type = 0;
  uint32_t id = 0;
  std::string name;  // "N/A" when unnamed
  bool resident = false;
  int64_t size = 0;
  int64_t initSize = -1;
  std::vector<int64_t> clusters;  // non-resident: one per cluster, 0 for a hole
};

struct Istat {
  bool allocated = false;
  uint64_t siCreated = 0, siModified = 0;  // $STANDARD_INFORMATION's
  std::vector<IstatAttribute> attributes;
};
Istat ParseIstat(const std::string& text);

}  // namespace ntfspeers
