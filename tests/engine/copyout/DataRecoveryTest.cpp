// The copy-out object's own rules: taking partition records from a searcher
// or a saved scan, choosing a node's record, preparing readers, the empty
// and failing cases of RecoverTo, and the embedded-picture search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <vector>

#include "DataRecovery.h"
#include "PrivateData.h"
#include "copyout/CCompressFileReader.h"
#include "copyout/CDataRecovery.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using copyouttest::FakeSearcher;
using copyouttest::MakePartition;
using copyouttest::RecordingSink;
using copyouttest::RunNode;
using devicetest::CMemoryDevice;
using testsupport::TempDir;

constexpr uint32_t kCluster = 4096;

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

// 4 MiB of random bytes; the file of a test lies at clusters 16 on.
struct Disk {
  explicit Disk(unsigned seed = 1) : bytes(RandomBytes(4 * 1024 * 1024, seed)), device(bytes, 512, 8192) {}
  std::vector<uint8_t> Slice(size_t offset, size_t size) const {
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(offset),
                                bytes.begin() + static_cast<long>(offset + size));
  }
  std::vector<uint8_t> bytes;
  CMemoryDevice device;
};

std::vector<uint8_t> ReadAll(const fs::path& path) { return testsupport::ReadFile(path); }

class Recovery : public ::testing::Test {
 protected:
  void Init(std::vector<std::unique_ptr<CSearchedPartitionInfo>> records) {
    searcher_.records = std::move(records);
    ASSERT_EQ(recovery_.Initialize(&searcher_, &disk_.device), 0u);
  }
  void InitOne(int fsType = 2) {
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
    records.push_back(MakePartition(0, fsType, kCluster / 512, 0, 0, 8192));
    Init(std::move(records));
  }
  std::vector<double> Weights() {
    uint32_t count = 0;
    std::vector<double> out;
    auto& list = recovery_.GetSearchedPartition(count);
    EXPECT_EQ(count, list.size());
    for (uint32_t i = 0; i < count; ++i) out.push_back(list[i]->GetOrderWeight());
    return out;
  }

  Disk disk_;
  FakeSearcher searcher_;
  CDataRecovery recovery_;
  TempDir dir_;
};

TEST_F(Recovery, InitializeRefusesNullArgumentsAndASearcherThatFoundNothing) {
  const ResultCode noSearcher = recovery_.Initialize(nullptr, &disk_.device);
  EXPECT_EQ(result::Error(noSearcher), result::kErrBadArgument);
  EXPECT_EQ(result::Module(noSearcher), result::kModuleCopyOut);
  EXPECT_EQ(result::Error(recovery_.Initialize(&searcher_, nullptr)), result::kErrBadArgument);
  EXPECT_EQ(result::Error(recovery_.Initialize(&searcher_, &disk_.device)), 0xD01u);
  EXPECT_EQ(searcher_.capacities, std::vector<int>({256}));
}

TEST_F(Recovery, ASearcherWithMoreRecordsThanRoomIsAskedAgainWithRoomForAll) {
  for (int i = 0; i < 300; ++i) searcher_.records.push_back(MakePartition(static_cast<uint16_t>(i), 2, 8, 0, 0, 10));
  searcher_.announce = true;
  ASSERT_EQ(recovery_.Initialize(&searcher_, &disk_.device), 0u);
  EXPECT_EQ(searcher_.capacities, std::vector<int>({256, 300}));
  uint32_t count = 0;
  EXPECT_EQ(recovery_.GetSearchedPartition(count).size(), 300u);
  EXPECT_EQ(count, 300u);
}

TEST_F(Recovery, RecordsHandedOverByATooSmallFirstQueryAreFreed) {
  // Under the leak checker: the 256 records of the first answer must not leak.
  for (int i = 0; i < 300; ++i) searcher_.records.push_back(MakePartition(static_cast<uint16_t>(i), 2, 8, 0, 0, 10));
  searcher_.fillAndAnnounce = true;
  ASSERT_EQ(recovery_.Initialize(&searcher_, &disk_.device), 0u);
  uint32_t count = 0;
  EXPECT_EQ(recovery_.GetSearchedPartition(count).size(), 300u);
}

