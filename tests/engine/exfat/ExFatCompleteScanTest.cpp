// The complete scan's exFAT searcher over the two-partition disk of
// tests/fixtures/exfat/make-exfat-disk.sh, whole and with its boot regions,
// table and root folders wiped: the volumes sit where the boot sectors
// mkfs.exfat wrote (and dump.exfat reads) put them, placed from the
// evidence that is left, and every file copies out like its original. The
// directory runs the pass finds give the root folders dump.exfat names and
// cluster-size bounds that hold the true size. Through the conformance
// harness (the real tree builder): each volume keeps its own top level, with
// or without the partition table; what a lost root held shows under the
// lost files; a volume without its table reads no other's; a volume image
// kept as a file is found too.
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "DataRunList.h"
#include "FileNode.h"
#include "device/SectorSizeDevice.h"
#include "exfat/ExFatSearchController.h"
#include "support/BytesDevice.h"
#include "support/Conformance.h"
#include "support/LendingDevice.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"

namespace {

using Partition = CExFatPartitionEx;

std::filesystem::path Dir() {
  return conformance::FixtureDir("CLIPMENDER_EXFAT_DISK_FIXTURES", CLIPMENDER_EXFAT_DISK_FIXTURE_DIR);
}

std::vector<std::vector<std::string>> Table(const std::filesystem::path& file) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string f; std::getline(split, f, '\t');) fields.push_back(f);
    rows.push_back(fields);
  }
  return rows;
}

struct Scan {
  std::vector<uint8_t> bytes;
  std::unique_ptr<IStorageDevice> image;
  std::unique_ptr<IStorageDevice> device;
  testsupport::RecordingBuilder builder;
  CExFatSearchController searcher;

  // The block pass in blocks of `block` sectors, then EndSearch(`build`).
  // With `lend`, the device lends its blocks in place as the scan's cache
  // does (but one, which the searcher reads itself). With `wide`, the
  // image is seen through 4096-byte sectors (an enclosure of larger sectors).
  explicit Scan(const std::string& name, int64_t block = 2048, int build = 1, bool lend = false, bool wide = false)
      : bytes(testsupport::ReadFile(Dir() / name)) {
    if (lend) {
      auto* lender = new testsupport::LendingDevice(bytes);
      lender->refused.insert(block * 3 + 1);
      device.reset(lender);
    } else {
      device = std::make_unique<testsupport::BytesDevice>(bytes.data(), bytes.size());
    }
    if (wide) {
      image = std::move(device);
      device = std::make_unique<CSectorSizeDevice>(image.get(), 4096);
    }
    searcher.SetDevice(device.get());
    searcher.SetBlockSize(static_cast<int>(block));
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.PreparetoSearch();
    for (int64_t first = 0; first < device->GetTotalSectors(); first += block) {
      searcher.AnalyzeBlock(first, std::min<int64_t>(block, device->GetTotalSectors() - first));
    }
    searcher.EndBlockPass();
    searcher.EndSearch(build);
  }

  // The bytes a file node's runs give, cut at its size.
  std::string CopyOut(IFileNode* node) const {
    auto* file = static_cast<CFileNode*>(node);
    const Partition& v = *searcher.GetPartitions().at(file->GetBelongedPartition());
    std::string data;
    IDataRunList* runs = file->GetDataRunList();
    for (DataRun* run = runs != nullptr ? runs->GetFirst() : nullptr; run != nullptr; run = runs->GetNext()) {
      const size_t at = static_cast<size_t>(v.GetHeapFirstSector() + run->start * v.GetSectorsPerCluster()) * 512;
      const size_t length = static_cast<size_t>(run->length) * v.GetSectorsPerCluster() * 512;
      if (at + length > bytes.size()) break;
      data.append(reinterpret_cast<const char*>(bytes.data()) + at, length);
    }
    data.resize(std::min<size_t>(data.size(), node->GetFileSize()));
    return data;
  }
};

class ExFatCompleteScan : public testing::Test {
 protected:
  void SetUp() override {
    const std::string why =
        conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-disk.sh", Dir());
    if (!why.empty()) GTEST_SKIP() << why;
    geometry = Table(Dir() / "disk.img.geometry.tsv");
    ASSERT_EQ(geometry.size(), 2u);
  }

  // Every live file of the originals (but those at a root, with `roots`
  // false) is among the nodes of its partition, by name and size, and
  // copies out identical.
  void ExpectFiles(const Scan& scan, bool roots) {
    std::multimap<std::pair<uint16_t, std::string>, IFileNode*> nodes;
    for (IFileNode* node : scan.builder.owned) {
      if (node->IsDirectory() == 0 && node->IsDeleted() == 0) {
        nodes.emplace(std::make_pair(static_cast<CFileNode*>(node)->GetBelongedPartition(), node->GetFileName()), node);
      }
    }
    int checked = 0;
    for (const auto& row : Table(Dir() / "disk.img.files.tsv")) {
      ASSERT_EQ(row.size(), 4u);
      if (!roots && row[1].find('/') == std::string::npos) continue;
      const std::string name = row[1].substr(row[1].rfind('/') + 1);
      const std::vector<uint8_t> original = testsupport::ReadFile(Dir() / "originals" / ("p" + row[0]) / row[1]);
      bool found = false;
      auto range = nodes.equal_range({static_cast<uint16_t>(std::stoi(row[0])), name});
      for (auto it = range.first; it != range.second && !found; ++it) {
        found = scan.CopyOut(it->second) == std::string(original.begin(), original.end());
      }
      EXPECT_TRUE(found) << "partition " << row[0] << ": " << row[1];
      ++checked;
    }
    EXPECT_GT(checked, 80);
  }

