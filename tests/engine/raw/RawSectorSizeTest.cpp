// The carving images of make-raw-images.sh read in 4096-byte sectors, as a
// disk behind a USB enclosure reads: the carver finds the same files at the
// same bytes, of the same sizes and names, as in 512-byte sectors, where
// file systems made for 512-byte sectors laid them at any 512-byte boundary
// (fat.img's clusters are 2048 bytes). A carved file's run is counted in the
// units its partition record gives and holds the file's bytes and no more.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "DataRunList.h"
#include "FileNode.h"
#include "FileSystemSearchController.h"
#include "RawFixtures.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "device/DiskDevice.h"
#include "device/SectorSizeDevice.h"
#include "engine/device/DeviceTestSupport.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"

namespace {

namespace fs = std::filesystem;

// Carved files by the byte where they start: size and name.
using Files = std::map<uint64_t, std::tuple<uint64_t, std::string>>;

Files Carve(const fs::path& image, uint32_t sectorSize) {
  Files files;
  devicetest::ImageGuard guard(image);
  IStorageDevice* disk = CreateDiskDevice(image.c_str());
  EXPECT_NE(disk, nullptr);
  if (disk == nullptr) return files;
  EXPECT_EQ(disk->Open(), 1);
  CSectorSizeDevice view(disk, sectorSize);
  IStorageDevice* device = sectorSize == 512 ? disk : &view;
  testsupport::RecordingProgress sink;
  testsupport::RecordingBuilder builder;
  std::unique_ptr<ICompleteFileSystemSearchController> raw(CreateRAWSearcher());
  raw->SetIProgressSink(&sink);
  raw->SetDevice(device);
  const int64_t block = (4 << 20) / sectorSize;
  raw->SetBlockSize(static_cast<int>(block));
  raw->SetDirecotryTreeBuilder(&builder);
  raw->PreparetoSearch();
  const int64_t total = device->GetTotalSectors();
  for (int64_t first = 0; first < total; first += block) raw->AnalyzeBlock(first, std::min(block, total - first));
  raw->EndSearch(1);
  CSearchedPartitionInfo* record = nullptr;
  EXPECT_EQ(raw->GetSearchedPartitionInfo(&record, 1), 1);
  EXPECT_NE(record, nullptr);
  const uint64_t unit = record != nullptr ? uint64_t{record->GetSectorSize()} * record->GetSectorsperCluster() : 512;
  delete record;
  const uint64_t deviceBytes = static_cast<uint64_t>(total) * sectorSize;
  for (IFileNode* node : builder.owned) {
    auto* file = dynamic_cast<CFileNode*>(node);
    if (file == nullptr || node->IsDirectory() || file->GetDataRunList() == nullptr) continue;
    const DataRun* run = file->GetDataRunList()->GetFirst();
    EXPECT_NE(run, nullptr) << node->GetFileName();
    if (run == nullptr) continue;
    const uint64_t start = static_cast<uint64_t>(run->start) * unit;
    const uint64_t held = static_cast<uint64_t>(run->length) * unit;
    const uint64_t size = node->GetFileSize();
    EXPECT_TRUE(held >= size && held < size + unit) << node->GetFileName() << ": " << held << " for " << size;
    EXPECT_LE(start + held, deviceBytes) << node->GetFileName();
    files[start] = {size, node->GetFileName()};
  }
  raw.reset();
  disk->Close();
  disk->Release();
  return files;
}

class CarveInLargerSectors : public ::testing::TestWithParam<const char*> {};

TEST_P(CarveInLargerSectors, FindsWhatSectorsOf512BytesFind) {
  const std::string why = rawfixtures::Ready();
  REQUIRE_OR_SKIP(why.empty(), why);
  const fs::path image = rawfixtures::Dir() / GetParam();
  const Files small = Carve(image, 512);
  const Files large = Carve(image, 4096);
  EXPECT_FALSE(small.empty());
  int unaligned = 0;
  for (const auto& [start, file] : small) {
    unaligned += start % 4096 != 0 ? 1 : 0;
    const auto found = large.find(start);
    if (found == large.end()) {
      ADD_FAILURE() << std::get<1>(file) << " at " << start << " not carved in 4096-byte sectors";
      continue;
    }
    EXPECT_EQ(found->second, file) << "at " << start;
  }
  EXPECT_EQ(large.size(), small.size());
  std::printf("%s: %zu files carved, %d at offsets that are not multiples of 4096\n", GetParam(), small.size(),
              unaligned);
}

INSTANTIATE_TEST_SUITE_P(Images, CarveInLargerSectors, ::testing::Values("fat.img", "ntfs.img", "random.img"),
                         [](const auto& info) { return fs::path(info.param).stem().string(); });

}  // namespace
