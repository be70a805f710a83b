#include "ui/windows/gallery/ResultsScene.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <string>
#include <vector>

#include "DeviceData.h"
#include "FileNode.h"
#include "Progress.h"
#include "RecoveryController.h"
#include "StorageDevice.h"
#include "app/KVUIController.h"
#include "app/KVUIScan.h"

namespace resultsscene {

namespace {

// _FILETIME of a Unix time.
uint64_t FileTime(int64_t unixSeconds) { return static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL; }

class SceneNode final : public CFileNode {
 public:
  SceneNode(std::string name, bool folder, uint64_t size, bool deleted, int64_t time)
      : name_(std::move(name)), folder_(folder), size_(size), deleted_(deleted), time_(FileTime(time)) {}

  const char* GetFileName() override { return name_.c_str(); }
  uint64_t GetFileSize() override { return size_; }
  uint32_t GetAttribute() override { return folder_ ? 0x10 : 0x20; }
  uint64_t GetCreationTime() override { return time_; }
  uint64_t GetModificationTime() override { return time_ + 36000000000ULL; }
  uint64_t GetLastAccessTime() override { return 0; }
  int IsDirectory() override { return folder_ ? 1 : 0; }
  int IsDeleted() override { return deleted_ ? 1 : 0; }
  IFileNode* Clone() override { return nullptr; }
  void Release() override {}  // the controller owns every node
  void MarkDeleted() override { deleted_ = true; }
  void FilterFileNameByDot() override {}
  _tagSearcherType GetSearcheType() const override { return SEARCHER_TYPE_FAT; }
  const char* GetVolumeName() const override { return volume_.empty() ? nullptr : volume_.c_str(); }
  void SetVolumeName(std::string volume) { volume_ = std::move(volume); }

 private:
  std::string name_, volume_;
  bool folder_;
  uint64_t size_;
  bool deleted_;
  uint64_t time_;
};

// What the scan is given to read: nothing is read from it.
class SceneDevice final : public IStorageDevice {
 public:
  int Open() override { return 1; }
  int Close() override { return 1; }
  int ReadSector(void*, int64_t, int64_t) override { return 0; }
  uint32_t GetSectorSize() override { return 512; }
  int64_t GetTotalSectors() override { return 62500000; }
  int IOCtl(uint64_t, void*) override { return 0; }
  IStorageDeviceData* GetPrivateData() override { return nullptr; }
  void SetPrivateData(IStorageDeviceData* data) override {
    if (data != nullptr) data->Release();
  }
  uint32_t GetType() override { return STORAGE_DEVICE_VOLUME; }
  ResultCode GetLastError() override { return 0; }
};

}  // namespace

struct Scene::State {
  std::mutex lock;
  std::condition_variable changed;
  double holdPercent = -1;
  bool held = false;
  bool released = false;
  int before = 1, after = 1;
  SceneDevice device;
  std::function<IDataRecovery*()> copyOut;
};

namespace {

class SceneController final : public IRecoveryController {
 public:
  SceneController(_RECOVERY_CONTROLLER_TYPE kind, std::shared_ptr<Scene::State> state)
      : kind_(kind), state_(std::move(state)) {}

  _RECOVERY_CONTROLLER_TYPE thisType() const override { return kind_; }
  int Initialize(IRecoveryFilter* filter) override { return filter != nullptr ? 1 : 0; }
  IDataRecovery* GetDataRecovery(_tagSearcherType) const override {
    std::lock_guard<std::mutex> held(state_->lock);
    return state_->copyOut ? state_->copyOut() : nullptr;
  }
  void Release() override { delete this; }
  void SetRestoreScanSink(RestoreScanSink*) override {}

  ResultCode StartDataRecovery(IStorageDevice*, IProgress* progress, IDrirectoryTree* tree) override {
    int volume = 0;
    for (; volume < state_->before; ++volume) ShowVolume(volume, tree);
    double hold = 0;
    {
      std::lock_guard<std::mutex> held(state_->lock);
      hold = state_->holdPercent;
    }
    ReportProgress(progress, PROGRESS_STATUS_RUNNING, 1000, static_cast<uint64_t>((hold < 0 ? 50 : hold) * 10));
    if (hold >= 0) {
      std::unique_lock<std::mutex> held(state_->lock);
      state_->held = true;
      state_->changed.notify_all();
      // A stop (or a pause that ends in one) ends the wait too.
      while (!state_->released) {
        held.unlock();
        const bool goOn = progress->Continued() != 0;
        held.lock();
        if (!goOn) break;
        state_->changed.wait_for(held, std::chrono::milliseconds(20));
      }
      state_->held = false;
      if (!state_->released) return 0;
    }
    for (; volume < state_->before + state_->after; ++volume) ShowVolume(volume, tree);
    ReportProgress(progress, PROGRESS_STATUS_FINISHED, 1000, 1000);
    return 0;
  }

