// The HFS+ complete searcher on disks laid out in memory from the public
// samples' volumes (copied whole, moved, damaged): where the volumes are
// placed, which headers make a volume and which do not, journal info
// blocks, the node-size trial, which volume each node belongs to, deleted
// leaf records, and the catalog memory all volumes share.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "HFSPlusTestImages.h"
#include "OnDiskBytes.h"
#include "SearchedPartitionInfo.h"
#include "hfsplus/CHFSPlusCompleteSearch.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/HFSPlusCatalogMemory.h"
#include "support/BytesDevice.h"
#include "support/KeepingTreeBuilder.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The volume of a sample (its header's size of bytes from its start), or
// empty with the test skipped.
Bytes Volume(const char* sample, int64_t startSector) {
  std::string why;
  const auto image = hfstest::Unpacked(sample, &why);
  if (image.empty()) return {};
  const Bytes disk = testsupport::ReadFile(image);
  const size_t at = static_cast<size_t>(startSector) * 512;
  const uint8_t* header = disk.data() + at + 1024;
  const size_t size = size_t{ondisk::Be32(header + 44)} * ondisk::Be32(header + 40);
  return Bytes(disk.begin() + static_cast<ptrdiff_t>(at), disk.begin() + static_cast<ptrdiff_t>(at + size));
}

void StoreBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void StoreBe32(uint8_t* p, uint32_t v) {
  StoreBe16(p, static_cast<uint16_t>(v >> 16));
  StoreBe16(p + 2, static_cast<uint16_t>(v));
}

#define REQUIRE_SAMPLE(bytes) REQUIRE_OR_SKIP(!(bytes).empty(), "the shared HFS+ samples are absent")

void Put(Bytes& disk, const Bytes& volume, size_t at) {
  if (disk.size() < at + volume.size()) disk.resize(at + volume.size());
  std::copy(volume.begin(), volume.end(), disk.begin() + static_cast<ptrdiff_t>(at));
}

// Counts what the builder is told besides the nodes.
class Builder : public testsupport::KeepingTreeBuilder {
 public:
  void FlashBuild(_tagSearcherType) override { ++flashes; }
  int flashes = 0;
};

struct Scan {
  Scan(const Bytes& bytes, uint32_t sectorSize, int completed = 1) : device(bytes.data(), bytes.size(), sectorSize) {
    const int block = static_cast<int>(0x400000 / sectorSize);
    searcher.SetDevice(&device);
    searcher.SetBlockSize(block);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.PreparetoSearch();
    for (int64_t first = 0; first < device.GetTotalSectors(); first += block) {
      EXPECT_EQ(searcher.AnalyzeBlock(first, std::min<int64_t>(block, device.GetTotalSectors() - first)), 0u);
    }
    searcher.EndSearch(completed);
  }
  const std::vector<std::unique_ptr<CompleteSearchPatition>>& records() const { return searcher.GetPartitions(); }
  std::vector<CFileNode*> Named(const std::string& name) const {
    std::vector<CFileNode*> out;
    for (IFileNode* node : builder.nodes) {
      if (name == node->GetFileName()) out.push_back(static_cast<CFileNode*>(node));
    }
    return out;
  }

  testsupport::BytesDevice device;
  Builder builder;
  CHFSPlusCompleteFileSystemSearchController searcher;
};

// The names of a volume's files and folders, from its own catalog walk.
std::set<std::string> Names(const Bytes& volume) {
  testsupport::BytesDevice device(volume.data(), volume.size());
  CHFSPlusVolume opened(&device, false);
  hfstest::Catalog catalog;
  EXPECT_EQ(catalog.Walk(&opened), 0u);
  std::set<std::string> out;
  for (const auto& [id, found] : catalog.byID()) out.insert(found.node->GetFileName());
  return out;
}

