#include "app/thumbnails/KVPrivateTempFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::mutex g_rootLock;
std::string g_root;

}  // namespace

void KVPrivateTempFile::SetRoot(const std::string& folder) {
  std::lock_guard<std::mutex> held(g_rootLock);
  g_root = folder;
}

std::string KVPrivateTempFile::Root() {
  {
    std::lock_guard<std::mutex> held(g_rootLock);
    if (!g_root.empty()) return g_root;
  }
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
}

KVPrivateTempFile::KVPrivateTempFile(const std::string& suffix) {
  std::string kept;
  for (const char c : suffix) {
    if (kept.size() < 8 && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.')) kept += c;
  }
  std::string folder = Root() + "/clipmender-XXXXXX";
  std::vector<char> folderName(folder.begin(), folder.end());
  folderName.push_back('\0');
  if (mkdtemp(folderName.data()) == nullptr) return;
  m_folder = folderName.data();
  std::string file = m_folder + "/previewXXXXXX" + kept;
  std::vector<char> fileName(file.begin(), file.end());
  fileName.push_back('\0');
  m_fd = mkostemps(fileName.data(), static_cast<int>(kept.size()), O_CLOEXEC);
  if (m_fd >= 0) m_path = fileName.data();
}

KVPrivateTempFile::~KVPrivateTempFile() {
  Close();
  if (!m_path.empty()) unlink(m_path.c_str());
  if (!m_folder.empty()) rmdir(m_folder.c_str());
}

bool KVPrivateTempFile::Write(const void* data, size_t size) {
  if (m_fd < 0) return false;
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(m_fd, at, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool KVPrivateTempFile::Close() {
  if (m_fd < 0) return false;
  const int fd = m_fd;
  m_fd = -1;
  return close(fd) == 0;
}
