// Analyzer factories of the scanners that are not built yet: each answers
// null ("not this file system"), so enumeration records such volumes as of
// unknown type. A scanner that lands defines its own factory and deletes its
// line here.
#include "VolumeAnalyze.h"

IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice*, uint64_t) { return nullptr; }

IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice*, uint64_t) { return nullptr; }
