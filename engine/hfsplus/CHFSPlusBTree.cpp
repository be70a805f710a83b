#include "hfsplus/CHFSPlusBTree.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "DirecotryTreeBuilder.h"
#include "OnDiskBytes.h"
#include "hfsplus/CHFSPlusFileNode.h"
#include "hfsplus/CHFSPlusQuickFileSystemSearchProgress.h"
#include "hfsplus/CHFSPlusRawfile.h"
#include "hfsplus/CHFSPlusVolume.h"
#include "hfsplus/HFSPlusError.h"

using ondisk::Be16;
using ondisk::Be32;

// ---------------------------------------------------------------------------
// Nodes

CHFSPlusBTNode::CHFSPlusBTNode(const uint8_t* bytes, uint16_t nodeSize, uint32_t ownsBytes)
    : m_nodeSize(nodeSize), m_bytes(bytes) {
  if (bytes != nullptr && ownsBytes != 0) {
    m_owned.assign(bytes, bytes + nodeSize);
    m_bytes = m_owned.data();
  }
  if (!IsValidNode(m_bytes, nodeSize)) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  hfsplus::LoadNodeDescriptor(m_bytes, m_descriptor);
  m_valid = true;
}

bool CHFSPlusBTNode::IsValidNode(const uint8_t* bytes, uint16_t size) {
  if (bytes == nullptr || size < 512 || size % 512 != 0) return false;
  BTNodeDescriptor d;
  hfsplus::LoadNodeDescriptor(bytes, d);
  if (d.kind < hfsplus::kLeafNode || d.kind > hfsplus::kMapNode) return false;
  if (d.kind == hfsplus::kLeafNode && d.height != 1) return false;
  if (d.kind == hfsplus::kHeaderNode && d.height != 0) return false;
  if (Be16(bytes + size - 2) != hfsplus::kNodeDescriptorSize) return false;
  // The offset table grows down from the node's end: n + 1 slots must leave
  // room for the descriptor.
  const uint32_t n = d.numRecords;
  if (hfsplus::kNodeDescriptorSize + 2 * (n + 1) > size) return false;
  uint32_t previous = hfsplus::kNodeDescriptorSize;
  for (uint32_t i = 1; i <= n; ++i) {
    const uint32_t slot = size - 2 * (i + 1);
    const uint32_t offset = Be16(bytes + slot);
    if (offset <= previous || offset > slot) return false;
    previous = offset;
  }
  return true;
}

uint16_t CHFSPlusBTNode::GetRecordCount() const { return m_valid ? m_descriptor.numRecords : 0; }

const uint8_t* CHFSPlusBTNode::GetRecord(uint16_t index, uint16_t* length) {
  if (!m_valid) {
    m_lastError = HFSPLUS_ERROR(result::kErrNotInitialized);
    return nullptr;
  }
  if (index >= m_descriptor.numRecords) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
    return nullptr;
  }
  const uint16_t offset = Be16(m_bytes + m_nodeSize - 2 * (index + 1));
  const uint16_t next = Be16(m_bytes + m_nodeSize - 2 * (index + 2));
  if (length != nullptr) *length = static_cast<uint16_t>(next - offset);
  return m_bytes + offset;
}

uint32_t CHFSPlusBTNode::TestNodeBelongToFile() {
  uint32_t guess = 0;
  for (uint16_t i = 0; i < GetRecordCount(); ++i) {
    uint16_t length = 0;
    const uint8_t* rec = GetRecord(i, &length);
    if (rec == nullptr || length < 2) return guess;
    const uint32_t keySpan = uint32_t{Be16(rec)} + 2;
    if (keySpan + 2 > length) return guess;
    const uint32_t d = length - keySpan;
    const uint16_t t = Be16(rec + keySpan);
    if ((t == hfsplus::kFolderThreadRecord || t == hfsplus::kFileThreadRecord) && d >= 10 &&
        d == 10 + 2 * uint32_t{Be16(rec + keySpan + 8)}) {
      return hfsplus::kCatalogFileID;
    }
    if ((d == 88 && t == hfsplus::kFolderRecord) || (d == 248 && t == hfsplus::kFileRecord)) {
      return hfsplus::kCatalogFileID;
    }
    if ((d == 88 && t == hfsplus::kAttrForkData) || (d == 72 && t == hfsplus::kAttrExtents)) {
      guess = hfsplus::kAttributesFileID;
    } else if (d == 64) {
      guess = hfsplus::kExtentsFileID;
    }
  }
  return guess;
}

