// Carved files as nodes of the RAW tree: generated names (FILE000.JPG, or a
// prefix from the content: Holiday004.JPG), one folder per lower-case
// extension under the tree's root (node ID 1), one manager per category.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FileNode.h"
#include "FileProperties.h"
#include "FileTypeManager.h"
#include "raw/RawFileInfo.h"

class IDirecotryTreeBuilder;

// Per-type name counters (2000, indexed by RAW_FILE_TYPE) and the folder-ID
// counter; both restart with every search.
std::vector<uint32_t>& RawNameCounters();
void ResetRawNameCounters();

class CRAWFileProperties : public IFileProperties {
 public:
  static CRAWFileProperties* Create() { return new CRAWFileProperties(); }
  static void Destory(CRAWFileProperties* p) { delete p; }

  int GetFileNameLength() override { return 0; }
  void SetFileName(const char*) override {}
  const char* GetFileName() override { return nullptr; }
  uint64_t GetFileSize() override { return m_size; }
  uint32_t GetAttribute() override { return m_attribute; }
  std::string GetRawFileCreateTime() override { return m_timeText; }
  uint64_t GetCreationTime() override { return 0; }
  uint64_t GetModificationTime() override { return 0; }
  uint64_t GetLastAccessTime() override { return 0; }
  uint16_t GetState() override { return m_state; }
  void SetState(uint16_t state) override { m_state = static_cast<uint8_t>(state); }
  // The node's list (not owned by the properties).
  IDataRunList* GetDataRunList() override { return m_runs; }
  // A copy without runs; the caller owns it.
  IFileProperties* Clone() override;
  uint8_t GetCheckState() const { return m_checkState; }
  void SetCheckState(uint8_t state) { m_checkState = state; }
  uint32_t GetMaskFlag() const { return 0x1CF; }
  uint8_t GetMatchState() const { return m_matchState; }
  int SetMatchState(int state) {
    m_matchState = static_cast<uint8_t>(state);
    return 1;
  }
  int GetFilePropertyiesType() const { return 3; }

  // Size and time text from the record, and one run from its start sector
  // of the sectors of `unitBytes` (the carver's, as its found-partition
  // record says) that hold the size; the list goes to the node.
  int InitRawFileProperties(const CRawFileInfo& info, uint32_t unitBytes = 512);
  void SetAttribute(uint16_t attribute) { m_attribute = attribute; }
  IDataRunList* TakeRuns() {
    IDataRunList* runs = m_runs;
    return runs;
  }

 private:
  uint64_t m_size = 0;
  uint16_t m_attribute = 0x20;
  uint8_t m_checkState = 0, m_matchState = 0, m_state = 0;
  std::string m_timeText;
  IDataRunList* m_runs = nullptr;
};

class CRAWFileNode : public CFileNode {
 public:
  CRAWFileNode() = default;
  ~CRAWFileNode() override;

  // 0 for a null record; otherwise builds properties, name and IDs; runs
  // count sectors of `unitBytes`.
  int Initilaize(const CRawFileInfo* info, uint32_t attribute, int64_t parentID, int64_t nodeID,
                 uint32_t unitBytes = 512);
  // Writes the generated name into `out` (1024 bytes) and advances the
  // type's counter.
  static void BuildFileName(char* out, uint16_t type, const char* prefix);

  const char* GetFileName() override { return m_name.c_str(); }
  uint64_t GetFileSize() override { return m_properties != nullptr ? m_properties->GetFileSize() : 0; }
  uint32_t GetAttribute() override { return m_properties != nullptr ? m_properties->GetAttribute() : 0x10; }
  uint64_t GetCreationTime() override { return 0; }
  uint64_t GetModificationTime() override { return 0; }
  uint64_t GetLastAccessTime() override { return 0; }
  int IsDirectory() override { return m_properties == nullptr || (m_properties->GetAttribute() & 0x10) != 0; }
  int IsDeleted() override { return 0; }
  // A real copy: releasing it never touches this node.
  IFileNode* Clone() override;
  void MarkDeleted() override {}
  void FilterFileNameByDot() override {}
  CRAWFileProperties* GetProperties() const { return m_properties; }

 private:
  CRAWFileNode(const CRAWFileNode& other);
  CRAWFileProperties* m_properties = nullptr;
  std::string m_name;
};

class CRAWFileManager {
 public:
  static uint32_t g_nID;  // next folder ID

  // `unitBytes`: the carver's sector, in which records count their start.
  CRAWFileManager(FILE_TYPE_ID category, IDirecotryTreeBuilder* builder, uint32_t unitBytes = 512)
      : m_category(category), m_builder(builder), m_unitBytes(unitBytes) {}

  // 0 for null; otherwise AddNode with the next file ID.
  int AddRawFileInfo(const CRawFileInfo* info);
  int AddNode(const CRawFileInfo* info, uint32_t attribute, int parent, int id);
  static std::string GetExt(IFileNode* node);
  bool bFindParent(IFileNode* node, int& id) const;
  int CreateParentNode(IFileNode* node);
  static CRawFileInfo* MakeDirNode(const char* name);

 private:
  uint32_t m_nextFileID = 10000;
  uint32_t m_parentID = 1;
  FILE_TYPE_ID m_category;
  IDirecotryTreeBuilder* m_builder;
  uint32_t m_unitBytes;
  std::map<std::string, int> m_folders;
};