TEST(HFSPlusComplete, FirstGuessIsTwentyKiBInOnAGuidDiskAndStaysWithoutFiles) {
  std::string why;
  const auto image = hfstest::Unpacked("hdi-hfsp", &why);
  REQUIRE_OR_SKIP(!image.empty(), why);
  const Bytes sample = testsupport::ReadFile(image);
  // Sector 0 of a GPT disk alone: a protective MBR and nothing to find.
  Bytes disk(4 << 20, 0);
  std::copy_n(sample.begin(), 512, disk.begin());
  for (const uint32_t sectorSize : {512u, 4096u}) {
    Scan scan(disk, sectorSize);
    ASSERT_EQ(scan.records().size(), 1u);
    const int64_t guess = sectorSize == 512 ? 40 : 6;
    EXPECT_EQ(scan.records()[0]->start, guess);
    EXPECT_EQ(scan.records()[0]->count, scan.device.GetTotalSectors() - guess);
    EXPECT_EQ(scan.records()[0]->header, nullptr);
  }
  // The sample itself: its volume at 40, from its header.
  Scan scan(sample, 512);
  ASSERT_EQ(scan.records().size(), 1u);
  EXPECT_EQ(scan.records()[0]->start, 40);
  EXPECT_TRUE(scan.records()[0]->startConfirmed);
  EXPECT_GT(scan.records()[0]->fileCount, 0u);
}

TEST(HFSPlusComplete, StartsAreWholeSectorsOfTheDeviceAndNeverNegative) {
  const Bytes volume = Volume("dfvfs-hfsplus", 0);
  REQUIRE_SAMPLE(volume);
  const int64_t volumeBytes = static_cast<int64_t>(volume.size());
  // 8 KiB in, behind 4096-byte sectors: sector 2.
  Bytes disk(volume.size() + (64 << 10), 0);
  Put(disk, volume, 8192);
  Scan at2(disk, 4096);
  ASSERT_EQ(at2.records().size(), 1u);
  EXPECT_EQ(at2.records()[0]->start, 2);
  EXPECT_EQ(at2.records()[0]->count, volumeBytes / 4096);

  // 512 bytes in: no whole 4096-byte sector starts it.
  Bytes odd(volume.size() + (64 << 10), 0);
  Put(odd, volume, 512);
  Scan misaligned(odd, 4096);
  ASSERT_EQ(misaligned.records().size(), 1u);
  EXPECT_EQ(misaligned.records()[0]->header, nullptr);
  EXPECT_EQ(misaligned.records()[0]->start, 0);

  // A volume that would start before the device (its header in sector 1)
  // makes no volume of it.
  Bytes early(volume.begin() + 512, volume.end());
  Scan before(early, 512);
  for (const auto& record : before.records()) {
    EXPECT_GE(record->start, 0);
    EXPECT_GE(record->count, 0);
    EXPECT_NE(record->headerSector, 1);
  }
}

TEST(HFSPlusComplete, AlternateHeaderPlacesAVolumeWhoseOwnHeaderIsGone) {
  const Bytes volume = Volume("dfvfs-hfsplus", 0);
  REQUIRE_SAMPLE(volume);
  const std::set<std::string> names = Names(volume);
  Bytes disk(volume.size() + (1 << 20), 0);
  const size_t at = 300 * 512;
  Put(disk, volume, at);
  std::fill_n(disk.begin() + static_cast<ptrdiff_t>(at + 1024), 512, 0);
  Scan scan(disk, 512);
  ASSERT_EQ(scan.records().size(), 1u);
  const CompleteSearchPatition& record = *scan.records()[0];
  EXPECT_EQ(record.start, 300);
  EXPECT_EQ(record.count, static_cast<int64_t>(volume.size() / 512));
  EXPECT_TRUE(record.startConfirmed);
  // The volume does not open without its header, but its catalog leaves
  // still give its files, placed by the record.
  EXPECT_EQ(record.volume, nullptr);
  std::set<std::string> found;
  for (IFileNode* node : scan.builder.nodes) {
    found.insert(node->GetFileName());
    EXPECT_EQ(static_cast<CFileNode*>(node)->GetBelongedPartition(), 0);
  }
  EXPECT_TRUE(std::includes(found.begin(), found.end(), names.begin(), names.end()));
}

