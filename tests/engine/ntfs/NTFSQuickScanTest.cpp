// The NTFS quick scan on volumes laid out by hand after the published format
// (the cases real images cannot show: damaged tables, unreadable sectors,
// hostile geometry, stops half-way), and the services beside it: resident
// data and the NTFS file reader.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "DirecotryTreeBuilder.h"
#include "FileReader.h"
#include "NtfsTestRecords.h"
#include "Progress.h"
#include "SearchedPartitionInfo.h"
#include "ntfs/CFileReaderEx.h"
#include "ntfs/CompressedDataRunList.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileProperties.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSQuickSearch.h"
#include "ntfs/NTFSResidentData.h"
#include "ntfs/NTFSVolumeAnalyer.h"
#include "support/Recorders.h"
#include "support/TestSupport.h"

namespace {

using ntfstest::Bytes;
using ntfstest::MemoryDevice;
using ntfstest::TestRecord;

// The engine logs into its working folder: a fresh one, chosen before
// anything can log.
const bool kWorkDirChosen = !testsupport::TempWorkDir().empty();

void Put(Bytes& b, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A volume described field by field, made into the bytes of a device.
struct Volume {
  uint32_t deviceSector = 512;
  uint16_t bytesPerSector = 512;
  uint8_t sectorsPerCluster = 8;
  int8_t recordCode = -10;  // 2^10 = 1024-byte records
  int recordBytes = 1024;
  int64_t totalSectors = 16384;  // in the boot sector's sectors
  int64_t mftCluster = 4;
  int64_t mftClusters = 16;
  int64_t mirrorCluster = 100;
  bool signature = true;
  std::map<int64_t, Bytes> records;  // MFT records by number

  uint32_t ClusterBytes() const { return uint32_t{bytesPerSector} * sectorsPerCluster; }

  Bytes Boot() const {
    Bytes b(512, 0);
    std::memcpy(b.data(), "\xEB\x52\x90NTFS    ", 11);
    Put(b, 0x0B, bytesPerSector, 2);
    b[0x0D] = sectorsPerCluster;
    b[0x15] = 0xF8;
    Put(b, 0x28, static_cast<uint64_t>(totalSectors - 1), 8);
    Put(b, 0x30, static_cast<uint64_t>(mftCluster), 8);
    Put(b, 0x38, static_cast<uint64_t>(mirrorCluster), 8);
    b[0x40] = static_cast<uint8_t>(recordCode);
    b[0x44] = 1;
    if (signature) Put(b, 510, 0xAA55, 2);
    return b;
  }

  // $MFT (its runs: one extent), $MFTMirr, $LogFile, $Volume and the root.
  void AddMetafiles() {
    auto meta = [&](uint32_t n, const std::u16string& name) {
      return TestRecord(n, true, false, -1, recordBytes).StandardInformation(0x06).FileName(5, name, 3);
    };
    records[0] = meta(0, u"$MFT").NonResidentData({{mftCluster, mftClusters}}, 0, mftClusters * ClusterBytes()).Data();
    records[1] = meta(1, u"$MFTMirr").NonResidentData({{mirrorCluster, 1}}, 0, 4096).Data();
    records[2] = meta(2, u"$LogFile").NonResidentData({{200, 4}}, 0, 4 * ClusterBytes()).Data();
    records[3] = meta(3, u"$Volume").Data();
    records[5] =
        TestRecord(5, true, true, -1, recordBytes).StandardInformation(0x06).FileName(5, u".", 3, 0x10000000).Data();
  }

  uint64_t RecordOffset(int64_t n) const { return uint64_t(mftCluster) * ClusterBytes() + uint64_t(n) * recordBytes; }
  int64_t RecordSector(int64_t n) const { return static_cast<int64_t>(RecordOffset(n) / deviceSector); }

  std::unique_ptr<MemoryDevice> Device(bool withMirror = true) const {
    auto device =
        std::make_unique<MemoryDevice>(Bytes(static_cast<size_t>(totalSectors) * bytesPerSector, 0), deviceSector);
    device->Put(0, Boot());
    for (const auto& [n, bytes] : records) {
      device->Put(RecordOffset(n), bytes);
      if (withMirror && n < 4) device->Put(uint64_t(mirrorCluster) * ClusterBytes() + n * recordBytes, bytes);
    }
    return device;
  }
};

// A file record with a name and resident content.
Bytes ResidentFile(uint32_t n, uint64_t parent, const std::u16string& name, const Bytes& content, bool inUse = true) {
  return TestRecord(n, inUse).StandardInformation(0x20).FileName(parent, name).ResidentData(content).Data();
}
Bytes Folder(uint32_t n, uint64_t parent, const std::u16string& name, bool inUse = true) {
  return TestRecord(n, inUse, true).StandardInformation(0x10).FileName(parent, name, 1, 0x10000000).Data();
}
Bytes Text(size_t n, char c) { return Bytes(n, static_cast<uint8_t>(c)); }

using Sink = testsupport::ProgressSink;

struct Scan {
  testsupport::RecordingBuilder builder;
  Sink sink;
  std::unique_ptr<CNTFSQuickSearch> searcher = std::make_unique<CNTFSQuickSearch>();

  ResultCode Run(IStorageDevice& device) {
    searcher->SetDirecotryTreeBuilder(&builder);
    return searcher->QuickSearchFiles(&device, &sink);
  }
  CNTFSFileNode* Node(int64_t id) const { return dynamic_cast<CNTFSFileNode*>(builder.Node(id)); }
};

// A device that fails reads touching chosen sectors.
class FailingDevice : public MemoryDevice {
 public:
  using MemoryDevice::MemoryDevice;
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    for (int64_t s : bad) {
      if (s >= first && s < first + count) return 0;
    }
    return MemoryDevice::ReadSector(buffer, first, count);
  }
  std::set<int64_t> bad;
};

// A device of 2^33 sectors that holds a volume far past sector 2^32: every
// sector reads as zeros except the ones placed.
class HugeDevice : public MemoryDevice {
 public:
  HugeDevice() : MemoryDevice(Bytes(512, 0)) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, static_cast<size_t>(count) * 512);
    const uint64_t begin = uint64_t(first) * 512, end = begin + uint64_t(count) * 512;
    for (const auto& [offset, bytes] : placed) {
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (offset + i >= begin && offset + i < end) out[offset + i - begin] = bytes[i];
      }
    }
    return 1;
  }
  int64_t GetTotalSectors() override { return int64_t{1} << 33; }
  std::vector<std::pair<uint64_t, Bytes>> placed;
};

