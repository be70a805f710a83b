// Where the tree builder hands finished nodes: implemented by the
// application's scan operation and called on the scan's worker thread.
#pragma once

class IFileNode;
class IFilesystemNode;

// The order of the virtual operations is part of the interface.
class IDrirectoryTree {
 public:
  virtual ~IDrirectoryTree() = default;
  // A batch of linked nodes; `lostNodes` is 1 for nodes placed under a tree's
  // lost-file folder. The receiver keeps the pointers; the nodes stay owned
  // by the tree builder (see FileNode.h for the threading rule). The engine
  // ignores the answer.
  virtual int ShowNodes(IFileNode** nodes, unsigned count, int lostNodes) = 0;
  // The root of one searcher's tree, once, before that tree's first batch.
  // The engine ignores the answer.
  virtual int ShowFilesystemNode(IFilesystemNode* root) = 0;
};
