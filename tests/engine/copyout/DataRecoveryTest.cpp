// The copy-out object's own rules: partition records from a searcher or a
// saved scan, the record a node is read through, the empty, failing and short
// cases of RecoverTo, and compressed files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <limits>

#include "PrivateData.h"
#include "copyout/CDataRecovery.h"
#include "copyout/CFileReader.h"
#include "engine/copyout/CopyOutTestSupport.h"
#include "engine/device/DeviceTestSupport.h"

namespace {

using namespace copyouttest;

class Recovery : public ::testing::Test {
 protected:
  Recovery() : disk_(RandomBytes(4 << 20, 1)), device_(disk_, 512, 8192) {}
  void Init(std::vector<std::unique_ptr<CSearchedPartitionInfo>> records) {
    searcher_.records = std::move(records);
    ASSERT_EQ(recovery_.Initialize(&searcher_, &device_), 0u);
  }
  void InitOne(int fsType) {
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
    records.push_back(MakePartition(0, fsType, 8, 0, 0, 8192));
    Init(std::move(records));
  }
  std::vector<uint16_t> Order() {
    uint32_t count = 0;
    std::vector<uint16_t> order;
    for (CSearchedPartitionInfo* record : recovery_.GetSearchedPartition(count)) {
      order.push_back(record->GetPartitionIndex());
    }
    EXPECT_EQ(count, order.size());
    return order;
  }
  Bytes Slice(size_t offset, size_t size) const { return Bytes(disk_.begin() + offset, disk_.begin() + offset + size); }
  ResultCode CopyTo(const char* name, IProgress* sink = nullptr, int limit = 0) {
    return recovery_.RecoverTo((dir_ / name).c_str(), sink, limit);
  }

