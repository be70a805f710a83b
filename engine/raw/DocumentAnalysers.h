// Documents, text, mail stores, help files and databases other than the
// compound-file and ZIP families: what each analyser tests in a sector and how
// it sizes the file.
//
// Text formats end at their own closing mark (PDF "%%EOF", RTF's last brace,
// "</html>", "</svg>", an EPS's trailer) followed by the line end the file
// itself has, so that a file comes back byte for byte whatever lies behind
// it; every search is bounded by a limit and by what the device holds.
#pragma once

#include <cstddef>

#include "raw/RawFileAnalyser.h"

// Sized from their header in AnalyseBuffer.
CLIPMENDER_RAW_ANALYSER(FileDBXAnalyser, RAW_TYPE_DBX, )
CLIPMENDER_RAW_ANALYSER(FileHLPAnalyser, RAW_TYPE_HLP, )
CLIPMENDER_RAW_ANALYSER(FileCHMAnalyser, RAW_TYPE_CHM, )
CLIPMENDER_RAW_ANALYSER(FileLowDocAnalyser, RAW_TYPE_DOC, )
CLIPMENDER_RAW_ANALYSER(FileONEAnalyser, RAW_TYPE_ONE, )
CLIPMENDER_RAW_ANALYSER(FilePSTAnalyser, RAW_TYPE_PST, )
CLIPMENDER_RAW_ANALYSER(FileWPDAnalyser, RAW_TYPE_WPD, )
// Sized by reading the file.
CLIPMENDER_RAW_ANALYSER(FileRTFAnalyser, RAW_TYPE_RTF, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileHTMAnalyser, RAW_TYPE_HTM, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileUnicodeHTMAnalyser, RAW_TYPE_HTM, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileEPSAnalyser, RAW_TYPE_EPS, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileSVGAnalyser, RAW_TYPE_SVG, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileMDBAnalyser, RAW_TYPE_MDB, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileMNYAnalyser, RAW_TYPE_MNY, CLIPMENDER_RAW_SIZES)

// PDF, and the AI files that begin as PDF.
class FilePDFAnalyser : public IRawFileAnalyser {
 public:
  FilePDFAnalyser() : IRawFileAnalyser(RAW_TYPE_PDF) {}
  uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
  uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
  // Whether the zero-terminated text holds one of the words that PDF bodies
  // and cross-reference sections are made of (false for null).
  static bool IsContainPdfKeyWords(const char* text);
};