TEST_F(Recovery, RecordsAreOrderedByWeightLargerFirstWithNaNLastAndTiesInTheSearchersOrder) {
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  for (double w : {0.2, 0.9, 0.5}) records.push_back(MakePartition(0, 2, 8, 0, 0, 10, w));
  Init(std::move(records));
  EXPECT_EQ(Weights(), std::vector<double>({0.9, 0.5, 0.2}));

  std::vector<std::unique_ptr<CSearchedPartitionInfo>> more;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double w : {nan, 0.3, 0.7, nan, 0.7, 0.1}) more.push_back(MakePartition(0, 2, 8, 0, 0, 10, w));
  for (uint16_t i = 0; i < more.size(); ++i) more[i]->SetPartitionIndex(i);
  Init(std::move(more));
  uint32_t count = 0;
  auto& list = recovery_.GetSearchedPartition(count);
  ASSERT_EQ(count, 6u);
  std::vector<uint16_t> order;
  for (auto* r : list) order.push_back(r->GetPartitionIndex());
  EXPECT_EQ(order, std::vector<uint16_t>({2, 4, 1, 5, 0, 3}));
}

TEST_F(Recovery, AReplayedScanGivesPlainCopiesInTheGivenOrder) {
  auto a = MakePartition(7, 3, 8, 2048, 2048, 100000, 0.1);
  auto b = MakePartition(9, 2, 4, 500, 0, 5000, 0.9);
  std::vector<CSearchedPartitionInfo*> saved = {a.get(), nullptr, b.get()};
  ASSERT_EQ(recovery_.Initialize(saved, &disk_.device), 0u);
  uint32_t count = 0;
  auto& list = recovery_.GetSearchedPartition(count);
  ASSERT_EQ(count, 2u);
  EXPECT_NE(list[0], a.get());
  EXPECT_EQ(list[0]->GetPartitionIndex(), 7);
  EXPECT_EQ(list[0]->GetFirstDataSector(), 2048);
  EXPECT_EQ(list[1]->GetPartitionIndex(), 9);
  EXPECT_EQ(list[1]->GetType(), CSearchedPartitionInfo::kType);
  EXPECT_EQ(result::Error(recovery_.Initialize(saved, nullptr)), result::kErrBadArgument);
}

TEST_F(Recovery, ANodeFindsItsRecordByIndexThenByPlaceAndClusterSizeElseTheHeaviest) {
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  // Weights put them in the order heavy, a, b.
  records.push_back(MakePartition(1, 2, 8, 100, 0, 1000, 0.9));        // heavy
  records.push_back(MakePartition(2, 2, 8, 10000, 9000, 5000, 0.5));   // a: sectors 9000-13999, 4 KiB clusters
  records.push_back(MakePartition(3, 2, 2, 20000, 20000, 4000, 0.1));  // b: sectors 20000-23999, 1 KiB clusters
  Init(std::move(records));

  RunNode byIndex("x", 8192, {DataRun{0, 2}});
  byIndex.SetBelongedPartition(3);
  EXPECT_EQ(recovery_.GetNodePartition(&byIndex)->GetPartitionIndex(), 3);

  // No index match: the metadata sector and the runs (counted from each
  // record's first data sector) lie in b, and 2 sectors per cluster fit a
  // 4096-byte file in 4 clusters.
  RunNode byPlace("y", 4096, {DataRun{10, 4}});
  byPlace.SetBelongedPartition(0xFFFE);
  byPlace.SetMetaDataSector(20001);
  EXPECT_EQ(recovery_.GetNodePartition(&byPlace)->GetPartitionIndex(), 3);
  // Inside a, with 8 sectors per cluster: 16 KiB in 4 clusters.
  RunNode inA("z", 16384, {DataRun{100, 4}});
  inA.SetBelongedPartition(0xFFFE);
  inA.SetMetaDataSector(9500);
  EXPECT_EQ(recovery_.GetNodePartition(&inA)->GetPartitionIndex(), 2);
  // A cluster size that fits neither, or a metadata sector outside every
  // record: the heaviest record.
  RunNode misfit("w", 100, {DataRun{100, 4}});
  misfit.SetBelongedPartition(0xFFFE);
  misfit.SetMetaDataSector(9500);
  EXPECT_EQ(recovery_.GetNodePartition(&misfit)->GetPartitionIndex(), 1);
  RunNode outside("v", 16384, {DataRun{100, 4}});
  outside.SetBelongedPartition(0xFFFE);
  outside.SetMetaDataSector(50000);
  EXPECT_EQ(recovery_.GetNodePartition(&outside)->GetPartitionIndex(), 1);
}

