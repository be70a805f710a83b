#include "archive/StdFile.h"

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

bool OffsetFits(uint64_t offset, size_t n) { return offset <= kMaxOffset && n <= kMaxOffset - offset; }

}  // namespace

CStdFile::~CStdFile() { Close(); }

bool CStdFile::Open(const char* path, OpenMode mode) {
  Close();
  if (mode < OpenRead || mode > OpenAlways || path == nullptr) return false;
  path_ = path;
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenRead:
      flags |= O_RDONLY;
      break;
    case OpenCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    default:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  // Scan results are later read back as trusted input, so they get the
  // user's usual permissions, never world-writable ones.
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  fd_ = fd;
  return IsOpen();
}

void CStdFile::Close() {
  if (fd_ >= 0) {
    // Retrying close after EINTR could close a descriptor another thread
    // just got; Linux frees it either way.
    ::close(fd_);
    fd_ = -1;
  }
}

int64_t CStdFile::Read(void* buffer, size_t n) {
  if (!IsOpen()) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd_, out + done, n - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

int CStdFile::Write(const void* buffer, size_t n) {
  if (!IsOpen()) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(fd_, in + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return 0;
    done += static_cast<size_t>(w);
  }
  return 1;
}

int64_t CStdFile::ReadAt(void* buffer, size_t n, uint64_t offset) {
  if (!IsOpen()) return 0;
  if (!OffsetFits(offset, n)) return -1;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}

int CStdFile::WriteAt(const void* buffer, size_t n, uint64_t offset) {
  if (!IsOpen() || !OffsetFits(offset, n)) return 0;
  const auto* in = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(fd_, in + done, n - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return 0;
    done += static_cast<size_t>(w);
  }
  return 1;
}

int64_t CStdFile::SeekToBegin() { return IsOpen() ? ::lseek(fd_, 0, SEEK_SET) : -1; }

int64_t CStdFile::SeekToEnd() { return IsOpen() ? ::lseek(fd_, 0, SEEK_END) : -1; }

int64_t CStdFile::Seek(uint64_t offset) {
  if (!IsOpen() || offset > kMaxOffset) return -1;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
}

int64_t CStdFile::GetPosition() const {
  if (!IsOpen()) return 0;
  const off_t position = ::lseek(fd_, 0, SEEK_CUR);
  return position < 0 ? 0 : position;
}

int64_t CStdFile::GetLength() const {
  struct stat st {};
  if (!IsOpen() || ::fstat(fd_, &st) != 0) return -1;
  return st.st_size;
}

bool CStdFile::SetLength(uint64_t length) {
  if (!IsOpen() || length > kMaxOffset) return false;
  int r;
  do {
    r = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (r != 0 && errno == EINTR);
  return r == 0;
}
