// The NTFS quick scan on volumes laid out by hand after the published format
// (the cases real images cannot show: damaged tables, unreadable sectors,
// hostile geometry, stops half-way), and the services beside it: resident
// data, the NTFS file reader and the volume analyzer.
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
#include "support/TestSupport.h"

namespace {

using ntfstest::Bytes;
using ntfstest::MemoryDevice;
using ntfstest::Run;
using ntfstest::TestRecord;

// The engine logs into its working folder: a fresh one for this program,
// chosen before anything can log.
const std::string& WorkDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/clipmender-ntfsquick-XXXXXX";
    const char* made = mkdtemp(pattern);
    std::string chosen = made != nullptr ? made : "/tmp";
    setenv("CLIPMENDER_WORK_DIR", chosen.c_str(), 1);
    static const std::string* const kept = new std::string(chosen);
    std::atexit([] {
      std::error_code ignored;
      if (*kept != "/tmp") std::filesystem::remove_all(*kept, ignored);
    });
    return chosen;
  }();
  return dir;
}
const bool kWorkDirChosen = !WorkDir().empty();

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
  std::map<int64_t, Bytes> records;            // MFT records by number
  std::vector<std::pair<uint64_t, Bytes>> at;  // other bytes, by byte offset

  uint32_t ClusterBytes() const { return uint32_t{bytesPerSector} * sectorsPerCluster; }

  Bytes Boot() const {
    Bytes b(512, 0);
    b[0] = 0xEB;
    b[1] = 0x52;
    b[2] = 0x90;
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    Put(b, 0x0B, bytesPerSector, 2);
    b[0x0D] = sectorsPerCluster;
    b[0x15] = 0xF8;
    Put(b, 0x18, 63, 2);
    Put(b, 0x1A, 255, 2);
    Put(b, 0x28, static_cast<uint64_t>(totalSectors - 1), 8);
    Put(b, 0x30, static_cast<uint64_t>(mftCluster), 8);
    Put(b, 0x38, static_cast<uint64_t>(mirrorCluster), 8);
    b[0x40] = static_cast<uint8_t>(recordCode);
    b[0x44] = 1;
    Put(b, 0x48, 0x1122334455667788ULL, 8);
    if (signature) {
      b[510] = 0x55;
      b[511] = 0xAA;
    }
    return b;
  }

  // $MFT (its runs: one extent), $MFTMirr, $LogFile, $Volume and the root.
  void AddMetafiles() {
    records[0] = TestRecord(0, true, false, -1, recordBytes)
                     .StandardInformation(0x06)
                     .FileName(5, u"$MFT", 3)
                     .NonResidentData({{mftCluster, mftClusters}}, 0, mftClusters * ClusterBytes())
                     .Data();
    records[1] = TestRecord(1, true, false, -1, recordBytes)
                     .StandardInformation(0x06)
                     .FileName(5, u"$MFTMirr", 3)
                     .NonResidentData({{mirrorCluster, 1}}, 0, 4096)
                     .Data();
    records[2] = TestRecord(2, true, false, -1, recordBytes)
                     .StandardInformation(0x06)
                     .FileName(5, u"$LogFile", 3)
                     .NonResidentData({{200, 4}}, 0, 4 * ClusterBytes())
                     .Data();
    records[3] =
        TestRecord(3, true, false, -1, recordBytes).StandardInformation(0x06).FileName(5, u"$Volume", 3).Data();
    records[5] =
        TestRecord(5, true, true, -1, recordBytes).StandardInformation(0x06).FileName(5, u".", 3, 0x10000000).Data();
  }

  uint64_t RecordOffset(int64_t n) const { return uint64_t(mftCluster) * ClusterBytes() + uint64_t(n) * recordBytes; }
  int64_t RecordSector(int64_t n) const { return static_cast<int64_t>(RecordOffset(n) / deviceSector); }

  std::unique_ptr<MemoryDevice> Device(bool withMirror = true) const {
    auto device =
        std::make_unique<MemoryDevice>(Bytes(static_cast<size_t>(totalSectors) * bytesPerSector, 0), deviceSector);
    device->Put(0, Boot());
    for (const auto& [n, bytes] : records) device->Put(RecordOffset(n), bytes);
    if (withMirror) {
      for (int64_t n = 0; n < 4; ++n) {
        auto it = records.find(n);
        if (it != records.end()) device->Put(uint64_t(mirrorCluster) * ClusterBytes() + n * recordBytes, it->second);
      }
    }
    for (const auto& [offset, bytes] : at) device->Put(offset, bytes);
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

// A builder that keeps what it is told and owns what it accepts.
class RecordingBuilder : public IDirecotryTreeBuilder {
 public:
  struct Added {
    int64_t id, parent;
    std::string name;
    bool deleted, folder;
    uint64_t size;
  };
  ~RecordingBuilder() override {
    for (IFileNode* node : owned) node->Release();
  }
  int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
  int AddNode(IFileNode* node, _tagSearcherType type) override {
    events.push_back("add:" + std::to_string(type));
    const char* name = node->GetFileName();
    added.push_back({node->GetCurrentNodeID(), node->GetParentNodeID(), name != nullptr ? name : "",
                     node->IsDeleted() != 0, node->IsDirectory() != 0, node->GetFileSize()});
    if (refuse) return 0;
    owned.push_back(node);
    return 1;
  }
  int AddSearcherInfo(_tagSearcherType type, int64_t root) override {
    events.push_back("info:" + std::to_string(type) + ":" + std::to_string(root));
    return 1;
  }
  void FlashBuild(_tagSearcherType type) override { events.push_back("flash:" + std::to_string(type)); }
  void Release() override {}
  void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override {
    events.push_back("partition");
    partitionSectorsPerCluster = partition != nullptr ? partition->GetSectorsperCluster() : 0;
    partitionDevice = device;
  }

  const Added* Find(int64_t id) const {
    for (const Added& a : added) {
      if (a.id == id) return &a;
    }
    return nullptr;
  }
  CNTFSFileNode* Node(int64_t id) const {
    for (IFileNode* node : owned) {
      if (node->GetCurrentNodeID() == id) return dynamic_cast<CNTFSFileNode*>(node);
    }
    return nullptr;
  }
  std::set<int64_t> Ids() const {
    std::set<int64_t> ids;
    for (const Added& a : added) ids.insert(a.id);
    return ids;
  }

  bool refuse = false;
  std::vector<std::string> events;
  std::vector<Added> added;
  std::vector<IFileNode*> owned;
  uint32_t partitionSectorsPerCluster = 0;
  IStorageDevice* partitionDevice = nullptr;
};

class Sink : public IProgress {
 public:
  int UpdateProgress(_PROGRESS_INFO* info) override {
    records.push_back(*info);
    return 0;
  }
  int Continued() override { return ++calls < stopAt || stopAt == 0 ? 1 : 0; }
  int shouldBuild() override { return 1; }
  std::vector<_PROGRESS_INFO> records;
  int calls = 0;
  int stopAt = 0;  // Continued() answers 0 from this call on (0: never)
};

struct Scan {
  RecordingBuilder builder;
  Sink sink;
  std::unique_ptr<CNTFSQuickSearch> searcher = std::make_unique<CNTFSQuickSearch>();
  ResultCode answer = 0;

  ResultCode Run(IStorageDevice& device) {
    searcher->SetDirecotryTreeBuilder(&builder);
    answer = searcher->QuickSearchFiles(&device, &sink);
    return answer;
  }
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
class HugeDevice : public IStorageDevice {
 public:
  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, static_cast<size_t>(count) * 512);
    for (const auto& [offset, bytes] : placed) {
      const uint64_t begin = uint64_t(first) * 512, end = begin + uint64_t(count) * 512;
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (offset + i >= begin && offset + i < end) out[offset + i - begin] = bytes[i];
      }
    }
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return int64_t{1} << 33; }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData*) override {}
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }
  ResultCode GetLastError() override { return 0; }
  std::vector<std::pair<uint64_t, Bytes>> placed;
};

