#include "engine/device/DeviceTestSupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "device/DiskDevice.h"

namespace devicetest {

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

namespace {

const char* const kSparseHash = R"PY(
import hashlib, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
size = os.fstat(fd).st_size
h = hashlib.sha256(b"size %d\n" % size)
off = 0
while off < size:
    try:
        data = os.lseek(fd, off, os.SEEK_DATA)
    except OSError:
        break
    hole = os.lseek(fd, data, os.SEEK_HOLE)
    h.update(b"data %d %d\n" % (data, hole))
    pos = data
    while pos < hole:
        chunk = os.pread(fd, min(1 << 22, hole - pos), pos)
        if not chunk:
            break
        h.update(chunk)
        pos += len(chunk)
    off = hole
print(h.hexdigest(), end="")
)PY";

std::string ImageChecksum(const fs::path& image) {
  std::error_code ec;
  const uint64_t size = fs::file_size(image, ec);
  if (ec) return "missing";
  if (size <= (256u << 20)) return testsupport::Sha256(image);
  return RunCommand("python3 -c " + ShellQuote(kSparseHash) + " " + ShellQuote(image.string())).output;
}

}  // namespace

ImageGuard::ImageGuard(fs::path image) : image_(std::move(image)), before_(ImageChecksum(image_)) {
  EXPECT_EQ(before_.size(), 64u) << "no checksum for " << image_;
}

ImageGuard::~ImageGuard() { EXPECT_EQ(ImageChecksum(image_), before_) << image_ << " changed"; }

LoopDevice::LoopDevice(const fs::path& image, unsigned sectorSize, bool scanPartitions, bool readOnly) {
  std::string command = scanPartitions ? "losetup -fP --show" : "losetup -f --show";
  if (readOnly) command += " -r";
  if (sectorSize != 0) command += " --sector-size " + std::to_string(sectorSize);
  const auto r = RunCommand(command + " " + ShellQuote(image.string()));
  if (r.exitCode == 0 && r.output.rfind("/dev/loop", 0) == 0) {
    path_ = r.output.substr(0, r.output.find('\n'));
  } else {
    ADD_FAILURE() << "losetup failed: " << command << "\n" << r.output;
  }
}

LoopDevice::LoopDevice(const fs::path& image, const std::vector<std::string>& nodes, bool scanPartitions,
                       bool readOnly) {
  std::string command = scanPartitions ? "losetup -P" : "losetup";
  if (readOnly) command += " -r";
  for (const std::string& node : nodes) {
    if (RunCommand(command + " /dev/" + node + " " + ShellQuote(image.string()) + " 2>/dev/null").exitCode == 0) {
      path_ = "/dev/" + node;
      return;
    }
  }
}

std::vector<std::string> FreeLoopNodes() {
  std::vector<std::string> free;
  for (const auto& entry : fs::directory_iterator("/dev")) {
    const std::string name = entry.path().filename().string();
    if (name.size() <= 4 || name.rfind("loop", 0) != 0 ||
        !std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    std::error_code none;
    if (!fs::exists("/sys/block/" + name + "/loop/backing_file", none)) free.push_back(name);
  }
  std::sort(free.begin(), free.end());
  return free;
}

LoopDevice::~LoopDevice() {
  if (path_.empty()) return;
  // Partitions that a tool announced to the kernel outlive the detach and
  // would confuse the next user of the device.
  Forget();
  // Tools that wrote through the device may still hold it briefly.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (RunCommand("losetup -d " + ShellQuote(path_) + " 2>/dev/null").exitCode == 0) return;
    RunCommand("sleep 0.1");
  }
  ADD_FAILURE() << "cannot detach " << path_;
}

bool LoopDevice::Detach() {
  if (path_.empty()) return false;
  const bool detached = RunCommand("losetup -d " + ShellQuote(path_) + " 2>&1").exitCode == 0;
  if (detached) path_.clear();
  return detached;
}

void LoopDevice::Announce() const {
  RunCommand("partx -d " + ShellQuote(path_) + " >/dev/null 2>&1");
  RunCommandOrFail("partx -a " + ShellQuote(path_) + " 2>&1");
}

bool LoopDevice::Forget() const {
  for (int attempt = 0; attempt < 100; ++attempt) {
    RunCommand("partx -d " + ShellQuote(path_) + " >/dev/null 2>&1");
    bool left = false;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/block", ec)) {
      left = left || entry.path().filename().string().rfind(name() + "p", 0) == 0;
    }
    if (!left) return true;
    RunCommand("sleep 0.1");
  }
  return false;
}

