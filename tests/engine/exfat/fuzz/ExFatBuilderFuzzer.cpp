// The complete scan's directory-sector parser and lost-partition builder,
// fed straight from the input, in the input's order (so that halves of
// split sets, boot sectors and their backups come in any order), then
// settled and every volume's nodes built over a small disk of the input.
//
// Input: records of a 4-byte little-endian sector number and 512 bytes; the
// device is 4 MiB of zeros with each record's bytes at its sector (modulo
// the device). Each record is also one sector of the pass, given with the
// bytes of the records after it as the sectors that follow.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "DataRunList.h"
#include "OnDiskBytes.h"
#include "exfat/ExFatDBR.h"
#include "exfat/ExFatFileNode.h"
#include "exfat/FDTPreAnaylze.h"
#include "exfat/PartitionBuilder.h"
#include "support/BytesDevice.h"

namespace {

constexpr size_t kSectors = 8192;
constexpr size_t kRecord = 4 + 512;
volatile uint64_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> disk(kSectors * 512, 0);
  const size_t records = size / kRecord;
  // The pass's view: each record's sector followed by the next two records'.
  std::vector<uint8_t> pass(records * 512 + 2 * 512, 0);
  for (size_t i = 0; i < records; ++i) {
    const uint8_t* record = data + i * kRecord;
    std::memcpy(disk.data() + (ondisk::Le32(record) % kSectors) * 512, record + 4, 512);
    std::memcpy(pass.data() + i * 512, record + 4, 512);
  }
  testsupport::BytesDevice device(disk.data(), disk.size());
  CFDTPreAnaylze analyser;
  analyser.PrepareAnayze(9, 25, kSectors);
  CPartitionBuilder builder;
  builder.PrepareBuild(&device, 512, kSectors);
  std::vector<std::unique_ptr<CFileSet>> sets;
  for (size_t i = 0; i < records; ++i) {
    const int64_t sector = ondisk::Le32(data + i * kRecord) % kSectors;
    const uint8_t* bytes = pass.data() + i * 512;
    bool ended = true;
    if (bytes[0] == 0) {
      builder.RecordUpCaseTable(sector);
    } else if (CExFatDBR(bytes).IsValid(512)) {
      builder.Build(sector, bytes);
    } else if (ondisk::Le32(bytes) == 0xFFFFFFF8u) {
      builder.RecordFAT(sector);
    } else {
      ended = analyser.Analyze(sector, bytes, pass.size() - i * 512);
    }
    if (ended) {
      std::unique_ptr<CFileSet> set = analyser.GetFileSet();
      if (set != nullptr) sets.push_back(std::move(set));
    }
    builder.Build(sector);
  }
  // Runs reach the builder in ascending order, each with the run it goes on
  // in or comes from.
  std::stable_sort(sets.begin(), sets.end(),
                   [](const auto& a, const auto& b) { return a->GetFirstSector() < b->GetFirstSector(); });
  for (auto& set : sets) {
    const int64_t first = set->GetFirstSector();
    const int64_t tail = set->IsNotEnd() ? analyser.GetNext(first) : -1;
    const int64_t head = set->IsAbridged() ? analyser.GetLast(first) : -1;
    builder.PushFileSet(std::move(set), head, tail);
  }
  std::vector<std::unique_ptr<CExFatPartitionEx>> partitions;
  builder.FinishBuid(partitions);
  for (auto& partition : partitions) {
    if (partition->m_tableSector >= 0) {
      partition->CreateFatTable(&device, partition->m_tableSector, partition->m_tableLength,
                                static_cast<uint32_t>(partition->GetClusterLimit() - 2));
    }
    std::vector<CExFatFileNode*> nodes;
    builder.BuildFileTree(*partition, nodes);
    for (CExFatFileNode* node : nodes) {
      IDataRunList* runs = node->GetDataRunList();
      for (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
        g_sink = g_sink + static_cast<uint64_t>(run->start + run->length);
      }
      g_sink = g_sink + static_cast<uint64_t>(node->GetParentNodeID());
      node->Release();
    }
    partition->ClearFatData();
  }
  builder.Clear();
  return 0;
}
