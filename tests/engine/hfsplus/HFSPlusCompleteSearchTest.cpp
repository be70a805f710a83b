// The HFS+ complete searcher on disks laid out in memory from the samples'
// volumes (moved, copied, damaged): which headers make a volume and where,
// the node-size trial, and the catalog memory all volumes share. Whole
// disks, files and copy-out are the rows' (HFSPlusCompleteRows.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "HFSPlusTestImages.h"
#include "OnDiskBytes.h"
#include "hfsplus/CHFSPlusCompleteSearch.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/HFSPlusCatalogMemory.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"
#include "support/StubDevice.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A sample's volume (as many bytes as its header says), or empty.
Bytes Volume(const char* sample, int64_t startSector = 0) {
  std::string why;
  const auto image = hfstest::Unpacked(sample, &why);
  if (image.empty()) return {};
  const Bytes disk = testsupport::ReadFile(image);
  const uint8_t* header = disk.data() + startSector * 512 + 1024;
  const auto at = disk.begin() + startSector * 512;
  return Bytes(at, at + int64_t{ondisk::Be32(header + 44)} * ondisk::Be32(header + 40));
}

void Put(Bytes& disk, const Bytes& bytes, size_t at) {
  if (disk.size() < at + bytes.size()) disk.resize(at + bytes.size());
  std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<ptrdiff_t>(at));
}

// An in-memory device that counts the sectors read from it.
class CountedBytes final : public testsupport::StubDevice {
 public:
  CountedBytes(const uint8_t* data, size_t size, uint32_t sectorSize) : inner_(data, size, sectorSize) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    sectors += static_cast<uint64_t>(std::max<int64_t>(count, 0));
    return inner_.ReadSector(buffer, first, count);
  }
  uint32_t GetSectorSize() override { return inner_.GetSectorSize(); }
  int64_t GetTotalSectors() override { return inner_.GetTotalSectors(); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
  uint64_t sectors = 0;

 private:
  testsupport::BytesDevice inner_;
};

struct Scan {
  Scan(const Bytes& bytes, uint32_t sectorSize) : device(bytes.data(), bytes.size(), sectorSize) {
    const int block = static_cast<int>(0x400000 / sectorSize);
    searcher.SetDevice(&device);
    searcher.SetBlockSize(block);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.PreparetoSearch();
    for (int64_t first = 0; first < device.GetTotalSectors(); first += block) {
      EXPECT_EQ(searcher.AnalyzeBlock(first, std::min<int64_t>(block, device.GetTotalSectors() - first)), 0u);
    }
    searcher.EndSearch(1);
  }
  std::set<std::pair<std::string, int64_t>> Found() const {
    std::set<std::pair<std::string, int64_t>> out;
    for (IFileNode* node : builder.nodes) {
      out.emplace(node->GetFileName(), static_cast<CFileNode*>(node)->GetBelongedPartition());
    }
    return out;
  }
  CountedBytes device;
  testsupport::KeepingTreeBuilder builder;
  CHFSPlusCompleteFileSystemSearchController searcher;
};

void StoreBe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The sample's volume identifier (Finder-info word 7) set in both headers.
Bytes WithID(Bytes volume, uint32_t id) {
  for (const size_t header : {size_t{1024}, volume.size() - 1024}) StoreBe32(volume.data() + header + 108, id);
  return volume;
}

