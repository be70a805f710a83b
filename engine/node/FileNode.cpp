#include "FileNode.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "DataRunList.h"

namespace {

// Unchecked, shown, no partition, no metadata sector.
constexpr uint64_t kNewNodePacked = 0xFFFFFFFFFFFFFF10ULL;
constexpr uint64_t kStatusMask = 0xFULL;
constexpr uint64_t kShownMask = 0xF0ULL;
constexpr uint64_t kPartitionMask = 0xFFFF00ULL;
constexpr uint64_t kLow24Mask = 0xFFFFFFULL;

int SignExtend4(uint64_t nibble) {
  const int v = static_cast<int>(nibble & 0xF);
  return (v & 8) != 0 ? v - 16 : v;
}

// The status a node with shown children takes from them.
int StatusFromChildren(uint32_t weight, uint32_t count) {
  if (weight == 0) return CHECKED_STATUS_UNCHECKED;
  if (static_cast<uint64_t>(weight) == 2ULL * count) return CHECKED_STATUS_CHECKED;
  return CHECKED_STATUS_PARTLY;
}

uint32_t AddClamped(uint32_t value, int64_t delta) {
  const int64_t sum = static_cast<int64_t>(value) + delta;
  if (sum < 0) return 0;
  if (sum > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(sum);
}

}  // namespace

// Every found file is one of these and what its scanner adds.
static_assert(sizeof(CFileNode) <= 88, "the node grew");

CFileNode::CFileNode() : m_packed(kNewNodePacked) {}

std::recursive_mutex& NodeTreeLock() {
  static std::recursive_mutex lock;
  return lock;
}

CFileNode::CFileNode(const CFileNode& other)
    : IFilesystemNode(),
      m_nodeID(other.m_nodeID),
      m_parentNodeID(other.m_parentNodeID),
      m_packed(other.m_packed.load(std::memory_order_relaxed)),
      m_compressed(other.m_compressed),
      m_storedSize(other.m_storedSize) {
  // A copy has no children, so it cannot be partly checked.
  if (StatusBits() == CHECKED_STATUS_PARTLY) SetStatusBits(CHECKED_STATUS_UNCHECKED);
  IDataRunList* list = other.m_dataRunList.load(std::memory_order_acquire);
  if (list == OnDemand()) {
    m_dataRunList.store(OnDemand(), std::memory_order_relaxed);
  } else if (list != nullptr) {
    m_dataRunList.store(list->Clone(), std::memory_order_relaxed);
  }
}

CFileNode::~CFileNode() {
  m_firstChild = nullptr;
  m_nextSibling = nullptr;
  m_parent = nullptr;
  if (IDataRunList* list = OwnedList()) list->Release();
  m_dataRunList.store(nullptr, std::memory_order_relaxed);
}

int CFileNode::StatusBits() const { return SignExtend4(m_packed.load(std::memory_order_relaxed)); }

void CFileNode::SetStatusBits(int status) {
  const uint64_t packed = m_packed.load(std::memory_order_relaxed);
  m_packed.store((packed & ~kStatusMask) | (static_cast<uint64_t>(status) & kStatusMask), std::memory_order_relaxed);
}

int CFileNode::ShownBits() const { return SignExtend4(m_packed.load(std::memory_order_relaxed) >> 4); }

void CFileNode::SetShownBits(int shown) {
  const uint64_t packed = m_packed.load(std::memory_order_relaxed);
  m_packed.store((packed & ~kShownMask) | ((static_cast<uint64_t>(shown) & 0xF) << 4), std::memory_order_relaxed);
}

int CFileNode::IsNodeShow() const { return Shown() ? 1 : 0; }

void CFileNode::ShowNode(int show) {
  const bool wasShown = Shown();
  const bool nowShown = (show & 0xF) != 0;
  const int oldContribution = Contribution();
  SetShownBits(nowShown ? 1 : 0);
  if (m_parent != nullptr && wasShown != nowShown) {
    m_parent->ChildChanged(nowShown ? 1 : -1, Contribution() - oldContribution);
  }
}

void CFileNode::ChildChanged(int countDelta, int weightDelta) {
  // Iterative, so that a deep chain of folders from a corrupt volume cannot
  // exhaust the stack.
  CFileNode* node = this;
  while (node != nullptr && (countDelta != 0 || weightDelta != 0)) {
    const bool wasShown = node->Shown();
    const int oldContribution = node->Contribution();
    node->m_shownChildren = AddClamped(node->m_shownChildren, countDelta);
    node->m_checkedWeight = AddClamped(node->m_checkedWeight, weightDelta);
    if (countDelta != 0) node->SetShownBits(node->m_shownChildren != 0 ? 1 : 0);
    node->SetStatusBits(StatusFromChildren(node->m_checkedWeight, node->m_shownChildren));
    countDelta = static_cast<int>(node->Shown()) - static_cast<int>(wasShown);
    weightDelta = node->Contribution() - oldContribution;
    node = node->m_parent;
  }
}

int64_t CFileNode::GetCurrentNodeID() const { return m_nodeID; }
int64_t CFileNode::GetParentNodeID() const { return m_parentNodeID; }
IFileNode* CFileNode::GetParent() const { return m_parent; }
IFileNode* CFileNode::GetFirstChild() { return m_firstChild; }
IFileNode* CFileNode::GetNextNode() { return m_nextSibling; }

_tagCheckedStatus CFileNode::GetCheckedStatus() { return static_cast<_tagCheckedStatus>(StatusBits()); }

void CFileNode::SetCheck(_tagCheckedStatus status) {
  // Partly checked only ever comes from the children; the user interface may
  // still pass it through, and must not bring the process down for it.
  if (status != CHECKED_STATUS_UNCHECKED && status != CHECKED_STATUS_CHECKED) return;
  if (!Shown()) return;
  const int oldContribution = Contribution();
  SetStatusBits(status);
  m_checkedWeight = m_shownChildren * static_cast<uint32_t>(status);
  SetDescendantsStatus(status);
  if (m_parent != nullptr) m_parent->ChildChanged(0, Contribution() - oldContribution);
}

void CFileNode::SetDescendantsStatus(int status) {
  // Every shown node below gets the status, so each one's weight is its
  // shown-children count times the status. Hidden nodes keep theirs, and so
  // does everything below them.
  std::vector<CFileNode*> chains;
  if (m_firstChild != nullptr) chains.push_back(m_firstChild);
  while (!chains.empty()) {
    CFileNode* chain = chains.back();
    chains.pop_back();
    for (CFileNode* node = chain; node != nullptr; node = node->m_nextSibling) {
      if (!node->Shown()) continue;
      node->SetStatusBits(status);
      node->m_checkedWeight = node->m_shownChildren * static_cast<uint32_t>(status);
      if (node->m_firstChild != nullptr) chains.push_back(node->m_firstChild);
    }
  }
}

_tagSearcherType CFileNode::GetSearcheType() const { return SEARCHER_TYPE_NONE; }

const char* CFileNode::GetVolumeName() const { return nullptr; }

int CFileNode::AddChild(IFileNode* child) {
  auto* node = dynamic_cast<CFileNode*>(child);
  if (node == nullptr || node == this) return 0;
  // A node that is already linked somewhere would lose its old siblings.
  if (node->m_parent != nullptr || node->m_nextSibling != nullptr) return 0;
  for (const CFileNode* up = m_parent; up != nullptr; up = up->m_parent) {
    if (up == node) return 0;
  }
  node->m_parent = this;
  node->m_nextSibling = m_firstChild;
  m_firstChild = node;
  if (node->Shown()) ChildChanged(1, node->StatusBits());
  return 1;
}

int CFileNode::AddNext(IFileNode* next) {
  auto* node = dynamic_cast<CFileNode*>(next);
  if (node == nullptr) return 0;
  // Siblings under a parent are counted by it; a node spliced in without
  // the parent knowing would break its counts.
  if (m_parent != nullptr || node->m_parent != nullptr) return 0;
  std::unordered_set<const CFileNode*> mine;
  for (const CFileNode* p = this; p != nullptr; p = p->m_nextSibling) mine.insert(p);
  for (const CFileNode* p = node; p != nullptr; p = p->m_nextSibling) {
    if (mine.count(p) != 0) return 0;
  }
  // Behind this node comes `node`; this node's old follower is spliced in
  // behind `node` the same way, and so on down both chains.
  std::vector<std::pair<CFileNode*, CFileNode*>> links;
  CFileNode* at = this;
  CFileNode* insert = node;
  while (at->m_nextSibling != nullptr) {
    links.emplace_back(at, insert);
    CFileNode* follower = at->m_nextSibling;
    at = insert;
    insert = follower;
  }
  at->m_nextSibling = insert;
  for (auto it = links.rbegin(); it != links.rend(); ++it) it->first->m_nextSibling = it->second;
  return 1;
}

void CFileNode::Release() { delete this; }

IFileReader* CFileNode::CreateCompressFileReader(void* /*privateData*/) { return nullptr; }

int CFileNode::IsCompressed() const { return static_cast<int>(m_compressed); }

uint64_t CFileNode::GetStoredSize() {
  const uint64_t stored = m_storedSize & kStoredNotSaid;
  return std::min(stored == kStoredNotSaid ? UINT64_MAX : stored, GetFileSize());
}

void CFileNode::SetStoredSize(uint64_t bytes) {
  m_storedSize = (m_storedSize & kMarks) | std::min(bytes, kStoredNotSaid);
}

void CFileNode::SetMetaDataSector(int64_t sector) {
  const uint64_t packed = m_packed.load(std::memory_order_relaxed);
  m_packed.store((packed & kLow24Mask) | (static_cast<uint64_t>(sector) << 24), std::memory_order_relaxed);
}

void CFileNode::UpdateFileSize(int64_t /*size*/) {}

void CFileNode::UpdateNodeInfo() {}

IDataRunList* CFileNode::OwnedList() const {
  IDataRunList* list = m_dataRunList.load(std::memory_order_acquire);
  return list != OnDemand() ? list : nullptr;
}

IDataRunList* CFileNode::GetDataRunList() const {
  IDataRunList* list = m_dataRunList.load(std::memory_order_acquire);
  if (list != OnDemand()) return list;
  NodeTreeGuard held;
  list = m_dataRunList.load(std::memory_order_acquire);
  if (list == OnDemand()) {
    // Readers that come meanwhile wait for the lock; a making that fails
    // leaves no promise behind.
    try {
      list = const_cast<CFileNode*>(this)->MakeDataRunList();
    } catch (...) {
      m_dataRunList.store(nullptr, std::memory_order_release);
      throw;
    }
    m_dataRunList.store(list, std::memory_order_release);
  }
  return list;
}

void CFileNode::SetDataRunList(IDataRunList* list) {
  if (list == m_dataRunList.load(std::memory_order_acquire)) return;
  if (IDataRunList* owned = OwnedList()) owned->Release();
  m_dataRunList.store(list, std::memory_order_release);
}

IDataRunList* CFileNode::DetachDataRunList() {
  GetDataRunList();
  return m_dataRunList.exchange(nullptr, std::memory_order_acq_rel);
}

void CFileNode::SetDataRunListOnDemand() {
  if (IDataRunList* owned = OwnedList()) owned->Release();
  m_dataRunList.store(OnDemand(), std::memory_order_release);
}

IDataRunList* CFileNode::MakeDataRunList() { return nullptr; }

void CFileNode::SetCurrentNodeID(int64_t id) { m_nodeID = id; }
void CFileNode::SetParentNodeID(int64_t id) { m_parentNodeID = id; }
void CFileNode::SetCompressedFlag(uint32_t compressed) { m_compressed = compressed; }

uint16_t CFileNode::GetBelongedPartition() const {
  return static_cast<uint16_t>((m_packed.load(std::memory_order_relaxed) & kPartitionMask) >> 8);
}

void CFileNode::SetBelongedPartition(uint16_t index) {
  const uint64_t packed = m_packed.load(std::memory_order_relaxed);
  m_packed.store((packed & ~kPartitionMask) | (static_cast<uint64_t>(index) << 8), std::memory_order_relaxed);
}

int64_t CFileNode::GetMetadataStartPosition() const {
  return static_cast<int64_t>(m_packed.load(std::memory_order_relaxed)) >> 24;
}

void CFileNode::MergeNode(CFileNode* other) {
  if (other == nullptr || other == this) return;
  SetDataRunList(other->DetachDataRunList());
  UpdateFileSize(static_cast<int64_t>(other->GetFileSize()));
}

bool CFileNode::operator==(const CFileNode& other) const {
  // The name and folder questions are virtual and not const: the scanners'
  // classes may fetch them lazily.
  auto& self = const_cast<CFileNode&>(*this);
  auto& that = const_cast<CFileNode&>(other);
  if (m_nodeID != other.m_nodeID || m_parentNodeID != other.m_parentNodeID) return false;
  const bool folder = that.IsDirectory() != 0;
  if ((self.IsDirectory() != 0) != folder) return false;
  const char* mine = self.GetFileName();
  const char* theirs = that.GetFileName();
  if (std::strcmp(mine != nullptr ? mine : "", theirs != nullptr ? theirs : "") != 0) return false;
  return folder || GetBelongedPartition() == other.GetBelongedPartition();
}

std::string CFileNode::FilterFileNameByDot(const std::string& name) {
  const size_t first = name.find_first_not_of(" .");
  return first == std::string::npos ? std::string() : name.substr(first);
}
