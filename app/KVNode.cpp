#include "app/KVNode.h"

#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIPublic.h"
#include "platform/Resources.h"

namespace {

QString Utf8(const char* text) { return text != nullptr ? QString::fromUtf8(text) : QString(); }

int IconOfCategory(_FILTER_TYPE type) {
  switch (type) {
    case FILTER_TYPE_PICTURE:
      return 2;
    case FILTER_TYPE_MUSIC:
      return 3;
    case FILTER_TYPE_MOVIE:
      return 4;
    case FILTER_TYPE_ARCHIVE:
      return 5;
    case FILTER_TYPE_DOCUMENT:
      return 6;
    default:
      return 7;
  }
}

}  // namespace

OpNodeData::OpNodeData(const __TreeNodeData__& data)
    : m_isFileSystem(data.isFileSystem),
      m_node(data.fileNode),
      m_createTime(time(nullptr)),
      m_modifyTime(m_createTime) {}

OpNodeData::OpNodeData(IFileNode* node) : OpNodeData(__TreeNodeData__{0, 0, 0, node}) {}

void OpNodeData::addChildObject(Child child) {
  if (auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child); row != nullptr && *row != nullptr) {
    (*row)->m_parent = this;
  }
  m_children.push_back(std::move(child));
}

void OpNodeData::setSubNode(std::vector<Child> children) {
  m_children = std::move(children);
  for (Child& child : m_children) {
    if (auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child); row != nullptr && *row != nullptr) {
      (*row)->m_parent = this;
    }
  }
}

bool OpNodeData::isDirect() const {
  if (isFadeNode()) return true;
  return m_node != nullptr && m_node->IsDirectory() != 0;
}

uint64_t OpNodeData::size() const {
  if (isFadeNode() || m_node == nullptr || m_node->IsDirectory() != 0) return 0;
  NodeTreeGuard held;
  return m_node->GetFileSize();
}

QString OpNodeData::name() const {
  if (m_node != nullptr) return Utf8(m_node->GetFileName());
  return isFadeNode() ? m_fadeName : QString();
}

QString OpNodeData::path() const {
  if (isFadeNode()) return QString();
  return KVUIPublic::GetPathByFileNode(m_node);
}

QString OpNodeData::createTime() const {
  if (isFadeNode() || m_node == nullptr || m_node->GetCreationTime() == 0) return QString();
  return KVUIPublic::FormatFileTimeToString(m_node->GetCreationTime());
}

QString OpNodeData::modifyTime() const {
  if (isFadeNode() || m_node == nullptr) return QString();
  return KVUIPublic::FormatFileTimeToString(m_node->GetModificationTime());
}

QString OpNodeData::lastAccessTime() const {
  if (isFadeNode() || m_node == nullptr) return QString();
  return KVUIPublic::FormatFileTimeToString(m_node->GetLastAccessTime());
}

uint64_t OpNodeData::createTimeValue() const {
  return isFadeNode() || m_node == nullptr ? 0 : m_node->GetCreationTime();
}

uint64_t OpNodeData::modifyTimeValue() const {
  return isFadeNode() || m_node == nullptr ? 0 : m_node->GetModificationTime();
}

bool OpNodeData::isDeleted() const { return !isFadeNode() && isFileNodeDeleted(m_node); }

bool OpNodeData::IsShow() const {
  if (isFadeNode()) return true;
  if (m_node == nullptr) return false;
  NodeTreeGuard held;
  return m_node->IsNodeShow() != 0;
}

void OpNodeData::SetShow(int show) {
  if (isFadeNode() || m_node == nullptr) return;
  NodeTreeGuard held;
  m_node->ShowNode(show);
}

bool OpNodeData::isHasFolderChildren() const {
  if (isFadeNode()) return m_expandable != 0;
  if (m_node == nullptr) return false;
  NodeTreeGuard held;
  for (IFileNode* child = m_node->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
    if (child->IsDirectory() != 0) return true;
  }
  return false;
}