TEST(HFSPlusComplete, HeadersMakeVolumesOnlyWhereWholeSectorsStartThem) {
  const Bytes volume = Volume("dfvfs-hfsplus");
  const Bytes journaled = Volume("nps-hfsjtest1");
  REQUIRE_OR_SKIP(!volume.empty() && !journaled.empty(), "the shared HFS+ samples are absent");
  const size_t far = volume.size() + (1 << 20);
  const size_t info = size_t{ondisk::Be32(journaled.data() + 1024 + 12)} * 4096;
  struct Case {
    const char* rule;
    uint32_t sectorSize;
    std::function<void(Bytes&)> lay;
    std::vector<int64_t> starts;  // of the records with a header
    bool journalInfo = false;     // the first record's
  };
  const Case cases[] = {
      {"a protective MBR alone: one record 20 KiB in, without a header",
       512,
       [](Bytes& d) { d[450] = 0xEE, d[510] = 0x55, d[511] = 0xAA; },
       {}},
      {"8 KiB in, behind 4096-byte sectors: sector 2", 4096, [&](Bytes& d) { Put(d, volume, 8192); }, {2}},
      {"512 bytes in: no 4096-byte sector starts it", 4096, [&](Bytes& d) { Put(d, volume, 512); }, {}},
      {"a header in sector 1 would start a volume before the device",
       512,
       [&](Bytes& d) { std::copy_n(volume.begin() + 1024, 512, d.begin() + 512); },
       {}},
      {"its own header zeroed: the alternate places it",
       512,
       [&](Bytes& d) {
         Put(d, volume, 300 * 512);
         std::fill_n(d.begin() + 300 * 512 + 1024, 512, 0);
       },
       {300}},
      {"a copy with the same identifier is the same volume",
       512,
       [&](Bytes& d) { Put(d, WithID(volume, 7), 0), Put(d, WithID(volume, 7), far); },
       {0}},
      {"copies made in the same second but with their own identifiers are two",
       512,
       [&](Bytes& d) { Put(d, WithID(volume, 7), 0), Put(d, WithID(volume, 8), far); },
       {0, static_cast<int64_t>(far / 512)}},
      {"two headers in one sector make none",
       4096,
       [&](Bytes& d) {
         for (const size_t at : {8192, 8192 + 1024}) std::copy_n(volume.begin() + 1024, 512, d.begin() + at);
       },
       {}},
      {"a journal info block filled with 0xDB to its sector's end",
       512,
       [&](Bytes& d) { Put(d, journaled, 0); },
       {0},
       true},
      {"one with a byte short of the fill is none",
       512,
       [&](Bytes& d) {
         Put(d, journaled, 0);
         d[info + 511] = 0;
       },
       {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Bytes disk(1 << 20, 0);
    c.lay(disk);
    disk.resize(disk.size() + (1 << 20));
    Scan scan(disk, c.sectorSize);
    const auto& records = scan.searcher.GetPartitions();
    std::vector<int64_t> starts;
    for (const auto& record : records) {
      EXPECT_GE(record->start, 0);
      EXPECT_GE(record->count, 0);
      if (record->header) starts.push_back(record->start);
    }
    EXPECT_EQ(starts, c.starts);
    EXPECT_EQ(records[0]->hasJournalInfo, c.journalInfo);
    // A record that found no volume keeps its first guess.
    if (!records[0]->header) {
      EXPECT_EQ(records[0]->start, disk[450] == 0xEE ? 40 : 0);
    }
  }
}

// The leaf nodes of a volume's catalog, by node number.
std::map<uint32_t, Bytes> CatalogLeaves(const Bytes& volume) {
  std::map<uint32_t, Bytes> leaves;
  testsupport::BytesDevice device(volume.data(), volume.size());
  CHFSPlusVolume opened(&device, false);
  CHFSPlusCatalog* catalog = opened.GetCatalog();
  if (catalog == nullptr) return leaves;
  for (uint32_t n = 1; n < catalog->GetHeaderRec()->totalNodes; ++n) {
    std::unique_ptr<CHFSPlusBTNode> node(catalog->CreateNode(n));
    if (node && node->GetKind() == hfsplus::kLeafNode) {
      leaves[n].assign(node->GetBytes(), node->GetBytes() + catalog->GetHeaderRec()->nodeSize);
    }
  }
  return leaves;
}

// Two real catalog leaves one after another, the first holding fewer
// records: read as one node of twice the size, the first would take the
// second's offset table, and the second's files would be lost.
TEST(HFSPlusComplete, EachNodeIsTakenAtTheSmallestSizeThatHoldsIt) {
  const Bytes volume = Volume("lx-hfsplus");
  REQUIRE_OR_SKIP(!volume.empty(), "the shared HFS+ samples are absent");
  const std::map<uint32_t, Bytes> leaves = CatalogLeaves(volume);
  ASSERT_FALSE(leaves.empty());
  const uint32_t size = static_cast<uint32_t>(leaves.begin()->second.size());
  Bytes pair;
  for (const auto& [n, bytes] : leaves) {
    const auto next = leaves.find(n + 1);
    if (next == leaves.end() || !pair.empty()) continue;
    Bytes both = bytes;
    both.insert(both.end(), next->second.begin(), next->second.end());
    if (CHFSPlusBTNode::IsValidNode(both.data(), static_cast<uint16_t>(2 * size))) pair = both;
  }
  ASSERT_FALSE(pair.empty()) << "no two leaves that also pass as one node";
  Bytes disk(1 << 20, 0);
  Put(disk, pair, 64 << 10);
  Scan scan(disk, 512);
  std::set<int64_t> sectors;
  for (IFileNode* node : scan.builder.nodes) sectors.insert(static_cast<CFileNode*>(node)->GetMetadataStartPosition());
  EXPECT_EQ(sectors, (std::set<int64_t>{128, 128 + size / 512}));
}

// Copies of a volume's header under identifiers of their own, each an
// alternate header that places its volume where the real one starts, and
// each with a catalog leaf behind it: the volume there is none of theirs,
// which the header at that start tells in one read, without the volume's
// trees and catalog being read again for every copy.
TEST(HFSPlusComplete, AVolumeThatIsNoRecordsOwnIsRefusedFromItsHeader) {
  const Bytes volume = Volume("lx-hfsplus");
  REQUIRE_OR_SKIP(!volume.empty(), "the shared HFS+ samples are absent");
  const std::map<uint32_t, Bytes> leaves = CatalogLeaves(volume);
  ASSERT_FALSE(leaves.empty());
  const Bytes& leaf = leaves.begin()->second;
  const uint32_t block = ondisk::Be32(volume.data() + 1024 + 40);
  const auto extraReads = [&](uint32_t copies) {
    Bytes disk = volume;
    size_t at = (volume.size() / block + 16) * block - 1024;  // 1024 bytes before a block's end
    for (uint32_t i = 0; i < copies; ++i) {
      Bytes header(volume.begin() + 1024, volume.begin() + 1536);
      StoreBe32(header.data() + 108, 1000 + i);
      StoreBe32(header.data() + 44, static_cast<uint32_t>((at + 1024) / block));
      Put(disk, header, at);
      Put(disk, leaf, at + 512);
      at += (leaf.size() / block + 2) * block;
    }
    disk.resize(at + (1 << 20));
    Scan scan(disk, 512);
    EXPECT_EQ(scan.searcher.GetPartitions().size(), copies + 1);
    return scan.device.sectors - disk.size() / 512;
  };
  const uint64_t alone = extraReads(0);
  EXPECT_LT(extraReads(40), alone + 40 * 64);
}

TEST(HFSPlusComplete, AllVolumesCatalogsShareOneCap) {
  const Bytes first = Volume("lx-hfsplus");
  const Bytes second = Volume("nps-hfsjtest1");
  REQUIRE_OR_SKIP(!first.empty() && !second.empty(), "the shared HFS+ samples are absent");
  Bytes disk;
  Put(disk, first, 0);
  Put(disk, second, disk.size() + (1 << 20));
  disk.resize(disk.size() + (1 << 20));
  std::set<std::pair<std::string, int64_t>> freely;
  {
    Scan scan(disk, 512);
    ASSERT_EQ(scan.searcher.GetPartitions().size(), 2u);
    freely = scan.Found();
  }
  // Room for the first volume's catalog only: the second reads its catalog
  // from the device, and finds the same.
  const uint64_t cap = hfsplus::CatalogMemory::Cap();
  ASSERT_EQ(hfsplus::CatalogMemory::InUse(), 0u);
  const uint64_t room = uint64_t{ondisk::Be32(first.data() + 1024 + 272 + 12)} * 4096 + 4096;
  hfsplus::CatalogMemory::SetCap(room);
  {
    Scan scan(disk, 512);
    ASSERT_EQ(scan.searcher.GetPartitions().size(), 2u);
    EXPECT_LE(hfsplus::CatalogMemory::InUse(), room);
    const auto* held = static_cast<CHFSPlusFileCache*>(scan.searcher.GetPartitions()[1]->volume->GetCatalogFile());
    EXPECT_LE(held->GetCachedBytes(), 4096u);
    EXPECT_EQ(scan.Found(), freely);
  }
  hfsplus::CatalogMemory::SetCap(cap);
  EXPECT_EQ(hfsplus::CatalogMemory::InUse(), 0u);
}

}  // namespace
