#include "copyout/DestinationFile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CDestinationFile::~CDestinationFile() {
  if (m_fd >= 0) ::close(m_fd);
}

bool CDestinationFile::Open(const char* path) {
  if (m_fd >= 0) Close();
  if (path == nullptr) return false;
  do {
    m_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (m_fd < 0 && errno == EINTR);
  if (m_fd < 0) m_errno = errno;
  return m_fd >= 0;
}

WriteOutcome CDestinationFile::Classify(int error) {
  m_errno = error;
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return WriteOutcome::kNoSpace;
    case EFBIG:
      return WriteOutcome::kTooLarge;
    default:
      return WriteOutcome::kFailed;
  }
}

WriteOutcome CDestinationFile::WriteAt(int64_t offset, const void* data, size_t count) {
  if (m_fd < 0 || offset < 0 || (data == nullptr && count > 0)) return Classify(EBADF);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const ssize_t n = ::pwrite(m_fd, bytes, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Classify(errno);
    }
    // A write that takes nothing without an error would loop for ever; a
    // destination that does this is as good as full.
    if (n == 0) return Classify(ENOSPC);
    bytes += n;
    count -= static_cast<size_t>(n);
    offset += n;
  }
  return WriteOutcome::kWritten;
}

WriteOutcome CDestinationFile::SetSize(int64_t size) {
  if (m_fd < 0 || size < 0) return Classify(EBADF);
  struct stat info;
  if (::fstat(m_fd, &info) != 0) return Classify(errno);
  if (!S_ISREG(info.st_mode)) return WriteOutcome::kWritten;
  while (::ftruncate(m_fd, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return Classify(errno);
  }
  return WriteOutcome::kWritten;
}

bool CDestinationFile::Close() {
  if (m_fd < 0) return true;
  const int fd = m_fd;
  m_fd = -1;
  // The descriptor is gone whatever close answers; EINTR is not retried.
  if (::close(fd) != 0 && errno != EINTR) {
    m_errno = errno;
    return false;
  }
  return true;
}
