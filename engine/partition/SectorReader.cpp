#include "partition/SectorReader.h"

namespace partition {

ResultCode ReadSectors(IStorageDevice* device, int64_t first, int64_t count, std::vector<uint8_t>& buffer) {
  const uint32_t sectorSize = device->GetSectorSize();
  buffer.assign(static_cast<size_t>(count) * sectorSize, 0);
  if (device->ReadSector(buffer.data(), first, count) != 0) return 0;
  const ResultCode code = device->GetLastError();
  return result::IsFailure(code) ? code : RESULT_FAILURE(result::kModulePartitionTable, result::kErrIO);
}

}  // namespace partition
