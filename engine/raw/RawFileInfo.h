// The record of one carved file (where it starts, how long it is, its type,
// the name prefix and time text its content gave) and the carvable types,
// numbered as the index of their extension in g_s_strFileExtName.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class IRawFileAnalyser;

enum RAW_FILE_TYPE : uint32_t {
  RAW_TYPE_NONE = 0,  // "Raw": produced by no analyser
  RAW_TYPE_3DS = 1,
  RAW_TYPE_3GP = 2,
  RAW_TYPE_ADP = 3,
  RAW_TYPE_ANI = 4,
  RAW_TYPE_AI = 5,
  RAW_TYPE_ASF = 6,
  RAW_TYPE_WMA = 7,
  RAW_TYPE_WMV = 8,
  RAW_TYPE_AU = 9,
  RAW_TYPE_AVI = 10,
  RAW_TYPE_BMP = 11,
  RAW_TYPE_CAB = 12,
  RAW_TYPE_CDR = 13,
  RAW_TYPE_CHM = 14,
  RAW_TYPE_CLK = 15,
  RAW_TYPE_CMX = 16,
  RAW_TYPE_CPT = 17,
  RAW_TYPE_CRW = 18,
  RAW_TYPE_CSL = 19,
  RAW_TYPE_CUR = 20,
  RAW_TYPE_DBX = 21,
  RAW_TYPE_DLL = 22,
  RAW_TYPE_DOC = 23,
  RAW_TYPE_DWG = 24,
  RAW_TYPE_DXF = 25,
  RAW_TYPE_EMF = 26,
  RAW_TYPE_EPS = 27,
  RAW_TYPE_EXE = 28,
  RAW_TYPE_FH11 = 29,
  RAW_TYPE_GIF = 30,
  RAW_TYPE_GZ = 31,
  RAW_TYPE_HLP = 32,
  RAW_TYPE_HTM = 33,
  RAW_TYPE_ICO = 34,
  RAW_TYPE_JPG = 35,
  RAW_TYPE_LZH = 36,
  RAW_TYPE_MAX = 37,
  RAW_TYPE_MID = 38,
  RAW_TYPE_MDB = 39,
  RAW_TYPE_MNY = 40,
  RAW_TYPE_MOF = 41,
  RAW_TYPE_MOV = 42,
  RAW_TYPE_MP3 = 43,
  RAW_TYPE_MP4 = 44,
  RAW_TYPE_M4A = 45,
  RAW_TYPE_M4V = 46,
  RAW_TYPE_MPP = 47,
  RAW_TYPE_OLE = 48,
  RAW_TYPE_ONE = 49,
  RAW_TYPE_PDF = 50,
  RAW_TYPE_PNG = 51,
  RAW_TYPE_PPT = 52,
  RAW_TYPE_PUB = 53,
  RAW_TYPE_PSD = 54,
  RAW_TYPE_PSP = 55,
  RAW_TYPE_PST = 56,
  RAW_TYPE_QPW = 57,
  RAW_TYPE_RAR = 58,
  RAW_TYPE_RIFF = 59,
  RAW_TYPE_RTF = 60,
  RAW_TYPE_SHW = 61,
  RAW_TYPE_SWF = 62,
  RAW_TYPE_TAR = 63,
  RAW_TYPE_TIF = 64,
  RAW_TYPE_TTF = 65,
  RAW_TYPE_VSD = 66,
  RAW_TYPE_WAV = 67,
  RAW_TYPE_WPD = 68,
  RAW_TYPE_WPG = 69,
  RAW_TYPE_WMF = 70,
  RAW_TYPE_XLS = 71,
  RAW_TYPE_ZIP = 72,
  RAW_TYPE_DOCX = 73,
  RAW_TYPE_XLSX = 74,
  RAW_TYPE_PPTX = 75,
  RAW_TYPE_ACCDB = 76,
  RAW_TYPE_NEF = 77,
  RAW_TYPE_NRW = 78,
  RAW_TYPE_AAC = 79,
  RAW_TYPE_AIFF = 80,
  RAW_TYPE_APE = 81,
  RAW_TYPE_OGG = 82,
  RAW_TYPE_CR2 = 83,
  RAW_TYPE_SR2 = 84,
  RAW_TYPE_ARW = 85,
  RAW_TYPE_RAW = 86,
  RAW_TYPE_RW2 = 87,
  RAW_TYPE_DNG = 88,
  RAW_TYPE_RAF = 89,
  RAW_TYPE_FLV = 90,
  RAW_TYPE_SVG = 91,
  RAW_TYPE_SIT = 92,
  RAW_TYPE_SITX = 93,
  RAW_TYPE_RM = 94,
  RAW_TYPE_RMVB = 95,
  RAW_TYPE_MKV = 96,
  RAW_TYPE_DCR = 97,
  RAW_TYPE_KDC = 98,
  RAW_TYPE_3FR = 99,
  RAW_TYPE_ERF = 100,
  RAW_TYPE_MEF = 101,
  RAW_TYPE_MRW = 102,
  RAW_TYPE_MDC = 103,
  RAW_TYPE_PEF = 104,
  RAW_TYPE_PTX = 105,
  RAW_TYPE_SRW = 106,
  RAW_TYPE_ORF = 107,
  RAW_TYPE_X3F = 108,
  RAW_TYPE_MPG = 109,
  RAW_TYPE_PAGES = 110,
  RAW_TYPE_KEY = 111,
  RAW_TYPE_NUMBERS = 112,
  RAW_TYPE_DMG = 113,
  RAW_TYPE_EPUB = 114,
  RAW_TYPE_FCPEVENT = 115,
};

