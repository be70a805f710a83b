// One analyser (CLIPMENDER_WALKER, set per target) on one input: its test
// on the first sector, then its walk over the input as a device of 512- and
// of 4096-byte sectors, whatever the test said.
#include <cstdint>
#include <vector>

#include "raw/ArchiveAnalysers.h"
#include "raw/DesignAnalysers.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const uint32_t sectorSize : {512u, 4096u}) {
    std::vector<uint8_t> disk(data, data + size);
    disk.resize((size + sectorSize - 1) / sectorSize * sectorSize + sectorSize, 0);
    testsupport::BytesDevice device(disk.data(), disk.size(), sectorSize);
    std::vector<uint8_t> sector(disk.begin(), disk.begin() + sectorSize);
    sector.resize(sectorSize + 2048, 0);
    CLIPMENDER_WALKER analyser;
    CRawFileInfo tested;
    analyser.AnalyseBuffer(sector.data(), tested);
    CRawFileInfo walked;
    analyser.GetRawFileSize(walked, &device);
  }
  if (size >= 12) TarMemberSize(data);
  return 0;
}
