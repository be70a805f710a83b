#include "hfsplus/HFSPlusAllocationJudge.h"

#include <new>

#include "FileNode.h"
#include "SearchedPartitionInfo.h"
#include "StorageDevice.h"
#include "device/PartitionDevice.h"
#include "hfsplus/CHFSPlusVolume.h"

CHFSPlusAllocationJudge::~CHFSPlusAllocationJudge() {
  m_volume.reset();
  if (m_window != nullptr) {
    m_window->Close();
    m_window->Release();
  }
}

std::unique_ptr<CHFSPlusAllocationJudge> CHFSPlusAllocationJudge::Open(IStorageDevice* device,
                                                                       const CSearchedPartitionInfo& record) {
  if (device == nullptr || record.GetFirstDataSector() < 0) return nullptr;
  const uint64_t deviceSector = device->GetSectorSize();
  const unsigned __int128 byte =
      static_cast<unsigned __int128>(static_cast<uint64_t>(record.GetFirstDataSector())) * record.GetSectorSize();
  if (deviceSector == 0 || byte % deviceSector != 0 || byte / deviceSector >= uint64_t(device->GetTotalSectors())) {
    return nullptr;
  }
  const auto start = static_cast<int64_t>(byte / deviceSector);
  std::unique_ptr<CHFSPlusAllocationJudge> judge(new (std::nothrow) CHFSPlusAllocationJudge());
  if (judge == nullptr) return nullptr;
  IStorageDevice* on = device;
  if (start != 0) {
    judge->m_window = CreatePartitionDevice(device, start, device->GetTotalSectors() - start);
    if (judge->m_window == nullptr || judge->m_window->Open() == 0) return nullptr;
    on = judge->m_window;
  }
  // Without its catalog the volume keeps its header and reads its
  // allocation file.
  judge->m_volume.reset(new (std::nothrow) CHFSPlusVolume(on, true));
  if (judge->m_volume == nullptr || judge->m_volume->GetVolumeHeader() == nullptr) return nullptr;
  // The runs count in the volume's blocks.
  if (uint64_t{record.GetSectorsperCluster()} * record.GetSectorSize() != judge->m_volume->GetBlockSize()) {
    return nullptr;
  }
  return judge;
}

bool CHFSPlusAllocationJudge::IsTaken(CFileNode& node) {
  if (node.IsDirectory() != 0 || node.IsDeleted() == 0) return false;
  IDataRunList* runs = node.GetDataRunList();
  if (runs == nullptr || runs->IsResident() != 0) return false;
  return m_volume->RunsReachBlocksInUse(runs) == 1;
}

std::unique_ptr<IAllocationJudge> CreateHFSPlusAllocationJudge(IStorageDevice* device,
                                                               const CSearchedPartitionInfo& record) {
  return CHFSPlusAllocationJudge::Open(device, record);
}
