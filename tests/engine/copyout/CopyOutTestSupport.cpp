#include "engine/copyout/CopyOutTestSupport.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "copyout/CCompressFileReader.h"
#include "support/TestSupport.h"

namespace copyouttest {

namespace {

using testsupport::ShellQuote;

// mtools refuses images whose geometry it finds odd unless told not to check.
std::string Mtools(const std::string& command) {
  return testsupport::RunCommandOrFail("MTOOLS_SKIP_CHECK=1 " + command);
}

uint64_t Field(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? std::stoull(match[1].str()) : 0;
}

}  // namespace

Bytes RandomBytes(size_t size, unsigned seed) {
  Bytes bytes(size);
  std::mt19937 gen(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

void WriteRandomFile(const fs::path& path, uint64_t size, int seed) {
  const Bytes bytes = RandomBytes(size, static_cast<unsigned>(seed));
  testsupport::WriteFile(path, bytes.data(), bytes.size());
}

bool SameFile(const fs::path& a, const fs::path& b) {
  return testsupport::RunCommand("cmp " + ShellQuote(a.string()) + " " + ShellQuote(b.string())).exitCode == 0;
}

FatGeometry ReadFatGeometry(const std::string& spec) {
  const std::string info = Mtools("minfo -i " + ShellQuote(spec) + " ::");
  FatGeometry g;
  g.sectorSize = static_cast<uint32_t>(Field(info, R"(sector size: (\d+) bytes)"));
  g.sectorsPerCluster = static_cast<uint32_t>(Field(info, R"(cluster size: (\d+) sectors)"));
  const uint64_t perFat = Field(info, R"(sectors per fat: (\d+))") + Field(info, R"(Big fatlen=(\d+))");
  g.totalSectors = Field(info, R"(small size: (\d+) sectors)") + Field(info, R"(big size: (\d+) sectors)");
  const uint64_t rootBytes = Field(info, R"(max available root directory slots: (\d+))") * 32;
  EXPECT_TRUE(g.sectorSize > 0 && g.sectorsPerCluster > 0 && perFat > 0) << info;
  g.firstDataSector = static_cast<int64_t>(Field(info, R"(reserved \(boot\) sectors: (\d+))") +
                                           Field(info, R"(\nfats: (\d+))") * perFat +
                                           (rootBytes + g.sectorSize - 1) / std::max(g.sectorSize, 1u));
  return g;
}

std::vector<DataRun> FatRuns(const std::string& spec, const std::string& name) {
  const std::string out = Mtools("mshowfat -i " + ShellQuote(spec) + " " + ShellQuote(name));
  std::vector<DataRun> runs;
  const std::regex range(R"(<(\d+)(?:-(\d+))?>)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), range); it != std::sregex_iterator(); ++it) {
    const int64_t first = std::stoll((*it)[1].str());
    runs.push_back(DataRun{first - 2, ((*it)[2].matched ? std::stoll((*it)[2].str()) : first) - first + 1});
  }
  EXPECT_FALSE(runs.empty()) << out;
  return runs;
}

void MakeFragmentedFat(const fs::path& image, int fatBits, uint64_t kib, int sectorsPerCluster,
                       const std::vector<fs::path>& files) {
  const std::string img = ShellQuote(image.string());
  testsupport::RunCommandOrFail("mkfs.vfat -C -F " + std::to_string(fatBits) +
                                (sectorsPerCluster > 0 ? " -s " + std::to_string(sectorsPerCluster) : "") + " " + img +
                                " " + std::to_string(kib) + " >/dev/null");
  // Twelve small files; deleting every other one leaves gaps that the files
  // then fill in pieces.
  const uint64_t cluster = uint64_t{ReadFatGeometry(image.string()).sectorsPerCluster} * 512;
  const auto rounded = [cluster](uint64_t bytes) { return (bytes + cluster - 1) / cluster * cluster; };
  const fs::path scratch = image.string() + ".gap";
  uint64_t gaps = 0, needed = 0;
  for (int i = 1; i <= 12; ++i) {
    WriteRandomFile(scratch, i * 1500 + 100, 1000 + i);
    Mtools("mcopy -i " + img + " " + ShellQuote(scratch.string()) + " ::/gap" + std::to_string(i));
    gaps += i % 2 == 1 ? rounded(i * 1500 + 100) : 0;
  }
  for (const fs::path& file : files) needed += rounded(fs::file_size(file));
  // mtools allocates next-fit, wrapping to the start only when the end is
  // full: a filler leaves less room at the end than the files need.
  std::smatch match;
  const std::string dir = Mtools("mdir -i " + img + " ::");
  ASSERT_TRUE(std::regex_search(dir, match, std::regex(R"(([\d ]+) bytes free)"))) << dir;
  std::string digits = match[1].str();
  digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
  const uint64_t freeBytes = std::stoull(digits), tail = needed > gaps / 2 ? needed - gaps / 2 : 0;
  if (freeBytes > tail + cluster) {
    testsupport::RunCommandOrFail("truncate -s " + std::to_string((freeBytes - tail) / cluster * cluster - cluster) +
                                  " " + ShellQuote(scratch.string()));
    Mtools("mcopy -i " + img + " " + ShellQuote(scratch.string()) + " ::/filler");
  }
  fs::remove(scratch);
  Mtools("mdel -i " + img + " ::/gap1 ::/gap3 ::/gap5 ::/gap7 ::/gap9 ::/gap11");
  for (const fs::path& file : files) {
    Mtools("mcopy -i " + img + " " + ShellQuote(file.string()) + " ::/" + file.filename().string());
  }
}

RunNode::RunNode(const std::string& name, uint64_t size, const std::vector<DataRun>& runs, uint32_t resident)
    : TestNode(name, false, size) {
  auto* list = new CDataRunList(resident);
  for (const DataRun& run : runs) list->AddDataRun(&run);
  SetDataRunList(list);
  SetBelongedPartition(0);
}

std::unique_ptr<RunNode> NtfsCompressedNode(uint64_t size, const std::vector<DataRun>& runs) {
  auto node = std::make_unique<RunNode>("c", size, runs);
  node->compressed = true;
  node->makeReader = [] { return new CCompressFileReader(); };
  return node;
}

SampleFile::SampleFile(bool compressed)
    : disk(RandomBytes(12 << 20, 5)),
      runs(compressed ? std::vector<DataRun>{{10, 128}, {-1, 64}, {300, 128}}
                      : std::vector<DataRun>{{1500, 1200}, {40, 1105}}),
      node(compressed ? NtfsCompressedNode(20 * 65536 - 1000, runs)
                      : std::make_unique<RunNode>("f", (9 << 20) + 333, runs)) {
  for (const DataRun& run : runs) {
    if (run.start < 0) {
      expected.resize(expected.size() + run.length * 4096, 0);
    } else {
      expected.insert(expected.end(), disk.begin() + run.start * 4096, disk.begin() + (run.start + run.length) * 4096);
    }
  }
  expected.resize(node->GetFileSize());
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
  for (int i = 0; i < std::min(count, capacity); ++i) array[i] = new CSearchedPartitionInfo(*records[i]);
  return count > capacity && !fillAndAnnounce ? capacity : count;
}

RecoveryPtr MakeRecovery(IStorageDevice* device, int fsType, uint32_t sectorsPerCluster, int64_t firstDataSector,
                         int64_t startSector, uint32_t sectorSize) {
  FakeSearcher searcher;
  const uint64_t total = static_cast<uint64_t>(device->GetTotalSectors()) * device->GetSectorSize() / sectorSize;
  searcher.records.push_back(
      MakePartition(0, fsType, sectorsPerCluster, firstDataSector, startSector, total, 1.0, sectorSize));
  RecoveryPtr recovery(CreateDataRecoveryObj());
  EXPECT_EQ(recovery->Initialize(&searcher, device), 0u);
  return recovery;
}

bool Prepare(IDataRecovery* recovery, IFileNode* node) {
  IFileReader* clone = recovery->SetRecoverNode(node);
  if (clone != nullptr) clone->Release();
  return clone != nullptr;
}

std::vector<uint64_t> ShortWrites(const RecordingSink& sink) {
  std::vector<uint64_t> out;
  for (const _PROGRESS_INFO& r : sink.Records()) {
    if (static_cast<uint32_t>(r.error) == 0xD03) out.push_back(r.current);
  }
  return out;
}

}  // namespace copyouttest
