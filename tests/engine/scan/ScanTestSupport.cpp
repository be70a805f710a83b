#include "engine/scan/ScanTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

#include "copyout/CDataRecovery.h"
#include "engine/tree/TreeTestSupport.h"
#include "scan/CStorageDeviceWithCache.h"
#include "support/TestSupport.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace scantest {

namespace {

void FillSector(uint8_t* out, int64_t sector, uint32_t sectorSize) {
  const uint64_t s = static_cast<uint64_t>(sector);
  for (uint32_t i = 0; i < 8 && i < sectorSize; ++i) out[i] = static_cast<uint8_t>(s >> (8 * i));
  const uint32_t mix = static_cast<uint32_t>(s * 2654435761u);
  for (uint32_t i = 8; i < sectorSize; ++i) out[i] = static_cast<uint8_t>((mix >> (i % 24)) + i * 13);
}

std::string Sh(const std::string& command) { return testsupport::RunCommandOrFail(command); }

}  // namespace

Bytes PatternDevice::Expected(int64_t first, int64_t count, uint32_t sectorSize) {
  Bytes out(static_cast<size_t>(count) * sectorSize);
  for (int64_t i = 0; i < count; ++i) FillSector(out.data() + i * sectorSize, first + i, sectorSize);
  return out;
}

int PatternDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  ++reads;
  if (buffer == nullptr || firstSector < 0 || sectorCount <= 0 || sectorCount > total_ ||
      firstSector > total_ - sectorCount) {
    ++overruns;
    lastError_ = result::MakeResult(result::kModuleStorageDevice, 0x96, result::kErrBadArgument);
    return 0;
  }
  const int64_t last = firstSector + sectorCount - 1;
  for (int64_t seen = highest.load(); last > seen && !highest.compare_exchange_weak(seen, last);) {
  }
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (gate_ >= 0 && last >= gate_) {
      ++held_;
      gateMoved_.notify_all();
      gateMoved_.wait(hold, [&] { return gate_ < 0 || last < gate_; });
      --held_;
    }
  }
  auto* out = static_cast<uint8_t*>(buffer);
  const auto bad = unreadable.lower_bound(firstSector);
  if (allUnreadable || (bad != unreadable.end() && *bad <= last)) {
    std::memset(out, 0xEE, static_cast<size_t>(sectorCount) * sectorSize);  // must never reach a searcher
    lastError_ = kUnreadableCode;
    return 0;
  }
  for (int64_t i = 0; i < sectorCount; ++i) FillSector(out + i * sectorSize, firstSector + i, sectorSize);
  lastError_ = 0;
  return 1;
}

void GiveVolumeRecord(IStorageDevice* device, int fileSystemType, const char* volumeName) {
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->fileSystemType = static_cast<uint32_t>(fileSystemType);
  SetRecordText(info->volumeName, volumeName);
  info->sectorSize = device->GetSectorSize();
  info->totalSectors = device->GetTotalSectors();
  device->SetPrivateData(CreateVolumeDeviceData(info));
}

CSearchedPartitionInfo* MakeRecord(int64_t marker) {
  auto* record = new CSearchedPartitionInfo(512);
  record->SetSectorsperCluster(8);
  record->SetStartSector(marker);
  record->SetTotalSectors(1000);
  return record;
}

std::vector<int64_t> Markers(IDataRecovery* recovery) {
  std::vector<int64_t> markers;
  if (auto* records = dynamic_cast<CDataRecovery*>(recovery)) {
    for (CSearchedPartitionInfo* record : records->GetSearchedPartition()) markers.push_back(record->GetStartSector());
  }
  if (recovery != nullptr) recovery->Release();
  return markers;
}

ResultCode FakeSearcher::AnalyzeBlock(int64_t firstSector, int64_t sectorCount) {
  calls.push_back("block:" + std::to_string(firstSector) + ":" + std::to_string(sectorCount));
  if (readBlocks) {
    Bytes& bytes = blocks.emplace_back(static_cast<size_t>(sectorCount) * device->GetSectorSize(), 0xCC);
    if (device->ReadSector(bytes.data(), firstSector, sectorCount) == 0) calls.push_back("unreadable");
  }
  return answer;
}

ResultCode FakeSearcher::QuickSearchFiles(IStorageDevice* scanned, IProgress* progress) {
  calls.push_back("quick");
  device = scanned;
  sink = progress;
  if (feed) {
    builder->AddSearcherInfo(type, 5);
    for (IFileNode* node : feed()) {
      if (builder->AddNode(node, type) == 0) node->Release();
    }
    builder->FlashBuild(type);
  }
  return answer;
}

Strings PassReports(uint64_t blocks, uint64_t done) {
  const std::string n = std::to_string(blocks);
  Strings reports{"{2,1,0}", "{0," + n + ",0}"};
  for (uint64_t k = 1; k <= done; ++k) reports.push_back("{2," + n + "," + std::to_string(k * 4 / 5) + "}");
  reports.push_back("{3,1,1}");
  return reports;
}

void FakeReplay::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* progress, IStorageDevice* d) {
  device = d;
  builder->AddSearcherInfo(type, 5);
  for (IFileNode* node : feed ? feed() : std::vector<IFileNode*>()) {
    if (progress->Continued() == 0 || builder->AddNode(node, type) == 0) node->Release();
  }
  builder->FlashBuild(type);
}

