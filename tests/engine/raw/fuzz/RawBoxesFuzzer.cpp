// The walks over length-prefixed boxes, atoms and elements on one input: the
// ISO box walk and the QuickTime atom walk over the input as a device, the
// brand tests, and the Matroska header test on its first sector.
#include <cstdint>
#include <vector>

#include "raw/AVAnalysers.h"
#include "raw/RawFileBuffer.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(data, data + size);
  disk.resize((size + 511) / 512 * 512 + 512, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  CRawFileInfo info;
  CRawBoxFileAnalyser::GetFileSize(info, &device);
  FileMOVAnalyser mov;
  File3GPAnalyser gp;
  FileMP4Analyser mp4;
  FileMKVAnalyser mkv;
  for (IRawFileAnalyser* analyser : std::initializer_list<IRawFileAnalyser*>{&mov, &gp, &mp4, &mkv}) {
    CRawFileInfo found;
    if (analyser->AnalyseBuffer(disk.data(), found) != 0) analyser->GetRawFileSize(found, &device);
  }
  CRawFileInfo atoms;
  mov.GetRawFileSize(atoms, &device);
  return 0;
}
