// The FAT images of tests/fixtures/fat/make-fat-images.sh, built once per
// build tree (or into CLIPMENDER_FAT_FIXTURES), and volumes opened on them
// the way device enumeration records them.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "DeviceData.h"
#include "StorageDevice.h"
#include "device/DiskDevice.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace fatfixtures {

inline std::filesystem::path Dir() {
  if (const char* dir = std::getenv("CLIPMENDER_FAT_FIXTURES"); dir && *dir) return dir;
  return CLIPMENDER_FAT_FIXTURE_DIR;
}

// Empty when the images are ready, else why not.
inline std::string Ready() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/fat/make-fat-images.sh", Dir());
}

// An opened volume on `image` whose record says `fileSystemType`; the caller
// releases it.
inline IStorageDevice* OpenVolume(const std::filesystem::path& image, int fileSystemType) {
  IStorageDevice* device = CreateVolumeDevice(image.c_str());
  if (device == nullptr || device->Open() == 0) return device;
  auto* info = new CCollectedVolumeDeviceInfoStruct();
  info->fileSystemType = static_cast<uint32_t>(fileSystemType);
  info->sectorSize = 512;
  info->totalSectors = static_cast<int64_t>(std::filesystem::file_size(image) / 512);
  device->SetPrivateData(CreateVolumeDeviceData(info));
  return device;
}

}  // namespace fatfixtures

namespace fatfixtures {

// The large FAT32 volume of make-fat32-revise-images.sh (deleted files past
// cluster 65536), next to the other images.
inline std::string ReviseReady() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/fat/make-fat32-revise-images.sh",
                                     Dir() / "revise");
}

}  // namespace fatfixtures

namespace fatfixtures {

// The volumes of make-fat-reuse-images.sh (deleted files whose clusters
// newer files took), in CLIPMENDER_FAT_REUSE_FIXTURES or next to the other
// images.
inline std::filesystem::path ReuseDir() {
  if (const char* dir = std::getenv("CLIPMENDER_FAT_REUSE_FIXTURES"); dir && *dir) return dir;
  return Dir() / "reuse";
}
inline std::string ReuseReady() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/fat/make-fat-reuse-images.sh",
                                     ReuseDir());
}

}  // namespace fatfixtures

namespace fatfixtures {

// The camera cards of make-fat-camera-images.sh, next to the other images
// (CI makes them once into the same folder).
inline std::filesystem::path CameraDir() { return Dir() / "camera"; }
inline std::string CameraReady() {
  return conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/fat/make-fat-camera-images.sh",
                                     CameraDir());
}

}  // namespace fatfixtures
