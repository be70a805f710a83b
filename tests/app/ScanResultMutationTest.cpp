// A real saved result, damaged on purpose: the quick scan of the recycle
// fixture's FAT32 volume (mtools) on an MBR disk is saved through the save
// operation, then every byte of its trees frame is set in turn to 0x00, 0xFF
// and a random value, the file is cut at every length, and frames and
// records are repeated. Each variant is replayed as a load replays it, on
// the volume the scan ran on. Whatever the bytes, no loaded file is larger
// than its runs hold and no run lies outside the volume; a change that makes
// a record impossible (read from the layout: a size above its runs, a run or
// a partition outside the volume, a length, tag or kind out of its range)
// ends the replay with damage. The same scan is recovered under a file-size
// limit that one of its files passes: that file fails alone, as too large,
// and the recovery never pauses. The image is unchanged.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "LoadedInvariants.h"
#include "OnDiskBytes.h"
#include "ScanResultFiles.h"
#include "app/KVRecoveryFilePath.h"
#include "app/KVRestoreScanSink.h"
#include "app/KVSaveAndRestoreNodeOperate.h"
#include "app/KVUIDeviceData.h"
#include "app/KVUIRecovery.h"
#include "app/KVUIScan.h"
#include "app/ScanResultSaveRestore.h"
#include "engine/device/DeviceTestSupport.h"
#include "engine/enumeration/EnumTestSupport.h"
#include "support/Conformance.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
namespace srr = SaveRestoreResult;
using rsftest::Bytes;
using rsftest::operator+;
using testsupport::ShellQuote;

// The place of a byte of the trees frame in the layout.
enum class Field {
  kFraming,    // a count, length, tag or end marker: any change moves what follows
  kFlag,       // 0 or 1
  kShown,      // bits 0-2: shown, runs unsure, size cut
  kTime,       // at most INT64_MAX
  kSearcher,   // 31 to 35
  kKind,       // a partition kind, 0 to 4
  kSize,       // a file's size
  kRun,        // a run's start or length
  kPartition,  // sectors per cluster, first data sector, volume start
  kFree,       // anything goes (IDs, names, attributes, scores)
};

struct Place {
  Field field = Field::kFree;
  size_t node = SIZE_MAX;  // the file record it belongs to (its index in `nodes`)
  size_t item = 0;         // which run of the node, or which partition
  size_t at = 0;           // where the field starts in the frame
};

struct Node {
  uint64_t size = 0;
  bool folder = false, resident = false;
  std::vector<std::pair<int64_t, int64_t>> runs;
  uint16_t partition = 0;
  size_t sizeAt = 0, runsAt = 0;
};
struct Partition {
  uint16_t index = 0;
  uint32_t perCluster = 0, sectorSize = 512;
  int64_t first = 0, start = 0;
  size_t at = 0;  // where its 104-byte record starts
};

// The trees frame read by the layout alone, every byte given its place.
struct Layout {
  std::vector<Place> places;
  std::vector<Node> nodes;
  std::vector<Partition> partitions;  // of the one tree

  explicit Layout(const Bytes& frame) : places(frame.size()), b_(frame) {
    Mark(0, 8, Field::kFraming);  // root count
    const uint64_t roots = ondisk::Le64(&b_[0]);
    size_t at = 8;
    for (uint64_t r = 0; r < roots; ++r) {
      Mark(at, 4, Field::kFraming);  // section tag
      at = Record(at + 4, false);
      Mark(at, 4, Field::kSearcher);
      at += 4;
      const uint32_t volume = ondisk::Le32(&b_[at]);
      Mark(at, 4, Field::kFraming);
      at += 4 + volume;
      const uint32_t count = ondisk::Le32(&b_[at]);
      Mark(at, 4, Field::kFraming);
      at += 4;
      for (uint32_t p = 0; p < count; ++p) {
        Mark(at, 4, Field::kKind);
        Partition partition;
        partition.at = at + 4;
        const uint8_t* record = &b_[at + 4];
        partition.index = ondisk::Le16(record + 16);
        partition.perCluster = ondisk::Le32(record + 24);
        partition.first = ondisk::LeI64(record + 32);
        partition.start = ondisk::LeI64(record + 40);
        partition.sectorSize = ondisk::Le32(record + 64);
        for (size_t field : {24, 32, 40}) Mark(at + 4 + field, field == 24 ? 4 : 8, Field::kPartition, SIZE_MAX, p);
        partitions.push_back(partition);
        at += 4 + 104;
      }
      while (ondisk::Le32(&b_[at]) == 0) {
        Mark(at, 4, Field::kFraming);
        at = Record(at + 4, true);
      }
      Mark(at, 4, Field::kFraming);  // end marker
      at += 4;
    }
  }

