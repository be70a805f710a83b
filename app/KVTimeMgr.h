// The result views by date: below the view's root row a row per year, below
// each a row per month, below each month the files of that month. Rows are
// added incrementally from the scan's per-month lists.
//
// Main thread only; it reads copies of the scan's indexes.
#pragma once

#include <ctime>
#include <map>
#include <tuple>

#include "app/KVNode.h"

class IFileNode;
class KVUIScan;

class KVTimeMgr {
 public:
  static KVTimeMgr& share();

  // Adds below `root` the files of the scan's current view (the process's
  // scan when null) that arrived since the last call.
  void refreshTimeTree(OpNodeData* root, KVUIScan* scan = nullptr);
  // Places one file by its time of the given view (2 creation, 3
  // modification); other views place nothing.
  void AddFileNode(IFileNode* node, OpNodeData* root, int view);
  OpNodeData* insertYear(int year, OpNodeData* root, int view);
  OpNodeData* insertMonth(int month, int year, OpNodeData* yearRow, int view);
  // The index of the first row whose year or month number is greater than
  // `number`; -1 when there is none.
  static int GetDateInsertIndex(int number, OpNodeData* parent);
  // Noon on the 1st of that month, local time: a row's time stays in its
  // month whatever the day it is made.
  static time_t MonthTime(int year, int month);

  size_t getIndex(int year, int month, int view) const;
  void setIndex(int year, int month, size_t index, int view);
  void initMap();
  void clear();
  // Forgets the rows and positions of one view: its tree starts again from
  // a new root, and the rows of the old one may be gone already.
  void clearView(int view);
  void setSearch(bool) { clear(); }

 private:
  std::map<std::tuple<int, int, int>, size_t> m_positions;               // (view, year, month) -> next position
  std::map<std::pair<int, int>, OpNodeData*> m_yearRows;                 // (view, year)
  std::map<std::tuple<int, OpNodeData*, int>, OpNodeData*> m_monthRows;  // (view, year row, month)
};
