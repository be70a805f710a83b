// The compound-file walk: allocation-table lists and DIFAT chains, the
// directory's first entries and its tree, in either sector size.
#include "RawDocumentFuzzer.h"
#include "raw/FileOLEAnalyser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FileOLEAnalyser ole;
  if (size < 8) return 0;
  FuzzAnalysers(data, size, {&ole});
  return 0;
}