 private:
  void Mark(size_t at, size_t n, Field field, size_t node = SIZE_MAX, size_t item = 0) {
    for (size_t i = 0; i < n; ++i) places[at + i] = {field, node, item, at};
  }
  // One file record at `at`; where the next field begins.
  size_t Record(size_t at, bool file) {
    const size_t index = file ? nodes.size() : SIZE_MAX;
    Node node;
    node.size = ondisk::Le64(&b_[at + 16]);
    node.sizeAt = at + 16;
    node.folder = ondisk::Le32(&b_[at + 50]) != 0;
    node.resident = ondisk::Le32(&b_[at + 62]) != 0;
    Mark(at + 16, 8, file ? Field::kSize : Field::kFree, index);
    for (size_t time = 26; time < 50; time += 8) Mark(at + time, 8, Field::kTime, index);
    Mark(at + 50, 8, Field::kFlag, index);  // folder, deleted
    Mark(at + 58, 4, Field::kFraming, index);
    Mark(at + 62, 4, Field::kFlag, index);  // resident
    const uint32_t runs = ondisk::Le32(&b_[at + 58]);
    at += 66;
    node.runsAt = at;
    for (uint32_t r = 0; r < runs; ++r, at += 16) {
      node.runs.emplace_back(ondisk::LeI64(&b_[at]), ondisk::LeI64(&b_[at + 8]));
      Mark(at, 16, file ? Field::kRun : Field::kFree, index, r);
    }
    const uint32_t name = ondisk::Le32(&b_[at]);
    Mark(at, 4, Field::kFraming, index);
    at += 4 + name;
    Mark(at, 4, Field::kShown, index);
    node.partition = ondisk::Le16(&b_[at + 4]);
    Mark(at + 14, 4, Field::kFlag, index);  // compressed
    if (file) nodes.push_back(node);
    return at + 18;
  }
  const Bytes& b_;
};

// Whether the records of `layout`, as changed, still describe what a volume
// of `deviceBytes` can hold: every partition places a volume on it, and
// every file's runs lie on it and hold its size.
bool Possible(const Layout& layout, uint64_t deviceBytes) {
  using Wide = unsigned __int128;
  for (const Partition& p : layout.partitions) {
    if (p.perCluster == 0 || p.first < 0 || p.start < 0) return false;
    const uint32_t sector = p.sectorSize % 512 == 0 && p.sectorSize != 0 ? p.sectorSize : 512;
    if (Wide(p.perCluster) * sector > UINT32_MAX) return false;
    if (Wide(p.first) * sector >= deviceBytes || Wide(p.start) * sector >= deviceBytes) return false;
  }
  for (const Node& node : layout.nodes) {
    if (node.resident) continue;  // FAT keeps none
    const Partition* p = nullptr;
    for (const Partition& candidate : layout.partitions) {
      if (candidate.index == node.partition) p = &candidate;
    }
    if (p == nullptr && !layout.partitions.empty()) p = &layout.partitions.front();
    Wide held = 0;
    for (const auto& [start, length] : node.runs) {
      if (length == 0) continue;
      if (length < 0 || p == nullptr) return false;
      const uint32_t sector = p->sectorSize % 512 == 0 && p->sectorSize != 0 ? p->sectorSize : 512;
      const Wide cluster = Wide(p->perCluster) * sector;
      held += cluster * Wide(length);
      if (held > deviceBytes) return false;
      if (start >= 0 && Wide(p->first) * sector + Wide(start) * cluster + cluster * Wide(length) > deviceBytes) {
        return false;
      }
    }
    if (!node.folder && node.size > held) return false;
  }
  return true;
}

