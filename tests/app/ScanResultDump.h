// What a scan result holds, as text that two processes can compare: each
// tree's root and partition records, then one line per node with every field
// a saved result keeps. Also the copy-out of every file of a result through
// the application's recovery operation. No gtest: the load probe uses it too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

class KVUIDeviceData;
class KVUIScan;

namespace rsftest {

// Trees in the order the scan reported them; each tree's nodes depth first,
// every folder's children in their order.
std::string DumpResult(KVUIScan& scan);

// Ticks every file of every tree and copies them into `folder` as the
// recovery window would; answers the number of files that failed.
uint64_t RecoverAll(KVUIScan& scan, KVUIDeviceData& devices, const std::filesystem::path& folder);

}  // namespace rsftest
