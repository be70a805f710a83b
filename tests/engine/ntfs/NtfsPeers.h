// Readers of what outside tools print about an NTFS image (The Sleuth Kit's
// fsstat and istat, and ntfsinfo; the generic readers are support/PeerOutput.h), so tests compare our parsing with
// them. Nothing here uses the engine's own NTFS code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
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
  uint64_t serial = 0;
  std::string oem;
  int64_t mftCluster = -1;
  int64_t mftMirrorCluster = -1;
  uint32_t recordSize = 0;
};
Fsstat ParseFsstat(const std::string& text);

struct IstatName {
  std::string name;
  uint64_t parent = 0;
  uint16_t parentSequence = 0;
  int64_t allocatedSize = 0;
  int64_t realSize = 0;
  uint64_t created = 0, modified = 0, mftModified = 0, accessed = 0;
};

struct IstatAttribute {
  uint32_t type = 0;
  uint32_t id = 0;
  std::string name;  // "N/A" when unnamed
  bool resident = false;
  bool compressed = false, encrypted = false, sparse = false;
  int64_t size = 0;
  int64_t initSize = -1;
  std::vector<int64_t> clusters;  // non-resident: one per cluster, 0 for a hole
};

struct Istat {
  uint64_t entry = 0;
  uint16_t sequence = 0;
  std::optional<uint64_t> baseRecord;
  bool allocated = false;
  bool directory = false;
  bool hasStandardInformation = false;
  uint32_t siFlags = 0;  // the flag names mapped back to attribute bits
  uint64_t siCreated = 0, siModified = 0, siMftModified = 0, siAccessed = 0;
  std::vector<IstatName> names;
  std::vector<IstatAttribute> attributes;
  bool hasAttributeList = false;
};
Istat ParseIstat(const std::string& text);

struct NtfsinfoRun {
  int64_t vcn = 0;
  int64_t lcn = -1;  // -1 for <HOLE>
  int64_t length = 0;
};

struct NtfsinfoAttribute {
  uint32_t type = 0;
  uint32_t instance = 0;
  std::string name;  // "" when unnamed
  bool resident = false;
  uint32_t fileAttributes = 0;  // $STANDARD_INFORMATION and $FILE_NAME
  std::string namespaceName;    // $FILE_NAME: POSIX, Win32, DOS, "Win32 & DOS"
  uint64_t parent = 0;          // $FILE_NAME
  std::string fileName;         // $FILE_NAME
  int64_t lowestVcn = 0, highestVcn = -1;
  int64_t dataSize = -1, allocatedSize = -1, initializedSize = -1;
  std::vector<NtfsinfoRun> runs;
};

struct Ntfsinfo {
  bool inUse = false;
  bool directory = false;
  uint16_t sequenceCount = 0;
  uint16_t sequenceOffset = 0;
  uint32_t bytesUsed = 0;
  uint32_t bytesAllocated = 0;
  std::vector<NtfsinfoAttribute> attributes;
};
Ntfsinfo ParseNtfsinfo(const std::string& text);

}  // namespace ntfspeers