// ---- answers --------------------------------------------------------------------

TEST(NtfsQuickScanAnswers, DevicesTheScanCannotWalkEndWithTheirErrorAndNoNodes) {
  Volume plain;
  plain.AddMetafiles();
  const Bytes boot = plain.Boot();
  struct Case {
    const char* what;
    std::unique_ptr<MemoryDevice> device;
    ResultCode expected;
  };
  std::vector<Case> cases;
  for (size_t sectors : {0u, 1u, 2u}) {
    Bytes data(sectors * 512, 0);
    if (sectors > 0) std::memcpy(data.data(), boot.data(), 512);
    cases.push_back({"a device of 0-2 sectors", std::make_unique<MemoryDevice>(data), 0x0112007500000010ULL});
  }
  Volume unsigned_ = plain;
  unsigned_.signature = false;
  cases.push_back({"a boot sector without its signature", unsigned_.Device(), 0x0112007500000010ULL});
  // (Records smaller than a device sector: the 4096-byte-sector rows.)
  Volume small;
  small.deviceSector = 4096;
  small.sectorsPerCluster = 1;  // 512-byte clusters on 4096-byte sectors
  small.recordCode = -12;
  small.recordBytes = 4096;
  small.mftClusters = 128;
  small.records.clear();
  small.AddMetafiles();
  cases.push_back({"clusters that are not whole device sectors", small.Device(), 0x0112007E00000011ULL});
  cases.push_back({"neither record 0 nor its mirror is the table", plain.Device(false), 0x0112007E00000011ULL});
  cases.back().device->Put(plain.RecordOffset(0), Bytes(1024, 0));
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scan scan;
    EXPECT_EQ(scan.Run(*c.device), c.expected);
    EXPECT_TRUE(scan.builder.added.empty());
  }
  Sink sink;
  CNTFSQuickSearch searcher;
  auto device = plain.Device();
  EXPECT_EQ(searcher.QuickSearchFiles(nullptr, &sink), 0x0112006500000005ULL);
  EXPECT_EQ(searcher.QuickSearchFiles(device.get(), nullptr), 0x0112006500000005ULL);
  EXPECT_TRUE(sink.records.empty());
  EXPECT_EQ(CreateNTFSVolumeAnalyze(unsigned_.Device().get(), 0), nullptr);
  EXPECT_EQ(CreateNTFSVolumeAnalyze(nullptr, 0), nullptr);
  EXPECT_EQ(CreateNTFSVolumeAnalyze(device.get(), static_cast<uint64_t>(device->GetTotalSectors())), nullptr);
}

