#include "fat/FATRevision.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "base/Utility.h"
#include "fat/FATBuildDataRun.h"
#include "fat/FATFileNode.h"
#include "fat/FATFileProperties.h"
#include "fat/IniFile.h"
#include "raw/RawFileAnalyserList.h"

namespace {

constexpr int64_t kHighWordStep = 65536;
// Files of about 4 GB and more are no guide to where their neighbours lie.
constexpr uint64_t kNeighbourSizeLimit = 4194304000;
// The signature analysers read up to this far past the sector they are given.
constexpr uint32_t kSectorSlack = 16;

bool BeginsWithDot(CFATFileNode* node) {
  const char* name = node->GetFileName();
  return name != nullptr && name[0] == '.';
}

}  // namespace

bool IsFAT32RevisionOn(const std::string& folder) {
  CIniFile ini;
  ini.Init((folder.empty() ? std::string(GetAppWorkPath()) : folder) + "/UIConfig.ini");
  std::string value;
  if (ini.ReadItem("UserExperience", "bRevise", value) != 0) return true;
  return value != "0";
}

bool bExecutableImageFile(const uint8_t* bytes, uint64_t n) {
  if (bytes == nullptr || n < 64 || bytes[0] != 0x4D || bytes[1] != 0x5A) return false;
  const uint64_t h =
      uint64_t{bytes[60]} | (uint64_t{bytes[61]} << 8) | (uint64_t{bytes[62]} << 16) | (uint64_t{bytes[63]} << 24);
  if (h + 2 > n) return false;
  return bytes[h] == 0x50 && bytes[h + 1] == 0x45;
}

bool SectorStartsKnownFile(uint8_t* sector, uint32_t sectorSize) {
  if (sector == nullptr || sectorSize < 512) return false;
  IRawFileAnalyser* analyser =
      CRawFileAnalyserListSingle::CreateInstance()->FindByKey(RawKey(sector[0], sector[1], sector[2], sector[3]));
  if (analyser != nullptr) {
    CRawFileInfo info;
    if (analyser->AnalyseBuffer(sector, info) != 0) return true;
  }
  return bExecutableImageFile(sector, sectorSize);
}

CFATFirstCluReviser::CFATFirstCluReviser(IDirecotryTreeBuilder* builder, CSearchedPartitionInfo* record,
                                         IStorageDevice* device, const FATGeometry& geometry, IFATTable* table,
                                         SectorStartsFile startsFile)
    : m_builder(builder),
      m_record(record),
      m_device(device),
      m_g(geometry),
      m_table(table),
      m_startsFile(std::move(startsFile)) {
  m_sectorSize = device != nullptr && device->GetSectorSize() != 0 ? device->GetSectorSize() : 512;
}

void CFATFirstCluReviser::HandOver(CFATFileNode* node) {
  node->SetBelongedPartition(m_record != nullptr ? m_record->GetPartitionIndex() : 0);
  if (m_builder == nullptr || m_builder->AddNode(node, SEARCHER_TYPE_FAT) == 0) node->Release();
}

bool CFATFirstCluReviser::bReviseFAT32FileFirstClu(int64_t c) {
  if (c > kHighWordStep || c < 2 || m_device == nullptr) return true;
  m_sector.assign(size_t{m_sectorSize} + kSectorSlack, 0);
  const int64_t sector = (c - 2) * int64_t{m_g.sectorsPerCluster} + m_g.dataStart;
  // Nothing is known about a sector that cannot be read: keep the cluster.
  if (m_device->ReadSector(m_sector.data(), sector, 1) == 0) return true;
  return m_startsFile && m_startsFile(m_sector.data(), m_sectorSize);
}