TEST(HFSPlusComplete, HeaderCopiesAddNoVolumeButVolumesOfOneSecondStayTwo) {
  const Bytes volume = Volume("dfvfs-hfsplus", 0);
  REQUIRE_SAMPLE(volume);
  // Both the header and its alternate (1024 bytes before the end) say it.
  auto withID = [&](uint32_t id) {
    Bytes copy = volume;
    for (const size_t header : {size_t{1024}, copy.size() - 1024}) StoreBe32(copy.data() + header + 80 + 28, id);
    return copy;
  };
  const size_t second = volume.size() + (1 << 20);
  for (const bool sameID : {true, false}) {
    SCOPED_TRACE(sameID ? "same identifier" : "own identifiers");
    Bytes disk;
    Put(disk, withID(7), 0);
    Put(disk, withID(sameID ? 7 : 8), second);
    disk.resize(disk.size() + (1 << 20));
    Scan scan(disk, 512);
    ASSERT_EQ(scan.records().size(), sameID ? 1u : 2u);
    if (!sameID) {
      EXPECT_EQ(scan.records()[1]->start, static_cast<int64_t>(second / 512));
    }
  }
  // Two headers in one sector: a hit, but no volume.
  Bytes disk(1 << 20, 0);
  std::copy_n(volume.begin() + 1024, 512, disk.begin() + 8192);
  std::copy_n(volume.begin() + 1024, 512, disk.begin() + 8192 + 1024);
  Scan scan(disk, 4096);
  ASSERT_EQ(scan.records().size(), 1u);
  EXPECT_EQ(scan.records()[0]->header, nullptr);
}

TEST(HFSPlusComplete, JournalInfoBlockNeedsItsFillToTheSectorsEnd) {
  const Bytes volume = Volume("nps-hfsjtest1", 0);
  REQUIRE_SAMPLE(volume);
  const size_t info = size_t{ondisk::Be32(volume.data() + 1024 + 12)} * ondisk::Be32(volume.data() + 1024 + 40);
  for (const bool whole : {true, false}) {
    Bytes copy = volume;
    if (!whole) copy[info + 511] = 0;
    Scan scan(copy, 512);
    ASSERT_FALSE(scan.records().empty());
    EXPECT_EQ(scan.records()[0]->hasJournalInfo, whole);
    if (whole) {
      EXPECT_EQ(scan.records()[0]->journalInfoSector, static_cast<int64_t>(info / 512));
    }
  }
}

TEST(HFSPlusComplete, EndSearchWithoutCompletionBuildsNothing) {
  const Bytes volume = Volume("dfvfs-hfsplus", 0);
  REQUIRE_SAMPLE(volume);
  Scan stopped(volume, 512, 0);
  EXPECT_EQ(stopped.builder.flashes, 0);
  Scan done(volume, 512, 1);
  EXPECT_EQ(done.builder.flashes, 1);
  // What the pass found stays as it was.
  ASSERT_EQ(stopped.records().size(), done.records().size());
  EXPECT_EQ(stopped.records()[0]->start, done.records()[0]->start);
  EXPECT_EQ(stopped.records()[0]->count, done.records()[0]->count);
}

// Two real catalog leaves one after another, the first holding fewer
// records: read as one double-sized node, the first would take the
// second's offset table, and the second would be skipped.
TEST(HFSPlusComplete, EachNodeIsTriedAtTheSmallestSizeThatHoldsIt) {
  const Bytes volume = Volume("lx-hfsplus", 0);
  REQUIRE_SAMPLE(volume);
  testsupport::BytesDevice device(volume.data(), volume.size());
  CHFSPlusVolume opened(&device, false);
  ASSERT_EQ(opened.GetLastError(), 0u);
  CHFSPlusCatalog* catalog = opened.GetCatalog();
  const uint32_t size = catalog->GetHeaderRec()->nodeSize;
  Bytes pair;
  std::set<std::string> names;
  for (uint32_t n = 1; n + 1 < catalog->GetHeaderRec()->totalNodes && pair.empty(); ++n) {
    std::unique_ptr<CHFSPlusBTNode> a(catalog->CreateNode(n));
    std::unique_ptr<CHFSPlusBTNode> b(catalog->CreateNode(n + 1));
    if (!a || !b || a->GetKind() != hfsplus::kLeafNode || b->GetKind() != hfsplus::kLeafNode) continue;
    Bytes both(a->GetBytes(), a->GetBytes() + size);
    both.insert(both.end(), b->GetBytes(), b->GetBytes() + size);
    if (!CHFSPlusBTNode::IsValidNode(both.data(), static_cast<uint16_t>(2 * size))) continue;
    pair = both;
    for (CHFSPlusBTNode* leaf : {a.get(), b.get()}) {
      for (uint16_t i = 0; i < leaf->GetRecordCount(); ++i) {
        std::unique_ptr<BTKey> key(catalog->KeyRead(leaf, i));
        std::unique_ptr<uint8_t[]> data(catalog->DataRead(leaf, i));
        const auto type = reinterpret_cast<const HFSPlusCatalogRecord*>(data.get())->recordType;
        if (type == hfsplus::kFileRecord || type == hfsplus::kFolderRecord) {
          names.insert(HFSPlusNameToUtf8(key->catalog.nodeName.unicode, key->catalog.nodeName.length));
        }
      }
    }
  }
  ASSERT_FALSE(pair.empty()) << "no two leaves that read as one double-sized node";
  Bytes disk(1 << 20, 0);
  Put(disk, pair, 64 << 10);
  Scan scan(disk, 512);
  std::set<std::string> found;
  for (IFileNode* node : scan.builder.nodes) {
    found.insert(node->GetFileName());
    const int64_t sector = static_cast<CFileNode*>(node)->GetMetadataStartPosition();
    EXPECT_TRUE(sector == 128 || sector == 128 + size / 512) << node->GetFileName() << " at " << sector;
  }
  EXPECT_EQ(found, names);
}

