// Archives and compressed disk images other than ZIP: what each analyser
// tests in a sector and how it sizes the file. Offsets count from the file's
// first byte, every size and position is 64-bit, and every walk moves
// forward at each step.
#pragma once

#include <cstdint>

#include "raw/RawFileAnalyser.h"

// Sized from its header; its folders' data blocks walked and checked.
CLIPMENDER_RAW_ANALYSER(FileCABAnalyser, RAW_TYPE_CAB, CLIPMENDER_RAW_SIZES)
// Sized by reading the file.
CLIPMENDER_RAW_ANALYSER(FileRARAnalyser, RAW_TYPE_RAR, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileGZAnalyser, RAW_TYPE_GZ, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileLZHAnalyser, RAW_TYPE_LZH, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileTARAnalyser, RAW_TYPE_TAR, CLIPMENDER_RAW_SIZES)
CLIPMENDER_RAW_ANALYSER(FileDMGAnalyser, RAW_TYPE_DMG, CLIPMENDER_RAW_SIZES)
// SIT and SITX share a signature; the analyser takes the type of the last
// file it sized as its own.
CLIPMENDER_RAW_ANALYSER(FileSITAnalyser, RAW_TYPE_SIT, CLIPMENDER_RAW_SIZES)

// The size field of a tar header (12 bytes at 124): octal digits, or a
// big-endian binary number behind a set top bit; -1 when it is neither.
int64_t TarMemberSize(const uint8_t* field);