  void ExpectGeometry(const Scan& scan, bool starts) {
    const auto& volumes = scan.searcher.GetPartitions();
    ASSERT_EQ(volumes.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      if (starts) {
        EXPECT_EQ(volumes[i]->GetVolumeStartSector(), std::stoll(geometry[i][1])) << i;
      }
      EXPECT_EQ(volumes[i]->GetHeapFirstSector(), std::stoll(geometry[i][2])) << i;
      EXPECT_EQ(volumes[i]->GetSectorsPerCluster(), std::stoul(geometry[i][3])) << i;
    }
    CSearchedPartitionInfo* records[2] = {};
    ASSERT_EQ(const_cast<CExFatSearchController&>(scan.searcher).GetSearchedPartitionInfo(records, 2), 2);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(records[i]->GetPartitionIndex(), i);
      EXPECT_EQ(records[i]->GetFirstDataSector(), std::stoll(geometry[i][2]));
      delete records[i];
    }
  }

  std::vector<std::vector<std::string>> geometry;
};

TEST_F(ExFatCompleteScan, FindsBothPartitionsOfTheDiskWhereTheirBootSectorsPutThem) {
  Scan scan("disk.img");
  ExpectGeometry(scan, true);
  for (const auto& v : scan.searcher.GetPartitions()) {
    EXPECT_EQ(v->m_flags & ~Partition::kRootSet, Partition::kBootMain | Partition::kBootBackup | Partition::kFirstFat);
  }
  ExpectFiles(scan, true);
  EXPECT_EQ(testsupport::Sha256(Dir() / "disk.img"), Table(Dir() / "disk.img.sha256").at(0).at(0));
  // A boot sector in the last two sectors of a block is looked at with the
  // next block (the last size puts the second partition's there), also with
  // blocks shorter than what a set may run on into.
  for (const int64_t block : {int64_t{1}, int64_t{3}, int64_t{std::stoll(geometry[1][1]) / 2 + 1}}) {
    Scan odd("disk.img", block);
    ExpectGeometry(odd, true);
    EXPECT_EQ(odd.builder.owned.size(), scan.builder.owned.size()) << block;
  }
  // Blocks borrowed in place from the scan's cache give the same.
  Scan lent("disk.img", 2048, 1, true);
  ExpectGeometry(lent, true);
  EXPECT_EQ(lent.builder.owned.size(), scan.builder.owned.size());
  EXPECT_GT(static_cast<testsupport::LendingDevice*>(lent.device.get())->borrows, 50);
  // Seen through 4096-byte sectors, the volumes made for 512-byte ones sit
  // at the same places, boot sectors and their backups met at every 512
  // bytes, and counted in 512-byte sectors.
  Scan wide("disk.img", 256, 1, false, true);
  ExpectGeometry(wide, true);
  for (const auto& v : wide.searcher.GetPartitions()) {
    EXPECT_EQ(v->m_flags & (Partition::kBootMain | Partition::kBootBackup),
              Partition::kBootMain | Partition::kBootBackup);
  }
  EXPECT_EQ(wide.builder.owned.size(), scan.builder.owned.size());
  ExpectFiles(wide, true);
}

TEST_F(ExFatCompleteScan, TheRunsOfThePassGiveTheRootsDumpExFatNamesAndBoundTheClusterSize) {
  Scan scan("disk.img", 2048, 0);
  // EndSearch(0) leaves everything as the pass left it.
  EXPECT_TRUE(scan.searcher.GetPartitions().empty());
  EXPECT_TRUE(scan.builder.events.empty());
  const auto& sets = scan.searcher.GetBuilder().GetFileSets();
  ASSERT_GT(sets.size(), 20u);
  for (size_t i = 0; i < 2; ++i) {
    const std::vector<uint8_t> text = testsupport::ReadFile(Dir() / ("disk.img.p" + std::to_string(i) + ".dump.txt"));
    const std::string dump(text.begin(), text.end());
    auto figure = [&](const std::string& field) {
      return std::stoull(dump.substr(dump.find_first_of("0123456789", dump.find(field))));
    };
    const CFileSet* root = scan.searcher.GetBuilder().FindFileSet(std::stoll(geometry[i][4]));
    ASSERT_NE(root, nullptr) << i;
    EXPECT_TRUE(root->IsRoot());
    EXPECT_EQ(root->GetBitmapCluster(), figure("Bitmap start cluster"));
    EXPECT_EQ(root->GetBitmapLength(), figure("Bitmap size"));
    EXPECT_EQ(root->GetUpcaseCluster(), figure("Upcase table start cluster"));
    EXPECT_EQ(root->GetUpcaseSize(), figure("Upcase table size"));
    const int64_t heap = std::stoll(geometry[i][2]);
    const int64_t end = std::stoll(geometry[i][1]) + figure("Volume Length");
    int inside = 0;
    for (const auto& set : sets) {
      if (set->GetFirstSector() < heap || set->GetFirstSector() >= end) continue;
      ++inside;
      EXPECT_FALSE(set->IsClusterSizeConflict(std::stoul(geometry[i][3]))) << set->GetFirstSector();
    }
    EXPECT_GE(inside, 12) << i;
  }
  scan.searcher.EndSearch(1);
  EXPECT_EQ(scan.searcher.GetPartitions().size(), 2u);
  // Too little room: the count, nothing written.
  CSearchedPartitionInfo* record = nullptr;
  EXPECT_EQ(scan.searcher.GetSearchedPartitionInfo(&record, 1), 2);
  EXPECT_EQ(record, nullptr);
}