// ---- finding the table --------------------------------------------------------------

// (A zeroed record 0: the mirror row.)
TEST(NtfsQuickScanTable, ATornRecordZeroIsReplacedByItsMirror) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"a.txt", Text(10, 'a'));
  Bytes torn = v.records[0];
  torn[1022] ^= 0xFF;  // the second sector's end no longer carries the sequence number
  auto device = v.Device();
  device->Put(v.RecordOffset(0), torn);
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_TRUE(scan.searcher->IsMFTFromMirror());
  ASSERT_NE(scan.builder.Find(30), nullptr);
  EXPECT_EQ(scan.builder.Find(30)->name, "a.txt");
}

TEST(NtfsQuickScanTable, TheTableContinuesOnlyInItsOwnExtensionRecords) {
  // Records 0-63 lie at cluster 4; 64-127 at cluster 300, named only by
  // extension record 15, which also carries the name "$MFT". The same
  // record 15 belonging to record 40 does not extend the table.
  for (const int64_t base : {0, 40}) {
    SCOPED_TRACE(base);
    Volume v;
    v.AddMetafiles();
    const uint64_t named = base == 0 ? 15 : 0;
    TestRecord zero(0);
    zero.StandardInformation(0x06).AttributeList(
        ntfstest::AttributeListContent({{0x10, 0}, {0x30, named}, {0x80, 0}, {0x80, 15, 16}}));
    if (named == 0) zero.FileName(5, u"$MFT", 3);
    v.records[0] = zero.NonResidentData({{4, 16}}, 0, 32 * 4096).Data();
    v.records[15] =
        TestRecord(15, true, false, base).FileName(5, u"$MFT", 3).NonResidentData({{300, 16}}, 16, 32 * 4096).Data();
    auto device = v.Device();
    device->Put(300ull * 4096 + 6 * 1024, ResidentFile(70, 5, u"far.txt", Text(5, 'f')));
    device->Put(v.RecordOffset(40), ResidentFile(40, 5, u"near.txt", Text(5, 'n')));
    Scan scan;
    ASSERT_EQ(scan.Run(*device), 0u);
    EXPECT_EQ(scan.searcher->GetMFTDataRunList().GetLCN(16), base == 0 ? 300 : -1);
    EXPECT_EQ(scan.builder.Find(70) != nullptr, base == 0);
    if (base == 0) {
      EXPECT_EQ(scan.builder.Find(70)->name, "far.txt");
    }
    EXPECT_EQ(scan.builder.Find(15), nullptr) << "extension records make no nodes";
  }
}

TEST(NtfsQuickScanTable, RecordNumbersFollowTheTableAcrossAGapInItsRuns) {
  // The second extent starts at VCN 20 although the first ends at 16.
  Volume v;
  v.AddMetafiles();
  v.records[0] = TestRecord(0)
                     .StandardInformation(0x06)
                     .FileName(5, u"$MFT", 3)
                     .NonResidentData({{4, 16}}, 0, 36 * 4096)
                     .NonResidentData({{300, 16}}, 20, 36 * 4096)
                     .Data();
  auto device = v.Device();
  device->Put(300ull * 4096, ResidentFile(80, 5, u"eighty.txt", Text(5, 'e')));
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_NE(scan.builder.Find(80), nullptr);
  EXPECT_EQ(scan.builder.Find(80)->name, "eighty.txt");
}

TEST(NtfsQuickScanTable, RunsThatRepeatTheWholeDeviceAreWalkedOnce) {
  // Record 0 lists every cluster from the table's start to the device's end
  // forty times over.
  Volume v;
  v.AddMetafiles();
  const int64_t clusters = v.totalSectors * v.bytesPerSector / v.ClusterBytes() - v.mftCluster;
  const std::vector<ntfstest::Run> again(40, ntfstest::Run{v.mftCluster, clusters});
  v.records[0] = TestRecord(0)
                     .StandardInformation(0x06)
                     .FileName(5, u"$MFT", 3)
                     .NonResidentData(again, 0, 40 * clusters * v.ClusterBytes())
                     .Data();
  v.records[40] = ResidentFile(40, 5, u"forty.txt", Text(4, '4'));
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_NE(scan.builder.Find(40), nullptr);
  EXPECT_EQ(scan.builder.Find(40)->name, "forty.txt");
  // No more sectors than the device's 16384 are walked, two a record
  // (forty times 16352 without the limit).
  EXPECT_EQ(scan.sink.records.back().total, 16384u);
  EXPECT_EQ(scan.searcher->GetCounters().recordSlots, 8192);
}

