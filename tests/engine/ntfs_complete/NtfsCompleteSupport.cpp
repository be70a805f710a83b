#include "NtfsCompleteSupport.h"

#include <cstring>
#include <fstream>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "BenchDoubles.h"
#include "CompleteScanBench.h"
#include "RecoveryController.h"
#include "SearchedPartitionInfo.h"
#include "scan/CRecoveryController.h"
#include "support/TestSupport.h"

namespace ntfscomplete {

namespace {

constexpr ResultCode kUnreadable = result::MakeResult(result::kModuleStorageDevice, 0x99, 1);

std::vector<Geometry> Reported(IFileSystemSearchController& searcher) {
  const int count = searcher.GetSearchedPartitionInfo(nullptr, 0);
  std::vector<CSearchedPartitionInfo*> records(static_cast<size_t>(count), nullptr);
  EXPECT_EQ(searcher.GetSearchedPartitionInfo(records.data(), count), count);
  std::vector<Geometry> out;
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<CSearchedPartitionInfo> record(records[static_cast<size_t>(i)]);
    EXPECT_EQ(record->GetPartitionIndex(), i);
    EXPECT_EQ(record->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);
    out.push_back({record->GetFirstDataSector(), record->GetSectorsperCluster(), record->GetTotalSectors()});
  }
  return out;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const Geometry& g) {
  return out << "{start " << g.start << ", spc " << g.spc << ", sectors " << g.sectors << "}";
}

std::vector<Geometry> ReadPartitions(const std::filesystem::path& tsv) {
  std::vector<Geometry> out;
  std::ifstream in(tsv);
  for (Geometry g; in >> g.start >> g.spc >> g.sectors;) out.push_back(g);
  return out;
}

std::vector<Geometry> ScanDisk(IStorageDevice* device) {
  std::vector<Geometry> out;
  ResultCode answer = 0;
  const bool found = bench::PartitionScan(
      device, SEARCHER_TYPE_NTFS, [&](ICompleteFileSystemSearchController& searcher) { out = Reported(searcher); },
      &answer);
  EXPECT_EQ(answer, 0u);
  EXPECT_TRUE(found) << "the complete scan made no NTFS searcher";
  return out;
}

// Every block of `device` through `searcher`, then the end of the scan.
static void RunSearcher(CNTFSSearchController& searcher, IStorageDevice* device, int blockSectors, bool build) {
  searcher.SetDevice(device);
  searcher.SetBlockSize(blockSectors);
  searcher.PreparetoSearch();
  const int64_t total = device->GetTotalSectors();
  for (int64_t first = 0; first < total; first += blockSectors) {
    EXPECT_EQ(searcher.AnalyzeBlock(first, std::min<int64_t>(blockSectors, total - first)), 1u);
  }
  searcher.EndSearch(build ? 1 : 0);
}

std::vector<Geometry> Search(IStorageDevice* device, int blockSectors, bool build, std::vector<uint32_t>* flags) {
  CNTFSSearchController searcher;
  RunSearcher(searcher, device, blockSectors, build);
  if (flags != nullptr) {
    flags->clear();
    for (const CandidatePtr& c : searcher.GetCandidates()) flags->push_back(c->GetPartitionBuildFromFlags());
  }
  return Reported(searcher);
}

std::vector<Evidence> SearchEvidence(IStorageDevice* device, int blockSectors) {
  CNTFSSearchController searcher;
  RunSearcher(searcher, device, blockSectors, true);
  std::vector<Evidence> out;
  for (const CandidatePtr& c : searcher.GetCandidates()) {
    out.push_back({{c->GetFirstDataSector(), c->GetSectorsperCluster(), c->GetTotalSectors()},
                   c->GetPartitionBuildFromFlags(),
                   c->GetAttrDefMatchedCount(),
                   c->GetUpCaseMatchedCount(),
                   c->GetReliabilityScore()});
  }
  return out;
}

Volume MakeVolume(int64_t start, int64_t sectors, uint32_t cluster, uint32_t sectorBytes) {
  testsupport::TempDir dir;
  const std::string img = testsupport::ShellQuote((dir / "v.img").string());
  testsupport::RunCommandOrFail("truncate -s " + std::to_string(sectors * 512) + " " + img + " && mkntfs -F -f -q -c " +
                                std::to_string(cluster) + " -s " + std::to_string(sectorBytes) + " -p " +
                                std::to_string(start * 512 / sectorBytes) + " -H 255 -S 63 " + img +
                                " >/dev/null 2>&1");
  Volume volume;
  volume.bytes = testsupport::ReadFile(dir / "v.img");
  const std::string fsstat = testsupport::RunCommandOrFail("fsstat " + img);
  std::smatch m;
  const auto number = [&](const char* pattern) {
    if (!std::regex_search(fsstat, m, std::regex(pattern))) {
      ADD_FAILURE() << "fsstat shows no " << pattern;
      return uint64_t{0};
    }
    return static_cast<uint64_t>(std::stoull(m[1].str()));
  };
  const uint64_t sectorSize = number(R"(Sector Size: (\d+))");
  const uint64_t clusterSize = number(R"(Cluster Size: (\d+))");
  const uint64_t lastCluster = number(R"(Total Cluster Range: 0 - (\d+))");
  if (sectorSize != sectorBytes) ADD_FAILURE() << "fsstat reads " << sectorSize << "-byte sectors";
  const uint32_t spc = static_cast<uint32_t>(clusterSize / 512);
  volume.geometry = {start, spc, (lastCluster + 1) * spc};
  volume.mirrorCluster = static_cast<int64_t>(number(R"(First Cluster of MFT Mirror: (\d+))"));
  return volume;
}

void Put(std::vector<uint8_t>& disk, const Volume& volume) {
  const size_t at = static_cast<size_t>(volume.geometry.start) * 512;
  ASSERT_LE(at + volume.bytes.size(), disk.size());
  std::memcpy(disk.data() + at, volume.bytes.data(), volume.bytes.size());
}

int FailingWindow::ReadSector(void* buffer, int64_t first, int64_t count) {
  if (count_ > 0 && first < first_ + count_ && first_ < first + count) {
    lastError_ = kUnreadable;
    return 0;
  }
  const int answer = inner_->ReadSector(buffer, first, count);
  lastError_ = inner_->GetLastError();
  return answer;
}

}  // namespace ntfscomplete
