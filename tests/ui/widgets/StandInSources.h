// Stand-in data sources for the outline and table views: lazy (rows are made
// when the view first asks for them), counting what the view asks, and
// strict about item lifetime: every item is a heap object the source can
// release, and a question about a released item fails the test (and, under
// AddressSanitizer, is a use after free as well).
#pragma once

#include <QString>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "ui/widgets/CustomTableView.h"
#include "ui/widgets/KitOutlineView.h"

namespace standin {

struct Row {
  QString name;
  bool expandable = false;
  // Children the source has made so far, by index; `count` is how many it
  // says there are.
  int count = 0;
  std::map<int, Row*> made;
};

class Tree : public IOutlineViewDataSource {
 public:
  explicit Tree(int topRows) { root_.count = topRows; }
  ~Tree() override {
    for (Row* row : live_) delete row;
  }

  // The row at `index` under `parent` (null: the root), made if need be.
  Row* at(Row* parent, int index) {
    Row* owner = parent != nullptr ? parent : &root_;
    Row*& slot = owner->made[index];
    if (slot == nullptr) {
      slot = new Row;
      slot->name = (parent != nullptr ? parent->name + QStringLiteral("/") : QString()) + QString::number(index);
      live_.insert(slot);
    }
    return slot;
  }
  Row* root() { return &root_; }
  // Gives the row children and lets it expand.
  Row* folder(Row* parent, int index, int children) {
    Row* row = at(parent, index);
    row->expandable = true;
    row->count = children;
    return row;
  }
  // Replaces the row at `index` with a new object of the same name (a rebuilt
  // row); the old one is released by releaseReplaced(), after the reload.
  Row* replace(Row* parent, int index) {
    Row* owner = parent != nullptr ? parent : &root_;
    Row* old = at(parent, index);
    auto* fresh = new Row(*old);
    fresh->made.clear();
    live_.insert(fresh);
    owner->made[index] = fresh;
    replaced_.push_back(old);
    return fresh;
  }
  // Removes the row at `index`: the rows after it move up by one.
  void remove(Row* parent, int index) {
    Row* owner = parent != nullptr ? parent : &root_;
    std::map<int, Row*> moved;
    for (auto [i, row] : owner->made) {
      if (i < index) moved[i] = row;
      if (i > index) moved[i - 1] = row;
      if (i == index) replaced_.push_back(row);
    }
    owner->made = moved;
    --owner->count;
  }
  // Inserts a new row at `index`: the rows from there move down by one.
  Row* insert(Row* parent, int index) {
    Row* owner = parent != nullptr ? parent : &root_;
    std::map<int, Row*> moved;
    for (auto [i, row] : owner->made) moved[i < index ? i : i + 1] = row;
    owner->made = moved;
    ++owner->count;
    Row* row = at(parent, index);
    row->name += QStringLiteral("+");
    return row;
  }
  void releaseReplaced() {
    for (Row* row : replaced_) release(row);
    replaced_.clear();
  }

  int numberOfChildrenOfItem(KitOutlineView*, void* item) override {
    ++countAsks;
    return row(item)->count;
  }
  void* childOfItem(KitOutlineView*, int index, void* item) override {
    Row* parent = item != nullptr ? row(item) : nullptr;
    if (parent == nullptr) asked.insert(index);
    if (index < 0 || index >= (parent != nullptr ? parent->count : root_.count)) return nullptr;
    return at(parent, index);
  }
  bool isItemExpandable(KitOutlineView*, void* item) override { return row(item)->expandable; }
  QVariant objectValueForTableColumn(KitOutlineView*, KitTableColumn*, void* item) override {
    ++valueAsks;
    return row(item)->name;
  }

  // Top-level rows the view asked for, and other questions.
  std::set<int> asked;
  int countAsks = 0;
  int valueAsks = 0;
  int deadAsks = 0;

 private:
  Row* row(void* item) {
    if (item == nullptr) return &root_;
    auto* row = static_cast<Row*>(item);
    if (live_.count(row) == 0) {
      ++deadAsks;
      ADD_FAILURE() << "the view asked about a released item";
    }
    return row;
  }
  void release(Row* row) {
    for (auto [i, child] : row->made) release(child);
    live_.erase(row);
    delete row;
  }

  Row root_;
  std::set<Row*> live_;
  std::vector<Row*> replaced_;
};

// A list of `rows` rows named by number; remembers which rows it was asked.
class List : public ITableViewDataSource {
 public:
  explicit List(int rows) : rows(rows) {}
  int numberOfRowsInTableView(CustomTableView*) override { return rows; }
  QVariant objectValueForTableColumn(CustomTableView*, KitTableColumn* column, int row) override {
    asked.insert(row);
    if (row < 0 || row >= rows) {
      ADD_FAILURE() << "asked for row " << row << " of " << rows;
      return {};
    }
    return column->identifier() + QString::number(row);
  }
  int rows;
  std::set<int> asked;
};

}  // namespace standin
