// The TIFF and camera-raw analyser on one input: its first sector through
// the header test, then the directory walk (or a RAF header's) over the
// input as a device.
#include <cstdint>
#include <vector>

#include "raw/FileTIFAnalyser.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(data, data + size);
  disk.resize((size + 511) / 512 * 512 + 512, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  static FileTIFAnalyser tif;
  CRawFileInfo info;
  tif.AnalyseBuffer(disk.data(), info);
  // Sized whatever the header test said: the walk must hold on its own.
  tif.GetRawFileSize(info, &device);
  uint64_t start = 0, length = 0;
  tif.GetThumbStartAndSize(start, length);
  return 0;
}
