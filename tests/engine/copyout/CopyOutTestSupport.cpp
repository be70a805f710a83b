#include "engine/copyout/CopyOutTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "support/TestSupport.h"

namespace copyouttest {

using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

namespace {

// mtools refuses images whose geometry it finds odd unless told not to check.
const char* kMtools = "MTOOLS_SKIP_CHECK=1 ";

uint64_t Field(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) return 0;
  return std::stoull(match[1].str());
}

}  // namespace

FatGeometry ReadFatGeometry(const std::string& spec) {
  const std::string info = RunCommandOrFail(std::string(kMtools) + "minfo -i " + ShellQuote(spec) + " ::");
  FatGeometry g;
  g.sectorSize = static_cast<uint32_t>(Field(info, R"(sector size: (\d+) bytes)"));
  g.sectorsPerCluster = static_cast<uint32_t>(Field(info, R"(cluster size: (\d+) sectors)"));
  g.reservedSectors = static_cast<uint32_t>(Field(info, R"(reserved \(boot\) sectors: (\d+))"));
  g.fats = static_cast<uint32_t>(Field(info, R"(\nfats: (\d+))"));
  g.sectorsPerFat = static_cast<uint32_t>(Field(info, R"(sectors per fat: (\d+))"));
  if (g.sectorsPerFat == 0) g.sectorsPerFat = static_cast<uint32_t>(Field(info, R"(Big fatlen=(\d+))"));
  g.rootEntries = static_cast<uint32_t>(Field(info, R"(max available root directory slots: (\d+))"));
  g.totalSectors = Field(info, R"(small size: (\d+) sectors)");
  if (g.totalSectors == 0) g.totalSectors = Field(info, R"(big size: (\d+) sectors)");
  EXPECT_GT(g.sectorSize, 0u) << info;
  EXPECT_GT(g.sectorsPerCluster, 0u) << info;
  EXPECT_GT(g.sectorsPerFat, 0u) << info;
  const uint64_t rootSectors = g.sectorSize ? (uint64_t{g.rootEntries} * 32 + g.sectorSize - 1) / g.sectorSize : 0;
  g.firstDataSector = static_cast<int64_t>(g.reservedSectors + uint64_t{g.fats} * g.sectorsPerFat + rootSectors);
  return g;
}

std::vector<DataRun> FatRuns(const std::string& spec, const std::string& name) {
  const std::string out =
      RunCommandOrFail(std::string(kMtools) + "mshowfat -i " + ShellQuote(spec) + " " + ShellQuote(name));
  std::vector<DataRun> runs;
  const std::regex range(R"(<(\d+)(?:-(\d+))?>)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), range); it != std::sregex_iterator(); ++it) {
    const int64_t first = std::stoll((*it)[1].str());
    const int64_t last = (*it)[2].matched ? std::stoll((*it)[2].str()) : first;
    runs.push_back(DataRun{first - 2, last - first + 1});
  }
  EXPECT_FALSE(runs.empty()) << out;
  return runs;
}

