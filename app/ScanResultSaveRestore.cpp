#include "app/ScanResultSaveRestore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

#include "DataRecovery.h"
#include "FileNode.h"
#include "StorageDevice.h"
#include "app/KVCPPPublic.h"
#include "app/KVRestoreScanSink.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVUIController.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/LoadedResultPlace.h"
#include "app/LoadedVolumeJudge.h"
#include "app/RestoreFileNode.h"
#include "app/SaveRestoreProgress.h"
#include "app/ScanResultChecks.h"
#include "base/CatchExeception.h"
#include "copyout/CDataRecovery.h"
#include "scan/CRecoveryController.h"

namespace SaveRestoreResult {

namespace {

namespace fs = std::filesystem;

const char* const kFinishName = "QueryProgressFinish";

std::atomic<uint64_t> g_lastLoadError{0};
std::atomic<bool> g_lastLoadUnverified{false};
std::mutex g_damageLock;
LoadDamage g_lastLoadDamage;

// The temporary file of the save being written, for a quit that cannot
// wait for the save to take it away.
std::mutex g_temporaryLock;
std::string g_temporary;

// Loads started and not yet ended.
std::atomic<int> g_loads{0};

// Thrown out of the writers when the save is stopped.
struct SaveStopped {};

// Every this many records the writers ask whether to go on.
constexpr uint32_t kRecordsPerStopCheck = 64;

void StopWhenAsked(SaveRestoreProgress& progress) {
  IProgress* sink = progress.Sink();
  if (sink != nullptr && sink->Continued() == 0) throw SaveStopped{};
}

void Log(const char* function, int point) { CatchExeception::WriteLog("%s %d\r\n", function, point); }

// Writes the bytes into the open frame, or throws the archive's failure.
void Put(IRSData& archive, const std::vector<uint8_t>& bytes) {
  if (!WriteRecord(&archive, bytes)) throw CRSException(RSErrorWriteFailed);
}

// The archive being written, summing what goes into each frame for the
// check values: the whole frame's bytes and those of the part written since
// the last TakeSection.
class SummedArchive final : public IRSData {
 public:
  explicit SummedArchive(IRSData& inner) : m_inner(inner) {}
  int CheckFile() override { return m_inner.CheckFile(); }
  int StartRS(const char* path, int create) override { return m_inner.StartRS(path, create); }
  int EndRS() override { return m_inner.EndRS(); }
  int WriteFileHeader(const FILEHEADER& header) override { return m_inner.WriteFileHeader(header); }
  int ReadFileHeader(FILEHEADER& header) override { return m_inner.ReadFileHeader(header); }
  FileStatus GetStatus() override { return m_inner.GetStatus(); }
  int SetStatus(FileStatus status) override { return m_inner.SetStatus(status); }
  int SetFileDescription(const char* text) override { return m_inner.SetFileDescription(text); }
  int GetFileDescription(char* buffer, int size) override { return m_inner.GetFileDescription(buffer, size); }
  int OpenFrame(const tagGUIDSIGN& id) override {
    const int opened = m_inner.OpenFrame(id);
    m_frame = FrameCheck{id, 0, 0};
    m_section = SectionCheck{};
    return opened;
  }
  int CloseFrame() override { return m_inner.CloseFrame(); }
  uint32_t GetFrameSize() override { return m_inner.GetFrameSize(); }
  int ReadCurFrame(void* buffer, unsigned int n) override { return m_inner.ReadCurFrame(buffer, n); }
  int WriteCurFrame(const void* data, unsigned int n) override {
    const int written = m_inner.WriteCurFrame(data, n);
    const auto* bytes = static_cast<const uint8_t*>(data);
    m_frame.crc = Crc32(m_frame.crc, bytes, n);
    m_frame.length += n;
    m_section.crc = Crc32(m_section.crc, bytes, n);
    m_section.bytes += n;
    return written;
  }
  int FlushBuffer() override { return m_inner.FlushBuffer(); }