class RecycleVolume : public testing::Test {
 protected:
  void SetUp() override {
    const fs::path images =
        conformance::FixtureDir("CLIPMENDER_RECYCLE_FIXTURES", fs::path(CLIPMENDER_BUILD_FIXTURES) / "recycle");
    const std::string why =
        conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/recycle/make-recycle-images.sh", images);
    REQUIRE_OR_SKIP(why.empty(), why);
    image_ = images / "rb-f32.img";
    devicetest::MakeSparseImage(disk_, fs::file_size(image_) + (1 << 20));
    enumtest::MakeMbr(disk_, {"1 : start=2048, type=c"});
    testsupport::RunCommandOrFail("dd if=" + ShellQuote(image_.string()) + " of=" + ShellQuote(disk_.string()) +
                                  " bs=512 seek=2048 conv=notrunc,sparse status=none");
    machine_.AddDisk(
        {.name = "sdm", .major = 240, .minor = 64, .size512 = fs::file_size(disk_) / 512, .model = "Mutant"});
    machine_.SetNode("sdm", disk_);
    guard_ = std::make_unique<devicetest::ImageGuard>(disk_);
    model_.InitDeviceInfo();
    volume_ = model_.GetStorageByDiskVolumeIndex(0, 0);
    ASSERT_NE(volume_, nullptr);
    deviceBytes_ = static_cast<uint64_t>(volume_->GetTotalSectors()) * volume_->GetSectorSize();

    scan_.SetStatus(KVOperationRunning);
    ASSERT_FALSE(result::IsFailure(scan_.DoScan(volume_, nullptr)));
    scan_.SetStatus(KVOperationIdle);
    srr::OperationPara para;
    para.path = (work_ / "real.rsf").string();
    para.scan = &scan_;
    para.saver = &saver_;
    para.devices = &model_;
    saver_.SetStatus(KVOperationRunning);
    ASSERT_EQ(srr::Static_SaveScanResult(para), 0u);
    saver_.SetStatus(KVOperationIdle);
    file_ = testsupport::ReadFile(work_ / "real.rsf");
    // The frame: its GUID, its length, its payload.
    const Bytes guid(srr::_frFileSystemNode.bytes, srr::_frFileSystemNode.bytes + 16);
    const auto found = std::search(file_.begin(), file_.end(), guid.begin(), guid.end());
    ASSERT_NE(found, file_.end());
    frameAt_ = static_cast<size_t>(found - file_.begin()) + 16 + 4;
    frameSize_ = ondisk::Le32(&file_[frameAt_ - 4]);
    // The frame of places that follows the trees is left off: these replays
    // take every tree, as on a whole disk, and ask no place.
    ASSERT_LE(frameAt_ + frameSize_, file_.size());
    file_.resize(frameAt_ + frameSize_);
  }

  struct Outcome {
    bool damaged = false;
    size_t nodes = 0;
    std::vector<std::string> broken;
  };
  // Replays `bytes` as a whole file, as a load on the scanned volume does.
  Outcome Replay(const Bytes& bytes) {
    const fs::path path = work_ / "variant.rsf";
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Outcome outcome;
    CRSData archive(RSModeRead);
    if (archive.StartRS(path.c_str(), 0) == 0) return {true, 0, {}};
    {
      srr::KVRestoreScanSink sink(
          &archive,
          [](IStorageDevice*) {
            return srr::KVRestoreScanSink::DeviceView{true, true, ""};
          },
          nullptr, [&outcome] { outcome.damaged = true; });
      testsupport::RecordingBuilder kept;
      testsupport::RecordingProgress progress;
      rsftest::InvariantBuilder builder(&kept, sink, deviceBytes_);
      sink.SetDirecotryTreeBuilder(&builder, &progress, volume_);
      outcome.nodes = builder.nodes;
      outcome.broken = builder.broken;
    }
    archive.EndRS();
    return outcome;
  }

  Bytes Frame() const { return Bytes(file_.begin() + long(frameAt_), file_.end()); }
  Bytes WithFrame(const Bytes& frame) const {
    Bytes out(file_.begin(), file_.begin() + long(frameAt_));
    const Bytes length = rsftest::U32(static_cast<uint32_t>(frame.size()));
    std::copy(length.begin(), length.end(), out.end() - 4);
    return out + frame;
  }

