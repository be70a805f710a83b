#include "ui/windows/KVRecoveryServices.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include "app/KVUIController.h"

KVRecoveryServices KVRecoveryServices::Default() {
  KVRecoveryServices services;
  services.isWritable = IsWritableFolder;
  services.isSameDevice = KVUIController::IsRecoveryToSameDevice;
  services.freeSpace = FreeSpace;
  services.selectedStoredSize = KVUIController::GetSelectedStoredSize;
  services.doRecovery = [](const QString& folder, const QString& postName) {
    // The total the progress is measured against is the selection's.
    int count = 0;
    uint64_t size = 0;
    KVUIController::GetSelectedFilesAmout(&count, &size);
    return KVUIController::DoRecovery(folder, postName) == 0;
  };
  services.isRecoveryRunning = KVUIController::IsRecoveryRunning;
  services.progress = KVUIController::GetRecoveryProgressTotal;
  services.pauseOrResume = KVUIController::PauseOrResumeRecovery;
  services.stop = KVUIController::StopRecvoery;
  services.recoveredFiles = KVUIController::GetRecoveridedFiles;
  services.failedFiles = KVUIController::GetFailedRecoveryFiles;
  services.failedPaths = KVUIController::GetFailedRecoveryPaths;
  return services;
}

bool KVRecoveryServices::IsWritableFolder(const QString& folder) {
  // Making a file in a folder takes write and search rights on it.
  return !folder.isEmpty() && access(folder.toUtf8().constData(), W_OK | X_OK) == 0;
}

int64_t KVRecoveryServices::FreeSpace(const QString& folder) {
  struct statvfs info {};
  if (folder.isEmpty() || statvfs(folder.toUtf8().constData(), &info) != 0) return -1;
  const unsigned __int128 bytes = static_cast<unsigned __int128>(info.f_bavail) * info.f_frsize;
  return bytes > static_cast<unsigned __int128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

uint64_t KVRecoveryServices::SpaceNeeded(uint64_t storedBytes) {
  const unsigned __int128 need = static_cast<unsigned __int128>(storedBytes) * 105 / 100;
  return need > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(need);
}

bool KVRecoveryServices::HasRoomFor(int64_t freeBytes, uint64_t storedBytes) {
  return freeBytes > 0 && static_cast<uint64_t>(freeBytes) > SpaceNeeded(storedBytes);
}