// ---- the walk --------------------------------------------------------------------

// A table of 300 sectors (512-byte clusters, two sectors a record).
Volume ThreeHundredSectorVolume() {
  Volume v;
  v.sectorsPerCluster = 1;
  v.totalSectors = 2048;
  v.mftCluster = 16;
  v.mftClusters = 300;
  v.mirrorCluster = 1000;
  v.AddMetafiles();
  v.records[2] = TestRecord(2).StandardInformation(0x06).FileName(5, u"$LogFile", 3).Data();
  v.records[30] = ResidentFile(30, 5, u"first.txt", Text(3, '1'));
  v.records[70] = ResidentFile(70, 5, u"second.txt", Text(3, '2'));
  v.records[149] = ResidentFile(149, 5, u"last.txt", Text(3, '3'));
  return v;
}

TEST(NtfsQuickScanWalk, ATableOf300SectorsIsTwoFullBuffersAndOneOf44) {
  Volume v = ThreeHundredSectorVolume();
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_EQ(scan.sink.records.size(), 4u);
  const std::vector<std::array<uint64_t, 2>> expected = {{2, 0}, {2, 128}, {2, 256}, {3, 300}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(scan.sink.records[i].status, expected[i][0]);
    EXPECT_EQ(scan.sink.records[i].current, expected[i][1]);
    EXPECT_EQ(scan.sink.records[i].total, 300u);
    EXPECT_EQ(scan.sink.records[i].error, 0u);
  }
  EXPECT_EQ(scan.builder.Ids(), (std::set<int64_t>{30, 70, 149}));
  EXPECT_EQ(scan.builder.events, (std::vector<std::string>{"info:35:5", "partition", "flash:35"}));
  EXPECT_EQ(scan.builder.partitionDevice, device.get());
  EXPECT_EQ(scan.builder.partitionSectorsPerCluster, 1u);
}

TEST(NtfsQuickScanWalk, AStopStillFlushesTheTreeAndReportsTheEnd) {
  Volume v = ThreeHundredSectorVolume();
  auto device = v.Device();
  Scan scan;
  scan.sink.stopAt = 3;  // the walk's second read
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.builder.Ids(), (std::set<int64_t>{30}));
  EXPECT_EQ(scan.builder.events.back(), "flash:35");
  ASSERT_FALSE(scan.sink.records.empty());
  EXPECT_EQ(scan.sink.records.back().status, 3u);
}

TEST(NtfsQuickScanWalk, UnreadableSectorsAreLoggedAndMarkTheLastProgressRecord) {
  Volume v = ThreeHundredSectorVolume();
  auto memory = v.Device();
  Bytes all(static_cast<size_t>(memory->GetTotalSectors()) * 512);
  ASSERT_NE(memory->ReadSector(all.data(), 0, memory->GetTotalSectors()), 0);
  FailingDevice device(all);
  const int64_t firstBad = v.RecordSector(64);
  device.bad = {firstBad + 10};  // in the second buffer
  Scan scan;
  ASSERT_EQ(scan.Run(device), 0u);
  EXPECT_EQ(scan.builder.Ids(), (std::set<int64_t>{30, 149}));
  EXPECT_EQ(scan.sink.records.back().status, 3u);
  EXPECT_EQ(scan.sink.records.back().error, CNTFSQuickSearch::kMFTReadFailed);
  EXPECT_EQ(scan.searcher->GetCounters().failedReads, 1);
  EXPECT_NE(testsupport::ReadLog().find("cannot read MFT sectors"), std::string::npos);
}

// ---- what becomes a node ------------------------------------------------------------