  testsupport::TempDir work_;
  enumtest::FakeMachine machine_;
  fs::path image_, disk_ = machine_ / "disk.img";
  std::unique_ptr<devicetest::ImageGuard> guard_;
  KVUIDeviceData model_{[this] { return std::make_unique<CEnumDeviceEx>(machine_.Source()); }};
  KVUIScan scan_{&model_};
  KVSaveAndRestoreNodeOperate saver_;
  IStorageDevice* volume_ = nullptr;
  uint64_t deviceBytes_ = 0;
  Bytes file_;
  size_t frameAt_ = 0, frameSize_ = 0;
};

TEST_F(RecycleVolume, EveryByteChangedLoadsNoImpossibleFileAndEveryImpossibleRecordIsDamage) {
  if (IsSkipped()) return;
  const Bytes frame = Frame();
  const Layout layout(frame);
  ASSERT_GT(layout.nodes.size(), 10u) << "the fixture's files and folders";
  ASSERT_EQ(layout.partitions.size(), 1u);
  ASSERT_TRUE(Possible(layout, deviceBytes_));
  const Outcome whole = Replay(file_);
  ASSERT_FALSE(whole.damaged);
  ASSERT_TRUE(whole.broken.empty()) << whole.broken.front();
  ASSERT_EQ(whole.nodes, layout.nodes.size());

  std::mt19937 random(70);
  size_t variants = 0, expectedDamage = 0;
  size_t failures = 0;
  for (size_t at = 0; at < frame.size() && failures < 20; ++at) {
    for (int round = 0; round < 3; ++round) {
      const uint8_t value = round == 0 ? 0x00 : round == 1 ? 0xFF : static_cast<uint8_t>(random());
      if (value == frame[at]) continue;
      Bytes changed = frame;
      changed[at] = value;
      ++variants;
      const Place& place = layout.places[at];
      bool impossible = false;
      switch (place.field) {
        case Field::kFraming:
          impossible = true;
          break;
        case Field::kFlag:
          impossible = ondisk::Le32(&changed[place.at]) > 1;
          break;
        case Field::kShown:
          impossible = ondisk::Le32(&changed[place.at]) > 7;
          break;
        case Field::kTime:
          impossible = ondisk::Le64(&changed[place.at]) > INT64_MAX;
          break;
        case Field::kSearcher: {
          const uint32_t type = ondisk::Le32(&changed[place.at]);
          impossible = type < 31 || type > 35;
          break;
        }
        case Field::kKind:
          impossible = ondisk::Le32(&changed[place.at]) > 4;
          break;
        case Field::kSize:
        case Field::kRun:
        case Field::kPartition: {
          // The records as changed, judged by the layout.
          const Layout again(changed);
          impossible = !Possible(again, deviceBytes_);
          break;
        }
        case Field::kFree:
          break;
      }
      const Outcome outcome = Replay(WithFrame(changed));
      EXPECT_TRUE(outcome.broken.empty()) << "byte " << at << " = " << int(value) << ": " << outcome.broken.front();
      if (impossible) {
        ++expectedDamage;
        EXPECT_TRUE(outcome.damaged) << "byte " << at << " = " << int(value) << " (field "
                                     << static_cast<int>(place.field) << ") loads without a word";
      }
      failures += !outcome.broken.empty() || (impossible && !outcome.damaged);
    }
  }
  EXPECT_GT(expectedDamage, frame.size() / 2) << "a good share of the changes make a record impossible";
  RecordProperty("variants", static_cast<int>(variants));
}