void MakeFragmentedFat(const fs::path& image, int fatBits, uint64_t kib, int sectorsPerCluster,
                       const std::vector<fs::path>& files) {
  const std::string img = ShellQuote(image.string());
  std::string mkfs = "mkfs.vfat -C -F " + std::to_string(fatBits);
  if (sectorsPerCluster > 0) mkfs += " -s " + std::to_string(sectorsPerCluster);
  RunCommandOrFail(mkfs + " " + img + " " + std::to_string(kib) + " >/dev/null");
  // Twelve small files of 1 to 12 clusters' worth; deleting every other one
  // leaves gaps that the real files then fill in pieces.
  const fs::path scratch = image.string() + ".gap";
  for (int i = 1; i <= 12; ++i) {
    WriteRandomFile(scratch, static_cast<uint64_t>(i) * 1500 + 100, 1000 + i);
    RunCommandOrFail(std::string(kMtools) + "mcopy -i " + img + " " + ShellQuote(scratch.string()) + " ::/gap" +
                     std::to_string(i));
  }
  fs::remove(scratch);
  // mtools allocates next-fit: a file goes after the last one written and
  // wraps to the start only when the end is full. A filler leaves less room
  // at the end than the files need, so their tails land in the gaps.
  const uint64_t clusterBytes = uint64_t{ReadFatGeometry(image.string()).sectorsPerCluster} * 512;
  uint64_t needed = 0;
  for (const fs::path& file : files) needed += (fs::file_size(file) + clusterBytes - 1) / clusterBytes * clusterBytes;
  uint64_t gaps = 0;
  for (int i = 1; i <= 12; i += 2) gaps += (uint64_t(i) * 1500 + 100 + clusterBytes - 1) / clusterBytes * clusterBytes;
  const std::string dir = RunCommandOrFail(std::string(kMtools) + "mdir -i " + img + " ::");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(dir, match, std::regex(R"(([\d ]+) bytes free)"))) << dir;
  std::string digits = match[1].str();
  digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
  const uint64_t freeBytes = std::stoull(digits);
  const uint64_t tail = needed > gaps / 2 ? needed - gaps / 2 : 0;
  if (freeBytes > tail + clusterBytes) {
    const uint64_t filler = (freeBytes - tail) / clusterBytes * clusterBytes - clusterBytes;
    const fs::path fillerPath = image.string() + ".filler";
    RunCommandOrFail("truncate -s " + std::to_string(filler) + " " + ShellQuote(fillerPath.string()));
    RunCommandOrFail(std::string(kMtools) + "mcopy -i " + img + " " + ShellQuote(fillerPath.string()) + " ::/filler");
    fs::remove(fillerPath);
  }
  for (int i = 1; i <= 12; i += 2)
    RunCommandOrFail(std::string(kMtools) + "mdel -i " + img + " ::/gap" + std::to_string(i));
  for (const fs::path& file : files) {
    RunCommandOrFail(std::string(kMtools) + "mcopy -i " + img + " " + ShellQuote(file.string()) + " ::/" +
                     file.filename().string());
  }
}

void WriteRandomFile(const fs::path& path, uint64_t size, int seed) {
  RunCommandOrFail(
      "python3 -c 'import random,sys; r=random.Random(int(sys.argv[2])); "
      "open(sys.argv[1],\"wb\").write(r.randbytes(int(sys.argv[3])))' " +
      ShellQuote(path.string()) + " " + std::to_string(seed) + " " + std::to_string(size));
}

bool SameFile(const fs::path& a, const fs::path& b) {
  const auto r = RunCommand("cmp " + ShellQuote(a.string()) + " " + ShellQuote(b.string()));
  return r.exitCode == 0;
}

RunNode::RunNode(const std::string& name, uint64_t size, const std::vector<DataRun>& runs, uint32_t resident)
    : TestNode(name, false, size) {
  auto* list = new CDataRunList(resident);
  for (const DataRun& run : runs) list->AddDataRun(&run);
  SetDataRunList(list);
  SetBelongedPartition(0);
}

std::unique_ptr<CSearchedPartitionInfo> MakePartition(uint16_t index, int fsType, uint32_t sectorsPerCluster,
                                                      int64_t firstDataSector, int64_t startSector,
                                                      uint64_t totalSectors, double weight, uint32_t sectorSize) {
  auto record = std::make_unique<CSearchedPartitionInfo>(sectorSize);
  record->SetPartitionIndex(index);
  record->SetFileSystemType(fsType);
  record->SetSectorsperCluster(sectorsPerCluster);
  record->SetFirstDataSector(firstDataSector);
  record->SetStartSector(startSector);
  record->SetTotalSectors(totalSectors);
  record->SetOrderWeight(weight);
  return record;
}

int FakeSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int capacity) {
  capacities.push_back(capacity);
  const int count = static_cast<int>(records.size());
  if (count > capacity && announce) return count;
  const int n = std::min(count, capacity);
  for (int i = 0; i < n; ++i) array[i] = new CSearchedPartitionInfo(*records[static_cast<size_t>(i)]);
  if (count > capacity && fillAndAnnounce) return count;
  return n;
}

int RecordingSink::UpdateProgress(_PROGRESS_INFO* info) {
  std::lock_guard<std::mutex> hold(lock_);
  records_.push_back(*info);
  return 0;
}

int RecordingSink::Continued() {
  ++continuedCalls;
  return onContinued ? onContinued() : 1;
}

std::vector<_PROGRESS_INFO> RecordingSink::Records() {
  std::lock_guard<std::mutex> hold(lock_);
  return records_;
}

std::vector<_PROGRESS_INFO> RecordingSink::RecordsWithError(uint32_t error) {
  std::vector<_PROGRESS_INFO> out;
  for (const _PROGRESS_INFO& r : Records()) {
    if (static_cast<uint32_t>(r.error) == error) out.push_back(r);
  }
  return out;
}

}  // namespace copyouttest