TEST(NtfsQuickScanNodes, WhichRecordsBecomeNodesAndWithWhat) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = Folder(30, 5, u"docs");
  v.records[31] = ResidentFile(31, 30, u"note.txt", Text(700, 'n'));
  v.records[32] = TestRecord(32, false)
                      .StandardInformation(0x20)
                      .FileName(30, u"gone.bin")
                      .NonResidentData({{500, 3}}, 0, 10000)
                      .Data();
  v.records[33] = Folder(33, 30, u"old", false);
  // None of these: a second root-like record, an extension record, a torn
  // record, a deleted record with nothing to bring back.
  v.records[40] = TestRecord(40, true, true).StandardInformation(0x06).FileName(5, u".", 3, 0x10000000).Data();
  v.records[41] = TestRecord(41, true, false, 30).FileName(5, u"part.txt").Data();
  v.records[42] = ResidentFile(42, 5, u"torn.txt", Text(600, 't'));
  v.records[42][510] ^= 0x55;
  v.records[51] = TestRecord(51, false).StandardInformation(0x20).Data();
  // A file without any name comes back named after its record.
  v.records[50] = TestRecord(50, false).StandardInformation(0x20).NonResidentData({{600, 2}}, 0, 5000).Data();
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_EQ(scan.builder.Ids(), (std::set<int64_t>{30, 31, 32, 33, 50}));
  struct Expect {
    int64_t id, parent;
    const char* name;
    bool deleted, folder;
    uint64_t size;
  };
  for (const Expect& e : {Expect{30, 5, "docs", false, true, 0}, Expect{31, 30, "note.txt", false, false, 700},
                          Expect{32, 30, "gone.bin", true, false, 10000}, Expect{33, 30, "old", true, true, 0},
                          Expect{50, -1, "MFTRecord-50", true, false, 5000}}) {
    SCOPED_TRACE(e.id);
    const auto* a = scan.builder.Find(e.id);
    EXPECT_EQ(a->parent, e.parent);
    EXPECT_EQ(a->name, e.name);
    EXPECT_EQ(a->deleted, e.deleted);
    EXPECT_EQ(a->folder, e.folder);
    EXPECT_EQ(a->size, e.folder ? a->size : e.size);
  }
  EXPECT_EQ(scan.Node(31)->GetMetadataStartPosition(), v.RecordSector(31));
}

TEST(NtfsQuickScanNodes, RefusedNodesAreReleasedByTheSearcher) {
  // (The sanitizer build reports the refused nodes if they leak.)
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"a.txt", Text(10, 'a'));
  v.records[31] = ResidentFile(31, 5, u"b.txt", Text(10, 'b'));
  auto device = v.Device();
  Scan scan;
  scan.builder.refuseEvery = 1;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.builder.added.size(), 2u);
  EXPECT_EQ(scan.searcher->GetCounters().nodesRefused, 2);
}

TEST(NtfsQuickScanNodes, ADeletedFileKeepsTheDataThatItsListLostWhenItWasDeleted) {
  // Record 60 was deleted (sequence 2, was 1). Its list still names record
  // 61; record 62 also holds its data (base reference sequence 1) but was
  // cut from the list; record 63 names record 60 from an older life
  // (sequence 0) and is not taken.
  Volume v;
  v.AddMetafiles();
  Bytes base = TestRecord(60, false)
                   .StandardInformation(0x20)
                   .FileName(5, u"big.bin")
                   .AttributeList(ntfstest::AttributeListContent({{0x10, 60}, {0x30, 60}, {0x80, 61, 0}}))
                   .Data();
  Put(base, 0x10, 2, 2);
  v.records[60] = base;
  v.records[61] = TestRecord(61, false, false, 60).NonResidentData({{700, 4}}, 0, 8 * 4096).Data();
  v.records[62] = TestRecord(62, false, false, 60).NonResidentData({{800, 4}}, 4, 8 * 4096).Data();
  Bytes older = TestRecord(63, false, false, 60).NonResidentData({{900, 4}}, 8, 8 * 4096).Data();
  Put(older, 0x26, 0, 2);  // base reference sequence 0
  v.records[63] = older;
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_EQ(scan.builder.Ids(), (std::set<int64_t>{60}));
  CNTFSFileNode* node = scan.Node(60);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetFileSize(), 8u * 4096);
  std::vector<std::pair<int64_t, int64_t>> runs;
  IDataRunList* list = node->GetDataRunList();
  for (DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext())
    runs.emplace_back(run->start, run->length);
  EXPECT_EQ(runs, (std::vector<std::pair<int64_t, int64_t>>{{700, 4}, {800, 4}}));
}

// ---- the $LogFile finder ------------------------------------------------------------