TEST_F(ExFatCompleteScan, PlacesAPartitionFromItsBackupBootSector) {
  Scan scan("nomain.img");
  ExpectGeometry(scan, true);
  EXPECT_EQ(scan.searcher.GetPartitions()[0]->m_flags & (Partition::kBootMain | Partition::kBootBackup),
            Partition::kBootBackup);
  ExpectFiles(scan, true);
  // The backup lies 12 sectors of 512 bytes in, halfway through a sector of
  // 4096 bytes: looked for at every 512 bytes all the same.
  Scan wide("nomain.img", 256, 1, false, true);
  ExpectGeometry(wide, true);
  ExpectFiles(wide, true);
}

TEST_F(ExFatCompleteScan, InfersPartitionsFromTheRootFolderAndTheUpCaseTable) {
  Scan scan("noboot.img");
  ExpectGeometry(scan, false);
  for (const auto& v : scan.searcher.GetPartitions()) EXPECT_NE(v->m_flags & Partition::kRootSet, 0u);
  ExpectFiles(scan, true);
}

TEST_F(ExFatCompleteScan, InfersPartitionsFromAFolderTreeWithoutTheRoot) {
  Scan scan("noroot.img");
  ExpectGeometry(scan, false);
  for (const auto& v : scan.searcher.GetPartitions()) EXPECT_NE(v->m_flags & Partition::kDirectoryTree, 0u);
  ExpectFiles(scan, false);
}

// Boot sectors of another volume's image stored as a file, or stray copies,
// must not place volumes whose root does not check out.
TEST(ExFatCompleteScanEvidence, ALoneBootSectorWithoutItsRootPlacesNothing) {
  std::vector<uint8_t> disk(8 << 20, 0);
  const std::vector<uint8_t> fixture = testsupport::ReadFile(Dir() / "disk.img");
  if (fixture.size() < 2049 * 512) GTEST_SKIP() << "fixture missing";
  std::copy_n(fixture.begin() + 2048 * 512, 512, disk.begin() + 4096 * 512);
  testsupport::BytesDevice device(disk.data(), disk.size());
  testsupport::RecordingBuilder builder;
  CExFatSearchController searcher;
  searcher.SetDevice(&device);
  searcher.SetDirecotryTreeBuilder(&builder);
  searcher.PreparetoSearch();
  searcher.AnalyzeBlock(0, device.GetTotalSectors());
  searcher.EndSearch(1);
  EXPECT_TRUE(searcher.GetPartitions().empty());
  EXPECT_EQ(builder.events.back(), "flash:" + std::to_string(SEARCHER_TYPE_EXFAT));
}

std::vector<conformance::Row> DiskRows() {
  auto row = [](std::string name, const std::string& image, const std::string& expect, conformance::Through through) {
    conformance::Row r;
    r.name = std::move(name);
    r.image = Dir() / (image + ".img");
    r.expect = Dir() / (expect + ".img.expect.tsv");
    r.complete = true;
    r.through = through;
    r.prepare = [] {
      return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/exfat/make-exfat-disk.sh", Dir());
    };
    return r;
  };
  using conformance::Through;
  // A volume without its table's first sector reads no other volume's
  // table: its fragmented file keeps its first cluster, and says it is cut.
  conformance::Row nofat = row("nofat", "nofat", "nofat", Through::kFile);
  nofat.cutSizes = true;
  return {row("disk", "disk", "disk", Through::kFile), row("notable", "notable", "disk", Through::kFile),
          row("notable_loop", "notable", "disk", Through::kLoop), row("nomain", "nomain", "disk", Through::kFile),
          row("noboot", "noboot", "disk", Through::kFile), row("noroot", "noroot", "noroot", Through::kFile),
          // A valid boot sector whose root is gone and whose backup differs
          // from it still places its volume.
          row("stale", "stale", "stale", Through::kFile), nofat,
          // A volume image kept as a file in another volume is a volume too.
          row("nested", "nested", "nested", Through::kFile), row("nested_loop", "nested", "nested", Through::kLoop)};
}

CONFORMANCE_ROWS(ExFatDisk, DiskRows());

}  // namespace
