// Volume headers, nodes, key orders and walks on the real samples' bytes,
// and on copies of them damaged the way hostile media are.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "HFSPlusTestImages.h"
#include "OnDiskBytes.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/HFSPlusError.h"
#include "support/BytesDevice.h"
#include "support/TestSupport.h"

namespace {

using hfstest::Catalog;

// A sample's volume held in memory, so that tests can damage a copy.
struct MemoryVolume {
  std::vector<uint8_t> bytes;
  std::unique_ptr<testsupport::BytesDevice> device;
  std::unique_ptr<CHFSPlusVolume> volume;

  void Reopen() {
    volume.reset();
    device = std::make_unique<testsupport::BytesDevice>(bytes.data(), bytes.size());
    volume = std::make_unique<CHFSPlusVolume>(device.get(), false);
  }
  uint32_t Be32At(uint64_t at) const { return ondisk::Be32(&bytes[at]); }
  void PutBe32(uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
  }
  void PutBe16(uint64_t at, uint16_t v) {
    bytes[at] = static_cast<uint8_t>(v >> 8);
    bytes[at + 1] = static_cast<uint8_t>(v);
  }
  // Where node `n` of the tree whose fork data sits at `forkAt` of the
  // volume header lies (its first extent must hold it).
  uint64_t NodeAt(uint32_t forkAt, uint32_t n) const {
    const uint64_t blockSize = Be32At(1024 + 40);
    const uint64_t treeAt = uint64_t{Be32At(1024 + forkAt + 16)} * blockSize;
    const uint64_t nodeSize = ondisk::Be16(&bytes[treeAt + 14 + 18]);
    return treeAt + n * nodeSize;
  }
};
constexpr uint32_t kExtentsFork = 192;
constexpr uint32_t kCatalogFork = 272;

bool LoadSample(const char* name, MemoryVolume& out, std::string* why) {
  for (const auto& s : hfstest::Samples()) {
    if (std::string(s.name) != name) continue;
    const auto image = hfstest::Unpacked(name, why);
    if (image.empty()) return false;
    auto all = testsupport::ReadFile(image);
    out.bytes.assign(all.begin() + s.startSector * 512, all.end());
    out.Reopen();
    return true;
  }
  return false;
}

#define LOAD_OR_SKIP(name, mv)                                 \
  MemoryVolume mv;                                             \
  do {                                                         \
    std::string why_;                                          \
    const bool ok_ = LoadSample(name, mv, &why_);              \
    REQUIRE_OR_SKIP(ok_, why_);                                \
    ASSERT_TRUE(result::IsSuccess(mv.volume->GetLastError())); \
  } while (0)

TEST(VolumeHeaderTest, ChecksAreMadeBeforeAnythingIsTrusted) {
  LOAD_OR_SKIP("lx-hfsplus-j", mv);
  std::vector<uint8_t> header(mv.bytes.begin() + 1024, mv.bytes.begin() + 1536);
  EXPECT_TRUE(CHFSPlusVolume::IsValidVolumeHeader(header.data(), 512));
  EXPECT_FALSE(CHFSPlusVolume::IsValidVolumeHeader(header.data(), 511));
  auto mutated = [&](size_t at, uint32_t value, int width) {
    std::vector<uint8_t> h = header;
    for (int i = 0; i < width; ++i) h[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    return CHFSPlusVolume::IsValidVolumeHeader(h.data(), 512);
  };
  const uint32_t total = ondisk::Be32(&header[44]);
  EXPECT_TRUE(mutated(48, total, 4)) << "free blocks equal to total";
  EXPECT_FALSE(mutated(48, total + 1, 4)) << "free blocks above total";
  EXPECT_FALSE(mutated(12, total + 1, 4)) << "journal info block outside the volume";
  EXPECT_FALSE(mutated(2, 17, 2)) << "version";
  EXPECT_FALSE(mutated(0, 0x4244, 2)) << "signature";
  EXPECT_FALSE(mutated(40, 0, 4)) << "block size 0";
  EXPECT_FALSE(mutated(40, 1536, 4)) << "block size not a power of two";
  EXPECT_FALSE(mutated(272 + 12, ondisk::Be32(&header[272 + 12]) + 1, 4)) << "catalog size disagrees with its blocks";

  // The volume refuses such a header outright instead of reading forks.
  mv.PutBe32(1024 + 40, 1536);
  mv.Reopen();
  EXPECT_EQ(result::Error(mv.volume->GetLastError()), result::kErrBadData);
  EXPECT_EQ(mv.volume->GetCatalog(), nullptr);
}

// A device that counts its reads.
class CountingDevice final : public testsupport::StubDevice {
 public:
  explicit CountingDevice(const std::vector<uint8_t>& bytes) : inner_(bytes.data(), bytes.size()) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    calls.emplace_back(first, count);
    return inner_.ReadSector(buffer, first, count);
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return inner_.GetTotalSectors(); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return 0; }
  std::vector<std::pair<int64_t, int64_t>> calls;

 private:
  testsupport::BytesDevice inner_;
};

TEST(VolumeReadTest, ByteReadsAcrossSectorsAndPastTheEnd) {
  LOAD_OR_SKIP("hdi-hfsp", mv);
  CountingDevice device(mv.bytes);
  CHFSPlusVolume volume(&device, true);  // header, extents and attributes only
  ASSERT_NE(volume.GetVolumeHeader(), nullptr);
  device.calls.clear();
  uint8_t got[10];
  ASSERT_EQ(volume.Read(4096 * 3 - 3, got, sizeof(got)), sizeof(got));
  EXPECT_EQ(0, std::memcmp(got, &mv.bytes[4096 * 3 - 3], sizeof(got)));
  ASSERT_EQ(device.calls.size(), 2u);
  EXPECT_EQ(device.calls[0], std::make_pair(int64_t{23}, int64_t{1}));
  EXPECT_EQ(device.calls[1], std::make_pair(int64_t{24}, int64_t{1}));
  // Past the device: what could be read, and a device-read error.
  std::vector<uint8_t> tail(2048);
  EXPECT_EQ(volume.Read(mv.bytes.size() - 1024 - 100, tail.data(), tail.size()), 100u);
  EXPECT_EQ(result::Error(volume.GetLastError()), hfsplus::kErrDeviceRead);
}

TEST(BTNodeTest, ValidationOfRealNodesAndDamagedCopies) {
  LOAD_OR_SKIP("lx-hfsplus-j", mv);
  const BTHeaderRec* header = mv.volume->GetCatalog()->GetHeaderRec();
  ASSERT_NE(header, nullptr);
  const uint16_t size = header->nodeSize;
  const uint64_t leafAt = mv.NodeAt(kCatalogFork, header->firstLeafNode);
  std::vector<uint8_t> leaf(mv.bytes.begin() + leafAt, mv.bytes.begin() + leafAt + size);
  CHFSPlusBTNode node(leaf.data(), size, 0);
  ASSERT_TRUE(node.IsValid());
  EXPECT_EQ(node.GetKind(), hfsplus::kLeafNode);
  EXPECT_EQ(node.TestNodeBelongToFile(), hfsplus::kCatalogFileID);
  uint16_t length = 0;
  EXPECT_EQ(node.GetRecord(node.GetRecordCount(), &length), nullptr);

  auto valid = [&](auto change) {
    std::vector<uint8_t> copy = leaf;
    change(copy);
    return CHFSPlusBTNode::IsValidNode(copy.data(), size);
  };
  EXPECT_FALSE(valid([](auto& b) { b[9] = 2; })) << "leaf of height 2";
  EXPECT_FALSE(valid([&](auto& b) { b[size - 1] = 16; })) << "record 0 not at 14";
  EXPECT_FALSE(valid([](auto& b) { b[10] = 0xFF, b[11] = 0xFF; })) << "more records than the node holds";
  EXPECT_FALSE(valid([](auto& b) { b[8] = 3; })) << "node kind";
  EXPECT_FALSE(CHFSPlusBTNode::IsValidNode(leaf.data(), 500));
  EXPECT_TRUE(valid([&](auto& b) { b[10] = 0, b[11] = 0, b[size - 4] = 0, b[size - 3] = 14; }))
      << "no records, free space at 14";

  // An extents leaf is told apart from a catalog leaf.
  const BTHeaderRec* extents = mv.volume->GetExtents()->GetHeaderRec();
  ASSERT_NE(extents, nullptr);
  ASSERT_NE(extents->firstLeafNode, 0u);
  const uint64_t extentsAt = mv.NodeAt(kExtentsFork, extents->firstLeafNode);
  CHFSPlusBTNode extentLeaf(&mv.bytes[extentsAt], extents->nodeSize, 0);
  EXPECT_EQ(extentLeaf.TestNodeBelongToFile(), hfsplus::kExtentsFileID);
}

BTKey CatalogKey(uint32_t parent, const std::u16string& name) {
  BTKey key{};
  key.catalog.parentID = parent;
  key.catalog.nodeName.length = static_cast<uint16_t>(name.size());
  for (size_t i = 0; i < name.size(); ++i) key.catalog.nodeName.unicode[i] = name[i];
  key.catalog.keyLength = static_cast<uint16_t>(6 + 2 * name.size());
  return key;
}

TEST(KeyOrderTest, CaseFoldingBinaryAndColonRules) {
  const BTKey upper = CatalogKey(20, u"ABC");
  const BTKey lower = CatalogKey(20, u"abc");
  EXPECT_EQ(CHFSPlusCatalog::Compare(&upper, &lower, hfsplus::kCaseFoldingCompare), 0);
  EXPECT_LT(CHFSPlusCatalog::Compare(&upper, &lower, hfsplus::kBinaryCompare), 0);
  const BTKey colon = CatalogKey(20, u"a:b");
  const BTKey slash = CatalogKey(20, u"a/b");
  EXPECT_EQ(CHFSPlusCatalog::Compare(&colon, &slash, hfsplus::kCaseFoldingCompare), 0);
  EXPECT_EQ(CHFSPlusCatalog::Compare(&colon, &slash, hfsplus::kBinaryCompare), 0);
  const BTKey prefix = CatalogKey(20, u"ab");
  EXPECT_LT(CHFSPlusCatalog::Compare(&prefix, &lower, hfsplus::kBinaryCompare), 0);
  EXPECT_LT(CHFSPlusCatalog::Compare(&prefix, &upper, hfsplus::kCaseFoldingCompare), 0);
  // Ignorable code points take no part.
  const BTKey joined = CatalogKey(20, u"a\u200Cbc");
  EXPECT_EQ(CHFSPlusCatalog::Compare(&joined, &upper, hfsplus::kCaseFoldingCompare), 0);

  // Entries of the published table: folded letters, letters with a
  // canonical decomposition left alone, Unicode 2.0 Georgian, ignorables,
  // and NUL sorting last.
  const std::pair<uint16_t, uint16_t> table[] = {
      {0x0041, 0x0061}, {0x00C6, 0x00E6}, {0x00C0, 0x00C0}, {0x00DE, 0x00FE}, {0x0110, 0x0111},
      {0x0130, 0x0130}, {0x0181, 0x0253}, {0x01C4, 0x01C6}, {0x0391, 0x03B1}, {0x0386, 0x0386},
      {0x0410, 0x0430}, {0x0419, 0x0419}, {0x0402, 0x0452}, {0x0531, 0x0561}, {0x10A0, 0x10D0},
      {0x2160, 0x2170}, {0x2126, 0x2126}, {0xFF21, 0xFF41}, {0x200C, 0x0000}, {0x206F, 0x0000},
      {0xFEFF, 0x0000}, {0x0000, 0xFFFF}, {0x1E00, 0x1E00}, {0x24B6, 0x24B6}, {0x0061, 0x0061}};
  for (const auto& [from, to] : table) EXPECT_EQ(HFSPlusFoldCase(from), to) << std::hex << from;
}

TEST(KeyOrderTest, BrokenNamesStillShow) {
  const uint16_t lonely[] = {0, 0, 'a', 0xD800, '/'};
  EXPECT_EQ(HFSPlusNameToUtf8(lonely, 5), "a\xEF\xBF\xBD:");
}

TEST(SearchTest, LookupsInRealTrees) {
  LOAD_OR_SKIP("hdi-hfsp", mv);
  // A key below every key of the one leaf: found 0 at index 0.
  const BTKey low = CatalogKey(0, u"");
  HFSPlusSearchResult r;
  uint8_t* record = nullptr;
  ASSERT_TRUE(result::IsSuccess(mv.volume->Search(hfsplus::kCatalogFileID, &low, r, &record)));
  EXPECT_EQ(r.found, 0);
  EXPECT_EQ(r.recordIndex, 0);
  EXPECT_EQ(record, nullptr);
  // The root folder's thread, case-insensitively on HFS+.
  const BTKey file = CatalogKey(hfsplus::kRootFolderID, u"FILE-A.TXT");
  ASSERT_TRUE(result::IsSuccess(mv.volume->Search(hfsplus::kCatalogFileID, &file, r, &record)));
  ASSERT_EQ(r.found, 1);
  std::unique_ptr<uint8_t[]> owned(record);
  const auto* rec = reinterpret_cast<const HFSPlusCatalogRecord*>(record);
  EXPECT_EQ(rec->recordType, hfsplus::kFileRecord);
  EXPECT_EQ(rec->file.fileID, 20u);  // fls: r/r 20 file-a.txt
  EXPECT_EQ(result::Error(mv.volume->Search(5, &file, r, nullptr)), result::kErrNotSupported);
}

TEST(AttributeTest, InlineAttributesMatchTheManifest) {
  LOAD_OR_SKIP("lx-hfsplus-j", mv);
  Catalog catalog;
  catalog.Walk(mv.volume.get());
  std::ifstream in(testsupport::SharedFixturesDir() / "hfsplus" / "lx-hfsplus-j.manifest.tsv");
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    if (line.rfind("#xattr\t", 0) != 0) continue;
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string col; std::getline(ss, col, '\t');) cols.push_back(col);
    std::string name = cols[2];
    if (name == "osx.com.apple.FinderInfo") continue;  // kept in the catalog record
    if (name.rfind("osx.", 0) == 0) name = name.substr(4);
    const hfstest::Found* owner = catalog.FindPath(cols[1]);
    if (owner == nullptr) continue;  // on a deleted file
    SCOPED_TRACE(cols[1] + " " + name);
    uint8_t* data = nullptr;
    const uint32_t size =
        mv.volume->getAttribute(static_cast<uint32_t>(owner->node->GetCurrentNodeID()), name.c_str(), &data);
    std::unique_ptr<uint8_t[]> owned(data);
    ASSERT_EQ(size, std::stoul(cols[3]));
    EXPECT_EQ(hfstest::Md5(std::vector<uint8_t>(data, data + size)), cols[4]);
    ++checked;
  }
  EXPECT_GE(checked, 3);
  uint8_t* none = nullptr;
  EXPECT_EQ(mv.volume->getAttribute(2, "no.such.attribute", &none), 0u);
  EXPECT_EQ(none, nullptr);
}