// ---------------------------------------------------------------------------
// The walker

ResultCode CHFSPlusBTree::Search(const BTKey* key, HFSPlusSearchResult& result, uint8_t** record) {
  result = HFSPlusSearchResult{};
  if (record != nullptr) *record = nullptr;
  if (key == nullptr) return m_lastError = HFSPLUS_ERROR(result::kErrBadArgument);
  const BTHeaderRec* header = m_option->GetHeaderRec();
  uint32_t nodeNumber = m_option->GetRoot();
  if (header == nullptr || nodeNumber == 0) return m_lastError = m_option->GetLastError();
  if (header->treeDepth == 0 || header->treeDepth > kMaxDepth) {
    return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
  }
  int expectedHeight = header->treeDepth;
  // Each step goes one level down, so a cyclic or mislabelled tree ends after
  // at most treeDepth nodes.
  for (int level = 0; level < header->treeDepth; ++level, --expectedHeight) {
    std::unique_ptr<CHFSPlusBTNode> node(m_option->CreateNode(nodeNumber));
    if (!node) return m_lastError = m_option->GetLastError();
    if (node->GetHeight() != expectedHeight) return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    const uint16_t count = node->GetRecordCount();
    if (node->GetKind() == hfsplus::kIndexNode) {
      int chosen = -1;
      for (uint16_t i = 0; i < count; ++i) {
        std::unique_ptr<BTKey> k(m_option->KeyRead(node.get(), i));
        if (!k) return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
        const int c = m_option->Compare(k.get(), key);
        if (c < 0) {
          chosen = i;
          continue;
        }
        if (c == 0) chosen = i;
        break;
      }
      if (chosen < 0) return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
      nodeNumber = m_option->GetChild(node.get(), static_cast<uint16_t>(chosen));
      if (nodeNumber == 0) return m_lastError = m_option->GetLastError();
      continue;
    }
    if (node->GetKind() != hfsplus::kLeafNode) return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    for (uint16_t i = 0; i < count; ++i) {
      std::unique_ptr<BTKey> k(m_option->KeyRead(node.get(), i));
      if (!k) continue;
      const int c = m_option->Compare(k.get(), key);
      if (c < 0) continue;
      result.nodeNumber = nodeNumber;
      result.recordIndex = i;
      if (c == 0) {
        result.found = 1;
        if (record != nullptr) *record = m_option->DataRead(node.get(), i);
      }
      return m_lastError = 0;
    }
    return m_lastError = 0;
  }
  return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
}

ResultCode CHFSPlusBTree::Walk(const std::function<bool(CHFSPlusBTNode*, uint16_t)>& visit,
                               const std::function<bool()>& beforeNode) {
  const BTHeaderRec* header = m_option->GetHeaderRec();
  if (header == nullptr) return m_lastError = m_option->GetLastError();
  if (header->rootNode == 0 || header->treeDepth == 0) return m_lastError = 0;  // an empty tree
  if (header->treeDepth > kMaxDepth || header->rootNode >= header->totalNodes) {
    return m_lastError = HFSPLUS_ERROR(result::kErrBadData);
  }
  std::vector<bool> visited(header->totalNodes, false);
  uint32_t visits = 0;
  m_lastError = 0;
  const ResultCode code = WalkNode(header->rootNode, header->treeDepth, visited, visits, visit, beforeNode);
  if (result::IsFailure(code)) m_lastError = code;
  return m_lastError;
}

