#include "engine/device/DeviceTestSupport.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "device/DiskDevice.h"

namespace devicetest {

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::ShellQuote;

namespace {

constexpr uint64_t kWholeHashLimit = 256ull << 20;

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
print(h.hexdigest())
)PY";

}  // namespace

std::string ImageChecksum(const fs::path& image) {
  std::error_code ec;
  const uint64_t size = fs::file_size(image, ec);
  if (ec) return "missing";
  if (size <= kWholeHashLimit) return testsupport::Sha256(image);
  std::string out = RunCommand("python3 -c " + ShellQuote(kSparseHash) + " " + ShellQuote(image.string())).output;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

ImageGuard::ImageGuard(fs::path image) : image_(std::move(image)), before_(ImageChecksum(image_)) {
  EXPECT_EQ(before_.size(), 64u) << "no checksum for " << image_;
}

ImageGuard::~ImageGuard() { EXPECT_EQ(ImageChecksum(image_), before_) << image_ << " changed"; }

LoopDevice::LoopDevice(const fs::path& image, unsigned sectorSize) {
  std::string command = "losetup -f --show";
  if (sectorSize != 0) command += " --sector-size " + std::to_string(sectorSize);
  command += " " + ShellQuote(image.string());
  auto r = RunCommand(command);
  std::string out = r.output;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (r.exitCode == 0 && out.rfind("/dev/loop", 0) == 0) {
    path_ = out;
  } else {
    ADD_FAILURE() << "losetup failed: " << command << "\n" << r.output;
  }
}

LoopDevice::~LoopDevice() {
  if (path_.empty()) return;
  // Partitions that a tool announced to the kernel outlive the detach and
  // would confuse the next user of the device.
  RunCommand("partx -d " + ShellQuote(path_) + " >/dev/null 2>&1");
  // Tools that wrote through the device may still hold it briefly.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (RunCommand("losetup -d " + ShellQuote(path_) + " 2>/dev/null").exitCode == 0) return;
    RunCommand("sleep 0.1");
  }
  ADD_FAILURE() << "cannot detach " << path_;
}

std::vector<uint8_t> DdRead(const std::string& path, uint64_t blockSize, uint64_t skip, uint64_t count) {
  const std::string command = "dd if=" + ShellQuote(path) + " bs=" + std::to_string(blockSize) +
                              " skip=" + std::to_string(skip) + " count=" + std::to_string(count) + " status=none";
  auto r = RunCommand(command);
  EXPECT_EQ(r.exitCode, 0) << command;
  return std::vector<uint8_t>(r.output.begin(), r.output.end());
}

BlockdevGeometry Blockdev(const std::string& path) {
  const std::string out = testsupport::RunCommandOrFail("blockdev --getss --getsize64 " + ShellQuote(path));
  std::istringstream in(out);
  BlockdevGeometry g;
  in >> g.sectorSize >> g.sizeBytes;
  EXPECT_TRUE(static_cast<bool>(in)) << "blockdev said: " << out;
  return g;
}

void MakeSparseImage(const fs::path& path, uint64_t bytes) {
  testsupport::RunCommandOrFail("truncate -s " + std::to_string(bytes) + " " + ShellQuote(path.string()));
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
  EXPECT_NE(disk, nullptr);
  if (disk == nullptr) return disk;
  EXPECT_EQ(disk->Open(), 1) << path;
  const int64_t size = sectorSize != 0 ? sectorSize : disk->GetSectorSize();
  const int64_t total = bytes != 0 ? static_cast<int64_t>(bytes) / size : disk->GetTotalSectors();
  disk->SetPrivateData(MakeDiskData(size, total));
  return disk;
}

void PatchFile(const fs::path& path, uint64_t offset, const std::vector<uint8_t>& data) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  EXPECT_TRUE(f.good()) << "cannot patch " << path;
}

std::vector<uint8_t> ReadFileRange(const fs::path& path, uint64_t offset, size_t size) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> out(size);
  f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  out.resize(static_cast<size_t>(f.gcount()));
  return out;
}

CMemoryDevice::CMemoryDevice(std::vector<uint8_t> bytes, uint32_t sectorSize, int64_t totalSectors, uint32_t kind)
    : bytes_(std::move(bytes)), sectorSize_(sectorSize), total_(totalSectors), kind_(kind) {}

CMemoryDevice::~CMemoryDevice() {
  if (data_ != nullptr) data_->Release();
}

void CMemoryDevice::SetPrivateData(IStorageDeviceData* data) {
  if (data_ != nullptr && data_ != data) data_->Release();
  data_ = data;
}

int CMemoryDevice::ReadSector(void* buffer, int64_t firstSector, int64_t sectorCount) {
  ++reads_;
  lastError_ = 0;
  if (failWith_ != 0) {
    lastError_ = failWith_;
    return 0;
  }
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

}  // namespace devicetest
