// A plain concrete node for tests of the node model and its users.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "DataRunList.h"
#include "FileNode.h"

class TestNode : public CFileNode {
 public:
  TestNode(std::string name, bool directory, uint64_t size = 0)
      : m_name(std::move(name)), m_directory(directory), m_size(size) {}
  TestNode(const TestNode&) = default;

  const char* GetFileName() override { return m_nullName ? nullptr : m_name.c_str(); }
  uint64_t GetFileSize() override { return m_size; }
  uint32_t GetAttribute() override { return m_directory ? 0x10 : 0x20; }
  uint64_t GetCreationTime() override { return 0; }
  uint64_t GetModificationTime() override { return m_modified; }
  uint64_t GetLastAccessTime() override { return 0; }
  int IsDirectory() override { return m_directory ? 1 : 0; }
  int IsDeleted() override { return m_deleted ? 1 : 0; }
  IFileNode* Clone() override { return new TestNode(*this); }
  void MarkDeleted() override { m_deleted = true; }
  void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
  void UpdateFileSize(int64_t size) override { m_size = static_cast<uint64_t>(size); }

  void SetNullName() { m_nullName = true; }
  void SetName(std::string name) { m_name = std::move(name), m_nullName = false; }
  void SetModified(uint64_t time) { m_modified = time; }

 private:
  std::string m_name;
  bool m_directory;
  uint64_t m_size;
  uint64_t m_modified = 0;
  bool m_deleted = false;
  bool m_nullName = false;
};

// A node that keeps its runs in a form of its own (one run from `start`) and
// makes its list from them on demand, counting how often it is asked to.
class OnDemandNode : public TestNode {
 public:
  OnDemandNode(int64_t start, std::atomic<int>* made) : TestNode("lazy", false, 10), m_start(start), m_made(made) {
    SetDataRunListOnDemand();
  }
  OnDemandNode(const OnDemandNode&) = default;
  IFileNode* Clone() override { return new OnDemandNode(*this); }

 protected:
  IDataRunList* MakeDataRunList() override {
    ++*m_made;
    auto* list = new CDataRunList();
    const DataRun run{m_start, 1};
    list->AddDataRun(&run);
    return list;
  }

 private:
  int64_t m_start;
  std::atomic<int>* m_made;
};
