#include "device/DiskDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

CRawDevice::CRawDevice(const char* path) : path_(path != nullptr ? path : "") {}

CRawDevice::~CRawDevice() {
  if (fd_ >= 0) ::close(fd_);
}

int CRawDevice::Open() {
  SetLastError(0);
  if (fd_ >= 0) return 1;
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && ::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    fd = -1;
    errno = e;
  } else if (fd >= 0 && !S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
    // Folders, pipes and character devices have no sectors to read.
    ::close(fd);
    fd = -1;
    errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
  }
  if (fd < 0) {
    const int e = errno;
    if (e != ENOENT) std::printf("open failed:%d\n", e);
    SetLastError(devicecode::kOpenFailed);
    return 0;
  }

  uint32_t sectorSize = 512;
  int64_t total = 0;
  if (S_ISBLK(st.st_mode)) {
    int logical = 0;
    if (::ioctl(fd, BLKSSZGET, &logical) == 0 && geometry::IsUsableDeviceSectorSize(logical)) {
      sectorSize = static_cast<uint32_t>(logical);
    }
    // BLKGETSIZE64 answers bytes, not blocks.
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
      total = static_cast<int64_t>(bytes / sectorSize);
    }
  } else {
    total = static_cast<int64_t>(st.st_size) / sectorSize;
  }
  SetSectorSize(sectorSize);
  SetTotalSectors(total);
  fd_ = fd;
  return 1;
}

int CRawDevice::Close() {
  SetLastError(0);
  if (fd_ < 0) return 0;
  ::close(fd_);
  fd_ = -1;
  return 1;
}

int CRawDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  SetLastError(0);
  const int64_t sectorSize = GetSectorSize();
  int64_t offset = 0;
  int64_t bytes = 0;
  if (buffer == nullptr || firstSector < 0 || sectorCount <= 0 ||
      !geometry::ByteRange(firstSector, sectorCount, sectorSize, offset, bytes)) {
    SetLastError(devicecode::kReadBadArgument);
    return 0;
  }

  auto* out = static_cast<unsigned char*>(buffer);
  const size_t wanted = static_cast<size_t>(bytes);
  size_t done = 0;
  while (done < wanted) {
    // One call moves at most about 2 GiB on Linux; ask for whole pieces.
    const size_t piece = std::min<size_t>(wanted - done, size_t{1} << 30);
    const ssize_t n = ::pread(fd_, out + done, piece, static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      const bool badPosition = done == 0 && (errno == EINVAL || errno == EOVERFLOW || errno == ESPIPE);
      SetLastError(badPosition ? devicecode::kReadPositionFailed : devicecode::kReadFailed);
      return 0;
    }
    if (n == 0) break;  // end of the device
    done += static_cast<size_t>(n);
  }
  if (done == 0) {
    SetLastError(devicecode::kReadFailed);
    return 0;
  }
  // Past the end of the device there is nothing: hand back zeros, never what
  // the caller's buffer held before.
  std::memset(out + done, 0, wanted - done);
  return 1;
}

int CRawDevice::IOCtl(uint64_t, void*) {
  SetLastError(devicecode::kDiskIOCtl);
  return 0;
}

namespace {

template <typename Device>
IStorageDevice* MakeRawDevice(const char* path) {
  if (path == nullptr || *path == '\0') return nullptr;
  try {
    return new Device(path);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

IStorageDevice* CreateDiskDevice(const char* path) { return MakeRawDevice<CDiskDevice>(path); }

IStorageDevice* CreateVolumeDevice(const char* path) { return MakeRawDevice<CVolumeDevice>(path); }