TEST_F(Recovery, FoldersEmptyFilesAndNullNodesGetNoReaderAndAnEmptyDestinationWithError0xD02) {
  InitOne();
  TestNode folder("dir", true);
  EXPECT_EQ(recovery_.SetRecoverNode(&folder), nullptr);
  EXPECT_EQ(recovery_.SetRecoverNode(nullptr), nullptr);
  RunNode empty("empty", 0, {DataRun{16, 1}});
  EXPECT_EQ(recovery_.SetRecoverNode(&empty), nullptr);
  const fs::path out = dir_ / "empty.out";
  const ResultCode code = recovery_.RecoverTo(out.c_str(), nullptr, 0);
  EXPECT_EQ(result::Error(code), 0xD02u);
  ASSERT_TRUE(fs::exists(out));
  EXPECT_EQ(fs::file_size(out), 0u);
  // Where nothing can be created: 0xF.
  EXPECT_EQ(result::Error(recovery_.RecoverTo((dir_ / "no" / "such").c_str(), nullptr, 0)), 0xFu);
  EXPECT_EQ(result::Error(recovery_.RecoverTo(nullptr, nullptr, 0)), result::kErrBadArgument);
}

TEST_F(Recovery, AFailedSetRecoverNodeNeverLeavesThePreviousFilesReader) {
  InitOne();
  RunNode good("good", 10000, {DataRun{16, 3}});
  IFileReader* clone = recovery_.SetRecoverNode(&good);
  ASSERT_NE(clone, nullptr);
  clone->Release();
  TestNode folder("dir", true);
  EXPECT_EQ(recovery_.SetRecoverNode(&folder), nullptr);
  const fs::path out = dir_ / "folder.out";
  EXPECT_EQ(result::Error(recovery_.RecoverTo(out.c_str(), nullptr, 0)), 0xD02u);
  EXPECT_EQ(fs::file_size(out), 0u) << "the previous file's data went out under the new name";
}

TEST_F(Recovery, ACopyReportsRunningProgressPerChunkAndEndsAtTheFileSize) {
  InitOne();
  const size_t size = 5 * 1024 * 1024 / 2 + 3;  // spans the whole disk's first part
  RunNode node("f", size, {DataRun{0, static_cast<int64_t>((size + kCluster - 1) / kCluster)}});
  IFileReader* clone = recovery_.SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  clone->Release();
  RecordingSink sink;
  const fs::path out = dir_ / "f.out";
  ASSERT_EQ(recovery_.RecoverTo(out.c_str(), &sink, 0), 0u);
  EXPECT_EQ(ReadAll(out), disk_.Slice(0, size));
  const auto records = sink.Records();
  ASSERT_EQ(records.size(), 2u);  // the start, one 4 MiB chunk
  EXPECT_EQ(records[0].status, PROGRESS_STATUS_RUNNING);
  EXPECT_EQ(records[0].current, 0u);
  EXPECT_EQ(records[1].status, PROGRESS_STATUS_RUNNING);
  EXPECT_EQ(records[1].total, size);
  EXPECT_EQ(records[1].current, size);
  EXPECT_EQ(records[1].error, 0u);
}

