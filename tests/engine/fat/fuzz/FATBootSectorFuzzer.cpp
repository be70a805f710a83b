// The input is the start of a volume: boot-sector tests, the strong test
// with its table sectors, the label walk and the volume analyzer (behind
// 512- and 4096-byte sectors).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fat/FATBuildWorker.h"
#include "fat/FATDBR.h"
#include "fat/FATVolume.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (bytes.size() < 512) bytes.resize(512, 0);
  const CTempFATDBR dbr(bytes.data(), 512);
  (void)dbr.GetTotalSectors();
  (void)CTempFATDBR::SimpleCheck(bytes.data());
  testsupport::BytesDevice device(bytes.data(), bytes.size());
  (void)CFATBuildWorker::IsFullValidDBR(bytes.data(), 0, &device);
  std::string label;
  CFATVolume(&device).GetPartitionLabel(0, bytes.data(), &label);
  char text[100];
  // Behind 512- and 4096-byte sectors: the analyzer reads the volume in the
  // sectors its boot sector gives.
  bytes.resize((bytes.size() + 4095) / 4096 * 4096, 0);
  for (const uint32_t sectorSize : {512u, 4096u}) {
    testsupport::BytesDevice sized(bytes.data(), bytes.size(), sectorSize);
    CFatVolumeAnalyze analyzer(&sized, 0);
    analyzer.GetLabel(text, sizeof text);
  }
  return 0;
}
