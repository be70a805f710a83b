// The ZIP record walk: local headers with their ZIP64 sizes and data
// descriptors, central and end records, subtypes from names and data, and
// the end alignment of a walk that loses its way.
#include "RawDocumentFuzzer.h"
#include "raw/FileZIPAnalyser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FileZIPAnalyser zip;
  FuzzAnalysers(data, size, {&zip});
  return 0;
}