TEST_F(Recovery, StoppingBeforeTheFirstChunkAnswersSuccessAndWritesNothing) {
  InitOne();
  RunNode node("f", 100000, {DataRun{16, 25}});
  IFileReader* clone = recovery_.SetRecoverNode(&node);
  clone->Release();
  RecordingSink sink;
  sink.onContinued = [] { return 0; };
  const fs::path out = dir_ / "stopped";
  EXPECT_EQ(recovery_.RecoverTo(out.c_str(), &sink, 0), 0u);
  EXPECT_EQ(fs::file_size(out), 0u);
}

TEST_F(Recovery, BytesAReaderDoesNotDeliverAreZerosNotTheLastChunksData) {
  InitOne();
  // First a full 4 MiB chunk through the buffer...
  RunNode big("big", 4 * 1024 * 1024, {DataRun{0, 1024}});
  IFileReader* clone = recovery_.SetRecoverNode(&big);
  clone->Release();
  ASSERT_EQ(recovery_.RecoverTo((dir_ / "big").c_str(), nullptr, 0), 0u);
  // ...then a file whose runs end after 1 of its 3 clusters.
  RunNode shortRuns("short", 10000, {DataRun{100, 1}});
  clone = recovery_.SetRecoverNode(&shortRuns);
  ASSERT_NE(clone, nullptr);
  char probe[8192];
  EXPECT_EQ(clone->ReadData(0, probe, sizeof probe), kCluster);
  clone->Release();
  const fs::path out = dir_ / "short";
  ASSERT_EQ(recovery_.RecoverTo(out.c_str(), nullptr, 0), 0u);
  std::vector<uint8_t> expected = disk_.Slice(100 * kCluster, kCluster);
  expected.resize(10000, 0);
  EXPECT_EQ(ReadAll(out), expected);
}

// A private data record, to see that it reaches the node's reader factory.
class Volume : public IPrivateData {
 public:
  void Release() override {}
};

class CompressedNode : public RunNode {
 public:
  using RunNode::RunNode;
  int IsCompressed() const override { return 1; }
};

TEST_F(Recovery, AByteLimitOnAnNtfsCompressedFileIsRefusedAndWritesNothing) {
  InitOne(3);
  CompressedNode node("c", 65536, {DataRun{16, 16}});
  node.makeReader = [] { return new CCompressFileReader(); };
  IFileReader* clone = recovery_.SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  clone->Release();
  EXPECT_TRUE(recovery_.IsNTFSCompressed());
  const fs::path out = dir_ / "limited";
  EXPECT_EQ(result::Error(recovery_.RecoverTo(out.c_str(), nullptr, 1000)), 0xFu);
  EXPECT_FALSE(fs::exists(out));
  ASSERT_EQ(recovery_.RecoverTo(out.c_str(), nullptr, 0), 0u);
  EXPECT_EQ(ReadAll(out), disk_.Slice(16 * kCluster, 65536));
}

// A reader of another file system's compressed data, ready as made.
class FixedReader : public IFileReader {
 public:
  explicit FixedReader(std::vector<uint8_t> data) : data_(std::move(data)) {}
  unsigned int ReadData(long long offset, char* buffer, unsigned int length) override {
    if (offset < 0 || static_cast<size_t>(offset) >= data_.size()) return 0;
    const size_t n = std::min<size_t>(length, data_.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, data_.data() + offset, n);
    return static_cast<unsigned>(n);
  }
  IFileReader* Clone() override { return new FixedReader(data_); }
  int64_t GetDataSize() const override { return static_cast<int64_t>(data_.size()); }
  int IsCompressFile() override { return 1; }
  void Release() override { delete this; }

 private:
  std::vector<uint8_t> data_;
};

