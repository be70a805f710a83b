// The input is the start of a volume: boot-sector tests, the strong test
// with its table sectors, the label walk and the volume analyzer.
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
  CFatVolumeAnalyze analyzer(&device, 0);
  char text[100];
  analyzer.GetLabel(text, sizeof text);
  return 0;
}
