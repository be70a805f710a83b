// Readers of what The Sleuth Kit prints about any file system it reads
// (fsstat, fls -r -p), for tests that compare our parsing with it. Nothing
// here uses the engine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace peers {

std::string ReadText(const std::filesystem::path& path);

// "2026-12-06 21:56:38.332136500" (UTC) as 100 ns ticks since 1601; 0 for
// The Sleuth Kit's renderings of a time of 0.
uint64_t FileTimeFromText(const std::string& text);

struct Fsstat {
  std::map<std::string, std::string> fields;  // every "Key: value" line, first one kept
  uint32_t sectorSize = 0;
  uint32_t clusterSize = 0;  // "Cluster Size", or "Block Size" where the format says so
  int64_t lastSector = -1;   // "Total Sector Range: 0 - N"
  int64_t lastRecord = -1;   // metadata "Range: 0 - N" (The Sleuth Kit adds virtual entries)
  // A field as a number (decimal or 0x hex); -1 when missing.
  int64_t Number(const std::string& key) const;
};
Fsstat ParseFsstat(const std::string& text);

struct FlsEntry {
  std::string type;  // "r/r", "d/d", "-/r", ...
  bool deleted = false;
  uint64_t record = 0;
  std::string path;
};
// Lines of fls -r -p; entries of named streams ("name:stream") are left out.
std::vector<FlsEntry> ParseFls(const std::string& text);

}  // namespace peers