class FakeFinder : public CFindFileFromLogFile {
 public:
  bool Init(IStorageDevice* device, const CNTFSDataRunList* runs, uint8_t spc, int64_t start,
            uint32_t recordBytes) override {
    initDevice = device;
    initRunsFirst = runs != nullptr ? runs->GetLCN(0) : -2;
    initSpc = spc;
    initRecordBytes = recordBytes;
    (void)start;
    return true;
  }
  bool Analyzer() override {
    ++analysed;
    return true;
  }
  bool ReplaceFileRecordInfo(uint8_t* record, int bytes, CNTFSFileProperties& properties, int64_t parent,
                             const CExtendFileRecordInfoList*) override {
    asked.push_back({CNTFSFileRecord::GetXPNumberOfthisMFTRecord(record), parent, bytes});
    CNoneResidentNTFSDataRunList runs;
    runs.AddDataRun(DataRun{1000, 2});
    properties.SetDataRunList(&runs);
    properties.SetFileSize(6000);
    return true;
  }
  IStorageDevice* initDevice = nullptr;
  int64_t initRunsFirst = -1;
  uint8_t initSpc = 0;
  uint32_t initRecordBytes = 0;
  int analysed = 0;
  struct Ask {
    uint32_t record;
    int64_t parent;
    int bytes;
  };
  std::vector<Ask> asked;
};

TEST(NtfsQuickScanLogFile, DeletedFilesOfSizeZeroAreOfferedToTheFinderAndTakeWhatItGives) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = Folder(30, 5, u"docs");
  // Deleted, runs cleared: size 0.
  v.records[31] = TestRecord(31, false).StandardInformation(0x20).FileName(30, u"cleared.bin").Data();
  // Deleted with its data, live and empty, a deleted folder: not offered.
  v.records[32] = ResidentFile(32, 30, u"kept.txt", Text(10, 'k'), false);
  v.records[33] = TestRecord(33).StandardInformation(0x20).FileName(30, u"empty.txt").Data();
  v.records[34] = Folder(34, 30, u"oldfolder", false);
  auto device = v.Device();
  Scan scan;
  auto finder = std::make_unique<FakeFinder>();
  FakeFinder* fake = finder.get();
  scan.searcher->SetLogFileFinder(std::move(finder));
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(fake->initDevice, device.get());
  EXPECT_EQ(fake->initRunsFirst, 4);
  EXPECT_EQ(fake->initSpc, 8);
  EXPECT_EQ(fake->initRecordBytes, 1024u);
  EXPECT_EQ(fake->analysed, 1);
  ASSERT_EQ(fake->asked.size(), 1u);
  EXPECT_EQ(fake->asked[0].record, 31u);
  EXPECT_EQ(fake->asked[0].parent, 30);
  EXPECT_EQ(fake->asked[0].bytes, 1024);
  CNTFSFileNode* node = scan.Node(31);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetFileSize(), 6000u);
  ASSERT_NE(node->GetDataRunList(), nullptr);
  EXPECT_EQ(node->GetDataRunList()->GetFirst()->start, 1000);
}

TEST(NtfsQuickScanLogFile, WithoutALogTheScanIsTheSame) {
  Volume v;
  v.AddMetafiles();
  v.records[31] = TestRecord(31, false).StandardInformation(0x20).FileName(5, u"cleared.bin").Data();
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_NE(scan.builder.Find(31), nullptr);
  EXPECT_EQ(scan.builder.Find(31)->size, 0u);
  EXPECT_EQ(scan.searcher->GetCounters().logFileQueries, 1);
}

// ---- geometry and the found volume ----------------------------------------------------

TEST(NtfsQuickScanGeometry, TheSectorSizeIsTheScannedDevicesNotAProcessWideOne) {
  // 128 KiB clusters of 4096-byte sectors, 4096-byte records. Measured in
  // 512-byte sectors the cluster size would be out of range (256), which is
  // what a stale process-wide sector size would make of it.
  SetNTFSSectorSize(512);
  Volume v;
  v.deviceSector = 4096;
  v.bytesPerSector = 4096;
  v.sectorsPerCluster = 32;
  v.recordCode = -12;
  v.recordBytes = 4096;
  v.totalSectors = 2048;
  v.mftCluster = 2;
  v.mirrorCluster = 10;
  v.records[0] = TestRecord(0, true, false, -1, 4096)
                     .StandardInformation(0x06)
                     .FileName(5, u"$MFT", 3)
                     .NonResidentData({{2, 1}}, 0, 131072)
                     .Data();
  v.records[20] = TestRecord(20, true, false, -1, 4096)
                      .StandardInformation(0x20)
                      .FileName(5, u"wide.txt")
                      .ResidentData(Text(3000, 'w'))
                      .Data();
  auto device = v.Device();
  Scan scan;
  CSearchedPartitionInfo* none[1] = {nullptr};
  EXPECT_EQ(scan.searcher->GetSearchedPartitionInfo(none, 0), 1);
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.searcher->GetSectorsPerCluster(), 32u);
  EXPECT_EQ(scan.searcher->GetSectorsPerFileRecord(), 1u);
  ASSERT_NE(scan.builder.Find(20), nullptr);
  EXPECT_EQ(scan.builder.Find(20)->name, "wide.txt");
  EXPECT_EQ(GetNTFSSectorSize(), 512u) << "the scan leaves the process-wide value alone";
  // The found volume describes the scanned device.
  CSearchedPartitionInfo* out[2] = {nullptr, nullptr};
  ASSERT_EQ(scan.searcher->GetSearchedPartitionInfo(out, 2), 1);
  std::unique_ptr<CSearchedPartitionInfo> record(out[0]);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(out[1], nullptr);
  EXPECT_EQ(record->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);
  EXPECT_EQ(record->GetSectorsperCluster(), 32u);
  EXPECT_EQ(record->GetSectorSize(), 4096u);
  EXPECT_EQ(record->GetTotalSectors(), static_cast<uint64_t>(device->GetTotalSectors()));
}

