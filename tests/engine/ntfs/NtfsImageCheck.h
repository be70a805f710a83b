// Reads the images and the outside tools' outputs that make-ntfs-images.sh
// writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ntfscheck {

// The script that makes the images and the tools' outputs.
std::filesystem::path FixtureScript();

// Reads `size` bytes at `offset` of a file.
std::vector<uint8_t> ReadAt(const std::filesystem::path& path, uint64_t offset, size_t size);

// The record number of each path of PREFIX.fls (deleted ones too).
struct PathRecord {
  std::string path;
  uint64_t record;
  bool deleted;
};
std::vector<PathRecord> ReadPaths(const std::filesystem::path& prefix);

// The record `n` of PREFIX.mft (empty when there is none).
std::vector<uint8_t> ReadRecord(const std::filesystem::path& prefix, uint64_t n);

}  // namespace ntfscheck
