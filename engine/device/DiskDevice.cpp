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

CRawDevice::~CRawDevice() = default;

void CRawDevice::OpenOn(std::unique_ptr<IRawMedium> medium, uint32_t sectorSize, int64_t totalSectors) {
  reader_ = medium != nullptr ? std::make_unique<CSalvagingReader>(std::move(medium)) : nullptr;
  SetSectorSize(sectorSize);
  SetTotalSectors(totalSectors);
}

int CRawDevice::Open() {
  SetLastError(0);
  if (reader_ != nullptr) return 1;
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
  try {
    reader_ = std::make_unique<CSalvagingReader>(std::make_unique<CDescriptorMedium>(fd, path_));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    SetLastError(devicecode::kOpenFailed);
    return 0;
  }
  SetSectorSize(sectorSize);
  SetTotalSectors(total);
  return 1;
}

int CRawDevice::Close() {
  SetLastError(0);
  if (reader_ == nullptr) return 0;
  reader_.reset();
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

  if (reader_ == nullptr) {
    SetLastError(devicecode::kReadFailed);
    return 0;
  }
  const CSalvagingReader::Result read = reader_->Read(static_cast<uint8_t*>(buffer), offset, static_cast<size_t>(bytes),
                                                      static_cast<uint32_t>(sectorSize));
  switch (read.outcome) {
    case CSalvagingReader::Outcome::kRead:
      return 1;
    case CSalvagingReader::Outcome::kLostBytes:
      SetLastError(devicecode::kReadBadSectors);
      return 0;
    case CSalvagingReader::Outcome::kFailed:
      break;
  }
  const int e = read.error;
  const bool badPosition = read.bytes == 0 && (e == EINVAL || e == EOVERFLOW || e == ESPIPE);
  SetLastError(badPosition ? devicecode::kReadPositionFailed : devicecode::kReadFailed);
  return 0;
}

void CRawDevice::FindUnreadable(int64_t first, int64_t count, SectorRuns& out) {
  const int64_t sectorSize = GetSectorSize();
  int64_t offset = 0;
  int64_t bytes = 0;
  if (reader_ == nullptr || !geometry::ByteRange(first, count, sectorSize, offset, bytes)) return;
  for (const auto& [at, length] : reader_->Damage().Unreadable(offset, bytes)) {
    const int64_t from = at / sectorSize;
    const int64_t to = (at + length + sectorSize - 1) / sectorSize;
    if (!out.empty() && out.back().first + out.back().second >= from) {
      out.back().second = std::max(out.back().second, to - out.back().first);
    } else {
      out.emplace_back(from, to - from);
    }
  }
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