  // The open frame's sums so far.
  const FrameCheck& Frame() const { return m_frame; }
  // The part written since the last call, with `records` records.
  SectionCheck TakeSection(uint64_t records) {
    SectionCheck section = m_section;
    section.records = records;
    m_section = SectionCheck{};
    return section;
  }

 private:
  IRSData& m_inner;
  FrameCheck m_frame;
  SectionCheck m_section;
};

// A new, empty file beside `path` that nobody else can have opened.
std::string TemporaryBeside(const std::string& path) {
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return std::string();
  close(fd);
  return pattern;
}

bool Flush(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

// The file belongs to the user the privileged program acts for.
void GiveToInvokingUser(const std::string& path) {
  const int64_t uid = KVUIRecovery::InvokingUser();
  if (uid >= 0 && geteuid() == 0) {
    if (lchown(path.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(-1)) != 0) {
      CatchExeception::WriteLog("%s: cannot give %s to user %lld\r\n", "Static_SaveScanResult", path.c_str(),
                                static_cast<long long>(uid));
    }
  }
}

// The partition records of a tree: those of the copy-out object the scan
// keeps for it (quick scans), else those of a fresh copy-out object of the
// controller for the tree's searcher; `device` becomes the device the records
// place their volumes on.
// Each record's boot region and data area, in bytes from the volume's start.
struct VolumeRegions {
  uint64_t boot = 0, data = 0;
};

void EncodePartitions(KVUIScan& scan, IFilesystemNode* root, std::vector<uint8_t>& out, uint32_t& count,
                      IStorageDevice*& device, std::vector<VolumeRegions>& regions) {
  count = 0;
  device = nullptr;
  regions.clear();
  IRecoveryController* controller = scan.GetRecoveryController();
  if (controller == nullptr) return;
  const _tagSearcherType type = KVCPPPublic::instance().GetNodeSearcheType(root);
  IDataRecovery* copyOut = nullptr;
  std::unique_ptr<IDataRecovery, void (*)(IDataRecovery*)> made(nullptr, [](IDataRecovery* r) { r->Release(); });
  if (controller->thisType() == RECOVERY_CONTROLLER_DELETED) copyOut = scan.GetFileNodeDataRecover(root);
  if (copyOut == nullptr) {
    made.reset(controller->GetDataRecovery(type));
    copyOut = made.get();
  }
  auto* records = dynamic_cast<CDataRecovery*>(copyOut);
  if (records == nullptr) return;
  std::lock_guard<std::mutex> reading(KVUIRecovery::CopyOutLock(copyOut));
  device = records->GetDevice();
  uint32_t valid = 0;
  const std::vector<CSearchedPartitionInfo*>& list = records->GetSearchedPartition(valid);
  for (uint32_t i = 0; i < valid && i < list.size() && count < kMaxPartitions; ++i) {
    const CSearchedPartitionInfo* partition = list[i];
    if (partition == nullptr) continue;
    EncodePartitionEntry(*partition, out);
    ++count;
    uint64_t boot, data;
    const uint64_t unit = partition->GetSectorSize();
    if (regions.size() < kMaxIdentitiesPerRoot && partition->GetStartSector() >= 0 &&
        partition->GetFirstDataSector() >= 0 &&
        !__builtin_mul_overflow(static_cast<uint64_t>(partition->GetStartSector()), unit, &boot) &&
        !__builtin_mul_overflow(static_cast<uint64_t>(partition->GetFirstDataSector()), unit, &data)) {
      regions.push_back({boot, data});
    }
    CatchExeception::WriteLog("%s:%d partition index:%d fileSystemType%d start:%lld end:%lld\n",
                              "Static_SaveScanResult", 495, partition->GetPartitionIndex(),
                              partition->GetFileSystemType(), static_cast<long long>(partition->GetFirstDataSector()),
                              static_cast<long long>(partition->GetTotalSectors()));
  }
}

// Writes one root section: tag, system record, partitions, then the nodes
// breadth-first by folder, each folder's children in sibling order.
// `records` becomes the number of records written (the root's and its
// files'), `regions` where its partitions place their volumes.
void WriteRoot(IRSData& archive, KVUIScan& scan, IFilesystemNode* root, SaveRestoreProgress& progress,
               IStorageDevice*& device, uint64_t& written, std::vector<VolumeRegions>& regions) {
  written = 1;
  std::vector<uint8_t> bytes;
  RecordBytes(bytes).U32(kSectionTag);
  Put(archive, bytes);
  if (RestoreFileNode::WriteSystemNode(root, &archive) == 0) throw CRSException(RSErrorWriteFailed);
  progress.IncProgress(false, false);

  std::vector<uint8_t> partitions;
  uint32_t count = 0;
  EncodePartitions(scan, root, partitions, count, device, regions);
  bytes.clear();
  RecordBytes(bytes).U32(count);
  Put(archive, bytes);
  Put(archive, partitions);

  // A tree without partitions cannot be copied from: only its root is kept.
  if (count != 0) {
    uint32_t records = 0;
    std::deque<IFileNode*> folders{root};
    while (!folders.empty()) {
      IFileNode* folder = folders.front();
      folders.pop_front();
      for (IFileNode* child = folder->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
        // Every node of a tree is a CFileNode: a record needs its runs.
        if (auto* node = dynamic_cast<CFileNode*>(child); node != nullptr) {
          if (++records % kRecordsPerStopCheck == 0) StopWhenAsked(progress);
          bytes.clear();
          RecordBytes(bytes).U32(kFileEntryTag);
          Put(archive, bytes);
          if (RestoreFileNode::WriteFileNode(node, &archive) == 0) throw CRSException(RSErrorWriteFailed);
          ++written;
          progress.IncProgress(false, false);
        }
        if (child->IsDirectory() != 0) folders.push_back(child);
      }
    }
  }
  bytes.clear();
  RecordBytes(bytes).U32(kEndMarker);
  Put(archive, bytes);
  progress.IncProgress(false, false);
}

// The header and the frames; false (with the error noted) when the result
// cannot be saved.
bool WriteResult(IRSData& file, const OperationPara& para, SaveRestoreProgress& progress) {
  FILEHEADER header;
  header.status = FileStatusNormal;
  if (file.WriteFileHeader(header) != 1) {
    progress.TipError(kSaveWriteFailed);
    return false;
  }
  progress.IncProgress(false, false);

  KVUIScan& scan = *para.scan;
  IStorageDevice* storage = scan.GetSavedStorage();
  DeviceRecord device;
  // A file without its device could never be loaded.
  if (storage == nullptr || !DescribeDevice(storage, *para.devices, device)) {
    Log("Static_SaveScanResult", 420);
    progress.TipError(kSaveNoDevice);
    return false;
  }
  ScanKindRecord kind;
  kind.controllerType = static_cast<uint32_t>(scan.GetScanControllerType(storage));
  kind.deep = scan.IsDeepScan() ? 1 : 0;

  SummedArchive archive(file);
  CheckRecord checks;
  const auto closeFrame = [&archive, &checks] {
    archive.CloseFrame();
    checks.frames.push_back(archive.Frame());
  };

  // First, so that a file cut anywhere after it still says what it lacks.
  std::vector<uint8_t> bytes;
  archive.OpenFrame(_frPromisedFrames);
  EncodePromise(PromiseRecord{{_frVolumePlace, _frVolumeIdentity, _frCheckValues}}, bytes);
  Put(archive, bytes);
  closeFrame();

  bytes.clear();
  archive.OpenFrame(_frFileSystemSearchControllerList);
  EncodeScanKind(kind, bytes);
  Put(archive, bytes);
  closeFrame();
  progress.IncProgress(false, false);

  bytes.clear();
  archive.OpenFrame(_frDiskDevice);
  EncodeDevice(device, bytes);
  Put(archive, bytes);
  closeFrame();
  progress.IncProgress(false, false);

  const std::vector<IFilesystemNode*> roots = scan.GetFileSystemNode();
  bytes.clear();
  archive.OpenFrame(_frFileSystemNode);
  RecordBytes(bytes).U64(roots.size());
  Put(archive, bytes);
  archive.TakeSection(0);
  const LoadedResultPlace places(*para.devices, storage);
  PlaceRecord place;
  place.deviceStart = places.StartOnDisk(storage, place.diskCapacity, place.diskName);
  std::vector<std::vector<VolumeRegions>> regions;
  for (IFilesystemNode* root : roots) {
    StopWhenAsked(progress);
    IStorageDevice* read = nullptr;
    uint64_t records = 0;
    regions.emplace_back();
    WriteRoot(archive, scan, root, progress, read, records, regions.back());
    checks.sections.push_back(archive.TakeSection(records));
    // A tree whose copy-out device is not known gets no place: a load
    // matches it by name, as files made before places were kept.
    place.roots.push_back(read != nullptr ? places.PlaceOn(read, storage) : VolumePlace{});
  }
  closeFrame();

  bytes.clear();
  archive.OpenFrame(_frVolumePlace);
  EncodePlace(place, bytes);
  Put(archive, bytes);
  closeFrame();
  progress.IncProgress(false, false);

  // What each tree's volume says of itself, read where its place and its
  // partition records put it on the scanned device.
  IdentityRecord identity;
  const uint64_t sectorSize = storage->GetSectorSize();
  // The medium open for the reads (the scan that read it may have ended).
  const std::shared_ptr<const void> open = para.devices->HoldDevices(storage);
  for (size_t i = 0; i < place.roots.size(); ++i) {
    std::vector<VolumeIdentity>& list = identity.roots.emplace_back();
    uint64_t base;
    if (place.roots[i].start < 0 ||
        __builtin_mul_overflow(static_cast<uint64_t>(place.roots[i].start), sectorSize, &base)) {
      continue;
    }
    for (const VolumeRegions& region : regions[i]) {
      VolumeIdentity one;
      if (ReadIdentity(storage, base, region.boot, region.data, one) &&
          std::find(list.begin(), list.end(), one) == list.end()) {
        list.push_back(std::move(one));
      }
    }
  }
  bytes.clear();
  archive.OpenFrame(_frVolumeIdentity);
  EncodeIdentity(identity, bytes);
  Put(archive, bytes);
  closeFrame();

  bytes.clear();
  archive.OpenFrame(_frCheckValues);
  EncodeChecks(checks, bytes);
  Put(archive, bytes);
  archive.CloseFrame();
  progress.IncProgress(false, false);
  return true;
}

enum class FrameRead { kRead, kMissing, kDamaged };

// Opens the frame and decodes its record, with a step after each.
FrameRead ReadFrame(IRSData& archive, const tagGUIDSIGN& id, SaveRestoreProgress& progress,
                    const std::function<void(RecordReader&)>& decode) {
  try {
    archive.OpenFrame(id);
  } catch (const CRSException&) {
    return FrameRead::kMissing;
  }
  progress.IncProgress(false, false);
  try {
    RecordReader reader(&archive);
    decode(reader);
    archive.CloseFrame();
  } catch (const CRecordDamage&) {
    return FrameRead::kDamaged;
  } catch (const CRSException&) {
    return FrameRead::kDamaged;
  }
  progress.IncProgress(false, false);
  return FrameRead::kRead;
}

}  // namespace

uint64_t LastLoadError() { return g_lastLoadError.load(); }
bool LastLoadUnverified() { return g_lastLoadUnverified.load(); }
void SetLastLoadError(uint64_t code) { g_lastLoadError.store(code); }

LoadDamage LastLoadDamage() {
  std::lock_guard<std::mutex> held(g_damageLock);
  return g_lastLoadDamage;
}

uint64_t Static_SaveScanResult(const OperationPara& para) {
  SaveRestoreProgress progress(para.saver);
  std::unique_ptr<CRSData> archive(new (std::nothrow) CRSData(RSModeWrite));
  progress.IncProgress(false, true);
  Log("Static_SaveScanResult", 382);
  if (archive == nullptr) {
    Log("Static_SaveScanResult", 389);
    progress.TipError(kSaveNoArchive);
  } else {
    progress.IncProgress(false, false);
    const std::string temporary = para.path.empty() ? std::string() : TemporaryBeside(para.path);
    if (!temporary.empty()) {
      std::lock_guard<std::mutex> held(g_temporaryLock);
      g_temporary = temporary;
    }
    if (temporary.empty() || archive->StartRS(temporary.c_str(), 1) == 0) {
      Log("Static_SaveScanResult", 398);
      progress.TipError(kSaveCannotCreate);
      std::lock_guard<std::mutex> held(g_temporaryLock);
      if (!temporary.empty()) unlink(temporary.c_str());
      g_temporary.clear();
    } else {
      bool written = false;
      try {
        written = WriteResult(*archive, para, progress);
      } catch (const CRSException&) {
        progress.TipError(kSaveWriteFailed);
      } catch (const std::bad_alloc&) {
        progress.TipError(kSaveWriteFailed);
      } catch (const SaveStopped&) {
        Log("Static_SaveScanResult", 530);
        progress.TipError(kSaveStopped);
      }
      archive->EndRS();
      if (written && !Flush(temporary)) {
        written = false;
        progress.TipError(kSaveWriteFailed);
      }
      // Under the lock: a quit that gave up waiting removes the temporary
      // file only while it is still the save's.
      std::lock_guard<std::mutex> held(g_temporaryLock);
      if (written && (g_temporary != temporary || std::rename(temporary.c_str(), para.path.c_str()) != 0)) {
        written = false;
        progress.TipError(g_temporary != temporary ? kSaveStopped : kSaveCannotCreate);
      }
      if (written) {
        GiveToInvokingUser(para.path);
      } else {
        unlink(temporary.c_str());
      }
      g_temporary.clear();
    }
  }
  archive.reset();
  Log("Static_SaveScanResult", 543);
  progress.IncProgress(true, false);
  return progress.GetError();
}

uint64_t Static_RestoreScanResult(const OperationPara& para) {
  KVUIScan& scan = *para.scan;
  KVUIDeviceData& devices = *para.devices;
  SaveRestoreProgress progress(&scan);
  SetLastLoadError(0);
  ResetLoadChangedFiles();
  {
    std::lock_guard<std::mutex> held(g_damageLock);
    g_lastLoadDamage = LoadDamage();
  }
  g_lastLoadUnverified.store(false);
  std::unique_ptr<CRSData> archive(new (std::nothrow) CRSData(RSModeRead));
  // The result shown before is left: nothing of it may hold its medium.
  scan.ReleaseResult();
  progress.IncProgress(false, true);
  Log("Static_RestoreScanResult", 641);
  const auto fail = [&progress](int point, uint64_t code) {
    Log("Static_RestoreScanResult", point);
    progress.TipError(code);
    SetLastLoadError(code);
  };

  std::shared_ptr<KVRestoreScanSink> sink;
  do {
    if (archive == nullptr) {
      fail(648, kLoadNoArchive);
      break;
    }
    progress.IncProgress(false, false);
    if (archive->StartRS(para.path.c_str(), 0) == 0) {
      fail(657, kLoadCannotOpen);
      break;
    }
    progress.IncProgress(false, false);
    FILEHEADER header;
    bool valid = archive->ReadFileHeader(header) == 1 && header.signature == _frSignPub;
    try {
      valid = valid && archive->GetStatus() != FileStatusNone;
    } catch (const CRSException&) {
      valid = false;  // a status above the archive's own
    }
    if (!valid) {
      fail(667, kLoadBadHeader);
      break;
    }
    progress.IncProgress(false, false);

    // A frame the file's writer promised and the file lacks: the file was
    // cut short or stripped, and is not to be taken for an older one.
    PromiseRecord promise;
    const FrameRead promiseRead = ReadFrame(*archive, _frPromisedFrames, progress,
                                            [&promise](RecordReader& reader) { promise = DecodePromise(reader); });
    const uint64_t missing = promiseRead == FrameRead::kDamaged ? kLoadBadHeader : MissingPromised(*archive, promise);
    if (missing != 0) {
      fail(668, missing);
      break;
    }

    // With check values, a frame the load needs whole must pass its check;
    // a tree that fails its own is passed over.
    const CheckVerdict checks = VerifyChecks(*archive);
    if (checks.failure != 0) {
      fail(669, checks.failure);
      break;
    }

    // Each frame: missing, or damaged (a length word that is not the
    // layout's, a record cut short), ends the load with its error.
    ScanKindRecord kind;
    const FrameRead kindRead = ReadFrame(*archive, _frFileSystemSearchControllerList, progress,
                                         [&kind](RecordReader& reader) { kind = DecodeScanKind(reader); });
    if (kindRead != FrameRead::kRead) {
      fail(kindRead == FrameRead::kMissing ? 676 : 686, kLoadBadScanKind);
      break;
    }
    DeviceRecord device;
    const FrameRead deviceRead = ReadFrame(*archive, _frDiskDevice, progress,
                                           [&device](RecordReader& reader) { device = DecodeDevice(reader); });
    if (deviceRead != FrameRead::kRead) {
      fail(deviceRead == FrameRead::kMissing ? 698 : 715, kLoadBadDevice);
      break;
    }

    // Files made before places were kept have none: their trees match
    // volumes by name.
    PlaceRecord place;
    const FrameRead placeRead =
        ReadFrame(*archive, _frVolumePlace, progress, [&place](RecordReader& reader) { place = DecodePlace(reader); });
    if (placeRead == FrameRead::kDamaged) {
      fail(719, kLoadBadDevice);
      break;
    }
    const bool placed = placeRead == FrameRead::kRead;
    // Files made before identities were kept have none.
    IdentityRecord identity;
    const FrameRead identityRead = ReadFrame(*archive, _frVolumeIdentity, progress,
                                             [&identity](RecordReader& reader) { identity = DecodeIdentity(reader); });
    if (identityRead == FrameRead::kDamaged ||
        (identityRead == FrameRead::kRead && placed && identity.roots.size() != place.roots.size())) {
      fail(721, kLoadBadDevice);
      break;
    }

    // The device list is looked at once, and its devices kept, until the
    // scan body holds the one it reads.
    const LoadedResultPlace places(devices);
    const LoadedResultPlace::Found found = places.Find(
        device, placed ? &place : nullptr, placed && identityRead == FrameRead::kRead ? &identity : nullptr, kind);
    if (found.failure != 0) {
      fail(found.failure == kLoadDeviceNotFound ? 726 : found.failure == kLoadDeviceChanged ? 728 : 729, found.failure);
      break;
    }
    IStorageDevice* storage = found.device;
    progress.IncProgress(false, false);
    const bool quick = kind.controllerType == RECOVERY_CONTROLLER_DELETED;
    // Known at once, before the scan body ends: a frame that is not there
    // loads nothing; damage inside it loads what could be read.
    sink = std::make_shared<KVRestoreScanSink>(archive.get(), places.Describer(), &progress, [&fail, &sink] {
      fail(730, sink != nullptr && sink->IsFrameMissing() ? kLoadDamagedTrees : kLoadDamaged);
    });
    sink->SetLocator(places.Locator(storage, quick));
    if (placed) sink->SetPlaces(place.roots);
    if (checks.present) sink->SetChecks(checks.treeSound, checks.sections);
    scan.SetDeepScan(static_cast<int>(kind.deep));
    scan.SetShouldBuildTree(1);
    scan.DoRestore(storage, sink);
    // The volume may have been written since the scan: files whose clusters
    // went to others answer incomplete from now on.
    JudgeLoadedResult(scan, devices, storage, found.verified != 0);
    // Every placed tree has a volume where it lay (checked above); one that
    // no replay took was not read from the right place.
    if (placed && !sink->IsDamaged() && !sink->WasStopped() &&
        sink->GetReplayedRoots() + sink->GetSkippedRoots() < place.roots.size()) {
      fail(736, kLoadDeviceChanged);
    }
    // Nothing told that the volumes where the trees lay are the ones they
    // were read from (a file made before identities were kept): said.
    g_lastLoadUnverified.store(found.verified == 0 && sink->GetReplayedRoots() != 0);
    scan.SetOpTreeFinished(1);
    sink->DetachArchive();
    if (!sink->IsFrameMissing() && sink->GetLoadDamage().Any()) {
      std::lock_guard<std::mutex> held(g_damageLock);
      g_lastLoadDamage = sink->GetLoadDamage();
    }
  } while (false);

  if (archive != nullptr) archive->EndRS();
  archive.reset();
  // The scan's controller keeps the sink for as long as it asks it.
  sink.reset();
  Log("Static_RestoreScanResult", 748);
  progress.IncProgress(true, false);
  // Only now: whoever hears of the end reads all the load tells.
  scan.EndOperation();
  return progress.GetError();
}

int DoSaveScanResult(const OperationPara& para, const QString& postName) {
  if (para.path.empty() || para.scan == nullptr || para.saver == nullptr || para.devices == nullptr) return -1;
  const OperationPara copy = para;
  KVPollArgs poll{para.saver, postName};
  poll.finishName = QString::fromLatin1(kFinishName);
  poll.postEndNews = false;
  poll.holdDuringRebuild = false;
  return KVUIController::DoOperation([copy] { Static_SaveScanResult(copy); }, poll) ? 0 : -2;
}

int DoRestoreScanResult(const OperationPara& para, const QString& postName) {
  if (para.path.empty() || para.scan == nullptr || para.devices == nullptr) return -1;
  // Nobody may read the outcome of the load before this one.
  SetLastLoadError(0);
  const OperationPara copy = para;
  KVPollArgs poll{para.scan, postName};
  poll.finishName = QString::fromLatin1(kFinishName);
  poll.postEndNews = false;
  poll.holdDuringRebuild = false;
  // Counted from the request on: the scan operation runs from then.
  ++g_loads;
  const bool started = KVUIController::DoOperation(
      [copy] {
        // However the body leaves.
        const std::shared_ptr<void> ended(nullptr, [](void*) { --g_loads; });
        Static_RestoreScanResult(copy);
      },
      poll);
  if (!started) --g_loads;
  return started ? 0 : -2;
}

bool IsLoadRunning() { return g_loads.load() > 0; }

bool StopSave(KVSaveAndRestoreNodeOperate& saver, std::chrono::milliseconds wait) {
  if (saver.IsOperationExit() && !saver.IsWorkerRunning()) return true;
  saver.StopOperation(1);
  if (saver.WaitForThreads(wait)) return true;
  // Stuck in a write: its file goes now, and the save renames nothing.
  std::lock_guard<std::mutex> held(g_temporaryLock);
  if (!g_temporary.empty()) {
    unlink(g_temporary.c_str());
    g_temporary.clear();
  }
  return false;
}

}  // namespace SaveRestoreResult
