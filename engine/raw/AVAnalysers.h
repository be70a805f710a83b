// Audio and video containers other than MP3: what each analyser tests in a
// sector and how it sizes the file. Every size is 64-bit and every walk
// moves forward at each step.
#pragma once

#include "raw/RawFileAnalyser.h"

// Sized from their header in AnalyseBuffer.
CLIPMENDER_RAW_ANALYSER(FileAUAnalyser, RAW_TYPE_AU, )
// Sized by reading the file.
CLIPMENDER_RAW_ANALYSER(CFileAIFAnalyzer, RAW_TYPE_AIFF, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileRIFFAnalyser, RAW_TYPE_RIFF, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(File3GPAnalyser, RAW_TYPE_3GP, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileMP4Analyser, RAW_TYPE_MP4, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileMOVAnalyser, RAW_TYPE_MOV, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileMIDAnalyser, RAW_TYPE_MID, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(CFileOggAnalyser, RAW_TYPE_OGG, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileFLVAnalyser, RAW_TYPE_FLV, CLIPMENDER_RAW_SIZES)
// Sized from its Segment's header; its elements walked to the Segment's end.
CLIPMENDER_RAW_ANALYSER(FileMKVAnalyser, RAW_TYPE_MKV, CLIPMENDER_RAW_SIZES)
// Its tags walked to the end tag, or its zlib stream inflated to its end.
CLIPMENDER_RAW_ANALYSER(FileSWFAnalyser, RAW_TYPE_SWF, CLIPMENDER_RAW_SIZES)

// The length of the EBML variable-length integer that starts with `first`
// (1-8), or 0 for a zero byte.
int EbmlLength(uint8_t first);
// Its value without the length marker; all ones (unknown size) gives
// UINT64_MAX.
uint64_t EbmlValue(const uint8_t* p, int length);
