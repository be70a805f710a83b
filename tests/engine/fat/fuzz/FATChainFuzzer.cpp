// The input is an allocation table: the header tests of all three widths,
// chain walks for live and deleted files over it, and the same over its two
// halves taken as a table's two copies.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "DataRunList.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATTable.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  std::vector<uint8_t> bytes(data + 4, data + size);
  bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
  const uint32_t sectors = static_cast<uint32_t>(bytes.size() / 512);
  testsupport::BytesDevice device(bytes.data(), bytes.size());
  CFAT12Table t12(&device, 0, sectors);
  CFAT16Table t16(&device, 0, sectors);
  CFAT32Table t32(&device, 0, sectors);
  IRealFATTable* tables[] = {&t12, &t16, &t32};
  const uint32_t first = data[0] | (uint32_t{data[1]} << 8);
  const int64_t fileSize = (int64_t{data[2]} << 12) | (int64_t{data[3]} << 4);
  for (IRealFATTable* t : tables) {
    (void)t->IsValidFATTable();
    for (int deleted = 0; deleted < 2; ++deleted) {
      CFATBuildDataRun runs(t, 512, 1 + (data[2] & 7), sectors * 128);
      if (IDataRunList* list = runs.BuildDataRunList(first, fileSize, deleted)) list->Release();
    }
  }
  // The input's halves as the two copies of one table, judged entry by entry.
  for (int type : {1, 2}) {
    IFATTable* pair = IFATTableFactory::CreateFATTable(&device, 0, type, sectors / 2, 1, 1, data[3] * 64u);
    if (pair == nullptr) continue;
    for (int deleted = 0; deleted < 2; ++deleted) {
      CFATBuildDataRun runs(pair, 512, 1, sectors * 64);
      if (IDataRunList* list = runs.BuildDataRunList(first, fileSize, deleted)) list->Release();
    }
    IFATTableFactory::DestroyFATTable(pair);
  }
  return 0;
}
