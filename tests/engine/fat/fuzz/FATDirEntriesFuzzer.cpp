// The input is directory content: sector classification, property records
// from entry spans, and the parse that turns entries into nodes (run lists
// over a table made of the input's first sector).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "fat/FATBuildWorker.h"
#include "fat/FATDirEntry.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/FATTable.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (size_t o = 0; o + 512 <= size; o += 512) {
    CFATFolderAnalyser analyser(512);
    analyser.AnalyseSector(data + o, nullptr, nullptr);
  }
  for (size_t o = 0; o + 32 <= size && o < 64 * 32; o += 32) {
    if (CFATFileProperties* p = CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(data, o + 32)) {
      CFATFileProperties::Destory(p);
    }
  }
  std::vector<uint8_t> table(data, data + std::min<size_t>(size, 512));
  table.resize(512, 0);
  table[0] = 0xF8;
  table[1] = table[2] = table[3] = 0xFF;
  testsupport::BytesDevice device(table.data(), table.size());
  CFAT16Table fat(&device, 0, 1);
  FATGeometry g;
  g.type = 1;
  g.sectorsPerCluster = 1;
  g.clusterCount = 254;
  g.totalSectors = 300;
  CFATBuildChildren children(nullptr, nullptr, &device, g, &fat);
  std::deque<FATFolderToParse> live, deleted;
  children.BuildChildrenFromBuffer(data, static_cast<uint32_t>(size), nullptr, live, deleted, 0);
  FATFolderToParse parent{5, true, nullptr};
  children.BuildChildrenFromBuffer(data, static_cast<uint32_t>(size), &parent, live, deleted, 1);
  children.HandOverDeletedFolders();
  return 0;
}