std::string ReadLog() {
  const std::vector<uint8_t> bytes = testsupport::ReadFile(std::filesystem::path(WorkDir()) / "tolveraware.log");
  return std::string(bytes.begin(), bytes.end());
}

// ---- answers --------------------------------------------------------------------

TEST(NtfsQuickScanAnswers, NullDeviceOrProgressIsABadArgument) {
  Volume v;
  v.AddMetafiles();
  auto device = v.Device();
  Sink sink;
  CNTFSQuickSearch searcher;
  EXPECT_EQ(searcher.QuickSearchFiles(nullptr, &sink), 0x0112006500000005ULL);
  EXPECT_EQ(searcher.QuickSearchFiles(device.get(), nullptr), 0x0112006500000005ULL);
  EXPECT_TRUE(sink.records.empty());
}

TEST(NtfsQuickScanAnswers, EmptyAndTinyDevicesAreNotNTFSWithoutTouchingTheBuilder) {
  Volume v;
  v.AddMetafiles();
  const Bytes boot = v.Boot();
  for (size_t sectors : {0u, 1u, 2u}) {
    SCOPED_TRACE(sectors);
    Bytes data(sectors * 512, 0);
    if (sectors > 0) std::memcpy(data.data(), boot.data(), 512);
    MemoryDevice device(data);
    Scan scan;
    EXPECT_EQ(scan.Run(device), 0x0112007500000010ULL);
    EXPECT_TRUE(scan.builder.events.empty());
    EXPECT_TRUE(scan.sink.records.empty());
  }
}

