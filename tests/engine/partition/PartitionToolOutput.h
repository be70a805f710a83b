// What the partitioning tools themselves say about a table: the oracles of
// the partition-table and enumeration tests.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <ostream>
#include <string>
#include <vector>

#include "partition/PartitionTableAnalyze.h"

namespace parttest {

struct ToolPartition {
  uint32_t number = 0;
  int64_t start = 0;
  int64_t size = 0;
  std::string type = {};  // MBR type in hex, GPT type GUID, APM type text
  std::string uuid = {};  // GPT unique GUID
};

std::vector<ToolPartition> Sfdisk(const std::string& path);  // sfdisk --json
std::vector<ToolPartition> Sgdisk(const std::string& path);  // sgdisk -p, both GUIDs from sgdisk -i N
std::vector<ToolPartition> Parted(const std::string& path);  // parted -m unit s print, no types
std::vector<ToolPartition> Partx(const std::string& path);   // partx -g -o NR,START,SECTORS,TYPE
std::vector<ToolPartition> Fdisk(const std::string& path, unsigned sectorSize);  // fdisk -b N -l
// `blkid -p -s PTTYPE` as a scheme: "dos" 1, "gpt" 2, "mac" 3, nothing 0.
uint32_t BlkidScheme(const std::string& path);

// The 16 bytes a GUID text is stored as in a GPT (first three groups
// little-endian).
std::array<uint8_t, 16> GuidBytes(const std::string& text);

// Without MBR extended containers (types 5, f, 85), which the table reader
// follows instead of listing.
std::vector<ToolPartition> WithoutExtendedContainers(std::vector<ToolPartition> parts);
std::vector<ToolPartition> AtLeast(std::vector<ToolPartition> parts, int64_t minSectors);
// Sorted by number.
std::vector<ToolPartition> ByNumber(std::vector<ToolPartition> parts);
std::vector<ToolPartition> ByNumber(const std::list<PartitionEntry>& entries);

// Number, start and size: what every tool and the table reader agree on.
inline bool operator==(const ToolPartition& a, const ToolPartition& b) {
  return a.number == b.number && a.start == b.start && a.size == b.size;
}
inline void PrintTo(const ToolPartition& p, std::ostream* os) {
  *os << "#" << p.number << " start " << p.start << " size " << p.size << " " << p.type << " " << p.uuid;
}

}  // namespace parttest
