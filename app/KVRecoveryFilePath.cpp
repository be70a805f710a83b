#include "app/KVRecoveryFilePath.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <sys/stat.h>

#include "FileNode.h"
#include "app/KVCPPPublic.h"
#include "app/KVSafeFileName.h"
#include "app/KVUIPublic.h"

namespace {

constexpr int kMaxDepth = 1024;
// Numbers tried for a top folder or a clashing name before giving up.
constexpr int kMaxNumber = 1000000;

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool MakeFolders(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) return false;
  return std::filesystem::is_directory(path, error) && !error;
}

std::string Numbered(const char* prefix, int number) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%04d", number);
  return std::string(prefix) + digits;
}

// The safe names from the tree root down to the node: the root's volume
// name, then each folder below it, then the node's own name.
std::vector<std::string> PathComponents(IFileNode* node) {
  std::vector<std::string> components;
  IFileNode* at = node;
  for (int depth = 0; at != nullptr && depth <= kMaxDepth; ++depth) {
    IFileNode* parent = depth < kMaxDepth ? at->GetParent() : nullptr;
    const char* name = parent != nullptr ? at->GetFileName() : at->GetVolumeName();
    components.push_back(KVSafeFileName(name != nullptr ? name : ""));
    at = parent;
  }
  return {components.rbegin(), components.rend()};
}

// Claims the first free "<prefix><number>" folder in `destination` for this
// recovery. Making the folder is the test, so two recoveries never share one.
int ClaimTopFolder(const std::string& destination, const std::string& prefix) {
  if (!MakeFolders(destination)) return 0;
  for (int number = 1; number < kMaxNumber; ++number) {
    const std::string folder = destination + Numbered(prefix.c_str(), number);
    if (mkdir(folder.c_str(), 0777) == 0) return number;
    if (errno != EEXIST) return 0;
  }
  return 0;
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Moves `path` into its subfolder `name`, making it when needed. Different
// names on disk can become the same safe name, so a file may already stand
// where the folder belongs; the folder then takes the first free numbered
// name, the same one for every later file of that folder.
bool EnterFolder(std::string& path, const std::string& name) {
  std::string next = path + "/" + name;
  for (int number = 1; number < kMaxNumber; ++number) {
    if (IsFolder(next)) {
      path = next;
      return true;
    }
    struct stat info;
    if (lstat(next.c_str(), &info) != 0) {
      if (errno != ENOENT) return false;
      if (mkdir(next.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(next))) {
        path = next;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    next = path + "/" + KVNumberedFolderName(name, number);
  }
  return false;
}

// `folder` + "/" + the first of `name`, name_0001, name_0002, ... that does
// not exist yet; empty when all are taken.
std::string FreeName(const std::string& folder, const std::string& name) {
  std::string path = folder + "/" + name;
  for (int number = 1; Exists(path); ++number) {
    if (number >= kMaxNumber) return std::string();
    path = folder + "/" + KVNumberedFileName(name, number);
  }
  return path;
}

}  // namespace

KVRecoveryFolderNumbers& KVRecoveryFolderNumbers::Shared() {
  static KVRecoveryFolderNumbers numbers;
  return numbers;
}

int KVRecoveryFolderNumbers::Get(_tagSearcherType type) {
  std::lock_guard<std::mutex> held(m_mutex);
  const auto found = m_numbers.find(type);
  return found != m_numbers.end() ? found->second : 0;
}

void KVRecoveryFolderNumbers::Set(_tagSearcherType type, int number) {
  std::lock_guard<std::mutex> held(m_mutex);
  m_numbers[type] = number;
}

void KVRecoveryFolderNumbers::Clear() {
  std::lock_guard<std::mutex> held(m_mutex);
  m_numbers.clear();
}

char* CreateRecoveryFilePathByNode(void* node, const char* destination, KVRecoveryFolderNumbers& numbers) {
  auto* file = static_cast<IFileNode*>(node);
  if (file == nullptr || destination == nullptr || *destination == '\0') return nullptr;
  {
    NodeTreeGuard held;
    if (!file->IsNodeShow()) return nullptr;
  }
  const _tagSearcherType type = KVCPPPublic::instance().GetNodeSearcheType(file);
  if (type == SEARCHER_TYPE_NONE) return nullptr;

  std::string folder(destination);
  if (folder.back() != '/') folder.push_back('/');
  const std::string prefix = KVUIPublic::GetFileSystemStrByType(type).toStdString();
  int number = numbers.Get(type);
  if (number <= 0) {
    number = ClaimTopFolder(folder, prefix);
    if (number <= 0) return nullptr;
    numbers.Set(type, number);
  }
  folder += Numbered(prefix.c_str(), number);
  // Made when the number was claimed; made again if it went away since.
  if (!IsFolder(folder) && !MakeFolders(folder)) return nullptr;

  const std::vector<std::string> components = PathComponents(file);
  const size_t folders = file->IsDirectory() ? components.size() : components.size() - 1;
  for (size_t i = 0; i < folders; ++i) {
    if (!EnterFolder(folder, components[i])) return nullptr;
  }
  if (file->IsDirectory()) return nullptr;
  const std::string path = FreeName(folder, components.back());
  if (path.empty()) return nullptr;
  return strdup(path.c_str());
}

char* CreateRecoveryFilePathByNode(void* node, const char* destination) {
  return CreateRecoveryFilePathByNode(node, destination, KVRecoveryFolderNumbers::Shared());
}