TEST(NtfsQuickScanAnswers, ABootSectorWithoutItsSignatureIsNotNTFS) {
  Volume v;
  v.signature = false;
  v.AddMetafiles();
  auto device = v.Device();
  Scan scan;
  EXPECT_EQ(scan.Run(*device), 0x0112007500000010ULL);
  EXPECT_EQ(CreateNTFSVolumeAnalyze(device.get(), 0), nullptr);
}

TEST(NtfsQuickScanAnswers, RecordsSmallerThanADeviceSectorAreRefusedNotDividedByZero) {
  // The same 1024-byte-record volume on a device of 4096-byte sectors: a
  // sector holds four records, which the walk does not take apart.
  Volume v;
  v.deviceSector = 4096;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"a.txt", Text(10, 'a'));
  auto device = v.Device();
  Scan scan;
  EXPECT_EQ(scan.Run(*device), 0x0112007E00000011ULL);
  EXPECT_TRUE(scan.builder.added.empty());
}

TEST(NtfsQuickScanAnswers, ClustersThatAreNotWholeDeviceSectorsAreRefused) {
  Volume v;
  v.deviceSector = 4096;
  v.sectorsPerCluster = 1;  // 512-byte clusters on 4096-byte sectors
  v.recordCode = -12;
  v.recordBytes = 4096;
  v.mftClusters = 128;
  v.AddMetafiles();
  auto device = v.Device();
  Scan scan;
  EXPECT_EQ(scan.Run(*device), 0x0112007E00000011ULL);
}

TEST(NtfsQuickScanAnswers, NoTableWhenNeitherRecordZeroNorItsMirrorIsTheMFT) {
  Volume v;
  v.AddMetafiles();
  auto device = v.Device(false);
  device->Put(v.RecordOffset(0), Bytes(1024, 0));
  Scan scan;
  EXPECT_EQ(scan.Run(*device), 0x0112007E00000011ULL);
  EXPECT_TRUE(scan.builder.events.empty());
}

// ---- finding the table --------------------------------------------------------------

TEST(NtfsQuickScanTable, AZeroedRecordZeroIsReplacedByItsMirror) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"a.txt", Text(10, 'a'));
  auto device = v.Device();
  device->Put(v.RecordOffset(0), Bytes(1024, 0));
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_TRUE(scan.searcher->IsMFTFromMirror());
  ASSERT_NE(scan.builder.Find(30), nullptr);
  EXPECT_EQ(scan.builder.Find(30)->name, "a.txt");
}

TEST(NtfsQuickScanTable, ATornRecordZeroIsReplacedByItsMirror) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"a.txt", Text(10, 'a'));
  auto device = v.Device();
  Bytes torn = v.records[0];
  torn[1022] ^= 0xFF;  // the second sector's end no longer carries the sequence number
  device->Put(v.RecordOffset(0), torn);
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_TRUE(scan.searcher->IsMFTFromMirror());
  EXPECT_NE(scan.builder.Find(30), nullptr);
}

