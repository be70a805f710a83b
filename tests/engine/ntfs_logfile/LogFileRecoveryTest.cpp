// Deleted files whose runs were cleared, brought back by the quick scan from
// what the volume's $LogFile holds, on the scenarios of
// tests/fixtures/ntfs/logfile: sizes and runs against istat's from before the
// deletion, copied-out bytes against the original files, and hostile logs
// that must neither crash the scan nor change what it gives back. Also the
// log finder on its own, for a volume that starts inside its device.

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataRunList.h"
#include "FileNode.h"
#include "QuickScanProbe.h"
#include "StorageDevice.h"
#include "engine/ntfs_logfile/LogFileScenario.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileProperties.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using ntfslogfile::Scenario;
using ntfslogfile::ScenarioManifest;
using quickprobe::Node;
using quickprobe::QuickScan;

std::string File(size_t i, const std::string& field) { return "files." + std::to_string(i) + "." + field; }

// The clusters istat listed for file `i` before its deletion, in file order.
std::vector<int64_t> ManifestClusters(const ScenarioManifest& m, size_t i) {
  std::vector<int64_t> clusters;
  for (size_t r = 0; r < m.Count(File(i, "runs")); ++r) {
    const std::string run = File(i, "runs." + std::to_string(r));
    for (uint64_t k = 0; k < m.Number(run + ".2"); ++k) clusters.push_back(int64_t(m.Number(run + ".1") + k));
  }
  return clusters;
}

std::vector<int64_t> NodeClusters(const Node& node) {
  std::vector<int64_t> clusters;
  IDataRunList* runs = dynamic_cast<CFileNode*>(node.node)->GetDataRunList();
  if (runs == nullptr) return clusters;
  for (DataRun* run = runs->GetFirst(); run != nullptr; run = runs->GetNext()) {
    for (int64_t k = 0; k < run->length; ++k) clusters.push_back(run->start < 0 ? -1 : run->start + k);
  }
  return clusters;
}

// What the scan gave file `i` of the manifest.
enum class Outcome { kMissing, kNotRecovered, kRecovered, kWrong };

Outcome Check(QuickScan& scan, const ScenarioManifest& m, size_t i, const fs::path& scratch) {
  const Node* node = scan.Find(m.Text(File(i, "path")));
  if (node == nullptr) return Outcome::kMissing;
  if (node->deleted != (m.Number(File(i, "deleted")) != 0)) return Outcome::kWrong;
  if (node->size == 0 && NodeClusters(*node).empty()) return Outcome::kNotRecovered;
  if (node->size != m.Number(File(i, "size")) || NodeClusters(*node) != ManifestClusters(m, i)) {
    return Outcome::kWrong;
  }
  const fs::path out = scratch / ("file" + std::to_string(i));
  if (scan.CopyOut(*node, out) != 0) return Outcome::kWrong;
  return testsupport::Sha256(out) == m.Text(File(i, "sha256")) ? Outcome::kRecovered : Outcome::kWrong;
}

const char* Name(Outcome o) {
  switch (o) {
    case Outcome::kMissing:
      return "missing";
    case Outcome::kNotRecovered:
      return "not recovered";
    case Outcome::kRecovered:
      return "recovered";
    case Outcome::kWrong:
      return "WRONG size, runs or bytes";
  }
  return "?";
}

// Scans `image` and checks every file of the manifest: the deleted ones
// named in `lost` come back with size 0 and no runs, every other file
// exactly as it was. The image is not changed.
void ExpectScan(const Scenario& s, const fs::path& image, const std::string& sha, const std::set<std::string>& lost,
                uint32_t sectorSize = 0) {
  testsupport::TempDir scratch;
  {
    QuickScan::Options options;
    options.sectorSize = sectorSize;
    QuickScan scan(image, options);
    ASSERT_TRUE(scan.Run());
    const ScenarioManifest& m = s.manifest;
    ASSERT_GT(m.Count("files"), 0u);
    for (size_t i = 0; i < m.Count("files"); ++i) {
      const std::string path = m.Text(File(i, "path"));
      const bool recoverable = m.Number(File(i, "expect_recovered")) != 0 || m.Number(File(i, "deleted")) == 0;
      const Outcome want = recoverable && lost.count(path) == 0 ? Outcome::kRecovered : Outcome::kNotRecovered;
      EXPECT_STREQ(Name(Check(scan, m, i, scratch.path())), Name(want)) << path;
    }
  }
  EXPECT_EQ(testsupport::Sha256(image), sha) << image << " changed";
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The image's bytes after `lead` sectors of zeros, in 512-byte sectors.
class ShiftedDevice : public IStorageDevice {
 public:
  ShiftedDevice(std::vector<uint8_t> image, int64_t lead) : image_(std::move(image)), lead_(lead) {}
  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    for (int64_t k = 0; k < count; ++k, out += 512) {
      const int64_t at = first + k - lead_;
      if (at < 0) {
        std::memset(out, 0, 512);
      } else {
        std::memcpy(out, image_.data() + at * 512, 512);
      }
    }
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return lead_ + int64_t(image_.size() / 512); }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData*) override {}
  uint32_t GetType() override { return STORAGE_DEVICE_PARTITION; }
  ResultCode GetLastError() override { return 0; }

 private:
  std::vector<uint8_t> image_;
  int64_t lead_;
};

