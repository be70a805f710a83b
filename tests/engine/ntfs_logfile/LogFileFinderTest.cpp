// The $LogFile finder on its own, over the scenario's volume placed inside a
// larger device: every address it reads must count from the volume's first
// sector, and the record it is asked about is handed back unchanged.

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataRunList.h"
#include "StorageDevice.h"
#include "engine/ntfs_logfile/LogFileScenario.h"
#include "ntfs/FindFileFromLogFile.h"
#include "ntfs/NTFSDataRunList.h"
#include "ntfs/NTFSFileProperties.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using ntfslogfile::Scenario;

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The image's bytes after `lead` sectors of zeros, in 512-byte sectors.
class ShiftedDevice : public IStorageDevice {
 public:
  ShiftedDevice(std::vector<uint8_t> image, int64_t lead) : bytes_(size_t(lead) * 512, 0) {
    bytes_.insert(bytes_.end(), image.begin(), image.end());
  }
  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    if (first < 0 || count < 0 || uint64_t(first + count) * 512 > bytes_.size()) return 0;
    std::memcpy(buffer, bytes_.data() + first * 512, size_t(count) * 512);
    return 1;
  }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return int64_t(bytes_.size() / 512); }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData*) override {}
  uint32_t GetType() override { return STORAGE_DEVICE_PARTITION; }
  ResultCode GetLastError() override { return 0; }

 private:
  std::vector<uint8_t> bytes_;
};

class LogFileFinder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir();
    if (!ntfslogfile::MissingFacility().empty()) return;
    scenario_ = new Scenario(ntfslogfile::BuildScenario(dir_->path(), {}));
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
  static const ntfslogfile::ScenarioManifest& M() { return scenario_->manifest; }
  // The MFT's runs as istat gave them.
  static CNTFSDataRunList MftRuns() {
    CNTFSDataRunList runs;
    for (size_t i = 0; i < M().Count("volume.mft_runs"); ++i) {
      const std::string run = "volume.mft_runs." + std::to_string(i);
      runs.AddDataRun({int64_t(M().Number(run + ".1")), int64_t(M().Number(run + ".0")),
                       int64_t(M().Number(run + ".2"))});
    }
    return runs;
  }
  static uint8_t Spc() { return uint8_t(M().Number("volume.sectors_per_cluster")); }
  // Asks the finder about manifest file `i` as the quick scan does: its
  // record with the runs cleared, deleted, size 0.
  static CNTFSFileProperties* Ask(CFindFileFromLogFile& finder, size_t i, bool* answer) {
    const std::string file = "files." + std::to_string(i) + ".";
    std::vector<uint8_t> record = ReadAll(scenario_->dir / M().Text(file + "record_cleared"));
    const std::vector<uint8_t> before = record;
    CNTFSFileProperties* properties = CNTFSFileProperties::Create();
    properties->SetState(CNTFSFileProperties::kStateDeleted);
    properties->SetFileName(M().Text(file + "name").c_str());
    *answer = finder.ReplaceFileRecordInfo(record.data(), int(record.size()), *properties,
                                           int64_t(M().Number(file + "parent_mft")), nullptr);
    EXPECT_EQ(record, before) << "the caller's record was changed";
    return properties;
  }

  static testsupport::TempDir* dir_;
  static Scenario* scenario_;
};

testsupport::TempDir* LogFileFinder::dir_ = nullptr;
Scenario* LogFileFinder::scenario_ = nullptr;

TEST_F(LogFileFinder, ReadsTheLogOfAVolumeThatStartsInsideTheDevice) {
  constexpr int64_t kLead = 2048;
  ShiftedDevice device(ReadAll(scenario_->image), kLead);
  const CNTFSDataRunList runs = MftRuns();
  CFindFileFromLogFile finder;
  ASSERT_TRUE(finder.Init(&device, &runs, Spc(), kLead, uint32_t(M().Number("volume.record_size"))));
  ASSERT_TRUE(finder.IsLogFileFound());
  finder.Analyzer();
  // The records the generator wrote, of which three carry FILE images (two
  // of deleted files, one of a live one) and two undo data of sizes and
  // mapping pairs.
  EXPECT_EQ(finder.GetExaminedRecordCount(), M().Count("log.records"));
  EXPECT_EQ(finder.GetFoundRecordCount(), 3u);
  EXPECT_EQ(finder.GetUndoRecordCount(), 2u);

  const int f = M().Find("files", "path", "fragmented.bin");
  ASSERT_GE(f, 0);
  bool answer = false;
  std::unique_ptr<CNTFSFileProperties, void (*)(CNTFSFileProperties*)> properties(Ask(finder, size_t(f), &answer),
                                                                                  CNTFSFileProperties::Destory);
  ASSERT_TRUE(answer);
  EXPECT_EQ(properties->GetFileSize(), M().Number("files." + std::to_string(f) + ".size"));
  IDataRunList* list = properties->GetDataRunList();
  ASSERT_NE(list, nullptr);
  size_t index = 0;
  for (const DataRun* run = list->GetFirst(); run != nullptr; run = list->GetNext(), ++index) {
    const std::string want = "files." + std::to_string(f) + ".runs." + std::to_string(index);
    EXPECT_EQ(run->start, int64_t(M().Number(want + ".1"))) << index;
    EXPECT_EQ(run->length, int64_t(M().Number(want + ".2"))) << index;
  }
  list->Release();
  EXPECT_EQ(index, M().Count("files." + std::to_string(f) + ".runs"));
}

TEST_F(LogFileFinder, AVolumeTakenFromTheWrongPlaceFindsNoLog) {
  ShiftedDevice device(ReadAll(scenario_->image), 2048);
  const CNTFSDataRunList runs = MftRuns();
  CFindFileFromLogFile finder;
  finder.Init(&device, &runs, Spc(), 0, 1024);
  EXPECT_FALSE(finder.IsLogFileFound());
  finder.Analyzer();
  const int f = M().Find("files", "path", "fragmented.bin");
  ASSERT_GE(f, 0);
  bool answer = true;
  CNTFSFileProperties::Destory(Ask(finder, size_t(f), &answer));
  EXPECT_FALSE(answer);
}

// A file in another folder, named like one whose image the log holds, is
// not given that image's runs: only a file whose parent is unknown may be
// matched by its name alone.
TEST_F(LogFileFinder, NameAloneMatchesOnlyWhenTheParentIsUnknown) {
  ShiftedDevice device(ReadAll(scenario_->image), 0);
  const CNTFSDataRunList runs = MftRuns();
  CFindFileFromLogFile finder;
  ASSERT_TRUE(finder.Init(&device, &runs, Spc(), 0, 1024));
  finder.Analyzer();
  const int other = M().Find("files", "path", "Other/small.txt");
  ASSERT_GE(other, 0);
  bool answer = true;
  CNTFSFileProperties::Destory(Ask(finder, size_t(other), &answer));
  EXPECT_FALSE(answer);
}

}  // namespace