RecoveryControllerParts FakeParts::Parts() {
  RecoveryControllerParts parts;
  parts.makeTreeBuilder = [this](bool restoring) -> IDirecotryTreeBuilder* {
    builderFlags.push_back(restoring);
    madeLog.push_back("builder");
    auto* builder = new CDirectoryTreeBuilder(restoring);
    builder->SetPause([] {});
    return builder;
  };
  const auto make = [this](_tagSearcherType type) -> FakeSearcher* {
    madeLog.push_back(std::to_string(type));
    if (missing.count(type) != 0) return nullptr;
    auto* searcher = made[type] = new FakeSearcher(type);
    if (setUp) setUp(searcher);
    return searcher;
  };
  parts.makeCompleteSearcher = [make](_tagSearcherType type) -> ICompleteFileSystemSearchController* {
    return make(type);
  };
  parts.makeQuickSearcher = [make](_tagSearcherType type) -> IQuickFileSystemSearchController* { return make(type); };
  parts.flushFileBuffers = [this] { madeLog.push_back("flush"); };
  return parts;
}

void MakeFilledFatImage(const std::filesystem::path& image, int64_t sectors, uint64_t fillBytes) {
  const std::string img = testsupport::ShellQuote(image.string());
  Sh("truncate -s " + std::to_string(sectors * 512) + " " + img + " && mkfs.vfat -n SCANTEST " + img + " >/dev/null");
  testsupport::TempDir scratch;
  const std::string file = testsupport::ShellQuote((scratch / "f").string());
  for (uint64_t left = fillBytes, n = 0; left > 0; ++n) {
    const uint64_t size = std::min<uint64_t>(left, 4u << 20);
    Sh("head -c " + std::to_string(size) + " /dev/urandom > " + file + " && MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " +
       file + " ::/f" + std::to_string(n) + ".bin");
    left -= size;
  }
}

std::pair<Strings, std::vector<Bytes>> ScanBlocks(IStorageDevice* device, bool wholeDisk) {
  FakeParts parts;
  parts.setUp = [](FakeSearcher* searcher) {
    searcher->readBlocks = searcher->type == SEARCHER_TYPE_FAT;
    if (searcher->type == SEARCHER_TYPE_NTFS) searcher->answer = 0x0112004400000006ull;  // fails every block
  };
  std::unique_ptr<CCompleteRecoveryController, void (*)(CCompleteRecoveryController*)> controller(
      wholeDisk ? new CPartitionRecoveryController() : new CCompleteRecoveryController(),
      [](CCompleteRecoveryController* c) { c->Release(); });
  controller->SetParts(parts.Parts());
  RecoveryControllerParts realFlush;
  realFlush.flushFileBuffers = RecoveryControllerParts::Defaults().flushFileBuffers;
  controller->SetParts(realFlush);
  treetest::FakeFilter filter;
  treetest::RecordingTree tree;
  ScriptedSink sink;
  controller->Initialize(&filter);
  const size_t logged = LogLinesWith("0x0112004400000006");
  EXPECT_EQ(controller->StartDataRecovery(device, &sink, &tree), 0u);
  EXPECT_EQ(LogLinesWith("0x0112004400000006"), logged + 1) << "once per pass";
  EXPECT_EQ(parts.madeLog, (Strings{"builder", "31", "33", "32", "34", "35"}));  // the order blocks go in
  FakeSearcher* fat = parts.made[SEARCHER_TYPE_FAT];
  const Strings blocks = fat->Calls("block:");
  EXPECT_EQ(sink.Reports(), PassReports(blocks.size(), blocks.size()));
  Strings expected{"prepare"};
  expected.insert(expected.end(), blocks.begin(), blocks.end());
  expected.push_back("end:1");
  for (const auto& [type, searcher] : parts.made) {
    EXPECT_EQ(searcher->calls, expected) << type;
    EXPECT_EQ(searcher->device, static_cast<IStorageDevice*>(controller->GetCacheDevice()));
    // Only the searchers that report progress of their own, or read the
    // medium at the end where a stop must be heard, get the sink.
    EXPECT_EQ(searcher->sink,
              type == SEARCHER_TYPE_HFSPLUS || type == SEARCHER_TYPE_RAW || type == SEARCHER_TYPE_EXFAT ? &sink : nullptr);
  }
  Strings analyzed;
  for (const std::string& block : blocks) analyzed.push_back(block.substr(6));
  return {analyzed, fat->blocks};
}

void ExpectBlocksHashLikeDd(const std::string& path, const std::vector<Bytes>& blocks, int64_t first) {
  testsupport::TempDir dir;
  for (size_t k = 0; k < blocks.size(); ++k) {
    testsupport::WriteFile(dir / "block", blocks[k].data(), blocks[k].size());
    const std::string operands =
        first < 0 ? "bs=4M skip=" + std::to_string(k) + " count=1"
                  : "bs=512 skip=" + std::to_string(first) + " count=" + std::to_string(blocks[k].size() / 512);
    EXPECT_EQ(testsupport::Sha256(dir / "block"),
              Sh("dd if=" + testsupport::ShellQuote(path) + " " + operands + " status=none | sha256sum").substr(0, 64))
        << path << " block " << k;
  }
}

}  // namespace scantest