TEST(NtfsQuickScanGeometry, SectorsPast2To32AreKeptWhole) {
  // The volume starts at device sector 0 but its table lies 2^32 + 800
  // sectors in.
  Volume v;
  v.totalSectors = (int64_t{1} << 33) - 1;
  v.mftCluster = ((int64_t{1} << 32) + 800) / 8;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"far.txt", Text(700, 'f'));
  HugeDevice device;
  device.placed.push_back({0, v.Boot()});
  for (const auto& [n, bytes] : v.records) device.placed.push_back({v.RecordOffset(n), bytes});
  Scan scan;
  ASSERT_EQ(scan.Run(device), 0u);
  CNTFSFileNode* node = scan.Node(30);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetMetadataStartPosition(), v.RecordSector(30));
  EXPECT_GT(node->GetMetadataStartPosition(), int64_t{1} << 32);
  uint8_t content[4096];
  int64_t length = 0;
  EXPECT_EQ(GetResidentDataRunsStream(*node, device, &length, content, sizeof content), 700u);
  EXPECT_EQ(Bytes(content, content + 700), Text(700, 'f'));
}

// ---- resident data ------------------------------------------------------------------

// The node a scan makes of record `n` of `v`.
struct ScannedNode {
  std::unique_ptr<MemoryDevice> device;
  Scan scan;
  CNTFSFileNode* node = nullptr;
  ScannedNode(const Volume& v, int64_t n) : device(v.Device()) {
    EXPECT_EQ(scan.Run(*device), 0u);
    node = scan.Node(n);
  }
};

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7);
  return b;
}

TEST(NtfsResidentData, A700ByteFileIsCopiedWholeOnlyWhenItFits) {
  Volume v;
  v.AddMetafiles();
  const Bytes content = Pattern(700);
  v.records[30] = ResidentFile(30, 5, u"seven.bin", content);
  ScannedNode s(v, 30);
  ASSERT_NE(s.node, nullptr);
  Bytes out(4096, 0xEE);
  int64_t length = -5;
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 4096), 700u);
  EXPECT_EQ(length, 700);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 700), content) << "including the bytes across the sector end";
  length = -5;
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 512), 0u);
  EXPECT_EQ(length, -5);
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, nullptr, out.data(), 4096), 0u);
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, nullptr, 4096), 0u);
  // The record-sector form (a node restored from a saved scan).
  EXPECT_EQ(GetResidentDataRunsStream(static_cast<uint64_t>(v.RecordSector(30)), *s.device, &length, out.data(), 4096),
            700u);
  // Through the NTFS file reader, from an offset, and its clone.
  CFileReaderEx reader;
  ASSERT_TRUE(reader.Open(s.device.get(), s.node, 0, 8));
  unsigned char part[300];
  int got = 0;
  ASSERT_NE(reader.Read(500, part, 300, got), 0);
  ASSERT_EQ(got, 200);
  EXPECT_EQ(Bytes(part, part + 200), Bytes(content.begin() + 500, content.end()));
  std::unique_ptr<IFileReader, void (*)(IFileReader*)> clone(reader.Clone(), [](IFileReader* r) { r->Release(); });
  ASSERT_NE(clone, nullptr);
  char all[700];
  EXPECT_EQ(clone->ReadData(0, all, 700), 700u);
  EXPECT_EQ(std::memcmp(all, content.data(), 700), 0);
}