TEST(NtfsQuickScanTable, TheTableContinuesInAnExtensionRecordFoundThroughTheFirstRuns) {
  // Records 0-63 lie at cluster 4; 64-127 at cluster 300, named only by
  // extension record 15, which also carries the name "$MFT".
  Volume v;
  v.AddMetafiles();
  v.records[0] = TestRecord(0)
                     .StandardInformation(0x06)
                     .AttributeList(ntfstest::AttributeListContent({{0x10, 0}, {0x30, 15}, {0x80, 0}, {0x80, 15, 16}}))
                     .NonResidentData({{4, 16}}, 0, 32 * 4096)
                     .Data();
  v.records[15] =
      TestRecord(15, true, false, 0).FileName(5, u"$MFT", 3).NonResidentData({{300, 16}}, 16, 32 * 4096).Data();
  auto device = v.Device();
  device->Put(300ull * 4096 + 6 * 1024, ResidentFile(70, 5, u"far.txt", Text(5, 'f')));
  device->Put(v.RecordOffset(40), ResidentFile(40, 5, u"near.txt", Text(5, 'n')));
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  const CNTFSDataRunList& runs = scan.searcher->GetMFTDataRunList();
  EXPECT_EQ(runs.GetLCN(0), 4);
  EXPECT_EQ(runs.GetLCN(16), 300);
  ASSERT_NE(scan.builder.Find(70), nullptr);
  EXPECT_EQ(scan.builder.Find(70)->name, "far.txt");
  EXPECT_NE(scan.builder.Find(40), nullptr);
  EXPECT_EQ(scan.builder.Find(15), nullptr) << "extension records make no nodes";
}

TEST(NtfsQuickScanTable, AnExtensionRecordOfAnotherBaseDoesNotExtendTheTable) {
  Volume v;
  v.AddMetafiles();
  v.records[0] = TestRecord(0)
                     .StandardInformation(0x06)
                     .FileName(5, u"$MFT", 3)
                     .AttributeList(ntfstest::AttributeListContent({{0x10, 0}, {0x80, 0}, {0x80, 15, 16}}))
                     .NonResidentData({{4, 16}}, 0, 32 * 4096)
                     .Data();
  // Record 15 belongs to record 40, not to the table.
  v.records[15] = TestRecord(15, true, false, 40).NonResidentData({{300, 16}}, 16, 32 * 4096).Data();
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.searcher->GetMFTDataRunList().GetLCN(16), -1);
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
  const std::vector<std::array<uint64_t, 3>> expected = {{2, 300, 0}, {2, 300, 128}, {2, 300, 256}, {3, 300, 300}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(scan.sink.records[i].status, expected[i][0]);
    EXPECT_EQ(scan.sink.records[i].total, expected[i][1]);
    EXPECT_EQ(scan.sink.records[i].current, expected[i][2]);
    EXPECT_EQ(scan.sink.records[i].error, 0u);
  }
  EXPECT_EQ(scan.builder.Ids(), (std::set<int64_t>{30, 70, 149}));
  EXPECT_EQ(scan.searcher->GetCounters().recordSlots, 150);
  EXPECT_EQ(scan.builder.events.front(), "info:35:5");
  const std::vector<std::string> tail(scan.builder.events.end() - 2, scan.builder.events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"partition", "flash:35"}));
  EXPECT_EQ(scan.builder.partitionDevice, device.get());
  EXPECT_EQ(scan.builder.partitionSectorsPerCluster, 1u);
}

TEST(NtfsQuickScanWalk, AStopStillFlushesTheTreeAndReportsTheEnd) {
  Volume v = ThreeHundredSectorVolume();
  auto device = v.Device();
  Scan scan;
  scan.sink.stopAt = 3;  // the walk's second read
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.builder.Find(70), nullptr);
  EXPECT_EQ(scan.builder.Find(149), nullptr);
  const std::vector<std::string> tail(scan.builder.events.end() - 2, scan.builder.events.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"partition", "flash:35"}));
  ASSERT_FALSE(scan.sink.records.empty());
  EXPECT_EQ(scan.sink.records.back().status, 3u);
}

