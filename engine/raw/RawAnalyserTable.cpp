// Every analyser class, in list-1 order: base type, factory, the keys that
// route sectors to it (as bytes in sector order) and whether it is asked for
// sectors no key matched. Analysers of further types join by adding a line.
#include "raw/FileJPGAnalyser.h"
#include "raw/ImageAnalysers.h"
#include "raw/RawFileAnalyserList.h"

namespace {

template <typename T>
IRawFileAnalyser* Make() {
  return new T();
}

}  // namespace

const std::vector<RawAnalyserEntry>& RawAnalyserEntries() {
  static const std::vector<RawAnalyserEntry> entries = {
      {RAW_TYPE_BMP, Make<FileBMPAnalyser>, {}, true},
      {RAW_TYPE_CPT,
       Make<FileCPTAnalyser>,
       {RawKey('C', 'P', 'T', '7'), RawKey('C', 'P', 'T', '8'), RawKey('C', 'P', 'T', '9')},
       false},
      {RAW_TYPE_CRW, Make<FileCRWAnalyser>, {RawKey('I', 'I', 0x1A, 0), RawKey('M', 'M', 0x1A, 0)}, false},
      {RAW_TYPE_EMF, Make<FileEMFAnalyser>, {}, true},
      {RAW_TYPE_GIF, Make<FileGIFAnalyser>, {RawKey('G', 'I', 'F', '8')}, false},
      {RAW_TYPE_ICO, Make<FileICOAnalyser>, {RawKey(0, 0, 1, 0), RawKey(0, 0, 2, 0)}, false},
      {RAW_TYPE_JPG,
       Make<FileJPGAnalyser>,
       {RawKey(0xFF, 0xD8, 0xFF, 0xE0), RawKey(0xFF, 0xD8, 0xFF, 0xE1), RawKey(0xFF, 0xD8, 0xFF, 0xDB)},
       false},
      {RAW_TYPE_PNG, Make<FilePNGAnalyser>, {RawKey(0x89, 'P', 'N', 'G')}, false},
      {RAW_TYPE_PSD, Make<FilePSDAnalyser>, {RawKey('8', 'B', 'P', 'S')}, false},
      {RAW_TYPE_PSP, Make<FilePSPAnalyser>, {RawKey('P', 'a', 'i', 'n')}, false},
      {RAW_TYPE_WMF, Make<FileWMFAnalyser>, {RawKey(0x01, 0x00, 0x09, 0x00), RawKey(0xD7, 0xCD, 0xC6, 0x9A)}, false},
      {RAW_TYPE_X3F, Make<FileX3FAnalyser>, {RawKey('F', 'O', 'V', 'b')}, false},
      {RAW_TYPE_MRW, Make<FileMRWAnalyser>, {RawKey(0, 'M', 'R', 'M')}, false},
  };
  return entries;
}