std::vector<uint8_t> DdRead(const std::string& path, uint64_t blockSize, uint64_t skip, uint64_t count) {
  const std::string out = RunCommandOrFail("dd if=" + ShellQuote(path) + " bs=" + std::to_string(blockSize) + " skip=" +
                                           std::to_string(skip) + " count=" + std::to_string(count) + " status=none");
  return std::vector<uint8_t>(out.begin(), out.end());
}

BlockdevGeometry Blockdev(const std::string& path) {
  std::istringstream in(RunCommandOrFail("blockdev --getss --getsize64 " + ShellQuote(path)));
  BlockdevGeometry g;
  EXPECT_TRUE(in >> g.sectorSize >> g.sizeBytes) << "blockdev said nothing of " << path;
  return g;
}

void MakeSparseImage(const fs::path& path, uint64_t bytes) {
  RunCommandOrFail("truncate -s " + std::to_string(bytes) + " " + ShellQuote(path.string()));
}

void PatchFile(const fs::path& path, uint64_t offset, const std::vector<uint8_t>& data) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  EXPECT_TRUE(f.good()) << "cannot patch " << path;
}

std::vector<uint8_t> Read(IStorageDevice& device, int64_t first, int64_t count, int expectAnswer) {
  std::vector<uint8_t> buffer(static_cast<size_t>(count) * device.GetSectorSize(), 0xCC);
  EXPECT_EQ(device.ReadSector(buffer.data(), first, count), expectAnswer) << first << "+" << count;
  return buffer;
}

IDiskDeviceData* MakeDiskData(int64_t sectorSize, int64_t totalSectors, uint32_t state) {
  auto* info = new CCollectDiskDeviceInfoStruct();
  info->state = state;
  info->sectorSize = sectorSize;
  info->totalSectors = totalSectors;
  return CreateDiskDeviceData(info);
}

DevicePtr OpenDisk(const std::string& path, int64_t sectorSize, uint64_t bytes) {
  DevicePtr disk(CreateDiskDevice(path.c_str()));
  EXPECT_EQ(disk->Open(), 1) << path;
  const int64_t size = sectorSize != 0 ? sectorSize : disk->GetSectorSize();
  disk->SetPrivateData(MakeDiskData(size, bytes != 0 ? static_cast<int64_t>(bytes) / size : disk->GetTotalSectors()));
  return disk;
}

int CMemoryDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  lastError_ = failWith_;
  if (failWith_ != 0) return 0;
  if (buffer == nullptr || firstSector < 0 || sectorCount <= 0 || firstSector >= total_ ||
      sectorCount > total_ - firstSector) {
    lastError_ = result::MakeResult(0x7F, 1, result::kErrBadArgument);
    return 0;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  const uint64_t from = static_cast<uint64_t>(firstSector) * sectorSize_;
  const uint64_t n = static_cast<uint64_t>(sectorCount) * sectorSize_;
  for (uint64_t i = 0; i < n; ++i) out[i] = (from + i < bytes_.size()) ? bytes_[from + i] : 0;
  return 1;
}

bool FailingMedium::MeetsBad(int64_t from, int64_t to) const {
  for (const auto& [at, length] : bad_) {
    if (at < to && from < at + length) return true;
  }
  return false;
}

ssize_t FailingMedium::Copy(void* buffer, size_t bytes, int64_t offset) const {
  const int64_t size = static_cast<int64_t>(bytes_.size());
  if (offset >= size) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(bytes), size - offset));
  std::memcpy(buffer, bytes_.data() + offset, n);
  return static_cast<ssize_t>(n);
}

ssize_t FailingMedium::ReadCached(void* buffer, size_t bytes, int64_t offset) {
  ++counters_->cached;
  if (failAll_ != 0) {
    errno = failAll_;
    return -1;
  }
  const int64_t from = offset - offset % folio_;
  const int64_t end = offset + static_cast<int64_t>(bytes);
  if (MeetsBad(from, end + (folio_ - end % folio_) % folio_)) {
    errno = EIO;
    return -1;
  }
  return Copy(buffer, bytes, offset);
}

ssize_t FailingMedium::ReadUncached(void* buffer, size_t bytes, int64_t offset) {
  ++counters_->uncached;
  if (const int millis = uncachedMillis.load(); millis > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(millis));
  }
  if (failAll_ != 0) {
    errno = failAll_;
    return -1;
  }
  // Misaligned unbuffered reads are refused, as O_DIRECT refuses them.
  if (offset % align_ != 0 || bytes % align_ != 0 || reinterpret_cast<uintptr_t>(buffer) % align_ != 0) {
    errno = EINVAL;
    return -1;
  }
  if (MeetsBad(offset, offset + static_cast<int64_t>(bytes))) {
    ++counters_->badAsked;
    errno = EIO;
    return -1;
  }
  return Copy(buffer, bytes, offset);
}

}  // namespace devicetest