class LogFileRecovery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir();
    if (!ntfslogfile::MissingFacility().empty()) return;
    ntfslogfile::ScenarioOptions options;
    options.hostile = "all";
    scenario_ = new Scenario(ntfslogfile::BuildScenario(dir_->path(), options));
  }
  static void TearDownTestSuite() {
    delete scenario_;
    delete dir_;
    scenario_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    const std::string missing = ntfslogfile::MissingFacility();
    REQUIRE_OR_SKIP(missing.empty(), missing);
    ASSERT_NE(scenario_, nullptr);
    ASSERT_EQ(scenario_->exitCode, 0) << scenario_->output;
  }
  static const Scenario& S() { return *scenario_; }
  void ExpectVariant(const std::string& variant, const std::set<std::string>& lost) {
    SCOPED_TRACE(variant);
    const std::string key = "variants." + variant;
    ASSERT_TRUE(S().manifest.Has(key + ".image")) << variant;
    ExpectScan(S(), S().dir / S().manifest.Text(key + ".image"), S().manifest.Text(key + ".image_sha256"), lost);
  }

  static testsupport::TempDir* dir_;
  static Scenario* scenario_;
};

testsupport::TempDir* LogFileRecovery::dir_ = nullptr;
Scenario* LogFileRecovery::scenario_ = nullptr;

// Record images (one crossing a log page end) and undo data of the sizes and
// mapping pairs give three deleted files back; the file in another folder
// with the same name as one of them, which the log does not cover, stays
// without runs rather than taking the other's.
TEST_F(LogFileRecovery, DeletedFilesComeBackWithTheirSizeRunsAndOriginalBytes) {
  ExpectScan(S(), S().image, S().manifest.Text("image_sha256"), {});
}

// Damage that leaves the useful records whole changes nothing.
TEST_F(LogFileRecovery, GarbageAndMalformedRecordsChangeNothing) {
  for (const char* variant :
       {"garbage-pages", "overrun-length", "huge-length", "undo-outside", "image-threshold", "short-records", "wrap"}) {
    ExpectVariant(variant, {});
  }
}

// The record whose second half is gone is lost, and only it.
TEST_F(LogFileRecovery, TruncatedLogLosesOnlyTheRecordItCutsOff) { ExpectVariant("truncated", {"LogTest/known.txt"}); }

// A $LogFile cut to its restart pages holds no records at all.
TEST_F(LogFileRecovery, LogWithoutRecordPagesGivesNothingBack) {
  ExpectVariant("short-log", {"LogTest/small.txt", "LogTest/known.txt", "fragmented.bin"});
}