TEST(NtfsQuickScanWalk, UnreadableSectorsAreLoggedAndMarkTheLastProgressRecord) {
  Volume v = ThreeHundredSectorVolume();
  auto memory = v.Device();
  // The same bytes on a device that cannot read the second buffer's sectors.
  Bytes all(static_cast<size_t>(memory->GetTotalSectors()) * 512);
  ASSERT_NE(memory->ReadSector(all.data(), 0, memory->GetTotalSectors()), 0);
  FailingDevice device(all);
  const int64_t firstBad = v.RecordSector(64);
  device.bad = {firstBad + 10};
  Scan scan;
  ASSERT_EQ(scan.Run(device), 0u);
  EXPECT_EQ(scan.builder.Find(70), nullptr) << "its sectors were not read";
  EXPECT_NE(scan.builder.Find(30), nullptr);
  EXPECT_NE(scan.builder.Find(149), nullptr);
  EXPECT_EQ(scan.sink.records.back().status, 3u);
  EXPECT_EQ(scan.sink.records.back().error, CNTFSQuickSearch::kMFTReadFailed);
  EXPECT_EQ(scan.searcher->GetCounters().failedReads, 1);
  EXPECT_NE(ReadLog().find("cannot read MFT sectors " + std::to_string(firstBad) + "-"), std::string::npos);
}

TEST(NtfsQuickScanWalk, RecordNumbersFollowTheTableAcrossAGapInItsRuns) {
  // The table's second extent starts at VCN 20 although the first ends at
  // 16: the records of the missing clusters are not there, and the ones
  // after them keep their own numbers.
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

// ---- what becomes a node ------------------------------------------------------------

TEST(NtfsQuickScanNodes, FilesAndFoldersComeWithTheirRecordNumbersParentsAndStates) {
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
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_EQ(scan.builder.Ids(), (std::set<int64_t>{30, 31, 32, 33}));
  const auto* docs = scan.builder.Find(30);
  EXPECT_EQ(docs->parent, 5);
  EXPECT_TRUE(docs->folder);
  EXPECT_FALSE(docs->deleted);
  const auto* note = scan.builder.Find(31);
  EXPECT_EQ(note->parent, 30);
  EXPECT_EQ(note->size, 700u);
  const auto* gone = scan.builder.Find(32);
  EXPECT_TRUE(gone->deleted);
  EXPECT_EQ(gone->size, 10000u);
  EXPECT_TRUE(scan.builder.Find(33)->deleted);
  CNTFSFileNode* node = scan.builder.Node(31);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->GetMetadataStartPosition(), v.RecordSector(31));
}

TEST(NtfsQuickScanNodes, MetafilesExtensionRecordsAndTornRecordsMakeNoNodes) {
  Volume v;
  v.AddMetafiles();
  // A record named "." with both bits, away from record 5.
  v.records[40] = TestRecord(40, true, true).StandardInformation(0x06).FileName(5, u".", 3, 0x10000000).Data();
  v.records[41] = TestRecord(41, true, false, 30).FileName(5, u"part.txt").Data();
  Bytes torn = ResidentFile(42, 5, u"torn.txt", Text(600, 't'));
  torn[510] ^= 0x55;
  v.records[42] = torn;
  v.records[43] = ResidentFile(43, 5, u"whole.txt", Text(600, 'w'));
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.builder.Ids(), (std::set<int64_t>{43}));
}

TEST(NtfsQuickScanNodes, AFileWithoutAnyNameComesBackNamedAfterItsRecord) {
  Volume v;
  v.AddMetafiles();
  v.records[50] = TestRecord(50, false).StandardInformation(0x20).NonResidentData({{600, 2}}, 0, 5000).Data();
  v.records[51] = TestRecord(51, false).StandardInformation(0x20).Data();  // nothing to bring back
  auto device = v.Device();
  Scan scan;
  ASSERT_EQ(scan.Run(*device), 0u);
  ASSERT_EQ(scan.builder.Ids(), (std::set<int64_t>{50}));
  EXPECT_EQ(scan.builder.Find(50)->name, "MFTRecord-50");
  EXPECT_EQ(scan.builder.Find(50)->parent, -1);
  EXPECT_EQ(scan.builder.Find(50)->size, 5000u);
}