TEST(NtfsResidentData, ContentInAnExtensionRecordIsFoundThere) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = TestRecord(30)
                      .StandardInformation(0x20)
                      .FileName(5, u"split.txt")
                      .AttributeList(ntfstest::AttributeListContent({{0x10, 30}, {0x30, 30}, {0x80, 31}}))
                      .Data();
  v.records[31] = TestRecord(31, true, false, 30).ResidentData(Text(300, 's')).Data();
  ScannedNode s(v, 30);
  ASSERT_NE(s.node, nullptr);
  EXPECT_EQ(s.node->GetFileSize(), 300u);
  Bytes out(1024);
  int64_t length = 0;
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 1024), 300u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 300), Text(300, 's'));
}

TEST(NtfsResidentData, ARecordChangedSinceTheScanGivesNothing) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"before.txt", Text(100, 'b'));
  ScannedNode s(v, 30);
  ASSERT_NE(s.node, nullptr);
  Bytes torn = ResidentFile(30, 5, u"before.txt", Text(100, 'b'));
  torn[1022] ^= 1;
  const Bytes changes[] = {
      ResidentFile(77, 5, u"after.txt", Text(100, 'a')),                     // another record number
      ResidentFile(30, 5, u"after-with-a-longer-name.txt", Text(100, 'a')),  // the content elsewhere
      torn,
  };
  for (const Bytes& now : changes) {
    s.device->Put(v.RecordOffset(30), now);
    Bytes out(1024);
    int64_t length = 0;
    EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 1024), 0u);
  }
}

// ---- the NTFS file reader -------------------------------------------------------------

// A node of `size` bytes over the given runs.
class RunsNode : public CNTFSFileNode {
 public:
  RunsNode(int64_t size, const std::vector<DataRun>& runs) : m_size(size) {
    auto* list = new CNoneResidentNTFSDataRunList();
    for (const DataRun& run : runs) list->AddDataRun(run);
    SetDataRunList(list);
  }
  uint64_t GetFileSize() override { return static_cast<uint64_t>(m_size); }

 private:
  int64_t m_size;
};

TEST(NtfsFileReaderEx, ReadsAreCutAtTheFilesEndHolesReadAsZerosAndUnreadableClustersStop) {
  // Cluster c (4096 bytes, from sector 100) is filled with byte c.
  Bytes data(100 * 512 + 64 * 4096, 0);
  for (int c = 0; c < 64; ++c) std::memset(data.data() + 100 * 512 + c * 4096, c, 4096);
  MemoryDevice device(data);
  RunsNode node(4100, {{7, 1}, {20, 1}});
  CFileReaderEx reader;
  ASSERT_TRUE(reader.Open(&device, &node, 100, 8));
  unsigned char out[100];
  std::memset(out, 0xEE, sizeof out);
  int got = -1;
  ASSERT_NE(reader.Read(4090, out, 100, got), 0);
  ASSERT_EQ(got, 10);
  EXPECT_EQ(Bytes(out, out + 11), (Bytes{7, 7, 7, 7, 7, 7, 20, 20, 20, 20, 0xEE}));
  EXPECT_EQ(reader.Read(4100, out, 1, got), 0);

  RunsNode sparse(3 * 4096, {{5, 1}, {-1, 1}, {6, 1}});
  CSearchedPartitionInfo partition(512);
  partition.SetSectorsperCluster(8);
  partition.SetFirstDataSector(100);
  ASSERT_EQ(reader.Open(&device, &sparse, &partition), 1);
  Bytes all(3 * 4096, 0xEE);
  ASSERT_NE(reader.Read(0, all.data(), static_cast<int>(all.size()), got), 0);
  ASSERT_EQ(got, 3 * 4096);
  Bytes expected(4096, 5);
  expected.resize(8192, 0);
  expected.resize(3 * 4096, 6);
  EXPECT_EQ(all, expected);

  RunsNode beyond(2 * 4096, {{63, 1}, {64, 1}});  // cluster 64 is past the device
  ASSERT_TRUE(reader.Open(&device, &beyond, 100, 8));
  EXPECT_EQ(reader.Read(0, all.data(), 2 * 4096, got), 0);
  RunsNode empty(0, {{5, 1}});
  EXPECT_FALSE(reader.Open(&device, &empty, 100, 8));
  EXPECT_FALSE(reader.Open(&device, &node, 100, 0));
}

}  // namespace