int OpNodeData::nodeType() const {
  if (!isFadeNode()) return m_isFileSystem != 0 ? 0 : 1;
  if (m_type == 1) return IconOfCategory(KVCPPPublic::instance().StringToFilterType(m_fadeName.toUtf8().constData()));
  // The date root and its years carry the year icon, the months below them
  // the month icon.
  if (m_type == 2 || m_type == 3) return m_parent == nullptr || m_parent->m_parent == nullptr ? 8 : 9;
  return 10;
}

int OpNodeData::state() const {
  if (!isFadeNode() && m_node != nullptr) return fileNodeState(m_node);
  return m_state;
}

int OpNodeData::ChildState(const Child& child) {
  if (const auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child)) return *row != nullptr ? (*row)->state() : 0;
  return fileNodeState(std::get<IFileNode*>(child));
}

void OpNodeData::setNodeState(int state) {
  NodeTreeGuard held;
  if (isFadeNode() || m_node == nullptr) {
    m_state = state;
  } else {
    setFileNodeWithState(m_node, state);
  }
  if (m_parent != nullptr && m_parent->isFadeNode()) setParentNodeState(state);
  SetChildrenNodeState(state);
}

void OpNodeData::setParentNodeState(int state) {
  NodeTreeGuard held;
  m_state = state;
  OpNodeData* parent = m_parent;
  if (parent == nullptr || !parent->isFadeNode()) return;
  if (state == 1) {
    parent->setParentNodeState(1);
    return;
  }
  size_t sum = 0;
  for (const Child& child : parent->m_children) sum += static_cast<size_t>(ChildState(child));
  parent->setParentNodeState(sum == 0 ? 0 : sum == 2 * parent->m_children.size() ? 2 : 1);
}

void OpNodeData::SetChildrenNodeState(int state) {
  NodeTreeGuard held;
  if (!isFadeNode() && m_node != nullptr) {
    if (m_parent != nullptr && m_parent->isFadeNode()) setFileNodeWithState(m_node, state);
    return;
  }
  m_state = state;
  if (state == 1) return;
  for (Child& child : m_children) {
    if (auto* row = std::get_if<std::unique_ptr<OpNodeData>>(&child)) {
      if (*row != nullptr) (*row)->SetChildrenNodeState(state);
    } else {
      setFileNodeWithState(std::get<IFileNode*>(child), state);
    }
  }
}

void OpNodeData::free() { m_children.clear(); }

bool OpNodeData::isFileNodeDirect(IFileNode* node) { return node != nullptr && node->IsDirectory() != 0; }

bool OpNodeData::isFileNodeDeleted(IFileNode* node) {
  if (node == nullptr) return false;
  NodeTreeGuard held;
  return node->IsDeleted() != 0;
}

int OpNodeData::fileNodeState(IFileNode* node) {
  if (node == nullptr) return 0;
  NodeTreeGuard held;
  return node->GetCheckedStatus();
}

void OpNodeData::setFileNodeWithState(IFileNode* node, int state) {
  if (node == nullptr || state < 0 || state > 2) return;
  NodeTreeGuard held;
  node->SetCheck(static_cast<_tagCheckedStatus>(state));
}

QString OpNodeData::fileNodeName(IFileNode* node) { return node != nullptr ? Utf8(node->GetFileName()) : QString(); }

DiskVolumeNodeData::DiskVolumeNodeData(const _DiskVolumeData& data)
    : m_name(data.name.empty() ? platform::Resources::LocalizedString(QStringLiteral("DEVICE_NAME_UNTITILED"))
                               : QString::fromStdString(data.name)),
      m_devicePath(data.volumeIndex < 0 ? QString::fromStdString(data.description) : QString()),
      m_capacity(data.size),
      m_used(data.used),
      m_diskIndex(data.diskIndex),
      m_volumeIndex(data.volumeIndex),
      m_fileSystem(data.fileSystem),
      m_isDmg(data.isDmg),
      m_isUsb(data.isUsb) {}

void DiskVolumeNodeData::setSubNode(std::vector<std::unique_ptr<DiskVolumeNodeData>> children) {
  m_children = std::move(children);
}

DiskVolumeNodeData* DiskVolumeNodeData::childAtIndex(size_t index) const {
  return index < m_children.size() ? m_children[index].get() : nullptr;
}
