// Volumes mkfs.exfat makes and hand-made exFAT directory entries, for the
// tests of the exFAT library and of the complete scan's parsers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "OnDiskBytes.h"
#include "support/TestSupport.h"

namespace exfattest {

// A 64 MiB volume made by `tool` (IMG stands for its path), its dump.exfat
// figure `field` in *value.
inline std::vector<uint8_t> MakeImage(const std::string& tool, const char* field = nullptr, uint64_t* value = nullptr) {
  testsupport::TempDir dir;
  const std::string img = testsupport::ShellQuote((dir / "v.img").string());
  std::string line = tool;
  line.replace(line.find("IMG"), 3, img);
  testsupport::RunCommandOrFail("truncate -s 64M " + img + " && " + line + " >/dev/null");
  if (field != nullptr) {
    const std::string dump = testsupport::RunCommandOrFail("dump.exfat " + img + " 2>/dev/null");
    *value = std::strtoull(dump.c_str() + dump.find_first_of("0123456789", dump.find(field)), nullptr, 0);
  }
  return testsupport::ReadFile(dir / "v.img");
}

struct SetFields {
  uint32_t firstCluster = 0;
  uint64_t length = 0;
  bool folder = false;
  bool contiguous = false;
};

// An entry set as writers lay it out: every secondary past the stream is a
// name entry, holding the name as far as it reaches; the checksum is 0
// until SealSet.
inline void AddSet(std::vector<uint8_t>& dir, const std::u16string& name, uint8_t nameLength, int secondaries,
                   uint8_t inUse = 0x80, const SetFields& fields = SetFields()) {
  const size_t at = dir.size();
  dir.resize(at + size_t(secondaries + 1) * 32, 0);
  uint8_t* set = dir.data() + at;
  set[0] = 0x05 | inUse, set[1] = static_cast<uint8_t>(secondaries);
  if (fields.folder) set[4] = 0x10;
  for (int stamp : {8, 12, 16}) ondisk::StoreLe16(set + stamp + 2, 0x5264);  // 2021-03-04
  set[32] = 0x40 | inUse, set[33] = fields.contiguous ? 3 : 1, set[35] = nameLength;
  for (int i = 0; i < 4; ++i) set[52 + i] = static_cast<uint8_t>(fields.firstCluster >> (8 * i));
  for (int i = 0; i < 8; ++i) set[40 + i] = set[56 + i] = static_cast<uint8_t>(fields.length >> (8 * i));
  for (int entry = 2; entry <= secondaries; ++entry) set[entry * 32] = 0x41 | inUse;
  for (size_t i = 0; i < name.size() && 2 + i / 15 <= size_t(secondaries); ++i) {
    ondisk::StoreLe16(set + (2 + i / 15) * 32 + 2 + 2 * (i % 15), static_cast<uint16_t>(name[i]));
  }
}

// Writes the set checksum of the published format into the set at `at`.
inline void SealSet(std::vector<uint8_t>& dir, size_t at) {
  const size_t length = (size_t{dir[at + 1]} + 1) * 32;
  uint16_t sum = 0;
  for (size_t i = 0; i < length; ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<uint16_t>(((sum & 1) != 0 ? 0x8000 : 0) + (sum >> 1) + dir[at + i]);
  }
  ondisk::StoreLe16(dir.data() + at + 2, sum);
}

// AddSet, then SealSet.
inline void AddSealedSet(std::vector<uint8_t>& dir, const std::u16string& name, int secondaries,
                         const SetFields& fields = SetFields(), uint8_t inUse = 0x80) {
  const size_t at = dir.size();
  AddSet(dir, name, static_cast<uint8_t>(name.size()), secondaries, inUse, fields);
  SealSet(dir, at);
}

}  // namespace exfattest
