// Found-file trees for tests of the application core: nodes with a name,
// and roots with a volume name and a searcher type, as the scanners make
// them. A NodeTree owns its nodes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/node/TestNode.h"

class AppTestNode : public TestNode {
 public:
  AppTestNode(const std::optional<std::string>& name, bool directory) : TestNode(name.value_or(""), directory) {
    if (!name) SetNullName();
  }
  void Release() override {}  // the NodeTree owns every node
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
