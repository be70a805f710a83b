// The whole carving pass on one input as a device of 512-byte sectors, in
// blocks of 8: every analyser on every sector, sizing from the pass's ring
// and from the device, and what searches of one pass keep for the next.
// Whatever the bytes, every file found lies inside the device.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FileSystemSearchController.h"
#include "support/BytesDevice.h"
#include "support/Recorders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int64_t kBlock = 8;
  std::vector<uint8_t> disk(data, data + size);
  disk.resize((size + 511) / 512 * 512 + 512, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  testsupport::RecordingBuilder builder;
  ICompleteFileSystemSearchController* raw = CreateRAWSearcher();
  raw->SetDevice(&device);
  raw->SetBlockSize(kBlock);
  raw->SetDirecotryTreeBuilder(&builder);
  raw->PreparetoSearch();
  const int64_t total = device.GetTotalSectors();
  for (int64_t first = 0; first < total; first += kBlock) raw->AnalyzeBlock(first, std::min(kBlock, total - first));
  raw->EndSearch(1);
  delete raw;
  for (const auto& added : builder.added) {
    if (!added.folder && added.size > disk.size()) std::abort();
  }
  return 0;
}