TEST(NtfsQuickScanNodes, RefusedNodesAreReleasedByTheSearcher) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"a.txt", Text(10, 'a'));
  v.records[31] = ResidentFile(31, 5, u"b.txt", Text(10, 'b'));
  auto device = v.Device();
  Scan scan;
  scan.builder.refuse = true;
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.builder.added.size(), 2u);
  EXPECT_EQ(scan.searcher->GetCounters().nodesRefused, 2);
  // (The sanitizer build reports the refused nodes if they leak.)
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
  CNTFSFileNode* node = scan.builder.Node(60);
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
  CNTFSFileNode* node = scan.builder.Node(31);
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

TEST(NtfsQuickScanGeometry, FoundVolumeRecordDescribesTheScannedDevice) {
  Volume v;
  v.AddMetafiles();
  auto device = v.Device();
  Scan scan;
  CSearchedPartitionInfo* none[1] = {nullptr};
  EXPECT_EQ(scan.searcher->GetSearchedPartitionInfo(none, 0), 1);
  EXPECT_EQ(none[0], nullptr);
  ASSERT_EQ(scan.Run(*device), 0u);
  CSearchedPartitionInfo* out[2] = {nullptr, nullptr};
  ASSERT_EQ(scan.searcher->GetSearchedPartitionInfo(out, 2), 1);
  std::unique_ptr<CSearchedPartitionInfo> record(out[0]);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(out[1], nullptr);
  EXPECT_EQ(record->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);
  EXPECT_EQ(record->GetSectorsperCluster(), 8u);
  EXPECT_EQ(record->GetSectorSize(), 512u);
  EXPECT_EQ(record->GetFirstDataSector(), 0);
  EXPECT_EQ(record->GetStartSector(), 0);
  EXPECT_EQ(record->GetTotalSectors(), static_cast<uint64_t>(device->GetTotalSectors()));
}

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
  v.mftClusters = 1;
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
  ASSERT_EQ(scan.Run(*device), 0u);
  EXPECT_EQ(scan.searcher->GetSectorsPerCluster(), 32u);
  EXPECT_EQ(scan.searcher->GetSectorsPerFileRecord(), 1u);
  ASSERT_NE(scan.builder.Find(20), nullptr);
  EXPECT_EQ(scan.builder.Find(20)->name, "wide.txt");
  EXPECT_EQ(GetNTFSSectorSize(), 512u) << "the scan leaves the process-wide value alone";
}

TEST(NtfsQuickScanGeometry, SectorsPast2To32AreKeptWhole) {
  // The volume starts at device sector 0 but its table lies 2^32 + 800
  // sectors in.
  Volume v;
  v.totalSectors = (int64_t{1} << 33) - 1;
  v.mftCluster = ((int64_t{1} << 32) + 800) / 8;
  v.mirrorCluster = 100;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"far.txt", Text(700, 'f'));
  HugeDevice device;
  device.placed.push_back({0, v.Boot()});
  for (const auto& [n, bytes] : v.records) device.placed.push_back({v.RecordOffset(n), bytes});
  Scan scan;
  ASSERT_EQ(scan.Run(device), 0u);
  CNTFSFileNode* node = scan.builder.Node(30);
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
    node = scan.builder.Node(n);
  }
};

TEST(NtfsResidentData, A700ByteFileIsCopiedWholeOnlyWhenItFits) {
  Volume v;
  v.AddMetafiles();
  Bytes content(700);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
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
  length = 0;
  EXPECT_EQ(GetResidentDataRunsStream(static_cast<uint64_t>(v.RecordSector(30)), *s.device, &length, out.data(), 4096),
            700u);
  EXPECT_EQ(length, 700);
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

TEST(NtfsResidentData, ARecordTakenByAnotherFileSinceTheScanGivesNothing) {
  Volume v;
  v.AddMetafiles();
  v.records[30] = ResidentFile(30, 5, u"before.txt", Text(100, 'b'));
  ScannedNode s(v, 30);
  ASSERT_NE(s.node, nullptr);
  // The record's place now holds another record number...
  s.device->Put(v.RecordOffset(30), ResidentFile(77, 5, u"after.txt", Text(100, 'a')));
  Bytes out(1024);
  int64_t length = 0;
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 1024), 0u);
  // ... or the same number with the content elsewhere in it.
  s.device->Put(v.RecordOffset(30), TestRecord(30)
                                        .StandardInformation(0x20)
                                        .FileName(5, u"after-with-a-longer-name.txt")
                                        .ResidentData(Text(100, 'a'))
                                        .Data());
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 1024), 0u);
  // A torn record: its content cannot be trusted.
  Bytes torn = ResidentFile(30, 5, u"before.txt", Text(100, 'b'));
  torn[1022] ^= 1;
  s.device->Put(v.RecordOffset(30), torn);
  EXPECT_EQ(GetResidentDataRunsStream(*s.node, *s.device, &length, out.data(), 1024), 0u);
}