TEST_F(Recovery, OtherFileSystemsCompressedReadersGetThePartitionsPrivateDataAndAreUsedAsMade) {
  Volume volume;
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  records.push_back(MakePartition(0, 8, 8, 0, 0, 8192));
  records.back()->SetPrivateData(&volume);
  Init(std::move(records));
  const std::vector<uint8_t> content = RandomBytes(70000, 4);
  CompressedNode node("hfs", 1, {DataRun{0, 1}});
  node.makeReader = [&] { return new FixedReader(content); };
  IFileReader* clone = recovery_.SetRecoverNode(&node);
  ASSERT_NE(clone, nullptr);
  clone->Release();
  EXPECT_EQ(node.lastPrivateData, &volume);
  EXPECT_FALSE(recovery_.IsNTFSCompressed());
  const fs::path out = dir_ / "hfs.out";
  ASSERT_EQ(recovery_.RecoverTo(out.c_str(), nullptr, 0), 0u);
  EXPECT_EQ(ReadAll(out), content);
  // A factory that makes nothing leaves no reader.
  node.makeReader = nullptr;
  EXPECT_EQ(recovery_.SetRecoverNode(&node), nullptr);
}

// Small JPEG search over a file made in memory.
class SmallJpg : public Recovery {
 protected:
  unsigned Find(const std::vector<uint8_t>& file, std::vector<char>& out) {
    std::vector<uint8_t> bytes = disk_.bytes;
    std::memcpy(bytes.data(), file.data(), file.size());
    device_ = std::make_unique<CMemoryDevice>(bytes, 512, 8192);
    FakeSearcher searcher;
    searcher.records.push_back(MakePartition(0, 2, 8, 0, 0, 8192));
    EXPECT_EQ(recovery_.Initialize(&searcher, device_.get()), 0u);
    node_ = std::make_unique<RunNode>("p.jpg", file.size(), std::vector<DataRun>{DataRun{0, 256}});
    IFileReader* clone = recovery_.SetRecoverNode(node_.get());
    if (clone != nullptr) clone->Release();
    out.assign(0x10000, 0);
    return recovery_.ReadSmallJPG(out.data(), 0x10000);
  }
  std::unique_ptr<CMemoryDevice> device_;
  std::unique_ptr<RunNode> node_;
};

TEST_F(SmallJpg, OnlyThePicturesOwnStartMarkerMeansNoThumbnail) {
  std::vector<uint8_t> file(0x20000, 0x11);
  file[0] = 0xFF, file[1] = 0xD8, file[2] = 0xFF;
  file[30000] = 0xFF, file[30001] = 0xD9;
  std::vector<char> out;
  EXPECT_EQ(Find(file, out), 0u);
}

TEST_F(SmallJpg, AThumbnailRunsFromItsStartMarkerThroughItsEndMarker) {
  std::vector<uint8_t> file(0x20000, 0x11);
  file[0] = 0xFF, file[1] = 0xD8, file[2] = 0xFF;
  file[200] = 0xFF, file[201] = 0xD8, file[202] = 0xFF;
  file[1500] = 0xFF, file[1501] = 0xD9;  // inside the header it skips
  file[9000] = 0xFF, file[9001] = 0xD9;
  std::vector<char> out;
  ASSERT_EQ(Find(file, out), 8802u);
  EXPECT_EQ(0, std::memcmp(out.data(), file.data() + 200, 8802));
}

TEST_F(SmallJpg, FilesBelow64KiBAndPicturesWithoutAnEndGiveNothing) {
  std::vector<uint8_t> file(0x20000, 0x11);
  file[200] = 0xFF, file[201] = 0xD8, file[202] = 0xFF;
  std::vector<char> out;
  EXPECT_EQ(Find(file, out), 0u);
  file[9000] = 0xFF, file[9001] = 0xD9;
  file.resize(0xFFFF);
  EXPECT_EQ(Find(file, out), 0u);
}

}  // namespace