TEST(HFSPlusComplete, NodesCarryTheirVolumesIndexAndLiveRecordsComeOnce) {
  const Bytes first = Volume("dfvfs-hfsplus", 0);
  const Bytes second = Volume("hdi-hfsp", 40);
  REQUIRE_SAMPLE(first);
  REQUIRE_SAMPLE(second);
  const std::set<std::string> inFirst = Names(first);
  const std::set<std::string> inSecond = Names(second);
  Bytes disk;
  Put(disk, first, 8 * 512);
  const size_t at = disk.size() + 777 * 512;
  Put(disk, second, at);
  disk.resize(disk.size() + (1 << 20));
  Scan scan(disk, 512);
  ASSERT_EQ(scan.records().size(), 2u);
  EXPECT_EQ(scan.records()[0]->start, 8);
  EXPECT_EQ(scan.records()[1]->start, static_cast<int64_t>(at / 512));
  std::map<std::pair<uint16_t, int64_t>, int> seen;
  for (IFileNode* node : scan.builder.nodes) {
    auto* base = static_cast<CFileNode*>(node);
    const std::string name = node->GetFileName();
    const uint16_t index = base->GetBelongedPartition();
    if (inFirst.count(name) != 0 && inSecond.count(name) == 0) {
      EXPECT_EQ(index, 0) << name;
    }
    if (inSecond.count(name) != 0 && inFirst.count(name) == 0) {
      EXPECT_EQ(index, 1) << name;
    }
    EXPECT_EQ(node->IsDeleted(), 0) << name;
    const int times = ++seen[std::make_pair(index, node->GetCurrentNodeID())];
    EXPECT_EQ(times, 1) << name << " handed on twice";
  }
  // Both volumes opened and walked: every file counted for its own.
  EXPECT_NE(scan.records()[0]->volume, nullptr);
  EXPECT_NE(scan.records()[1]->volume, nullptr);
  EXPECT_GT(scan.records()[0]->fileCount, 0u);
  EXPECT_GT(scan.records()[1]->fileCount, 0u);

  CSearchedPartitionInfo* info[2] = {};
  EXPECT_EQ(scan.searcher.GetSearchedPartitionInfo(info, 1), 2);
  EXPECT_EQ(info[0], nullptr);
  ASSERT_EQ(scan.searcher.GetSearchedPartitionInfo(info, 2), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(info[i]->GetPartitionIndex(), i);
    EXPECT_EQ(info[i]->GetStartSector(), scan.records()[i]->start);
    EXPECT_EQ(info[i]->GetSectorsperCluster(), 8u);  // 4 KiB blocks
    delete info[i];
  }
}