TEST(NtfsResidentData, TheHookIsRegisteredByTheFactories) {
  SetResidentDataReader(nullptr);
  std::unique_ptr<IQuickFileSystemSearchController> searcher(CreateNTFSQuickSearcher());
  ASSERT_NE(searcher, nullptr);
  const ResidentDataReader* hook = GetResidentDataReader();
  ASSERT_NE(hook, nullptr);
  CNTFSFileNode ntfs;
  CNTFSFileNode* asBase = &ntfs;
  EXPECT_TRUE(hook->isNTFSNode(asBase));
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

// A device whose cluster c (4096 bytes, from sector 100) is filled with
// byte c.
std::unique_ptr<MemoryDevice> ClusterPattern() {
  Bytes data(100 * 512 + 64 * 4096, 0);
  for (int c = 0; c < 64; ++c) std::memset(data.data() + 100 * 512 + c * 4096, c, 4096);
  return std::make_unique<MemoryDevice>(data);
}

TEST(NtfsFileReaderEx, AReadAcrossAClusterEndIsCutAtTheFilesEnd) {
  auto device = ClusterPattern();
  RunsNode node(4100, {{7, 1}, {20, 1}});
  CFileReaderEx reader;
  ASSERT_TRUE(reader.Open(device.get(), &node, 100, 8));
  unsigned char out[100];
  std::memset(out, 0xEE, sizeof out);
  int got = -1;
  ASSERT_NE(reader.Read(4090, out, 100, got), 0);
  ASSERT_EQ(got, 10);
  EXPECT_EQ(Bytes(out, out + 6), Bytes(6, 7));
  EXPECT_EQ(Bytes(out + 6, out + 10), Bytes(4, 20));
  EXPECT_EQ(out[10], 0xEE) << "nothing past the file";
  EXPECT_EQ(reader.Read(4100, out, 1, got), 0);
}

TEST(NtfsFileReaderEx, SparseRunsReadAsZerosAndUnreadableClustersStopTheRead) {
  auto device = ClusterPattern();
  RunsNode node(3 * 4096, {{5, 1}, {-1, 1}, {6, 1}});
  CFileReaderEx reader;
  CSearchedPartitionInfo partition(512);
  partition.SetSectorsperCluster(8);
  partition.SetFirstDataSector(100);
  ASSERT_EQ(reader.Open(device.get(), &node, &partition), 1);
  Bytes out(3 * 4096, 0xEE);
  int got = 0;
  ASSERT_NE(reader.Read(0, out.data(), static_cast<int>(out.size()), got), 0);
  ASSERT_EQ(got, 3 * 4096);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4096), Bytes(4096, 5));
  EXPECT_EQ(Bytes(out.begin() + 4096, out.begin() + 8192), Bytes(4096, 0));
  EXPECT_EQ(Bytes(out.begin() + 8192, out.end()), Bytes(4096, 6));

  RunsNode beyond(2 * 4096, {{63, 1}, {64, 1}});  // cluster 64 is past the device
  CFileReaderEx short_;
  ASSERT_TRUE(short_.Open(device.get(), &beyond, 100, 8));
  EXPECT_EQ(short_.Read(0, out.data(), 2 * 4096, got), 0);
}