int64_t CFATFirstCluReviser::GetFAT32LostFirstCluNum(const std::vector<CFATFileNode*>& references, int64_t size,
                                                     int64_t first, uint64_t creation) const {
  if (first >= kHighWordStep) return first;
  CFATFileProperties* neighbour = nullptr;
  uint64_t distance = 0;
  for (CFATFileNode* node : references) {
    CFATFileProperties* p = node != nullptr ? node->GetFileProperties() : nullptr;
    if (p == nullptr || p->GetFileSize() > kNeighbourSizeLimit ||
        (p->GetState() & ~CFATFileProperties::kStateContentUnsure) != CFATFileProperties::kStateDeleted)
      continue;
    const uint64_t t = p->GetCreationTime();
    if (neighbour == nullptr) {
      neighbour = p;
      distance = t;
    } else if (t <= creation && creation - t <= distance) {
      neighbour = p;
      distance = creation - t;
    }
  }
  const uint64_t bytesPerCluster = uint64_t{m_g.sectorsPerCluster} * m_sectorSize;
  if (neighbour == nullptr || neighbour->GetFirstClusterNum() <= kHighWordStep || size < 1 || bytesPerCluster == 0)
    return first;
  const int64_t end = neighbour->GetFirstClusterNum() +
                      static_cast<int64_t>((neighbour->GetFileSize() + bytesPerCluster - 1) / bytesPerCluster);
  return end / kHighWordStep * kHighWordStep + first;
}

void CFATFirstCluReviser::ReviseFAT32FileFirstClu(std::vector<CFATFileNode*>& folders,
                                                  std::vector<CFATFileNode*>& files) {
  // One node per first cluster; a file whose cluster another node claims is
  // not revised but still handed over.
  std::map<int64_t, CFATFileNode*> byCluster;
  auto claim = [&byCluster](CFATFileNode* node) {
    const int64_t cluster = node->GetFileProperties()->GetFirstClusterNum();
    if (byCluster.emplace(cluster, node).second) return true;
    const char* name = node->GetFileName();
    std::printf("\r\n ############firstCluNum=%lld,fileName=%s\r\n######", static_cast<long long>(cluster),
                name != nullptr ? name : "");
    return false;
  };
  for (CFATFileNode* node : folders) {
    if (node != nullptr && node->GetFileProperties() != nullptr) claim(node);
  }
  std::vector<CFATFileNode*> unrevised;
  std::vector<CFATFileNode*> candidates;
  for (CFATFileNode* node : files) {
    if (node == nullptr) continue;
    if (node->GetFileProperties() == nullptr) {
      unrevised.push_back(node);
      continue;
    }
    if (!claim(node)) unrevised.push_back(node);
  }
  for (auto& [cluster, node] : byCluster) {
    // Folders stay with the walk; only the held files are revised here.
    if (std::find(files.begin(), files.end(), node) == files.end()) continue;
    candidates.push_back(node);
  }
  for (CFATFileNode* node : candidates) {
    CFATFileProperties* p = node->GetFileProperties();
    const int64_t first = p->GetFirstClusterNum();
    if (m_g.type == 2 && node->IsDeleted() != 0 && node->IsDirectory() == 0 && !BeginsWithDot(node) &&
        first < static_cast<int64_t>(CEmptyFileVirtualClusterNum::kFirst) && !bReviseFAT32FileFirstClu(first)) {
      const int64_t size = static_cast<int64_t>(p->GetFileSize());
      const int64_t g = GetFAT32LostFirstCluNum(files, size, first, p->GetCreationTime());
      if (g >= kHighWordStep && static_cast<uint64_t>(g) <= m_g.clusterCount + 1 && m_table != nullptr &&
          !CFATBuildDataRun::IsGiven(m_table, static_cast<uint32_t>(first))) {
        // The table calls the recorded cluster free, so the file may well
        // start there (a deletion that kept the high word): it stays. Where
        // the estimate is free too, either may hold it, and the copy is not
        // vouched for; where a file holds the estimate, the file cannot
        // start there.
        if (!CFATBuildDataRun::IsGiven(m_table, static_cast<uint32_t>(g))) p->SetContentUnsure(true);
      } else if (g >= kHighWordStep && static_cast<uint64_t>(g) <= m_g.clusterCount + 1) {
        CFATBuildDataRun builder(m_table, m_sectorSize, m_g.sectorsPerCluster, m_g.clusterCount);
        IDataRunList* runs = builder.BuildDataRunList(static_cast<uint32_t>(g), size, 1);
        if (runs != nullptr) {
          p->KeepSupportedSize(builder.GetSupportedSize());
          p->SetContentUnsure(builder.IsContentUnsure());
          node->SetDataRunList(runs);
          p->SetState(p->GetState() | CFATFileProperties::kStateDeleted);
          p->SetFirstClusterNum(g);
          node->SetFileProperties(p);
        }
      }
    }
  }
  for (CFATFileNode* node : candidates) HandOver(node);
  for (CFATFileNode* node : unrevised) HandOver(node);
  files.clear();
}
