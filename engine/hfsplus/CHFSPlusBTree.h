// B-tree nodes, the per-tree policies and the walker shared by the catalog,
// extents-overflow and attributes trees of an HFS+ volume.
//
// Nodes come from hostile media: a node is checked before any record of it is
// used, record and key lengths are bounded by the node, and walks are bounded
// by the tree depth of the header record, by child heights that fall one level
// at a time, and by visiting each node at most once.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "ResultCode.h"
#include "hfsplus/HFSPlusFormat.h"

class CHFSPlusVolume;
class CHFSPlusRawfile;
class IDirecotryTreeBuilder;
class CHFSPlusQuickFileSystemSearchProgress;

struct HFSPlusSearchResult {
  uint32_t nodeNumber = 0;
  uint16_t recordIndex = 0;
  uint8_t found = 0;  // 1 exact match
};

class CHFSPlusBTNode {
 public:
  // Nodes read from a tree own a copy of their bytes; nodes made over a
  // caller's buffer (ownsBytes 0) read it in place and must not outlive it.
  CHFSPlusBTNode(const uint8_t* bytes, uint16_t nodeSize, uint32_t ownsBytes);
  CHFSPlusBTNode(const CHFSPlusBTNode&) = delete;
  CHFSPlusBTNode& operator=(const CHFSPlusBTNode&) = delete;

  static bool IsValidNode(const uint8_t* bytes, uint16_t nodeSize);

  ResultCode GetLastError() const { return m_lastError; }
  bool IsValid() const { return m_valid; }
  const BTNodeDescriptor& GetDescriptor() const { return m_descriptor; }
  int8_t GetKind() const { return m_descriptor.kind; }
  uint8_t GetHeight() const { return m_descriptor.height; }
  uint16_t GetNodeSize() const { return m_nodeSize; }
  const uint8_t* GetBytes() const { return m_bytes; }
  uint16_t GetRecordCount() const;
  // A pointer into the node and the record's length, or null (error 2 for an
  // invalid node, 5 for an index out of range).
  const uint8_t* GetRecord(uint16_t index, uint16_t* length);
  // For a node found in raw sectors: 4 catalog, 8 attributes, 3 extents, 0
  // unknown, guessed from the shapes of its records.
  uint32_t TestNodeBelongToFile();

 private:
  uint16_t m_nodeSize;
  ResultCode m_lastError = 0;
  std::vector<uint8_t> m_owned;
  const uint8_t* m_bytes;
  bool m_valid = false;
  BTNodeDescriptor m_descriptor{};
};

// The policy of one tree: its key order and how its keys and records are
// read. Keys and records are new host-order copies that the caller frees
// (delete for keys, delete[] for records).
class IHFSPlusBTreeOption {
 public:
  virtual int Compare(const BTKey* a, const BTKey* b) = 0;
  virtual BTKey* KeyRead(CHFSPlusBTNode* node, uint16_t index) = 0;
  virtual void KeyPrint(const BTKey* key) = 0;
  virtual uint8_t* DataRead(CHFSPlusBTNode* node, uint16_t index) = 0;
  virtual void DataPrint(const uint8_t* record) = 0;
  // The child node number of an index record; 0 for none (error 6).
  virtual uint32_t GetChild(CHFSPlusBTNode* node, uint16_t index) = 0;
  virtual uint32_t GetRoot() = 0;
  // Node `n` of the tree, read and validated, or null.
  virtual CHFSPlusBTNode* CreateNode(uint32_t n) = 0;
  virtual ResultCode GetLastError() = 0;
  virtual const BTHeaderRec* GetHeaderRec() = 0;

 protected:
  ~IHFSPlusBTreeOption() = default;
};

class CHFSPlusBTree {
 public:
  // The deepest tree walked; deeper header records are bad data.
  static constexpr uint16_t kMaxDepth = 16;

  CHFSPlusBTree(CHFSPlusVolume* volume, IHFSPlusBTreeOption* option) : m_volume(volume), m_option(option) {}

  // Looks `key` up. An exact hit sets found 1 and, with `record` non-null,
  // hands out a copy of the record (delete[]).
  ResultCode Search(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record);
  // Depth-first over the leaf records in key order; `visit` answering false
  // ends the walk with error 0xd. Damaged children are skipped (error 6 is
  // kept as the answer when nothing else failed).
  ResultCode Walk(const std::function<bool(CHFSPlusBTNode* leaf, uint16_t index)>& visit,
                  const std::function<bool()>& beforeNode = {});
  // The catalog walk that hands every file and folder to `builder` (Part of
  // the quick scan); without a builder the records are printed.
  ResultCode Traverse(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress);
  ResultCode GetLastError() const { return m_lastError; }

 private:
  ResultCode WalkNode(uint32_t nodeNumber, int expectedHeight, std::vector<bool>& visited, uint32_t& visits,
                      const std::function<bool(CHFSPlusBTNode*, uint16_t)>& visit,
                      const std::function<bool()>& beforeNode);

  CHFSPlusVolume* m_volume;
  IHFSPlusBTreeOption* m_option;
  ResultCode m_lastError = 0;
};

// What every tree shares: the header node and record, node reads through the
// tree's fork reader, child pointers and the walker.
class CHFSPlusBTreeOptionBase : public IHFSPlusBTreeOption {
 public:
  CHFSPlusBTreeOptionBase(CHFSPlusVolume* volume, CHFSPlusRawfile* fork);
  virtual ~CHFSPlusBTreeOptionBase();

