// The entry-set parser over directory clusters made of the input, the set
// checksum over every File entry's set, and the nodes of the sets it
// decodes.
//
// Input: one byte choosing the cluster size (512 << (b % 8)), then directory
// entries; they are parsed one cluster at a time, as the quick scan reads a
// folder, so that sets run on from one cluster into the next.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "DataRunList.h"
#include "OnDiskBytes.h"
#include "exfat/EFDTAnalyze.h"
#include "exfat/ExFatFileNode.h"
#include "exfat/ExFatPartition.h"

namespace {
volatile uint64_t g_sink;
void Use(uint64_t v) { g_sink = g_sink + v; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t clusterShift = 9 + data[0] % 8;
  const size_t cluster = size_t{1} << clusterShift;
  ++data, --size;

  CEFDTAnalyze parser;
  parser.PrepareAnayze(9, clusterShift, uint64_t{1} << 24);
  for (size_t at = 0; at < size; at += cluster) {
    if (!parser.Analyze(data + at, std::min(cluster, size - at), static_cast<int64_t>(at / 512), 512)) break;
  }
  CExFatPartition partition;  // no table: chains end at once
  for (const _tagFileBaseInfo& info : parser.GetFileList()) {
    CExFatFileNode* node = partition.BuildFile(info);
    if (node == nullptr) continue;
    Use(node->GetFileSize() + node->GetModificationTime() + node->IsDeleted());
    for (const char* c = node->GetFileName(); *c != '\0'; ++c) Use(static_cast<uint8_t>(*c));
    node->Release();
  }
  for (size_t at = 0; at + 32 <= size; at += 32) {
    const uint8_t* entry = data + at;
    if ((entry[0] & 0x7F) != 0x05) continue;
    const size_t length = std::min<size_t>(size_t{entry[1]} * 32 + 32, size - at);
    Use(CheckDirEntry(entry, length, ondisk::Le16(entry + 2)));
    Use(exfat_entry::IsValidLabelEntry(entry));
  }
  return 0;
}