 private:
  SceneNode* Add(SceneNode* parent, const std::string& name, bool folder, uint64_t size = 0, bool deleted = false) {
    // Days apart, so the date trees have months to show.
    const int64_t time = 1684051200 + static_cast<int64_t>(nodes_.size()) * 86400 * 9;
    nodes_.push_back(std::make_unique<SceneNode>(name, folder, size, deleted, time));
    SceneNode* node = nodes_.back().get();
    if (parent != nullptr) parent->AddChild(node);
    return node;
  }

  // Links one volume's tree, then shows it: nothing is linked under a node
  // the scan was already shown.
  void ShowVolume(int index, IDrirectoryTree* tree) {
    const size_t first = nodes_.size();
    // Roots carry the volume's name, as the scanners' roots do.
    SceneNode* root = Add(nullptr, Scene::VolumeName(index).toStdString(), true);
    root->SetVolumeName(Scene::VolumeName(index).toStdString());
    if (index == 0) {
      SceneNode* camera = Add(Add(root, "DCIM", true), "100CANON", true);
      for (int k = 1; k <= Scene::kCameraFiles; ++k) {
        Add(camera, "IMG_" + std::to_string(4100 + k) + ".JPG", false, 2100000 + 137000 * k, k % 4 == 0);
      }
      SceneNode* documents = Add(root, "Documents", true);
      Add(documents, "Letter to Anna.doc", false, 48128);
      Add(documents, "Budget 2023.xls", false, 122880, true);
      Add(documents, "Notes.txt", false, 3120);
      Add(Add(root, "Music", true), "Summer.mp3", false, 5242880, true);
      Add(root, "Empty folder", true);
      SceneNode* trip = Add(root, "Old trip", true, 0, true);
      Add(trip, "Beach.jpg", false, 3400000, true);
      Add(trip, "Sunset.jpg", false, 2900000, true);
      Add(root, "readme.txt", false, 1024);
    } else {
      Add(Add(root, "Projects", true), "plan.pdf", false, 420000);
      Add(root, "archive.zip", false, 9800000, true);
    }
    tree->ShowFilesystemNode(root);
    std::vector<IFileNode*> batch;
    for (size_t k = first + 1; k < nodes_.size(); ++k) batch.push_back(nodes_[k].get());
    tree->ShowNodes(batch.data(), static_cast<unsigned>(batch.size()), 0);
  }

  _RECOVERY_CONTROLLER_TYPE kind_;
  std::shared_ptr<Scene::State> state_;
  std::vector<std::unique_ptr<SceneNode>> nodes_;
};

}  // namespace

Scene::Scene(int volumesBeforeHold, int volumesAfterHold) : state_(std::make_shared<State>()) {
  state_->before = std::max(1, volumesBeforeHold);
  state_->after = std::max(0, volumesAfterHold);
  std::shared_ptr<State> state = state_;
  scan_ = std::make_unique<KVUIScan>(nullptr, [state](_RECOVERY_CONTROLLER_TYPE kind) -> IRecoveryController* {
    return new SceneController(kind, state);
  });
  KVUIController::UseScan(scan_.get());
}

Scene::~Scene() {
  Release();
  KVUIController::StopScan(1);
  scan_.reset();
  KVUIController::UseScan(nullptr);
}

bool Scene::Start(const QString& postName) {
  {
    std::lock_guard<std::mutex> held(state_->lock);
    state_->released = false;
  }
  // As the controller's own start does: the last scene's nodes leave the
  // trees before this one's scan runs.
  KVUIController::EmptyResultTrees();
  KVUIScan* scan = scan_.get();
  IStorageDevice* device = &state_->device;
  return KVUIController::DoOperation([scan, device] { scan->DoScan(device, nullptr); }, KVPollArgs{scan, postName});
}

void Scene::HoldAt(double percent) {
  std::lock_guard<std::mutex> held(state_->lock);
  state_->holdPercent = percent;
}

void Scene::Release() {
  std::lock_guard<std::mutex> held(state_->lock);
  state_->holdPercent = -1;
  state_->released = true;
  state_->changed.notify_all();
}

void Scene::SetCopyOut(std::function<IDataRecovery*()> make) {
  std::lock_guard<std::mutex> held(state_->lock);
  state_->copyOut = std::move(make);
}

bool Scene::IsHeld() const {
  std::lock_guard<std::mutex> held(state_->lock);
  return state_->held;
}

KVUIScan& Scene::scan() { return *scan_; }

bool PumpUntil(const std::function<bool()>& done) {
  QDeadlineTimer deadline(20000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

QString Scene::VolumeName(int index) {
  static const char* const names[] = {"CAMERA", "BACKUP"};
  return index < 2 ? QString::fromLatin1(names[index]) : QStringLiteral("VOLUME %1").arg(index + 1);
}

}  // namespace resultsscene
