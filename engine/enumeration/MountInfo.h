// The kernel's table of mounts (/proc/self/mountinfo): which block device
// (major:minor) is mounted where.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct MountEntry {
  int64_t mountId = 0;
  int64_t parentId = 0;
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string root;        // the folder of the file system mounted here ("/" for all of it)
  std::string mountPoint;  // unescaped
  std::string options;
  std::vector<std::string> optionalFields;  // "shared:1", "master:2", ...
  std::string fsType;
  std::string source;  // unescaped; "none" when the file system has none
  std::string superOptions;
};

// Undoes the kernel's octal escapes (\040 space, \011 tab, \012 newline, \134
// backslash, any \ooo up to 0377); a backslash that starts no such escape is
// kept as it is.
std::string UnescapeMountField(std::string_view field);

// One line of the table; false when the line does not have the table's shape
// (then `out` is unspecified).
bool ParseMountInfoLine(std::string_view line, MountEntry& out);

// Every well-formed line of `text`, in order; malformed lines are passed over.
std::vector<MountEntry> ParseMountInfo(std::string_view text);

// Reads and parses the table at `path`; false when it cannot be read.
bool ReadMountInfo(const std::string& path, std::vector<MountEntry>& out);

// Where the block device major:minor is mounted: the first mount of the
// whole file system (root "/"), else its first mount of any folder; empty
// when it is not mounted.
std::string FindMountPoint(const std::vector<MountEntry>& table, uint32_t major, uint32_t minor);
