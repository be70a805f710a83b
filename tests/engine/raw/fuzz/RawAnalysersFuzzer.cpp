// Every analyser of the registry on one input: the first sector is offered
// to the analyser its key routes to and to the unkeyed ones, and a match is
// sized over the input as a device; the EXIF parser reads the input whole.
#include <cstdint>
#include <cstring>
#include <vector>

#include "raw/ExifParser.h"
#include "raw/RawFileAnalyserList.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(data, data + size);
  disk.resize((size + 511) / 512 * 512 + 512, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  static RawAnalyserList analysers = [] {
    RawAnalyserList list;
    CRawFileAnalyserListSingle::BuildRawFileAnalyserList(list);
    return list;
  }();
  std::vector<uint8_t> sector(disk.begin(), disk.begin() + 512);
  for (const auto& analyser : analysers) {
    CRawFileInfo info;
    if (analyser->AnalyseBuffer(sector.data(), info) != 0) analyser->GetRawFileSize(info, &device);
  }
  tag_ExifInfo exif;
  std::string error;
  EXIF_process_EXIF(data, size, exif, error);
  return 0;
}