TEST(FileNodeTest, SizesRunsAndKindsFromRecords) {
  LOAD_OR_SKIP("lx-gpt-hfsx", mv);  // 1 KiB allocation blocks
  const BTKey key = CatalogKey(hfsplus::kRootFolderID, u"made-up");
  HFSPlusCatalogRecord record{};
  record.file.recordType = hfsplus::kFileRecord;
  record.file.fileID = 999999;
  record.file.dataFork.totalBlocks = 3;
  record.file.dataFork.extents[0] = {100, 3};
  CHFSPlusFileNode allocatedOnly(mv.volume.get(), &key, &record, 0);
  EXPECT_EQ(allocatedOnly.GetFileSize(), 3u * 1024u);
  EXPECT_EQ(hfstest::Runs(&allocatedOnly), (std::vector<std::pair<int64_t, int64_t>>{{100, 3}}));
  EXPECT_EQ(allocatedOnly.GetCurrentNodeID(), 999999);
  EXPECT_EQ(allocatedOnly.GetParentNodeID(), hfsplus::kRootFolderID);

  // More than eight extents and no overflow record anywhere: the first eight.
  record.file.dataFork.totalBlocks = 100;
  for (uint32_t i = 0; i < 8; ++i) record.file.dataFork.extents[i] = {1000 + 10 * i, 2};
  CHFSPlusFileNode partial(mv.volume.get(), &key, &record, 1);
  EXPECT_EQ(hfstest::Runs(&partial).size(), 8u);
  EXPECT_TRUE(partial.IsDeleted());
  std::unique_ptr<IFileNode, void (*)(IFileNode*)> clone(partial.Clone(), [](IFileNode* n) { n->Release(); });
  ASSERT_NE(clone.get(), &partial);
  EXPECT_STREQ(clone->GetFileName(), "made-up");
  EXPECT_EQ(hfstest::Runs(static_cast<CHFSPlusFileNode*>(clone.get())).size(), 8u);

  HFSPlusCatalogRecord folder{};
  folder.folder.recordType = hfsplus::kFolderRecord;
  folder.folder.folderID = 1;
  EXPECT_EQ(CHFSPlusFileNode(mv.volume.get(), &key, &folder, 0).GetCurrentNodeID(), -1);
  folder.folder.folderID = 77;
  folder.folder.createDate = 1;
  CHFSPlusFileNode folderNode(mv.volume.get(), &key, &folder, 0);
  EXPECT_TRUE(folderNode.IsDirectory());
  EXPECT_EQ(folderNode.GetCreationTime(), 10000000u + 95616288000000000u);
}