  Bytes disk_;
  devicetest::CMemoryDevice device_;
  FakeSearcher searcher_;
  CDataRecovery recovery_;
  testsupport::TempDir dir_;
};

TEST_F(Recovery, RecordsFromASearcherAreOrderedByWeightWithNaNLastAndTiesKept) {
  const ResultCode noSearcher = recovery_.Initialize(nullptr, &device_);
  EXPECT_TRUE(result::Error(noSearcher) == result::kErrBadArgument &&
              result::Module(noSearcher) == result::kModuleCopyOut);
  EXPECT_EQ(result::Error(recovery_.Initialize(&searcher_, nullptr)), result::kErrBadArgument);
  EXPECT_EQ(result::Error(recovery_.Initialize(&searcher_, &device_)), 0xD01u) << "found nothing";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  for (double weight : {nan, 0.3, 0.7, nan, 0.7, 0.1}) {
    records.push_back(MakePartition(static_cast<uint16_t>(records.size()), 2, 8, 0, 0, 10, weight));
  }
  Init(std::move(records));
  EXPECT_EQ(Order(), (std::vector<uint16_t>{2, 4, 1, 5, 0, 3}));
  EXPECT_EQ(searcher_.capacities, (std::vector<int>{256, 256}));
  // A replayed scan gives plain copies in the given order, null ones left out.
  auto a = MakePartition(7, 3, 8, 2048, 2048, 100000, 0.1), b = MakePartition(9, 2, 4, 500, 0, 5000, 0.9);
  std::vector<CSearchedPartitionInfo*> saved = {a.get(), nullptr, b.get()};
  ASSERT_EQ(recovery_.Initialize(saved, &device_), 0u);
  EXPECT_EQ(Order(), (std::vector<uint16_t>{7, 9}));
  EXPECT_TRUE(recovery_.GetSearchedPartition()[0] != a.get() &&
              recovery_.GetSearchedPartition()[0]->GetFirstDataSector() == 2048);
  EXPECT_EQ(result::Error(recovery_.Initialize(saved, nullptr)), result::kErrBadArgument);
}

TEST_F(Recovery, ASearcherWithMoreRecordsThanRoomIsAskedAgainAndNothingLeaks) {
  for (const bool filled : {false, true}) {  // the first answer fills the array, or not
    FakeSearcher searcher;
    for (int i = 0; i < 300; ++i) searcher.records.push_back(MakePartition(static_cast<uint16_t>(i), 2, 8, 0, 0, 10));
    searcher.announce = !filled;
    searcher.fillAndAnnounce = filled;
    CDataRecovery recovery;
    ASSERT_EQ(recovery.Initialize(&searcher, &device_), 0u);
    EXPECT_EQ(searcher.capacities, (std::vector<int>{256, 300}));
    uint32_t count = 0;
    const size_t size = recovery.GetSearchedPartition(count).size();
    EXPECT_EQ(size + count, 600u);
  }
}

TEST_F(Recovery, ANodeFindsItsRecordByIndexThenByPlaceAndClusterSizeElseTheHeaviest) {
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  records.push_back(MakePartition(1, 2, 8, 100, 0, 1000, 0.9));        // the heaviest
  records.push_back(MakePartition(2, 2, 8, 10000, 9000, 5000, 0.5));   // sectors 9000-13999, 4 KiB clusters
  records.push_back(MakePartition(3, 2, 2, 20000, 20000, 4000, 0.1));  // sectors 20000-23999, 1 KiB clusters
  Init(std::move(records));
  const struct {
    uint16_t index;
    int64_t metadataSector;
    uint64_t size;
    DataRun run;  // clusters counted from each record's first data sector
    uint16_t expected;
  } cases[] = {
      {3, 0, 8192, {0, 2}, 3},
      {0xFFFE, 20001, 4096, {10, 4}, 3},    // 4 KiB in 4 clusters: 2 sectors each
      {0xFFFE, 9500, 16384, {100, 4}, 2},   // 16 KiB in 4 clusters: 8 sectors each
      {0xFFFE, 9500, 100, {100, 4}, 1},     // a cluster size that fits nothing
      {0xFFFE, 50000, 16384, {100, 4}, 1},  // outside every record
  };
  for (const auto& c : cases) {
    RunNode node("x", c.size, {c.run});
    node.SetBelongedPartition(c.index);
    node.SetMetaDataSector(c.metadataSector);
    EXPECT_EQ(recovery_.GetNodePartition(&node)->GetPartitionIndex(), c.expected) << c.metadataSector;
  }
}

TEST_F(Recovery, WithoutAReaderTheDestinationIsEmptyAndThePreviousFileNeverGoesOut) {
  InitOne(2);
  RunNode good("good", 10000, {{16, 3}});
  ASSERT_TRUE(Prepare(&recovery_, &good));
  EXPECT_EQ(result::Error(CopyTo("no/such")), 0xFu) << "a destination that cannot be opened";
  EXPECT_EQ(result::Error(recovery_.RecoverTo(nullptr, nullptr, 0)), result::kErrBadArgument);
  TestNode folder("dir", true);
  // A file whose size was cut to nothing (its runs lie where the device has
  // no sectors), or whose record lost its runs, is not an empty file: its
  // empty copy is kept and answers that it is incomplete.
  RunNode cut("cut", 0, {{16, 1}});
  cut.SetSizeDamaged(true);
  RunNode lost("lost", 10000, {});
  lost.SetDataRunList(nullptr);
  lost.SetSizeDamaged(true);
  for (IFileNode* node : std::vector<IFileNode*>{&folder, &cut, &lost, nullptr}) {
    ASSERT_TRUE(Prepare(&recovery_, &good));
    EXPECT_EQ(recovery_.SetRecoverNode(node), nullptr);
    const bool damaged = node == &cut || node == &lost;
    EXPECT_EQ(result::Error(CopyTo("out")), damaged ? result::kErrIncomplete : result::kErrNoReader);
    EXPECT_EQ(fs::file_size(dir_ / "out"), 0u) << "the previous file's data went out under the new name";
  }
  // A file of no bytes is copied whole as an empty file.
  RunNode empty("empty", 0, {{16, 1}});
  ASSERT_TRUE(Prepare(&recovery_, &good));
  EXPECT_EQ(recovery_.SetRecoverNode(&empty), nullptr);
  EXPECT_EQ(CopyTo("out"), 0u);
  EXPECT_EQ(fs::file_size(dir_ / "out"), 0u);
}

TEST_F(Recovery, ACopyEndsWithItsRunsAndStopsWhenAsked) {
  InitOne(2);
  // Runs that end after 1 of 3 clusters: the copy holds that cluster and
  // says it is incomplete; nothing is made up past the runs.
  RunNode shortRuns("short", 10000, {{100, 1}});
  ASSERT_TRUE(Prepare(&recovery_, &shortRuns));
  RecordingSink sink;
  ASSERT_EQ(result::Error(CopyTo("short", &sink)), result::kErrIncomplete);
  EXPECT_EQ(testsupport::ReadFile(dir_ / "short"), Slice(100 * 4096, 4096));
  EXPECT_TRUE(sink.Records().back().current == 4096 && sink.Records().back().error == 0);
  RecordingSink stopper;
  stopper.onContinued = [](int) { return 0; };
  EXPECT_EQ(CopyTo("stopped", &stopper), 0u);
  EXPECT_EQ(fs::file_size(dir_ / "stopped"), 0u);
}

struct Volume : IPrivateData {
  void Release() override {}
};

TEST_F(Recovery, HolesStayHolesAndReadsThatStopDeliveringEndTheCopy) {
  InitOne(2);
  // A sparse file far larger than the device: its one stored cluster comes
  // out at its place, the rest is holes that take no room.
  const uint64_t holeClusters = uint64_t{1} << 20;
  RunNode sparse("sparse", (holeClusters + 1) * 4096, {{-1, static_cast<int64_t>(holeClusters)}, {100, 1}});
  ASSERT_TRUE(Prepare(&recovery_, &sparse));
  ASSERT_EQ(CopyTo("sparse"), 0u);
  const fs::path copy = dir_ / "sparse";
  EXPECT_EQ(fs::file_size(copy), (holeClusters + 1) * 4096);
  struct stat st {};
  ASSERT_EQ(::stat(copy.c_str(), &st), 0);
  EXPECT_LE(static_cast<uint64_t>(st.st_blocks) * 512, 64u * 1024) << "holes were written as zeros";
  std::ifstream in(copy, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(holeClusters * 4096));
  Bytes tail(4096);
  in.read(reinterpret_cast<char*>(tail.data()), 4096);
  EXPECT_EQ(tail, Slice(100 * 4096, 4096));

  // Runs that lie past the device's end: nothing can be read, and after
  // kMaxUnreadBytes of nothing the copy ends, incomplete, instead of going
  // through the whole size.
  RunNode far("far", uint64_t{2} << 30, {{1000000, 524288}});
  ASSERT_TRUE(Prepare(&recovery_, &far));
  RecordingSink sink;
  EXPECT_EQ(result::Error(CopyTo("far", &sink)), result::kErrIncomplete);
  EXPECT_EQ(sink.Records().back().current, CDataRecovery::kMaxUnreadBytes);
  EXPECT_EQ(fs::file_size(dir_ / "far"), CDataRecovery::kMaxUnreadBytes);
}

// A file whose runs lie partly past the end of the device it is read on (a
// volume placed wrongly, a record that claims too much): the copy keeps the
// file's size, and it is not the file.
TEST_F(Recovery, ACopyThatCannotReadAllOfItsRunsIsIncomplete) {
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "NTFS compressed" : "plain");
    SampleFile file(compressed);
    const size_t keep = 1 << 20;  // 256 clusters: each sample has a run past them
    Bytes cut(file.disk.begin(), file.disk.begin() + long(keep));
    devicetest::CMemoryDevice shorter(cut, 512, static_cast<int64_t>(keep / 512));
    RecoveryPtr recovery = MakeRecovery(&shorter, compressed ? 3 : 2, 8);
    ASSERT_TRUE(Prepare(recovery.get(), file.node.get()));
    const fs::path out = dir_ / "copy";
    const ResultCode code = recovery->RecoverTo(out.c_str(), nullptr, 0);
    EXPECT_EQ(result::Error(code), result::kErrIncomplete);
    EXPECT_EQ(fs::file_size(out), file.expected.size());
  }
}

