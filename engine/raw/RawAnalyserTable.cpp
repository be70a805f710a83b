// Every analyser class, in list-1 order: base type, factory, the keys that
// route sectors to it (as bytes in sector order) and whether it is asked for
// sectors no key matched (and, where it says so, that it is in the map only).
// Analysers of further types join by adding a line.
#include "raw/AVAnalysers.h"
#include "raw/AVStreamAnalysers.h"
#include "raw/ArchiveAnalysers.h"
#include "raw/DesignAnalysers.h"
#include "raw/DocumentAnalysers.h"
#include "raw/FileJPGAnalyser.h"
#include "raw/FileMP3Analyser.h"
#include "raw/FileOLEAnalyser.h"
#include "raw/FileTIFAnalyser.h"
#include "raw/FileZIPAnalyser.h"
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
      {RAW_TYPE_MRW, Make<FileMRWAnalyser>, {RawKey(0, 'M', 'R', 'M')}, false, false},  // in the map only
      {RAW_TYPE_MP3, Make<FileMP3Analyser>, {}, true},
      {RAW_TYPE_RIFF, Make<FileRIFFAnalyser>, {RawKey('R', 'I', 'F', 'F')}, false},
      {RAW_TYPE_3GP, Make<File3GPAnalyser>, {}, true},
      {RAW_TYPE_MP4, Make<FileMP4Analyser>, {}, true},
      {RAW_TYPE_MOV, Make<FileMOVAnalyser>, {}, true},
      {RAW_TYPE_AU, Make<FileAUAnalyser>, {RawKey('.', 's', 'n', 'd')}, false},
      {RAW_TYPE_AIFF, Make<CFileAIFAnalyzer>, {RawKey('F', 'O', 'R', 'M')}, false},
      {RAW_TYPE_FLV, Make<FileFLVAnalyser>, {}, true},
      {RAW_TYPE_MKV, Make<FileMKVAnalyser>, {RawKey(0x1A, 0x45, 0xDF, 0xA3)}, false},
      {RAW_TYPE_MID, Make<FileMIDAnalyser>, {RawKey('M', 'T', 'h', 'd')}, false},
      {RAW_TYPE_OGG, Make<CFileOggAnalyser>, {RawKey('O', 'g', 'g', 'S')}, false},
      {RAW_TYPE_SWF, Make<FileSWFAnalyser>, {}, true},
      {RAW_TYPE_TIF,
       Make<FileTIFAnalyser>,
       {RawKey('M', 'M', 0, 0x2A), RawKey('I', 'I', 0x2A, 0), RawKey('I', 'I', 'U', 0), RawKey('I', 'I', 'R', 'O'),
        RawKey('I', 'I', 'R', 'S'), RawKey('F', 'U', 'J', 'I')},
       false},
      {RAW_TYPE_ASF, Make<FileASFAnalyser>, {RawKey(0x30, 0x26, 0xB2, 0x75)}, false},
      {RAW_TYPE_APE, Make<CFileAPEAnalyser>, {RawKey('M', 'A', 'C', ' ')}, false},
      {RAW_TYPE_MPG, Make<FileMPGAnalyser>, {RawKey(0, 0, 1, 0xB3), RawKey(0, 0, 1, 0xBA)}, false},
      {RAW_TYPE_RM, Make<FileRM_RMVBAnalyser>, {RawKey('.', 'R', 'M', 'F')}, false},
      {RAW_TYPE_PDF, Make<FilePDFAnalyser>, {RawKey('%', 'P', 'D', 'F')}, false},
      {RAW_TYPE_RTF, Make<FileRTFAnalyser>, {RawKey('{', '\\', 'r', 't')}, false},
      {RAW_TYPE_HTM, Make<FileHTMAnalyser>, {}, true},
      {RAW_TYPE_HTM, Make<FileUnicodeHTMAnalyser>, {}, true},
      {RAW_TYPE_EPS, Make<FileEPSAnalyser>, {RawKey(0xC5, 0xD0, 0xD3, 0xC6), RawKey('%', '!', 'P', 'S')}, false},
      {RAW_TYPE_SVG, Make<FileSVGAnalyser>, {RawKey('<', '?', 'x', 'm')}, false},
      // DBX files of both kinds: the header forms begin CF AD 12 FE.
      {RAW_TYPE_DBX, Make<FileDBXAnalyser>, {RawKey('J', 'M', 'F', '6'), RawKey(0xCF, 0xAD, 0x12, 0xFE)}, false},
      {RAW_TYPE_HLP, Make<FileHLPAnalyser>, {RawKey(0x3F, 0x5F, 0x03, 0x00)}, false},
      {RAW_TYPE_CHM, Make<FileCHMAnalyser>, {RawKey('I', 'T', 'S', 'F')}, false},
      {RAW_TYPE_DOC, Make<FileLowDocAnalyser>, {RawKey(0xDB, 0xA5, 0x2D, 0x00), RawKey(0x94, 0xA6, 0x2E, 0x00)}, false},
      {RAW_TYPE_MDB, Make<FileMDBAnalyser>, {}, true},
      {RAW_TYPE_MNY, Make<FileMNYAnalyser>, {}, true},
      {RAW_TYPE_ONE, Make<FileONEAnalyser>, {RawKey(0xE4, 0x52, 0x5C, 0x7B)}, false},
      {RAW_TYPE_PST, Make<FilePSTAnalyser>, {RawKey('!', 'B', 'D', 'N')}, false},
      {RAW_TYPE_WPD, Make<FileWPDAnalyser>, {RawKey(0xFF, 'W', 'P', 'C')}, false},
      {RAW_TYPE_OLE, Make<FileOLEAnalyser>, {RawKey(0xD0, 0xCF, 0x11, 0xE0)}, false},
      {RAW_TYPE_ZIP, Make<FileZIPAnalyser>, {RawKey('P', 'K', 0x03, 0x04)}, false},
      {RAW_TYPE_RAR, Make<FileRARAnalyser>, {RawKey('R', 'a', 'r', '!')}, false},
      {RAW_TYPE_CAB, Make<FileCABAnalyser>, {RawKey('M', 'S', 'C', 'F'), RawKey('m', 's', 'c', 'f')}, false},
      {RAW_TYPE_GZ, Make<FileGZAnalyser>, {}, true},
      {RAW_TYPE_LZH, Make<FileLZHAnalyser>, {}, true},
      {RAW_TYPE_SIT, Make<FileSITAnalyser>, {RawKey('S', 't', 'u', 'f')}, false},
      {RAW_TYPE_TAR, Make<FileTARAnalyser>, {}, true},
      {RAW_TYPE_DMG, Make<FileDMGAnalyser>, {RawKey('B', 'Z', 'h', '1')}, false},
      {RAW_TYPE_DWG, Make<FileDWGAnalyser>, {RawKey('A', 'C', '1', '0')}, false},
      {RAW_TYPE_DXF, Make<FileDXFAnalyser>, {RawKey(' ', ' ', '0', '\r')}, false},
      {RAW_TYPE_3DS, Make<File3DSAnalyser>, {}, true},
      {RAW_TYPE_FH11, Make<FileFH11Analyser>, {RawKey(0x1C, 0x01, 0x00, 0x00)}, false},
      {RAW_TYPE_TTF, Make<FileTTFAnalyser>, {RawKey(0x00, 0x01, 0x00, 0x00)}, false},
      {RAW_TYPE_FCPEVENT, Make<FileFCPEVENTAnalyser>, {RawKey('S', 'Q', 'L', 'i')}, false},
      {0xFFFFFFFF, Make<CustomFileAnalyser>, {}, false},
  };
  return entries;
}