ResultCode CHFSPlusBTree::WalkNode(uint32_t nodeNumber, int expectedHeight, std::vector<bool>& visited,
                                   uint32_t& visits, const std::function<bool(CHFSPlusBTNode*, uint16_t)>& visit,
                                   const std::function<bool()>& beforeNode) {
  if (nodeNumber >= visited.size() || visited[nodeNumber] || ++visits > visited.size()) {
    return HFSPLUS_ERROR(result::kErrBadData);
  }
  visited[nodeNumber] = true;
  if (beforeNode && !beforeNode()) return HFSPLUS_ERROR(result::kErrCancelled);
  std::unique_ptr<CHFSPlusBTNode> node(m_option->CreateNode(nodeNumber));
  if (!node) return m_option->GetLastError();
  if (node->GetHeight() != expectedHeight) return HFSPLUS_ERROR(result::kErrBadData);
  const uint16_t count = node->GetRecordCount();
  if (node->GetKind() == hfsplus::kLeafNode) {
    for (uint16_t i = 0; i < count; ++i) {
      if (!visit(node.get(), i)) return HFSPLUS_ERROR(result::kErrCancelled);
    }
    return 0;
  }
  if (node->GetKind() != hfsplus::kIndexNode || expectedHeight <= 1) return HFSPLUS_ERROR(result::kErrBadData);
  ResultCode damage = 0;
  for (uint16_t i = 0; i < count; ++i) {
    const uint32_t child = m_option->GetChild(node.get(), i);
    if (child == 0) break;
    const ResultCode code = WalkNode(child, expectedHeight - 1, visited, visits, visit, beforeNode);
    if (result::IsFailure(code)) {
      // A cancel ends the walk; a damaged subtree only loses its own files.
      if (result::Error(code) == result::kErrCancelled) return code;
      damage = code;
    }
  }
  return damage;
}

ResultCode CHFSPlusBTree::Traverse(IDirecotryTreeBuilder* builder, CHFSPlusQuickFileSystemSearchProgress* progress) {
  if (progress == nullptr) return m_lastError = 0;
  auto perRecord = [&](CHFSPlusBTNode* leaf, uint16_t index) {
    if (!progress->Continued()) return false;
    std::unique_ptr<BTKey> key(m_option->KeyRead(leaf, index));
    std::unique_ptr<uint8_t[]> data(key ? m_option->DataRead(leaf, index) : nullptr);
    if (!key || !data) return true;
    if (builder == nullptr) {
      m_option->KeyPrint(key.get());
      m_option->DataPrint(data.get());
      return true;
    }
    auto* record = reinterpret_cast<HFSPlusCatalogRecord*>(data.get());
    auto* node = new (std::nothrow) CHFSPlusFileNode(m_volume, key.get(), record, 0);
    if (node == nullptr) return true;
    if (node->GetCurrentNodeID() != -1) {
      progress->Advance();
      if (builder->AddNode(node, SEARCHER_TYPE_HFSPLUS) != 0) return true;
    }
    node->Release();
    return true;
  };
  return Walk(perRecord, [progress] { return progress->Continued() != 0; });
}

// ---------------------------------------------------------------------------
// The policy base

CHFSPlusBTreeOptionBase::CHFSPlusBTreeOptionBase(CHFSPlusVolume* volume, CHFSPlusRawfile* fork)
    : m_volume(volume), m_fork(fork), m_tree(volume, this) {
  if (fork == nullptr) {
    // A tree with nothing to read yet (a volume's journal catalog before a
    // journal is replayed into it, a probe that found no volume): no
    // failure worth reporting, only a tree that answers nothing.
    m_lastError = RESULT_FAILURE(result::kModuleHFSPlus, result::kErrBadArgument);
    return;
  }
  uint8_t first[512];
  if (fork->Read(0, first, sizeof(first)) != sizeof(first)) {
    m_lastError = HFSPLUS_ERROR(result::kErrShortRead);
    return;
  }
  BTHeaderRec header;
  hfsplus::LoadHeaderRec(first + hfsplus::kNodeDescriptorSize, header);
  const uint16_t size = header.nodeSize;
  if (size < 512 || size > 32768 || (size & (size - 1)) != 0) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  m_nodeSize = size;
  m_headerNode = CreateNode(0);
  if (m_headerNode == nullptr) return;
  uint16_t length = 0;
  const uint8_t* rec = m_headerNode->GetRecord(0, &length);
  if (m_headerNode->GetKind() != hfsplus::kHeaderNode || rec == nullptr || length < hfsplus::kHeaderRecordSize) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  hfsplus::LoadHeaderRec(rec, m_header);
  if (m_header.nodeSize != m_nodeSize) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return;
  }
  // No more nodes than the tree file and the device hold: walks keep a mark
  // per node.
  uint64_t bytes = fork->GetMappedBytes();
  if (volume != nullptr) bytes = std::min(bytes, volume->GetDeviceBytes());
  m_header.totalNodes = static_cast<uint32_t>(std::min<uint64_t>(m_header.totalNodes, bytes / m_nodeSize));
  m_hasHeader = true;
}