// The finder alone, for a volume 1 MiB into its device: every address it
// reads counts from the volume's first sector, and the deleted record it is
// asked about is handed back unchanged.
TEST_F(LogFileRecovery, FinderReadsTheLogOfAVolumeInsideItsDevice) {
  constexpr int64_t kLead = 2048;
  const ScenarioManifest& m = S().manifest;
  ShiftedDevice device(ReadAll(S().image), kLead);
  CNTFSDataRunList mft;  // as istat gave it
  for (size_t i = 0; i < m.Count("volume.mft_runs"); ++i) {
    const std::string run = "volume.mft_runs." + std::to_string(i);
    mft.AddDataRun({int64_t(m.Number(run + ".1")), int64_t(m.Number(run + ".0")), int64_t(m.Number(run + ".2"))});
  }
  const auto spc = uint8_t(m.Number("volume.sectors_per_cluster"));
  CFindFileFromLogFile finder;
  ASSERT_TRUE(finder.Init(&device, &mft, spc, kLead, uint32_t(m.Number("volume.record_size"))));
  ASSERT_TRUE(finder.IsLogFileFound());
  finder.Analyzer();
  // Every record the generator wrote; three carry FILE images (two of
  // deleted files, one of a live one), two undo data of sizes and pairs.
  EXPECT_EQ(finder.GetExaminedRecordCount(), m.Count("log.records"));
  EXPECT_EQ(finder.GetFoundRecordCount(), 3u);
  EXPECT_EQ(finder.GetUndoRecordCount(), 2u);

  const int f = m.Find("files", "path", "fragmented.bin");
  ASSERT_GE(f, 0);
  std::vector<uint8_t> record = ReadAll(S().dir / m.Text(File(size_t(f), "record_cleared")));
  const std::vector<uint8_t> before = record;
  std::unique_ptr<CNTFSFileProperties, void (*)(CNTFSFileProperties*)> properties(CNTFSFileProperties::Create(),
                                                                                  CNTFSFileProperties::Destory);
  properties->SetState(CNTFSFileProperties::kStateDeleted);
  properties->SetFileName(m.Text(File(size_t(f), "name")).c_str());
  ASSERT_TRUE(finder.ReplaceFileRecordInfo(record.data(), int(record.size()), *properties,
                                           int64_t(m.Number(File(size_t(f), "parent_mft"))), nullptr));
  EXPECT_EQ(record, before);
  EXPECT_EQ(properties->GetFileSize(), m.Number(File(size_t(f), "size")));
  std::vector<int64_t> clusters;
  IDataRunList* list = properties->GetDataRunList();
  ASSERT_NE(list, nullptr);
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext()) {
    for (int64_t k = 0; k < run->length; ++k) clusters.push_back(run->start + k);
  }
  list->Release();
  EXPECT_EQ(clusters, ManifestClusters(m, size_t(f)));

  // An image the log wrote to another record lends nothing, even to a
  // record that now names the same file in the same folder: the record of
  // Other/small.txt asked about as if it were the live keep.txt.
  const int other = m.Find("files", "path", "Other/small.txt");
  const int live = m.Find("files", "path", "keep.txt");
  ASSERT_GE(other, 0);
  ASSERT_GE(live, 0);
  record = ReadAll(S().dir / m.Text(File(size_t(other), "record_cleared")));
  properties.reset(CNTFSFileProperties::Create());
  properties->SetState(CNTFSFileProperties::kStateDeleted);
  properties->SetFileName(m.Text(File(size_t(live), "name")).c_str());
  EXPECT_FALSE(finder.ReplaceFileRecordInfo(record.data(), int(record.size()), *properties,
                                            int64_t(m.Number(File(size_t(live), "parent_mft"))), nullptr));
  EXPECT_EQ(properties->GetFileSize(), 0u);

  // Taken as if the volume started at the device's first sector, there is
  // no log to find.
  CFindFileFromLogFile misplaced;
  misplaced.Init(&device, &mft, spc, 0, 1024);
  EXPECT_FALSE(misplaced.IsLogFileFound());
}

// Other geometries: the MFT record a log record changes follows from its
// target cluster and 512-byte block for every cluster size, and the log is
// read in the device's own sectors.
using ntfslogfile::Geometry;

class LogFileRecoveryGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(LogFileRecoveryGeometry, DeletedFilesComeBack) {
  const std::string missing = ntfslogfile::MissingFacility();
  REQUIRE_OR_SKIP(missing.empty(), missing);
  testsupport::TempDir dir;
  const Scenario s = ntfslogfile::BuildScenarioOn(dir.path(), GetParam());
  ASSERT_EQ(s.exitCode, 0) << s.output;
  ExpectScan(s, s.image, s.manifest.Text("image_sha256"), {}, static_cast<uint32_t>(GetParam().sectorSize));
}

INSTANTIATE_TEST_SUITE_P(Clusters, LogFileRecoveryGeometry,
                         ::testing::Values(Geometry{512, 0}, Geometry{2048, 0}, Geometry{65536, 0},
                                           Geometry{4096, 4096}),
                         [](const auto& info) {
                           return "cluster" + std::to_string(info.param.clusterSize) + "_sector" +
                                  std::to_string(info.param.sectorSize);
                         });

}  // namespace