inline constexpr uint32_t kRawFileTypeCount = 116;

// Upper-case extensions, NUL-padded to 9 bytes, indexed by RAW_FILE_TYPE.
extern const char g_s_strFileExtName[kRawFileTypeCount][9];

// The extension of a type, or null for a number outside the table.
const char* RawFileExtName(uint32_t type);

// Longest name prefix kept from file content: with the counter and the
// extension a carved name stays far inside the 255 bytes a Linux name may
// take.
inline constexpr size_t kMaxRawNamePrefix = 200;

// Trailing blanks removed; backslash, slash, colon, question mark, double
// quote, less-than, greater-than, bar, asterisk, CR and LF replaced by "_";
// leading blanks and dots removed (the tree builder refuses names that start
// with a dot); cut to kMaxRawNamePrefix bytes at a UTF-8 character boundary.
std::string FilterRawFileName(const std::string& text);

class CRawFileInfo {
 public:
  // Sets the name prefix through FilterRawFileName.
  void SetRawFileName(const std::string& name);
  // Forgets what an analyser wrote: size, type, name prefix, time text,
  // whether the file was sized whole and whether its end was found. Done
  // before every analyser asked about a sector, so kept inline.
  void ResetFindings() {
    m_size = 0;
    m_whole = false;
    m_endUnknown = false;
    m_provenTo = 0;
    m_parts.clear();
    m_weakHead = false;
    m_type = RAW_TYPE_NONE;
    m_namePrefix.clear();
    m_timeText.clear();
  }

  uint64_t m_startSector = 0;  // in the scanned device's sectors
  uint64_t m_size = 0;         // bytes; 0 while unknown
  // Set by an analyser that followed the file's own structure from its first
  // byte over every byte of its size: records each found where the one
  // before said, up to one that ends the file or whose own checks hold (for
  // a file whose end was not found, up to the last part whose checks hold).
  // Not a length a header claims, not an end mark a search met (another
  // file's mark reads the same), not a guess. Nothing that starts inside
  // such a file is a file of its own.
  bool m_whole = false;
  // For a file not sized whole: how far from its first byte its own
  // structure proves the bytes its own, the rest of its size being only
  // claimed (a length in a header, a last record whose bytes nothing after
  // it checks, a chain into data no check reads). What starts inside that
  // stretch is part of it; a file that starts further on, at a sector
  // boundary, ends it: its bytes run on over another file's.
  uint64_t m_provenTo = 0;
  // Where, in bytes from the file's first byte, its structure says a part of
  // it lies (a stream of a compound file, an archive's member, a preview
  // picture), and how long that part is: a file found starting exactly
  // there, as long as the part (but for the rest of its last sector), is
  // that part, not another file.
  struct Part {
    uint64_t offset, length;
  };
  std::vector<Part> m_parts;
  // Set where a few bits alone tell the file's head (an MPEG audio frame's
  // sync, with no tag; an icon directory whose first picture is not there):
  // pixels and samples of other files read as such heads, and frames of
  // them as a stream. Found inside another file, such a file is carved
  // beside it but does not end it.
  bool m_weakHead = false;
  // Set where the size is no end the file gives (its end mark was not found
  // before a limit, the next file's head or the device's end; a length
  // claimed past the device): the carved bytes may stop short or run on
  // into other data, so the node's copy is reported incomplete.
  bool m_endUnknown = false;
  uint32_t m_type = RAW_TYPE_NONE;
  uint32_t m_analyserType = 0xFFFF;
  // The bytes from the file's start that its structure proves its own.
  uint64_t ProvenBytes() const { return m_whole ? m_size : m_provenTo < m_size ? m_provenTo : m_size; }
  std::string m_namePrefix;
  std::string m_timeText;
  IRawFileAnalyser* m_analyser = nullptr;  // not owned
};