  uint32_t GetChild(CHFSPlusBTNode* node, uint16_t index) override;
  uint32_t GetRoot() override;
  CHFSPlusBTNode* CreateNode(uint32_t n) override;
  ResultCode GetLastError() override { return m_lastError; }
  const BTHeaderRec* GetHeaderRec() override { return m_hasHeader ? &m_header : nullptr; }

  ResultCode Search(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
    return m_tree.Search(key, result, record);
  }
  ResultCode Traverse(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress) {
    return m_tree.Traverse(builder, progress);
  }
  CHFSPlusBTree& GetTree() { return m_tree; }
  static uint16_t GetRealKeyLength(const BTKey* key) { return static_cast<uint16_t>(key->keyLength + 2); }

 protected:
  // The record's key length and data span, checked against the record: false
  // when the key does not fit (the record is skipped).
  static bool SplitRecord(const uint8_t* rec, uint16_t length, uint16_t& keyLength, const uint8_t*& data,
                          uint16_t& dataLength);
  // Record `index` when a key of at least minKeyLength fits in it; null
  // with error 6 otherwise.
  const uint8_t* KeyedRecord(CHFSPlusBTNode* node, uint16_t index, uint16_t minKeyLength, uint16_t& keyLength);
  // The data of leaf record `index`, at least minDataLength bytes; null
  // with error 6 otherwise.
  const uint8_t* LeafData(CHFSPlusBTNode* node, uint16_t index, uint16_t minDataLength, uint16_t& dataLength);
  // A new zeroed key or record; null with error 4.
  BTKey* NewKey();
  uint8_t* NewRecord(size_t size);

  CHFSPlusVolume* m_volume;
  CHFSPlusRawfile* m_fork;
  ResultCode m_lastError = 0;
  uint16_t m_nodeSize = 0;
  CHFSPlusBTNode* m_headerNode = nullptr;
  BTHeaderRec m_header{};
  bool m_hasHeader = false;
  CHFSPlusBTree m_tree;
};

class CHFSPlusCatalog final : public CHFSPlusBTreeOptionBase {
 public:
  CHFSPlusCatalog(CHFSPlusVolume* volume, CHFSPlusRawfile* fork);
  ~CHFSPlusCatalog() override = default;

  // Parent ID, then the name in the order of `keyCompareType` (0xCF case
  // folding, anything else binary); ':' counts as '/'.
  static int Compare(const BTKey* a, const BTKey* b, uint8_t keyCompareType);
  int Compare(const BTKey* a, const BTKey* b) override;
  BTKey* KeyRead(CHFSPlusBTNode* node, uint16_t index) override;
  void KeyPrint(const BTKey* key) override;
  // Folder (88 bytes), file (248) or thread (520) record as HFSPlusCatalogRecord.
  uint8_t* DataRead(CHFSPlusBTNode* node, uint16_t index) override;
  void DataPrint(const uint8_t* record) override;
  static uint8_t* CloneRecord(const uint8_t* record);
  static size_t RecordSize(int16_t recordType);
};

class CHFSPlusExtents final : public CHFSPlusBTreeOptionBase {
 public:
  CHFSPlusExtents(CHFSPlusVolume* volume, CHFSPlusRawfile* fork);
  ~CHFSPlusExtents() override = default;

  static int CompareKey(const BTKey* a, const BTKey* b);
  int Compare(const BTKey* a, const BTKey* b) override { return CompareKey(a, b); }
  BTKey* KeyRead(CHFSPlusBTNode* node, uint16_t index) override;
  void KeyPrint(const BTKey* key) override;
  // Eight extent descriptors (HFSPlusExtentRecord).
  uint8_t* DataRead(CHFSPlusBTNode* node, uint16_t index) override;
  void DataPrint(const uint8_t* record) override;
  static uint8_t* CloneRecord(const uint8_t* record);
};

class CHFSPlusAttribute final : public CHFSPlusBTreeOptionBase {
 public:
  CHFSPlusAttribute(CHFSPlusVolume* volume, CHFSPlusRawfile* fork);
  ~CHFSPlusAttribute() override = default;

  static int CompareKey(const BTKey* a, const BTKey* b);
  int Compare(const BTKey* a, const BTKey* b) override { return CompareKey(a, b); }
  BTKey* KeyRead(CHFSPlusBTNode* node, uint16_t index) override;
  void KeyPrint(const BTKey* key) override;
  // Inline data (16-byte head + data), fork data (88) or extents (72); null
  // for other types and for inline sizes that leave the record.
  uint8_t* DataRead(CHFSPlusBTNode* node, uint16_t index) override;
  void DataPrint(const uint8_t* record) override;
  static uint8_t* CloneRecord(const uint8_t* record);
  static size_t RecordSize(const uint8_t* record);
};

// The published HFS+ name order: case-folded UTF-16 with ignorable code
// points skipped; ':' counts as '/'. <0, 0 or >0.
int FastUnicodeCompare(const uint16_t* a, uint32_t lengthA, const uint16_t* b, uint32_t lengthB);
// The case-folding table's value for one unit (0 for an ignorable one).
uint16_t HFSPlusFoldCase(uint16_t unit);