// A stale copy of a live leaf in the volume's free space, one of its records
// given another name and an ID the volume gave out and no longer uses: that
// record is a deleted file of this volume; the others, live, are not handed
// on again.
TEST(HFSPlusComplete, StaleLeafRecordsTheCatalogLacksAreDeleted) {
  Bytes volume = Volume("dfvfs-hfsplus", 0);
  REQUIRE_SAMPLE(volume);
  testsupport::BytesDevice device(volume.data(), volume.size());
  // The leaf that holds "passwords.txt"; its record becomes "passwords.tx~"
  // with ID 27.
  const char16_t from[] = u"passwords.txt";
  Bytes leaf;
  uint32_t nodeSize = 0;
  bool renamed = false;
  {
    CHFSPlusVolume opened(&device, false);
    CHFSPlusCatalog* catalog = opened.GetCatalog();
    nodeSize = catalog->GetHeaderRec()->nodeSize;
    uint32_t n = catalog->GetHeaderRec()->firstLeafNode;
    for (int hops = 0; n != 0 && hops < 64 && !renamed; ++hops) {
      std::unique_ptr<CHFSPlusBTNode> node(catalog->CreateNode(n));
      ASSERT_NE(node, nullptr);
      leaf.assign(node->GetBytes(), node->GetBytes() + nodeSize);
      n = node->GetDescriptor().fLink;
      for (size_t i = 0; i + 26 < leaf.size() && !renamed; ++i) {
        bool match = true;
        for (size_t k = 0; k < 13 && match; ++k) match = ondisk::Be16(leaf.data() + i + 2 * k) == from[k];
        if (!match) continue;
        StoreBe16(leaf.data() + i + 24, '~');
        const size_t data = i + 26;
        ASSERT_EQ(ondisk::Be16(leaf.data() + data), hfsplus::kFileRecord);
        StoreBe32(leaf.data() + data + 8, 27);
        renamed = true;
      }
    }
  }
  ASSERT_TRUE(renamed);
  // Free space near the volume's end (its allocation file says so for the
  // sample: the last blocks before the alternate header are free).
  const size_t at = volume.size() - 4 * 4096;
  ASSERT_TRUE(ondisk::AllZero(volume.data() + at, nodeSize));
  std::copy(leaf.begin(), leaf.end(), volume.begin() + static_cast<ptrdiff_t>(at));
  Scan scan(volume, 512);
  const auto stale = scan.Named("passwords.tx~");
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0]->IsDeleted(), 1);
  EXPECT_EQ(stale[0]->GetBelongedPartition(), 0);
  EXPECT_EQ(stale[0]->GetMetadataStartPosition(), static_cast<int64_t>(at / 512));
  const auto live = scan.Named("passwords.txt");
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0]->IsDeleted(), 0);
}

TEST(HFSPlusComplete, AllVolumesCatalogsShareOneCap) {
  const Bytes first = Volume("lx-hfsplus", 0);
  const Bytes second = Volume("nps-hfsjtest1", 0);
  REQUIRE_SAMPLE(first);
  REQUIRE_SAMPLE(second);
  Bytes disk;
  Put(disk, first, 0);
  Put(disk, second, disk.size() + (1 << 20));
  disk.resize(disk.size() + (1 << 20));
  auto found = [](const Scan& scan) {
    std::set<std::pair<uint16_t, int64_t>> ids;
    for (IFileNode* node : scan.builder.nodes) {
      ids.emplace(static_cast<CFileNode*>(node)->GetBelongedPartition(), node->GetCurrentNodeID());
    }
    return ids;
  };
  std::set<std::pair<uint16_t, int64_t>> freely;
  {
    Scan scan(disk, 512);
    ASSERT_EQ(scan.records().size(), 2u);
    freely = found(scan);
  }
  const uint64_t cap = hfsplus::CatalogMemory::Cap();
  ASSERT_EQ(hfsplus::CatalogMemory::InUse(), 0u);
  // Room for the first volume's catalog only: the second reads its catalog
  // from the device, and finds the same.
  const uint64_t firstCatalog = uint64_t{ondisk::Be32(first.data() + 1024 + 272 + 12)} * 4096;
  hfsplus::CatalogMemory::SetCap(firstCatalog + 4096);
  {
    Scan scan(disk, 512);
    ASSERT_EQ(scan.records().size(), 2u);
    EXPECT_LE(hfsplus::CatalogMemory::InUse(), firstCatalog + 4096);
    auto* held = static_cast<CHFSPlusFileCache*>(scan.records()[1]->volume->GetCatalogFile());
    EXPECT_LT(held->GetCachedBytes(), 4096u * 20);
    EXPECT_EQ(found(scan), freely);
  }
  hfsplus::CatalogMemory::SetCap(cap);
  EXPECT_EQ(hfsplus::CatalogMemory::InUse(), 0u);
}

}  // namespace