CHFSPlusBTreeOptionBase::~CHFSPlusBTreeOptionBase() { delete m_headerNode; }

uint32_t CHFSPlusBTreeOptionBase::GetRoot() {
  if (!m_hasHeader) {
    m_lastError = HFSPLUS_ERROR(result::kErrNotInitialized);
    return 0;
  }
  return m_header.rootNode;
}

CHFSPlusBTNode* CHFSPlusBTreeOptionBase::CreateNode(uint32_t n) {
  if (m_nodeSize == 0 || (m_hasHeader && n >= m_header.totalNodes)) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return nullptr;
  }
  std::vector<uint8_t> bytes(m_nodeSize);
  if (m_fork->Read(uint64_t{n} * m_nodeSize, bytes.data(), m_nodeSize) != m_nodeSize) {
    m_lastError = HFSPLUS_ERROR(result::kErrShortRead);
    return nullptr;
  }
  auto* node = new (std::nothrow) CHFSPlusBTNode(bytes.data(), m_nodeSize, 1);
  if (node == nullptr) {
    m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
    return nullptr;
  }
  if (!node->IsValid()) {
    m_lastError = node->GetLastError();
    delete node;
    return nullptr;
  }
  return node;
}

uint32_t CHFSPlusBTreeOptionBase::GetChild(CHFSPlusBTNode* node, uint16_t index) {
  if (node == nullptr || node->GetKind() != hfsplus::kIndexNode) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return 0;
  }
  uint16_t length = 0;
  const uint8_t* rec = node->GetRecord(index, &length);
  uint16_t keyLength = 0;
  const uint8_t* data = nullptr;
  uint16_t dataLength = 0;
  if (rec == nullptr || !SplitRecord(rec, length, keyLength, data, dataLength) || dataLength < 4) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return 0;
  }
  return Be32(data);
}

bool CHFSPlusBTreeOptionBase::SplitRecord(const uint8_t* rec, uint16_t length, uint16_t& keyLength,
                                          const uint8_t*& data, uint16_t& dataLength) {
  if (rec == nullptr || length < 2) return false;
  keyLength = Be16(rec);
  const uint32_t keySpan = uint32_t{keyLength} + 2;
  if (keySpan > length) return false;
  data = rec + keySpan;
  dataLength = static_cast<uint16_t>(length - keySpan);
  return true;
}

const uint8_t* CHFSPlusBTreeOptionBase::KeyedRecord(CHFSPlusBTNode* node, uint16_t index, uint16_t minKeyLength,
                                                    uint16_t& keyLength) {
  uint16_t length = 0;
  const uint8_t* rec = node != nullptr ? node->GetRecord(index, &length) : nullptr;
  const uint8_t* data = nullptr;
  uint16_t dataLength = 0;
  if (!SplitRecord(rec, length, keyLength, data, dataLength) || keyLength < minKeyLength) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return nullptr;
  }
  return rec;
}

const uint8_t* CHFSPlusBTreeOptionBase::LeafData(CHFSPlusBTNode* node, uint16_t index, uint16_t minDataLength,
                                                 uint16_t& dataLength) {
  uint16_t length = 0;
  const uint8_t* rec =
      node != nullptr && node->GetKind() == hfsplus::kLeafNode ? node->GetRecord(index, &length) : nullptr;
  uint16_t keyLength = 0;
  const uint8_t* data = nullptr;
  if (!SplitRecord(rec, length, keyLength, data, dataLength) || dataLength < minDataLength) {
    m_lastError = HFSPLUS_ERROR(result::kErrBadData);
    return nullptr;
  }
  return data;
}

BTKey* CHFSPlusBTreeOptionBase::NewKey() {
  auto* key = new (std::nothrow) BTKey{};
  if (key == nullptr) m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
  return key;
}

uint8_t* CHFSPlusBTreeOptionBase::NewRecord(size_t size) {
  auto* record = new (std::nothrow) uint8_t[size]();
  if (record == nullptr) m_lastError = HFSPLUS_ERROR(result::kErrCreateFailed);
  return record;
}
