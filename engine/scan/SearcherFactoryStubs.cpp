// Factories of the searchers whose scanners are not built yet: each answers
// null, which the scan drivers treat as "searcher could not be made". A
// scanner that lands defines its own factories and deletes its lines here.
#include "FileSystemSearchController.h"

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() { return nullptr; }