// A child pointer turned back to the root: the walk ends, reports the damage
// and still hands on what the other children hold.
TEST(DamageTest, CyclicCatalogEndsAndKeepsTheRest) {
  LOAD_OR_SKIP("lx-hfsplus", mv);
  const BTHeaderRec header = *mv.volume->GetCatalog()->GetHeaderRec();
  ASSERT_GE(header.treeDepth, 2);
  Catalog intact;
  ASSERT_TRUE(result::IsSuccess(intact.Walk(mv.volume.get())));

  const uint64_t rootAt = mv.NodeAt(kCatalogFork, header.rootNode);
  const uint16_t count = ondisk::Be16(&mv.bytes[rootAt + 10]);
  ASSERT_GE(count, 2);
  const uint64_t lastRecord = rootAt + ondisk::Be16(&mv.bytes[rootAt + header.nodeSize - 2 * count]);
  const uint16_t keyLength = ondisk::Be16(&mv.bytes[lastRecord]);
  mv.PutBe32(lastRecord + 2 + keyLength, header.rootNode);
  mv.Reopen();
  ASSERT_TRUE(result::IsSuccess(mv.volume->GetLastError()));
  Catalog damaged;
  EXPECT_EQ(result::Error(damaged.Walk(mv.volume.get())), result::kErrBadData);
  EXPECT_GT(damaged.byID().size(), 0u);
  EXPECT_LT(damaged.byID().size(), intact.byID().size());
  // Look-ups that reach the loop end as well.
  const BTKey last = CatalogKey(0xFFFFFFF0u, u"zzz");
  HFSPlusSearchResult r;
  EXPECT_TRUE(result::IsFailure(mv.volume->Search(hfsplus::kCatalogFileID, &last, r, nullptr)));

  // A tree deeper than any real one is refused before it is walked.
  const uint64_t headerAt = mv.NodeAt(kCatalogFork, 0) + 14;
  mv.PutBe16(headerAt, 40);
  mv.Reopen();
  Catalog deep;
  EXPECT_EQ(result::Error(deep.Walk(mv.volume.get())), result::kErrBadData);
  EXPECT_EQ(deep.byID().size(), 0u);
}