TEST(NtfsFileReaderEx, OpenRefusesWhatCannotBeRead) {
  auto device = ClusterPattern();
  RunsNode node(10, {{5, 1}});
  RunsNode empty(0, {{5, 1}});
  CFileReaderEx reader;
  EXPECT_FALSE(reader.Open(nullptr, &node, 100, 8));
  EXPECT_FALSE(reader.Open(device.get(), nullptr, 100, 8));
  EXPECT_FALSE(reader.Open(device.get(), &node, 100, 0));
  EXPECT_FALSE(reader.Open(device.get(), &empty, 100, 8));
  EXPECT_EQ(reader.Open(device.get(), &node, nullptr), 0);
  ASSERT_TRUE(reader.Open(device.get(), &node, 100, 8));
  reader.Close();
  unsigned char out[4];
  int got = 0;
  EXPECT_EQ(reader.Read(0, out, 4, got), 0);
}

TEST(NtfsFileReaderEx, ResidentContentIsReadFromItsRecord) {
  Volume v;
  v.AddMetafiles();
  Bytes content(700);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
  v.records[30] = ResidentFile(30, 5, u"small.bin", content);
  ScannedNode s(v, 30);
  ASSERT_NE(s.node, nullptr);
  CFileReaderEx reader;
  ASSERT_TRUE(reader.Open(s.device.get(), s.node, 0, 8));
  unsigned char out[300];
  int got = 0;
  ASSERT_NE(reader.Read(500, out, 300, got), 0);
  ASSERT_EQ(got, 200);
  EXPECT_EQ(Bytes(out, out + 200), Bytes(content.begin() + 500, content.end()));
  std::unique_ptr<IFileReader, void (*)(IFileReader*)> clone(reader.Clone(), [](IFileReader* r) { r->Release(); });
  ASSERT_NE(clone, nullptr);
  char all[700];
  EXPECT_EQ(clone->ReadData(0, all, 700), 700u);
  EXPECT_EQ(std::memcmp(all, content.data(), 700), 0);
}

// ---- the volume analyzer ---------------------------------------------------------------

TEST(NtfsVolumeAnalyzer, RecognisesTheBootSectorAndCountsInDeviceSectors) {
  Volume v;
  v.AddMetafiles();
  auto device = v.Device();
  std::unique_ptr<IVolumeAnalyze, void (*)(IVolumeAnalyze*)> analyzer(CreateNTFSVolumeAnalyze(device.get(), 0),
                                                                      [](IVolumeAnalyze* a) { a->Release(); });
  ASSERT_NE(analyzer, nullptr);
  EXPECT_EQ(analyzer->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);
  EXPECT_EQ(analyzer->GetTotalSector(), static_cast<uint64_t>(v.totalSectors - 1));
  char label[8] = "xxxxxxx";
  analyzer->GetLabel(label, sizeof label);
  EXPECT_STREQ(label, "");
  analyzer->GetLabel(nullptr, 8);
  char one[1] = {'x'};
  analyzer->GetLabel(one, 1);
  EXPECT_EQ(one[0], '\0');

  // A volume of 4096-byte sectors inside a device of 512-byte ones.
  Volume wide;
  wide.bytesPerSector = 4096;
  wide.sectorsPerCluster = 1;
  wide.totalSectors = 1000;
  auto wideDevice = wide.Device();
  std::unique_ptr<IVolumeAnalyze, void (*)(IVolumeAnalyze*)> wideAnalyzer(CreateNTFSVolumeAnalyze(wideDevice.get(), 0),
                                                                          [](IVolumeAnalyze* a) { a->Release(); });
  ASSERT_NE(wideAnalyzer, nullptr);
  EXPECT_EQ(wideAnalyzer->GetTotalSector(), 999u * 8);
}

TEST(NtfsVolumeAnalyzer, OtherSectorsAreNotNTFS) {
  EXPECT_EQ(CreateNTFSVolumeAnalyze(nullptr, 0), nullptr);
  Volume v;
  auto device = v.Device();
  EXPECT_EQ(CreateNTFSVolumeAnalyze(device.get(), 1), nullptr) << "sector 1 is zeros";
  EXPECT_EQ(CreateNTFSVolumeAnalyze(device.get(), static_cast<uint64_t>(device->GetTotalSectors())), nullptr);
  Bytes boot = v.Boot();
  boot[0x0E] = 1;  // reserved sectors: a FAT-like field set
  device->Put(0, boot);
  EXPECT_EQ(CreateNTFSVolumeAnalyze(device.get(), 0), nullptr);
}

}  // namespace
