#include "raw/RAWFileNode.h"

#include <cctype>
#include <cstdio>

#include "DataRunList.h"
#include "DirecotryTreeBuilder.h"
#include "base/Utility.h"

uint32_t CRAWFileManager::g_nID = 10;

std::vector<uint32_t>& RawNameCounters() {
  static std::vector<uint32_t> counters(2000, 0);
  return counters;
}

void ResetRawNameCounters() { RawNameCounters().assign(2000, 0); }

IFileProperties* CRAWFileProperties::Clone() {
  auto* copy = new CRAWFileProperties(*this);
  copy->m_runs = nullptr;
  return copy;
}

int CRAWFileProperties::InitRawFileProperties(const CRawFileInfo& info, uint32_t unitBytes) {
  m_size = info.m_size;
  m_timeText = info.m_timeText;
  m_runs = CreateDataRunList();
  // The run says the file's bytes and no more: a longer one would claim
  // what follows the file, and past the device's end a saved result's load
  // would take the file for damaged.
  const uint64_t unit = unitBytes == 0 ? 512 : unitBytes;
  const uint64_t units = info.m_size / unit + (info.m_size % unit != 0 ? 1 : 0);
  const DataRun run{static_cast<int64_t>(info.m_startSector), static_cast<int64_t>(units)};
  m_runs->AddDataRun(&run);
  return 1;
}

CRAWFileNode::~CRAWFileNode() { CRAWFileProperties::Destory(m_properties); }

CRAWFileNode::CRAWFileNode(const CRAWFileNode& other) : CFileNode(other), m_name(other.m_name) {
  if (other.m_properties != nullptr) {
    m_properties = static_cast<CRAWFileProperties*>(other.m_properties->Clone());
  }
}

IFileNode* CRAWFileNode::Clone() { return new CRAWFileNode(*this); }

int CRAWFileNode::Initilaize(const CRawFileInfo* info, uint32_t attribute, int64_t parentID, int64_t nodeID,
                             uint32_t unitBytes) {
  if (info == nullptr) return 0;
  CRAWFileProperties::Destory(m_properties);
  m_properties = CRAWFileProperties::Create();
  m_properties->InitRawFileProperties(*info, unitBytes);
  SetDataRunList(m_properties->TakeRuns());
  m_properties->SetAttribute(static_cast<uint16_t>(attribute));
  if ((attribute & 0x10) != 0) {
    m_name = info->m_namePrefix;
  } else {
    char name[1024];
    BuildFileName(name, static_cast<uint16_t>(info->m_type), info->m_namePrefix.c_str());
    m_name = name;
  }
  SetCurrentNodeID(nodeID);
  SetParentNodeID(parentID);
  // A file whose end was not found is copied for the user to judge, never
  // counted as recovered.
  SetContentUnsure(info->m_endUnknown);
  return 1;
}

void CRAWFileNode::BuildFileName(char* out, uint16_t type, const char* prefix) {
  std::vector<uint32_t>& counters = RawNameCounters();
  const uint32_t n = type < counters.size() ? counters[type] : 0;
  const char* ext = RawFileExtName(type);
  if (ext == nullptr) ext = g_s_strFileExtName[RAW_TYPE_NONE];
  // Prefixes are cut long before this, so the name always fits.
  const std::string kept = prefix != nullptr ? FilterRawFileName(prefix) : std::string();
  if (!kept.empty() && isValidString(kept.c_str()) != 0) {
    std::snprintf(out, 1024, "%s%03u.%s", kept.c_str(), n, ext);
  } else {
    std::snprintf(out, 1024, "FILE%03u.%s", n, ext);
  }
  if (type < counters.size()) ++counters[type];
}

int CRAWFileManager::AddRawFileInfo(const CRawFileInfo* info) {
  if (info == nullptr) return 0;
  const uint32_t id = m_nextFileID++;
  return AddNode(info, 0x20, static_cast<int>(m_category), static_cast<int>(id));
}

int CRAWFileManager::AddNode(const CRawFileInfo* info, uint32_t attribute, int parent, int id) {
  auto* node = new CRAWFileNode();
  if (node->Initilaize(info, attribute, parent, id, m_unitBytes) == 0 || m_builder == nullptr) {
    node->Release();
    return 0;
  }
  int folder = 0;
  if (!bFindParent(node, folder)) folder = CreateParentNode(node);
  if (folder == 0) {
    node->Release();
    return 0;
  }
  node->SetParentNodeID(folder);
  if (m_builder->AddNode(node, SEARCHER_TYPE_RAW) == 0) {
    node->Release();
    return 0;
  }
  return 1;
}

std::string CRAWFileManager::GetExt(IFileNode* node) {
  const char* name = node != nullptr ? node->GetFileName() : nullptr;
  if (name == nullptr) return {};
  const std::string text(name);
  const size_t dot = text.rfind('.');
  if (dot == std::string::npos) return {};
  std::string ext = text.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool CRAWFileManager::bFindParent(IFileNode* node, int& id) const {
  const auto found = m_folders.find(GetExt(node));
  if (found == m_folders.end()) return false;
  id = found->second;
  return true;
}

int CRAWFileManager::CreateParentNode(IFileNode* node) {
  const std::string ext = GetExt(node);
  CRawFileInfo* info = MakeDirNode(ext.c_str());
  auto* folder = new CRAWFileNode();
  const int id = static_cast<int>(g_nID);
  folder->Initilaize(info, 0x10, m_parentID, id);
  delete info;
  if (m_builder == nullptr || m_builder->AddNode(folder, SEARCHER_TYPE_RAW) == 0) {
    folder->Release();
    return 0;
  }
  m_folders[ext] = id;
  ++g_nID;
  return id;
}

CRawFileInfo* CRAWFileManager::MakeDirNode(const char* name) {
  auto* info = new CRawFileInfo();
  info->m_startSector = UINT64_MAX;
  info->m_size = 0;
  info->m_type = RAW_TYPE_NONE;
  info->SetRawFileName(name != nullptr ? name : "");
  return info;
}