TEST_F(Recovery, CompressedFiles) {
  // NTFS: a byte limit is refused and writes nothing.
  InitOne(3);
  auto ntfs = NtfsCompressedNode(65536, {{16, 16}});
  ASSERT_TRUE(Prepare(&recovery_, ntfs.get()));
  EXPECT_EQ(result::Error(CopyTo("limited", nullptr, 1000)), 0xFu);
  EXPECT_FALSE(fs::exists(dir_ / "limited"));
  // Other file systems' readers get the partition's private data and are
  // used as they are made.
  Volume volume;
  std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
  records.push_back(MakePartition(0, 8, 8, 0, 0, 8192));
  records.back()->SetPrivateData(&volume);
  Init(std::move(records));
  RunNode hfs("hfs", 1, {{0, 1}}), content("content", 70000, {{20, 18}});
  hfs.compressed = true;
  hfs.makeReader = [&] {
    auto* reader = new CFileReader();
    reader->Open(&device_, &content, recovery_.GetSearchedPartition()[0]);
    return reader;
  };
  ASSERT_TRUE(Prepare(&recovery_, &hfs));
  EXPECT_TRUE(hfs.lastPrivateData == &volume && !recovery_.IsNTFSCompressed());
  ASSERT_EQ(CopyTo("hfs"), 0u);
  EXPECT_EQ(testsupport::ReadFile(dir_ / "hfs"), Slice(20 * 4096, 70000));
  hfs.makeReader = nullptr;
  EXPECT_EQ(recovery_.SetRecoverNode(&hfs), nullptr) << "a factory that makes nothing leaves no reader";
}

}  // namespace
