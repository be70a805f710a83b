// A fixture that feeds a tree builder on a test clock, over the doubles of
// TreeDoubles.h.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

#include "TreeDoubles.h"
#include "tree/CDirectoryTreeBuilder.h"

namespace treetest {

// Feeds a builder on a test clock, without the pause; Add releases refused
// nodes as a searcher would. Every node must be gone when the builder goes.
class BuilderFixture : public ::testing::Test {
 protected:
  BuilderFixture() { Reset(); }
  ~BuilderFixture() override {
    if (builder != nullptr) builder->Release();
    EXPECT_EQ(ledger.Live(), 0) << "nodes left alive after the builder went";
  }
  // Releases the builder and makes a new one, with the restorer registered now.
  void Reset(bool restoring = false) {
    if (builder != nullptr) builder->Release();
    EXPECT_EQ(ledger.Live(), 0) << "nodes left alive after the builder went";
    builder = new CDirectoryTreeBuilder(restoring);
    builder->SetClock([this] { return now; });
    builder->SetPause([this] { ++pauses; });
    sink = {};
  }
  void Init(const char* description = "Disk1") { ASSERT_EQ(builder->Initialize(description, &sink, &filter), 1); }

  LedgerNode* Node(int64_t id, int64_t parentID, std::string name, bool folder, uint64_t size = 1) {
    return new LedgerNode(&ledger, id, parentID, std::move(name), folder, size);
  }
  LedgerNode* Folder(int64_t id, int64_t parentID, std::string name) { return Node(id, parentID, name, true, 0); }
  LedgerNode* File(int64_t id, int64_t parentID, std::string name) { return Node(id, parentID, name, false); }
  int Add(IFileNode* node, _tagSearcherType type = SEARCHER_TYPE_NTFS) {
    const int answer = builder->AddNode(node, type);
    if (answer == 0) {
      EXPECT_TRUE(ledger.IsLive(node) && node->GetParent() == nullptr && node->GetFirstChild() == nullptr)
          << "a refused node stays untouched with its caller";
      if (ledger.IsLive(node)) node->Release();
    }
    return answer;
  }

  // Feeds nodes written "kind id parent name", "|" between them: kind d
  // folder, f file, e empty file, upper case deleted, a digit after it the
  // partition; the name "<null>" stands for none. "+" moves the clock a
  // minute on; "R id" opens the tree again with that root ID.
  void Feed(const char* nodes, _tagSearcherType type = SEARCHER_TYPE_NTFS) {
    std::istringstream all(nodes);
    for (std::string token, kind, name; std::getline(all, token, '|');) {
      std::istringstream in(token);
      int64_t id = 0, parent = 0;
      in >> kind >> id >> parent;
      in.get();
      std::getline(in, name);
      if (kind == "+") {
        now += 60;
      } else if (kind == "R") {
        builder->AddSearcherInfo(type, id);
      } else {
        LedgerNode* node = Node(id, parent, name, std::tolower(kind[0]) == 'd', std::tolower(kind[0]) == 'e' ? 0 : 1);
        if (std::isupper(kind[0])) node->MarkDeleted();
        if (name == "<null>") node->SetNullName();
        if (kind.size() > 1) node->SetBelongedPartition(static_cast<uint16_t>(kind[1] - '0'));
        Add(node, type);
      }
    }
  }

  CDirectoryTreeBuilder::TreeCounters Counters(_tagSearcherType type = SEARCHER_TYPE_NTFS) {
    CDirectoryTreeBuilder::TreeCounters counters;
    EXPECT_TRUE(builder->GetTreeCounters(type, &counters));
    return counters;
  }
  Lines TreeOf(_tagSearcherType type = SEARCHER_TYPE_NTFS) { return TreeLines<Lines>(builder->GetRoot(type)); }
  void ExpectNoSinkProblems() {
    for (const auto& problem : sink.problems) ADD_FAILURE() << problem;
  }

  NodeLedger ledger;
  RecordingTree sink;
  FakeFilter filter;
  int64_t now = 1000;
  int pauses = 0;
  CDirectoryTreeBuilder* builder = nullptr;
};

}  // namespace treetest
