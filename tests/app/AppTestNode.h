// Found-file trees for tests of the application core: nodes with a name,
// and roots with a volume name and a searcher type, as the scanners make
// them. A NodeTree owns its nodes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FileNode.h"

class AppTestNode : public CFileNode {
 public:
  AppTestNode(std::optional<std::string> name, bool directory) : m_name(std::move(name)), m_directory(directory) {}

  const char* GetFileName() override { return m_name ? m_name->c_str() : nullptr; }
  uint64_t GetFileSize() override { return 0; }
  uint32_t GetAttribute() override { return m_directory ? 0x10 : 0x20; }
  uint64_t GetCreationTime() override { return 0; }
  uint64_t GetModificationTime() override { return 0; }
  uint64_t GetLastAccessTime() override { return 0; }
  int IsDirectory() override { return m_directory ? 1 : 0; }
  int IsDeleted() override { return 1; }
  IFileNode* Clone() override { return nullptr; }
  void MarkDeleted() override {}
  void FilterFileNameByDot() override {}
  void Release() override {}  // the NodeTree owns every node

 private:
  std::optional<std::string> m_name;
  bool m_directory;
};

class AppTestRoot : public AppTestNode {
 public:
  AppTestRoot(std::optional<std::string> volume, _tagSearcherType type)
      : AppTestNode(std::string("root"), true), m_volume(std::move(volume)), m_type(type) {}
  _tagSearcherType GetSearcheType() const override { return m_type; }
  const char* GetVolumeName() const override { return m_volume ? m_volume->c_str() : nullptr; }

 private:
  std::optional<std::string> m_volume;
  _tagSearcherType m_type;
};

class NodeTree {
 public:
  AppTestRoot* Root(std::optional<std::string> volume, _tagSearcherType type) {
    auto node = std::make_unique<AppTestRoot>(std::move(volume), type);
    AppTestRoot* raw = node.get();
    m_nodes.push_back(std::move(node));
    return raw;
  }
  AppTestNode* Folder(IFileNode* parent, std::optional<std::string> name) { return Add(parent, std::move(name), true); }
  AppTestNode* File(IFileNode* parent, std::optional<std::string> name) { return Add(parent, std::move(name), false); }
  // A chain of `depth` folders below `parent`; answers the deepest.
  IFileNode* Chain(IFileNode* parent, int depth) {
    for (int i = 0; i < depth; ++i) parent = Folder(parent, "d");
    return parent;
  }

 private:
  AppTestNode* Add(IFileNode* parent, std::optional<std::string> name, bool directory) {
    auto node = std::make_unique<AppTestNode>(std::move(name), directory);
    AppTestNode* raw = node.get();
    m_nodes.push_back(std::move(node));
    if (parent != nullptr) parent->AddChild(raw);
    return raw;
  }
  // Children are destroyed before their parents would matter: CFileNode's
  // destructor touches no other node.
  std::vector<std::unique_ptr<AppTestNode>> m_nodes;
};
