#include "raw/RawFileInfo.h"

const char g_s_strFileExtName[kRawFileTypeCount][9] = {
    "Raw", "3DS", "3GP",  "ADP",  "ANI",  "AI",  "ASF",   "WMA",  "WMV",     "AU",   "AVI",  "BMP",      "CAB",
    "CDR", "CHM", "CLK",  "CMX",  "CPT",  "CRW", "CSL",   "CUR",  "DBX",     "DLL",  "DOC",  "DWG",      "DXF",
    "EMF", "EPS", "EXE",  "FH11", "GIF",  "GZ",  "HLP",   "HTM",  "ICO",     "JPG",  "LZH",  "MAX",      "MID",
    "MDB", "MNY", "MOF",  "MOV",  "MP3",  "MP4", "M4A",   "M4V",  "MPP",     "OLE",  "ONE",  "PDF",      "PNG",
    "PPT", "PUB", "PSD",  "PSP",  "PST",  "QPW", "RAR",   "RIFF", "RTF",     "SHW",  "SWF",  "TAR",      "TIF",
    "TTF", "VSD", "WAV",  "WPD",  "WPG",  "WMF", "XLS",   "ZIP",  "DOCX",    "XLSX", "PPTX", "ACCDB",    "NEF",
    "NRW", "AAC", "AIFF", "APE",  "OGG",  "CR2", "SR2",   "ARW",  "RAW",     "RW2",  "DNG",  "RAF",      "FLV",
    "SVG", "SIT", "SITX", "RM",   "RMVB", "MKV", "DCR",   "KDC",  "3FR",     "ERF",  "MEF",  "MRW",      "MDC",
    "PEF", "PTX", "SRW",  "ORF",  "X3F",  "MPG", "PAGES", "KEY",  "NUMBERS", "DMG",  "EPUB", "FCPEVENT",
};

const char* RawFileExtName(uint32_t type) { return type < kRawFileTypeCount ? g_s_strFileExtName[type] : nullptr; }

std::string FilterRawFileName(const std::string& text) {
  std::string out = text;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  for (char& c : out) {
    switch (c) {
      case '\\':
      case '/':
      case ':':
      case '?':
      case '"':
      case '<':
      case '>':
      case '|':
      case '*':
      case '\r':
      case '\n':
        c = '_';
        break;
      default:
        break;
    }
  }
  size_t lead = 0;
  while (lead < out.size() && (out[lead] == ' ' || out[lead] == '.')) ++lead;
  out.erase(0, lead);
  if (out.size() > kMaxRawNamePrefix) {
    size_t cut = kMaxRawNamePrefix;
    // Back up over continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

void CRawFileInfo::SetRawFileName(const std::string& name) { m_namePrefix = FilterRawFileName(name); }
