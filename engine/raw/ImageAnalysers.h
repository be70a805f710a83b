// Picture formats other than JPEG: what each analyser tests in a sector and
// how it sizes the file.
#pragma once

#include "raw/RawFileAnalyser.h"

#define CLIPMENDER_RAW_ANALYSER(Name, Type, Sizes)                              \
  class Name : public IRawFileAnalyser {                                        \
   public:                                                                      \
    Name() : IRawFileAnalyser(Type) {}                                          \
    uint32_t AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override; \
    Sizes                                                                       \
  };
#define CLIPMENDER_RAW_SIZES uint32_t GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

// Sized from their header in AnalyseBuffer.
CLIPMENDER_RAW_ANALYSER(FileBMPAnalyser, RAW_TYPE_BMP, )
CLIPMENDER_RAW_ANALYSER(FileICOAnalyser, RAW_TYPE_ICO, )
CLIPMENDER_RAW_ANALYSER(FileWMFAnalyser, RAW_TYPE_WMF, )
CLIPMENDER_RAW_ANALYSER(FileEMFAnalyser, RAW_TYPE_EMF, )
CLIPMENDER_RAW_ANALYSER(FileMRWAnalyser, RAW_TYPE_MRW, )
// Sized by walking the file.
CLIPMENDER_RAW_ANALYSER(FilePNGAnalyser, RAW_TYPE_PNG, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileGIFAnalyser, RAW_TYPE_GIF, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FilePSDAnalyser, RAW_TYPE_PSD, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FilePSPAnalyser, RAW_TYPE_PSP, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileCRWAnalyser, RAW_TYPE_CRW, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileX3FAnalyser, RAW_TYPE_X3F, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileCPTAnalyser, RAW_TYPE_CPT, CLIPMENDER_RAW_SIZES)

#undef CLIPMENDER_RAW_SIZES
#undef CLIPMENDER_RAW_ANALYSER
