// MPEG audio frame headers and ID3 tags on one input: every 4-byte window as
// a frame header, the input as ID3 text frames of each encoding, and the MP3
// analyser's sizing (ID3v2 frames, frame chains, ID3v1 and APE tags) over
// the input as a device.
#include <cstdint>
#include <vector>

#include "raw/FileMP3Analyser.h"
#include "support/BytesDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CMPAHeader header;
  for (size_t i = 0; i + 4 <= size && i < 4096; ++i) {
    if (IsMPAFrame(data + i, header)) header.CalcFrameSize();
    SynchsafeSize(data + i);
  }
  GetTagValue(data, size);
  std::vector<uint8_t> disk(data, data + size);
  disk.resize((size + 511) / 512 * 512 + 512, 0);
  testsupport::BytesDevice device(disk.data(), disk.size());
  static FileMP3Analyser mp3;
  CRawFileInfo info;
  if (mp3.AnalyseBuffer(disk.data(), info) != 0) mp3.GetRawFileSize(info, &device);
  return 0;
}