TEST_F(RecycleVolume, EveryCutIsDamageAndARepeatedFrameOrRecordBreaksNothing) {
  if (IsSkipped()) return;
  // Cut anywhere in the trees frame: the file ends early.
  for (size_t keep = frameAt_; keep < file_.size(); ++keep) {
    const Outcome outcome = Replay(Bytes(file_.begin(), file_.begin() + long(keep)));
    EXPECT_TRUE(outcome.damaged) << keep;
    EXPECT_TRUE(outcome.broken.empty()) << keep;
  }
  const Bytes frame = Frame();
  const Layout layout(frame);
  // The trees frame twice: the first one counts.
  const Bytes twice = file_ + Bytes(file_.begin() + long(frameAt_) - long(kRSFrameHeaderSize), file_.end());
  Outcome outcome = Replay(twice);
  EXPECT_FALSE(outcome.damaged);
  EXPECT_EQ(outcome.nodes, layout.nodes.size());
  // The whole tree twice, counted: two trees, nothing impossible.
  Bytes trees = rsftest::U64(2) + Bytes(frame.begin() + 8, frame.end()) + Bytes(frame.begin() + 8, frame.end());
  outcome = Replay(WithFrame(trees));
  EXPECT_FALSE(outcome.damaged);
  EXPECT_EQ(outcome.nodes, 2 * layout.nodes.size());
  EXPECT_TRUE(outcome.broken.empty());
  // The tree twice with a count of one, or of none: bytes no count announces.
  for (uint64_t count : {0, 1}) {
    trees = rsftest::U64(count) + Bytes(frame.begin() + 8, frame.end()) + Bytes(frame.begin() + 8, frame.end());
    EXPECT_TRUE(Replay(WithFrame(trees)).damaged) << count;
  }
  // Every file record given twice in a row: versions of one file, shown both.
  Bytes doubled(frame.begin(), frame.begin() + long(layout.nodes.front().sizeAt - 16 - 4));
  for (size_t n = 0; n < layout.nodes.size(); ++n) {
    const size_t from = layout.nodes[n].sizeAt - 16 - 4;
    const size_t to = n + 1 < layout.nodes.size() ? layout.nodes[n + 1].sizeAt - 16 - 4 : frame.size() - 4;
    const Bytes record(frame.begin() + long(from), frame.begin() + long(to));
    doubled = doubled + record + record;
  }
  doubled = doubled + rsftest::U32(0xFFFFFFFF);
  outcome = Replay(WithFrame(doubled));
  EXPECT_FALSE(outcome.damaged);
  EXPECT_EQ(outcome.nodes, 2 * layout.nodes.size());
  EXPECT_TRUE(outcome.broken.empty());
}

// The destination takes files of at most 6200 bytes (a file-size limit with
// SIGXFSZ ignored gives EFBIG, as FAT32 does above 4 GiB): the one deleted
// file of 6619 bytes fails as too large, every other file copies out
// identical to its original, and the recovery runs to its end without ever
// waiting for room.
TEST_F(RecycleVolume, AFileTooLargeForTheDestinationFailsAloneAndNothingPauses) {
  if (IsSkipped()) return;
  const fs::path out = work_ / "recovered";
  fs::create_directories(out);
  const auto child = testsupport::RunInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{6200, 6200};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 90;
    alarm(120);  // a recovery that waits for room would wait for ever
    for (IFilesystemNode* root : scan_.GetFileSystemNode()) root->SetCheck(CHECKED_STATUS_CHECKED);
    KVUIRecovery recovery(&scan_, &model_);
    recovery.SetRecoveryPath(out.c_str());
    KVRecoveryFolderNumbers::Shared().Clear();
    recovery.SetStatus(KVOperationRunning);
    std::string rawFolders;
    const ResultCode last = recovery.DoRecovery(rawFolders);
    if (result::Error(last) != result::kErrTooLarge) return 2;
    if (recovery.GetFailedFilesCnt() != 1 || recovery.GetTooLargeFilesCnt() != 1) return 3;
    if (recovery.GetStatus() == KVOperationPaused) return 4;
    return static_cast<int>(recovery.GetRecoveriedFilesCnt());
  });
  ASSERT_TRUE(WIFEXITED(child.status)) << "ended by signal " << WTERMSIG(child.status);
  std::multiset<std::string> copied;
  for (const auto& [path, sha] : conformance::HashAll(out)) copied.insert(sha);
  size_t files = 0, whole = 0;
  for (const conformance::Expected& e : conformance::ReadExpectations(image_.string() + ".expect.tsv")) {
    if (e.folder) continue;
    ++files;
    if (e.size <= 6200) {
      EXPECT_GE(copied.count(e.sha256), 1u) << e.path;  // some files share their bytes
      ++whole;
    }
  }
  EXPECT_EQ(whole + 1, files) << "one file of the fixture is above the limit";
  EXPECT_EQ(WEXITSTATUS(child.status), static_cast<int>(whole)) << "2 not too large, 3 counts, 4 paused";
}

}  // namespace
