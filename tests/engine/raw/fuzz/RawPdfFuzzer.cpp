// The PDF end search with its AI test and update check, and the other text
// ends: RTF groups, HTML in both encodings, PostScript sections, SVG.
#include "RawDocumentFuzzer.h"
#include "raw/DocumentAnalysers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FilePDFAnalyser pdf;
  static FileRTFAnalyser rtf;
  static FileHTMAnalyser html;
  static FileUnicodeHTMAnalyser wide;
  static FileEPSAnalyser eps;
  static FileSVGAnalyser svg;
  FuzzAnalysers(data, size, {&pdf, &rtf, &html, &wide, &eps, &svg});
  return 0;
}