// Overflow records that add nothing end the extent chase.
TEST(DamageTest, EmptyOverflowRecordEndsTheRuns) {
  LOAD_OR_SKIP("lx-hfsplus-j", mv);
  Catalog before;
  before.Walk(mv.volume.get());
  const hfstest::Found* frag = before.FindPath("frag/fragmented.bin");
  ASSERT_NE(frag, nullptr);
  const auto runs = hfstest::Runs(frag->node);
  ASSERT_GT(runs.size(), 8u);
  int64_t firstEight = 0;
  for (size_t i = 0; i < 8; ++i) firstEight += runs[i].second;

  BTKey key{};
  key.extent.keyLength = 10;
  key.extent.fileID = static_cast<uint32_t>(frag->node->GetCurrentNodeID());
  key.extent.startBlock = static_cast<uint32_t>(firstEight);
  HFSPlusSearchResult r;
  ASSERT_TRUE(result::IsSuccess(mv.volume->Search(hfsplus::kExtentsFileID, &key, r, nullptr)));
  ASSERT_EQ(r.found, 1);
  const uint16_t nodeSize = mv.volume->GetExtents()->GetHeaderRec()->nodeSize;
  const uint64_t nodeAt = mv.NodeAt(kExtentsFork, r.nodeNumber);
  const uint64_t recordAt = nodeAt + ondisk::Be16(&mv.bytes[nodeAt + nodeSize - 2 * (r.recordIndex + 1)]);
  for (int i = 0; i < 8; ++i) mv.PutBe32(recordAt + 12 + 8 * i + 4, 0);
  mv.Reopen();
  Catalog after;
  after.Walk(mv.volume.get());
  const hfstest::Found* cut = after.FindPath("frag/fragmented.bin");
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(hfstest::Runs(cut->node).size(), 8u);
}

}  // namespace
