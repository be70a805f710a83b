// The records of a saved scan result against byte images written by hand
// from the layout, the replay of saved trees into a tree builder, and damaged
// files: each ends the replay with damage, keeps what was replayed before and
// never crashes or hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "DataRunList.h"
#include "HFSPlusTestImages.h"
#include "ScanResultFiles.h"
#include "app/KVRestoreScanSink.h"
#include "app/RestoreFileNode.h"
#include "app/SaveRestoreProgress.h"
#include "app/ScanResultChecks.h"
#include "app/ScanResultSaveRestore.h"
#include "copyout/CCompressFileReader.h"
#include "copyout/CDataRecovery.h"
#include "engine/tree/TreeDoubles.h"
#include "support/BytesDevice.h"
#include "support/Recorders.h"
#include "support/RecordingProgress.h"
#include "support/ScratchWorkDir.h"
#include "support/StubDevice.h"
#include "tree/CDirectoryTreeBuilder.h"
#include "tree/CFilesystemNode.h"

namespace {

namespace fs = std::filesystem;
using namespace rsftest;
using SaveRestoreResult::KVRestoreScanSink;
using SaveRestoreResult::RestoreFileNode;

// A node whose every field the test sets.
class GoldenNode : public CFileNode {
 public:
  const char* GetFileName() override { return name.c_str(); }
  uint64_t GetFileSize() override { return size; }
  uint32_t GetAttribute() override { return attribute; }
  uint64_t GetCreationTime() override { return 0x01D9000000000001; }
  uint64_t GetModificationTime() override { return 0x01D9000000000002; }
  uint64_t GetLastAccessTime() override { return 0x01D9000000000003; }
  int IsDirectory() override { return 0; }
  int IsDeleted() override { return 1; }
  IFileNode* Clone() override { return nullptr; }
  void MarkDeleted() override {}
  void FilterFileNameByDot() override {}
  std::string name = "Caf\xC3\xA9";
  uint64_t size = 0x0102;
  uint32_t attribute = 0x12345;
};

Bytes Encoded(const std::function<void(std::vector<uint8_t>&)>& encode) {
  Bytes out;
  encode(out);
  return out;
}

TEST(ScanResultRecords, ScanKindDeviceAndPartitionRecordsAreTheLayoutsBytes) {
  SaveRestoreResult::ScanKindRecord kind;
  kind.controllerType = 1;
  kind.deep = 1;
  EXPECT_EQ(Encoded([&](Bytes& b) { SaveRestoreResult::EncodeScanKind(kind, b); }), Hex("08000000 01000000 01000000"));

  SaveRestoreResult::DeviceRecord device;
  device.capacity = 0x123456789A;
  device.diskIndex = 2;
  device.volumeIndex = -1;
  device.fileSystem = -1;
  device.name = "sdq";
  const Bytes deviceBytes = Hex("9A78563412000000 02000000 FFFFFFFF FFFFFFFF 03000000 736471");
  EXPECT_EQ(Encoded([&](Bytes& b) { SaveRestoreResult::EncodeDevice(device, b); }), deviceBytes);

  CSearchedPartitionInfo partition(4096);
  partition.SetPartitionIndex(3);
  partition.SetFileSystemType(FILE_SYSTEM_TYPE_NTFS);
  partition.SetSectorsperCluster(8);
  partition.SetFirstDataSector(2048);
  partition.SetStartSector(2048);
  partition.SetReservedWord(0x55);
  partition.SetMatchedCount(9);
  partition.SetTotalSectors(0x10000);
  partition.SetReliabilityScore(77);
  partition.SetOrderWeight(0.5);
  const Bytes partitionBytes =
      Hex("04000000"                              // kind: a plain record
          "0000000000000000 0000000000000000"     // reserved, private data
          "0300 0000 03000000 08000000 00000000"  // index, padding, type, sectors per cluster, padding
          "0008000000000000 0008000000000000"     // first data sector, start
          "5500000000000000 0900000000000000"     // reserved word, matched count
          "00100000 00000000 0000010000000000"    // sector size, reserved, total sectors
          "4D00000000000000 000000000000E03F"     // score, weight 0.5
          "00000000 00000000");                   // reserved
  EXPECT_EQ(Encoded([&](Bytes& b) { SaveRestoreResult::EncodePartitionEntry(partition, b); }), partitionBytes);

  // The same bytes read back.
  testsupport::TempDir dir;
  WriteArchive(dir / "r.rsf",
               {{SaveRestoreResult::_frFileSystemSearchControllerList, Hex("08000000 02000000 00000000")},
                {SaveRestoreResult::_frDiskDevice, deviceBytes},
                {SaveRestoreResult::_frFileSystemNode, partitionBytes}});
  {
    OpenFrame frame(dir / "r.rsf", SaveRestoreResult::_frFileSystemSearchControllerList);
    SaveRestoreResult::RecordReader reader(&frame.archive);
    const auto read = SaveRestoreResult::DecodeScanKind(reader);
    EXPECT_EQ(read.controllerType, 2u);
    EXPECT_EQ(read.deep, 0u);
  }
  {
    OpenFrame frame(dir / "r.rsf", SaveRestoreResult::_frDiskDevice);
    SaveRestoreResult::RecordReader reader(&frame.archive);
    const auto read = SaveRestoreResult::DecodeDevice(reader);
    EXPECT_EQ(read.capacity, 0x123456789Au);
    EXPECT_EQ(read.diskIndex, 2);
    EXPECT_EQ(read.volumeIndex, -1);
    EXPECT_EQ(read.fileSystem, -1);
    EXPECT_EQ(read.name, "sdq");
  }
  {
    OpenFrame frame(dir / "r.rsf", SaveRestoreResult::_frFileSystemNode);
    SaveRestoreResult::RecordReader reader(&frame.archive);
    const auto read = SaveRestoreResult::DecodePartitionEntry(reader);
    EXPECT_EQ(read->GetType(), 4) << "a plain record whatever the kind";
    EXPECT_EQ(read->GetPrivateData(), nullptr);
    EXPECT_EQ(read->GetPartitionIndex(), 3);
    EXPECT_EQ(read->GetFileSystemType(), FILE_SYSTEM_TYPE_NTFS);
    EXPECT_EQ(read->GetSectorsperCluster(), 8u);
    EXPECT_EQ(read->GetFirstDataSector(), 2048);
    EXPECT_EQ(read->GetStartSector(), 2048);
    EXPECT_EQ(read->GetReservedWord(), 0x55);
    EXPECT_EQ(read->GetMatchedCount(), 9);
    EXPECT_EQ(read->GetSectorSize(), 4096u);
    EXPECT_EQ(read->GetTotalSectors(), 0x10000u);
    EXPECT_EQ(read->GetReliabilityScore(), 77u);
    EXPECT_EQ(read->GetOrderWeight(), 0.5);
  }
}

TEST(ScanResultRecords, FileAndSystemRecordsAreTheLayoutsBytes) {
  GoldenNode node;
  node.SetCurrentNodeID(0x1122334455667788);
  node.SetParentNodeID(5);
  node.SetCompressedFlag(1);
  node.SetBelongedPartition(7);
  node.SetMetaDataSector(0x123456);
  auto* runs = new CDataRunList();
  const DataRun data{5, 3}, sparse{-1, 2};
  runs->AddDataRun(&data);
  runs->AddDataRun(&sparse);
  node.SetDataRunList(runs);
  const Bytes fileBytes =
      Hex("8877665544332211 0500000000000000 0201000000000000"     // IDs, size
          "4523"                                                   // attribute, low 16 bits
          "0100000000 00D901 0200000000 00D901 0300000000 00D901"  // three times
          "00000000 01000000"                                      // folder, deleted
          "02000000 00000000"                                      // two runs, not resident
          "0500000000000000 0300000000000000"                      // cluster 5, 3 clusters
          "FFFFFFFFFFFFFFFF 0200000000000000"                      // sparse, 2 clusters
          "05000000 436166C3A9"                                    // name
          "01000000 0700 5634120000000000 01000000");              // shown, partition, metadata sector, compressed
  EXPECT_EQ(Encoded([&](Bytes& b) { SaveRestoreResult::EncodeFileRecord(&node, b); }), fileBytes);

  CFilesystemNode root(SEARCHER_TYPE_FAT, "stick(FAT/FAT32)", "stick", 2);
  const Bytes systemBytes =
      Hex("0200000000000000 FFFFFFFFFFFFFFFF 0000000000000000 0000"
          "0000000000000000 0000000000000000 0000000000000000"
          "01000000 00000000 00000000 00000000"           // a folder without runs
          "10000000 737469636B28 4641542F 4641543332 29"  // "stick(FAT/FAT32)"
          "01000000 FFFF FFFFFFFFFFFFFFFF 00000000"
          "20000000 05000000 737469636B");  // FAT, "stick"
  EXPECT_EQ(Encoded([&](Bytes& b) { SaveRestoreResult::EncodeSystemRecord(&root, b); }), systemBytes);

  // Read back from the hand image.
  testsupport::TempDir dir;
  WriteArchive(dir / "r.rsf", {{SaveRestoreResult::_frFileSystemNode, fileBytes + systemBytes}});
  OpenFrame frame(dir / "r.rsf", SaveRestoreResult::_frFileSystemNode);
  SaveRestoreResult::RecordReader reader(&frame.archive);
  std::unique_ptr<RestoreFileNode> read(RestoreFileNode::ReadFileNode(reader, nullptr));
  EXPECT_EQ(read->GetCurrentNodeID(), 0x1122334455667788);
  EXPECT_EQ(read->GetParentNodeID(), 5);
  EXPECT_EQ(read->GetFileSize(), 0x0102u);
  EXPECT_EQ(read->GetAttribute(), 0x2345u);
  EXPECT_EQ(read->GetCreationTime(), 0x01D9000000000001u);
  EXPECT_EQ(read->GetModificationTime(), 0x01D9000000000002u);
  EXPECT_EQ(read->GetLastAccessTime(), 0x01D9000000000003u);
  EXPECT_EQ(read->IsDirectory(), 0);
  EXPECT_EQ(read->IsDeleted(), 1);
  EXPECT_STREQ(read->GetFileName(), "Caf\xC3\xA9");
  EXPECT_EQ(read->IsNodeShow(), 1);
  EXPECT_EQ(read->GetBelongedPartition(), 7);
  EXPECT_EQ(read->GetMetadataStartPosition(), 0x123456);
  EXPECT_EQ(read->IsCompressed(), 1);
  ASSERT_NE(read->GetDataRunList(), nullptr);
  EXPECT_EQ(read->GetDataRunList()->IsResident(), 0);
  std::vector<std::pair<int64_t, int64_t>> got;
  for (DataRun* r = read->GetDataRunList()->GetFirst(); r != nullptr; r = read->GetDataRunList()->GetNext()) {
    got.emplace_back(r->start, r->length);
  }
  EXPECT_EQ(got, (std::vector<std::pair<int64_t, int64_t>>{{5, 3}, {-1, 2}}));
  std::unique_ptr<SaveRestoreResult::RestoreSystemNode> system(
      SaveRestoreResult::RestoreSystemNode::ReadSystemNode(reader));
  EXPECT_EQ(system->GetCurrentNodeID(), 2);
  EXPECT_EQ(system->GetSearcheType(), SEARCHER_TYPE_FAT);
  EXPECT_STREQ(system->GetVolumeName(), "stick");
  EXPECT_STREQ(system->GetFileName(), "stick(FAT/FAT32)");
  EXPECT_EQ(reader.Left(), 0u);
}

// Replays the nodes frame of the file at `path` once into `builder`.
struct Replay {
  explicit Replay(const fs::path& path, KVRestoreScanSink::DeviceView view = {true, true, ""})
      : frame(path, SaveRestoreResult::_frDiskDevice),
        sink(
            &frame.archive, [this](IStorageDevice*) { return this->view; }, nullptr, [this] { ++damage; }),
        view(std::move(view)) {}
  void Run(IStorageDevice* device = nullptr) { sink.SetDirecotryTreeBuilder(&builder, &progress, device); }
  OpenFrame frame;
  KVRestoreScanSink sink;
  KVRestoreScanSink::DeviceView view;
  testsupport::RecordingBuilder builder;
  testsupport::RecordingProgress progress;
  int damage = 0;
};

void WriteNodes(const fs::path& path, const Bytes& nodes) {
  WriteArchive(path, {{SaveRestoreResult::_frDiskDevice, Hex("00")}, {SaveRestoreResult::_frFileSystemNode, nodes}});
}

TEST(ScanResultReplay, MoreThan65535RunsAnd512PartitionsAndLongAndEmptyNamesRoundTrip) {
  testsupport::TempDir dir;
  GoldenNode fragmented, empty, resident;
  fragmented.SetCurrentNodeID(10);
  fragmented.SetParentNodeID(1);
  auto* runs = new CDataRunList();
  for (int64_t i = 0; i < 70000; ++i) {
    const DataRun run{2 * i, 1};  // gaps between them: nothing merges
    runs->AddDataRun(&run);
  }
  fragmented.SetDataRunList(runs);
  fragmented.name = std::string(65535, 'n');
  empty.SetCurrentNodeID(11);
  empty.SetParentNodeID(1);
  empty.name = "";
  empty.size = 0;  // without runs a file holds nothing
  resident.SetCurrentNodeID(12);
  resident.SetParentNodeID(1);
  auto* record = new CDataRunList(1);
  const DataRun recordSector{4100, 1};
  record->AddDataRun(&recordSector);
  resident.SetDataRunList(record);
  std::vector<CSearchedPartitionInfo> partitions;
  for (uint16_t i = 0; i < 600; ++i) {
    partitions.emplace_back(512);
    partitions.back().SetPartitionIndex(i);
    partitions.back().SetStartSector(i * 100);
    partitions.back().SetSectorsperCluster(8);
  }
  CFilesystemNode root(SEARCHER_TYPE_NTFS, "disk(NTFS)", "disk", 1);

  Bytes nodes;
  SaveRestoreResult::RecordBytes out(nodes);
  out.U64(1);
  out.U32(1);
  SaveRestoreResult::EncodeSystemRecord(&root, nodes);
  out.U32(600);
  for (const auto& p : partitions) SaveRestoreResult::EncodePartitionEntry(p, nodes);
  for (IFileNode* node : std::vector<IFileNode*>{&fragmented, &empty, &resident}) {
    out.U32(0);
    SaveRestoreResult::EncodeFileRecord(node, nodes);
  }
  out.U32(0xFFFFFFFF);
  WriteNodes(dir / "big.rsf", nodes);

  Replay replay(dir / "big.rsf");
  replay.Run();
  EXPECT_EQ(replay.damage, 0) << replay.sink.GetDamage();
  EXPECT_EQ(replay.builder.events, (std::vector<std::string>{"info:35:1", "flash:35"}));
  ASSERT_EQ(replay.builder.owned.size(), 3u);
  auto* back = dynamic_cast<CFileNode*>(replay.builder.Node(10));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::string(back->GetFileName()), fragmented.name);
  size_t count = 0;
  bool same = true;
  for (DataRun* run = back->GetDataRunList()->GetFirst(); run != nullptr; run = back->GetDataRunList()->GetNext()) {
    same = same && run->start == 2 * static_cast<int64_t>(count) && run->length == 1;
    ++count;
  }
  EXPECT_EQ(count, 70000u);
  EXPECT_TRUE(same);
  EXPECT_STREQ(replay.builder.Node(11)->GetFileName(), "");
  EXPECT_EQ(dynamic_cast<CFileNode*>(replay.builder.Node(11))->GetDataRunList(), nullptr);
  auto* residentBack = dynamic_cast<CFileNode*>(replay.builder.Node(12));
  ASSERT_NE(residentBack->GetDataRunList(), nullptr);
  EXPECT_EQ(residentBack->GetDataRunList()->IsResident(), 1);
  EXPECT_EQ(residentBack->GetDataRunList()->GetFirst()->start, 4100);

  const auto& restored = replay.sink.GetSearchedPartition(SEARCHER_TYPE_NTFS);
  ASSERT_EQ(restored.size(), 600u);
  for (size_t i = 0; i < restored.size(); ++i) {
    uint8_t want[104], got[104];
    partitions[i].WriteRecord(want);
    restored[i]->WriteRecord(got);
    ASSERT_EQ(std::memcmp(want, got, sizeof want), 0) << i;
  }
}

TEST(ScanResultReplay, VolumesTakeTheirOwnTreesInOrderAndADiskTakesAll) {
  testsupport::TempDir dir;
  FileRecord file;
  const auto section = [&](int64_t root, uint32_t searcher, const std::string& volume, uint16_t partition) {
    file.id = root * 10;
    file.parent = root;
    return Section(root, searcher, volume, {PartitionEntry(partition)}, {file.Encode()});
  };
  // Two volumes named "A" on one disk, each scanned quickly, and a "B".
  WriteNodes(dir / "three.rsf", NodesPayload({section(1, 32, "A", 101), section(2, 35, "B", 102),
                                              section(3, 32, "A", 103), section(4, 33, "A", 104)}));
  Replay replay(dir / "three.rsf", {true, false, "A"});
  const auto pass = [&](const std::string& volume) {
    replay.view.volumeName = volume;
    replay.builder.events.clear();
    replay.Run();
    std::string partitions;
    for (int type : {32, 33, 35}) {
      for (const CSearchedPartitionInfo* p : replay.sink.GetSearchedPartition(type)) {
        partitions += std::to_string(type) + ":" + std::to_string(p->GetPartitionIndex()) + " ";
      }
    }
    return partitions;
  };
  EXPECT_EQ(pass("A"), "32:101 33:104 ");
  EXPECT_EQ(replay.builder.events, (std::vector<std::string>{"info:32:1", "flash:32", "info:33:4", "flash:33"}));
  EXPECT_EQ(pass("B"), "35:102 ");
  EXPECT_EQ(pass("A"), "32:103 ") << "the second volume named A takes the second FAT tree of that name";
  EXPECT_EQ(pass("C"), "");
  EXPECT_TRUE(replay.builder.events.empty());
  EXPECT_EQ(replay.builder.Ids(), (std::set<int64_t>{10, 20, 30, 40}));

  replay.view = {true, true, ""};
  EXPECT_EQ(pass(""), "32:101 32:103 33:104 35:102 ");
  EXPECT_EQ(replay.builder.events.size(), 8u);
  replay.view = {false, false, ""};
  EXPECT_EQ(pass(""), "32:101 32:103 33:104 35:102 ") << "a device that is neither replays nothing";
  EXPECT_EQ(replay.damage, 0);
}

// Unnamed volumes of one disk all show as "Disk". With the places a file
// keeps, each tree goes to the volume at its place; without them (older
// files), to the volume of its name and searcher, never to the first volume
// of that name whatever its file system.
TEST(ScanResultReplay, TreesGoToTheVolumeAtTheirPlaceElseToTheirNameAndSearcher) {
  testsupport::TempDir dir;
  FileRecord file;
  const auto section = [&](int64_t root, uint32_t searcher, uint16_t partition) {
    file.id = root * 10;
    file.parent = root;
    return Section(root, searcher, "Disk", {PartitionEntry(partition)}, {file.Encode()});
  };
  // NTFS at 2048, FAT at 247808, and a second NTFS at 600000.
  WriteNodes(dir / "disk.rsf", NodesPayload({section(1, 35, 101), section(2, 32, 102), section(3, 35, 103)}));
  using Seen = KVRestoreScanSink::VolumeSeen;
  const auto run = [&](bool placed, const std::vector<Seen>& volumes) {
    Replay replay(dir / "disk.rsf", {true, false, "Disk"});
    if (placed) replay.sink.SetPlaces({{2048, 1000}, {247808, 2000}, {600000, 3000}});
    size_t at = 0;
    replay.sink.SetLocator([&](IStorageDevice*) { return volumes[at]; });
    std::vector<std::string> taken;
    for (at = 0; at < volumes.size(); ++at) {
      replay.Run();
      std::string partitions;
      for (int type : {32, 35}) {
        for (const CSearchedPartitionInfo* p : replay.sink.GetSearchedPartition(type)) {
          partitions += std::to_string(p->GetPartitionIndex()) + " ";
        }
      }
      taken.push_back(partitions);
    }
    EXPECT_EQ(replay.damage, 0);
    return taken;
  };
  const Seen ntfs{{2048, 1000}, 35}, fat{{247808, 2000}, 32}, ntfs2{{600000, 3000}, 35};
  EXPECT_EQ(run(true, {ntfs, fat, ntfs2}), (std::vector<std::string>{"101 ", "102 ", "103 "}));
  EXPECT_EQ(run(true, {fat, ntfs2, ntfs}), (std::vector<std::string>{"102 ", "103 ", "101 "}))
      << "by place, whatever order the volumes come in";
  EXPECT_EQ(run(true, {{{2048, 999}, 35}, {{247809, 2000}, 32}}), (std::vector<std::string>{"", ""}))
      << "a volume of another size or start takes nothing";
  EXPECT_EQ(run(false, {ntfs, fat, ntfs2}), (std::vector<std::string>{"101 ", "102 ", "103 "}))
      << "without places: the k-th volume of a name and searcher takes the k-th tree of both";
  EXPECT_EQ(run(false, {{{-1, 0}, -1}}), (std::vector<std::string>{"102 101 "}))
      << "a volume whose searcher is not known takes the first tree of each searcher, as before";

  // A file whose places do not count its trees is damaged.
  Replay counted(dir / "disk.rsf", {true, false, "Disk"});
  counted.sink.SetPlaces({{2048, 1000}});
  counted.sink.SetLocator([&](IStorageDevice*) { return ntfs; });
  counted.Run();
  EXPECT_EQ(counted.damage, 1);
  EXPECT_EQ(counted.sink.GetDamage(), "placement count");
}

TEST(ScanResultReplay, ATreeWithoutPartitionsComesBackEmptyAndAStopStillFinishesTheTree) {
  testsupport::TempDir dir;
  FileRecord a, b;
  b.id = 3;
  WriteNodes(dir / "f.rsf", NodesPayload({Section(7, 34, "v", {}, {}),
                                          Section(1, 32, "v", {PartitionEntry(0)}, {a.Encode(), b.Encode()}),
                                          Section(9, 35, "v", {PartitionEntry(0)}, {a.Encode()})}));
  Replay replay(dir / "f.rsf");
  // Continued: before the first root, the second root, then its first node;
  // the stop comes before the second node.
  replay.progress.onContinued = [](int call) { return call <= 3 ? 1 : 0; };
  replay.Run();
  EXPECT_EQ(replay.builder.events, (std::vector<std::string>{"info:34:7", "flash:34", "info:32:1", "flash:32"}));
  EXPECT_EQ(replay.builder.Ids(), std::set<int64_t>{2});
  EXPECT_TRUE(replay.sink.GetSearchedPartition(34).empty());
  EXPECT_EQ(replay.damage, 0);
}

// Damage of every kind: the replay ends with it, the trees before it stay
// finished, nothing is thrown and nothing is allocated from the bad count.
TEST(ScanResultReplay, DamagedTreesEndTheReplayWithDamageAndKeepWhatCameBefore) {
  testsupport::TempDir dir;
  FileRecord file;
  const Bytes good = Section(1, 32, "v", {PartitionEntry(0)}, {file.Encode()});
  const auto withRecord = [&](const Bytes& record) {
    return Bytes(U32(1) + SystemRecord(5, 35, "v") + U32(1) + PartitionEntry(0) + U32(0) + record + U32(0xFFFFFFFF));
  };
  FileRecord huge;
  huge.runs = {{1, 1}};
  Bytes hugeRuns = huge.Encode();
  std::copy_n(U32(0xFFFFFFFF).begin(), 4, hugeRuns.begin() + 58);
  FileRecord named;
  Bytes longName = named.Encode();
  std::copy_n(U32(0x10000).begin(), 4, longName.begin() + 82);
  Bytes system = SystemRecord(5, 35, "v");
  const std::vector<std::pair<std::string, Bytes>> damaged = {
      {"section tag", NodesPayload({good, U32(2) + good})},
      {"entry tag", NodesPayload({good, U32(1) + SystemRecord(5, 35, "v") + U32(0) + U32(5)})},
      {"run count", NodesPayload({good, withRecord(hugeRuns)})},
      {"name", NodesPayload({good, withRecord(longName)})},
      {"volume name", NodesPayload({good, U32(1) + Bytes(system.begin(), system.end() - 5) + U32(512) +
                                              Bytes(512, 'v') + U32(0) + U32(0xFFFFFFFF)})},
      {"partition count", NodesPayload({good, U32(1) + system + U32(0x80000000) + U32(0xFFFFFFFF)})},
      {"partition count", NodesPayload({good, U32(1) + system + U32(513) + PartitionEntry(0) + U32(0xFFFFFFFF)})},
      {"partition kind", NodesPayload({good, U32(1) + system + U32(1) + PartitionEntry(0, 5) + U32(0xFFFFFFFF)})},
      {"searcher type", NodesPayload({good, U32(1) + SystemRecord(5, 40, "v") + U32(0) + U32(0xFFFFFFFF)})},
      {"root count", U64(~0ull) + good},
  };
  for (const auto& [what, nodes] : damaged) {
    WriteNodes(dir / "d.rsf", nodes);
    Replay replay(dir / "d.rsf");
    replay.Run();
    EXPECT_EQ(replay.damage, 1) << what;
    EXPECT_EQ(replay.sink.GetDamage().rfind(what == "root count" ? "section tag" : what, 0), 0u)
        << what << ": " << replay.sink.GetDamage();
    EXPECT_EQ(replay.builder.events[0], "info:32:1") << what;
    EXPECT_EQ(replay.builder.events[1], "flash:32") << what;
    EXPECT_EQ(replay.builder.events.size() % 2, 0u) << what << ": every tree opened is finished";
    EXPECT_EQ(replay.builder.Ids(), std::set<int64_t>{2}) << what;
    // Once damaged, the file is not read again for another volume.
    replay.Run();
    EXPECT_EQ(replay.builder.events.size() % 2, 0u);
    EXPECT_EQ(replay.damage, 1);
  }
}

// A file cut anywhere in its trees, and a frame that claims more than the
// file holds: damage, whatever the place.
TEST(ScanResultReplay, ACutAnywhereOrAnOverlongFrameIsDamage) {
  testsupport::TempDir dir;
  FileRecord a, b;
  b.id = 3;
  b.runs = {{7, 2}, {20, 1}};
  const Bytes nodes = NodesPayload({Section(1, 32, "v", {PartitionEntry(0)}, {a.Encode(), b.Encode()})});
  WriteNodes(dir / "whole.rsf", nodes);
  const Bytes whole = testsupport::ReadFile(dir / "whole.rsf");
  const size_t payloadStart = whole.size() - nodes.size();
  for (size_t keep = payloadStart - 36; keep < whole.size(); ++keep) {
    testsupport::WriteFile(dir / "cut.rsf", whole.data(), keep);
    Replay replay(dir / "cut.rsf");
    replay.Run();
    ASSERT_EQ(replay.damage, 1) << keep;
  }
  // The frame says 4 GiB; the file ends long before.
  Bytes overlong = whole;
  std::copy_n(U32(0xFFFFFF00).begin(), 4, overlong.begin() + long(payloadStart) - 4);
  std::copy_n(U64(2).begin(), 8, overlong.begin() + long(payloadStart));  // a second root that is not there
  testsupport::WriteFile(dir / "long.rsf", overlong.data(), overlong.size());
  Replay replay(dir / "long.rsf");
  replay.Run();
  EXPECT_EQ(replay.sink.GetDamage(), "file ends early");
  EXPECT_EQ(replay.builder.Ids(), (std::set<int64_t>{2, 3}));
}

// The fuzz seeds, written from the layout by a program of their own
// (fuzz/make-rsf-seeds.py), pass the container's checks and replay whole.
TEST(ScanResultReplay, FilesWrittenFromTheLayoutElsewhereReplayWhole) {
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(testsupport::SourceDir() / "tests/app/fuzz/corpus")) {
    if (entry.path().extension() != ".rsf") continue;  // what the fuzzer found is damaged on purpose
    Replay replay(entry.path());
    FILEHEADER header;
    EXPECT_EQ(replay.frame.archive.ReadFileHeader(header), 1) << entry.path();
    replay.Run();
    EXPECT_EQ(replay.damage, 0) << entry.path() << ": " << replay.sink.GetDamage();
    ++files;
  }
  EXPECT_GE(files, 6u);
}

// Check values, identities and promised frames written from the layout by
// another program (make-rsf-seeds.py, zlib's CRC-32): every frame and tree
// passes; with one byte of the third tree's section changed, that tree alone
// fails. Both replay: the changed tree passed over by its saved length, its
// records counted as left out. A file cut before a frame it promised lacks
// it.
TEST(ScanResultReplay, CheckValuesWrittenElsewhereVouchForTheirTreesAndNoMore) {
  namespace srr = SaveRestoreResult;
  const fs::path corpus = testsupport::SourceDir() / "tests/app/fuzz/corpus";
  for (const char* name : {"checked.rsf", "checked-tree-changed"}) {
    const bool changed = std::string(name) == "checked-tree-changed";
    Replay replay(corpus / name);
    const srr::CheckVerdict checks = srr::VerifyChecks(replay.frame.archive);
    EXPECT_TRUE(checks.present) << name;
    EXPECT_EQ(checks.failure, 0u) << name;
    EXPECT_EQ(checks.treeSound, (std::vector<bool>{true, true, !changed})) << name;
    replay.frame.archive.OpenFrame(srr::_frVolumeIdentity);
    srr::RecordReader reader(&replay.frame.archive);
    const srr::IdentityRecord identity = srr::DecodeIdentity(reader);
    ASSERT_EQ(identity.roots.size(), 3u);
    EXPECT_EQ(identity.roots[1].size(), 2u);
    EXPECT_EQ(identity.roots[0][0].kind, static_cast<uint32_t>(srr::IdentityKind::kNtfs));
    replay.frame.archive.CloseFrame();
    replay.sink.SetChecks(checks.treeSound, checks.sections);
    replay.Run();
    EXPECT_EQ(replay.damage, changed ? 1 : 0) << name;
    EXPECT_EQ(replay.sink.GetSkippedRoots(), changed ? 1u : 0u);
    EXPECT_EQ(replay.sink.GetLoadDamage().leftOut, changed ? 2u : 0u) << "the root and its one file";
  }
  // A file that promises its places, identities and check values holds
  // them; cut just before its identities, it lacks what it promised, and the
  // load's code for that is the device's.
  for (const char* name : {"promised.rsf", "promised-cut"}) {
    const bool cut = std::string(name) == "promised-cut";
    OpenFrame frame(corpus / name, srr::_frPromisedFrames);
    srr::RecordReader reader(&frame.archive);
    const srr::PromiseRecord promise = srr::DecodePromise(reader);
    frame.archive.CloseFrame();
    EXPECT_EQ(promise.frames,
              (std::vector<tagGUIDSIGN>{srr::_frVolumePlace, srr::_frVolumeIdentity, srr::_frCheckValues}))
        << name;
    EXPECT_EQ(srr::MissingPromised(frame.archive, promise), cut ? srr::kLoadBadDevice : 0u) << name;
  }
}

// A tree saved breadth-first as a scan leaves it: folders among files,
// deleted folders, lost files below "Other lost files", and the folders of a
// second volume sharing IDs with the first. Replayed into the engine's tree
// builder, every folder lists its children in the order saved.
TEST(ScanResultReplay, EveryFolderListsItsChildrenInTheOrderSaved) {
  struct Entry {
    int64_t id, parent;
    const char* name;
    bool folder = false;
    bool deleted = false;
    uint16_t partition = 0;
  };
  // In the order of the file: the root's children, then each folder's in
  // the order the folders came.
  const std::vector<Entry> saved = {
      {-1, -1, "Other lost files", true},
      {10, 5, "a.txt"},
      {20, 5, "Photos", true, true},
      {11, 5, "b.txt", false, true},
      {30, 5, "Docs", true},
      {30, 5, "Second", true, false, 1},
      {40, 99, "orphan-2.txt", false, true},
      {41, 98, "orphan-1.txt", false, true},
      {42, 97, "Orphans", true, true},
      {21, 20, "p2.jpg", false, true},
      {22, 20, "Sub", true, true},
      {23, 20, "p1.jpg", false, true},
      {31, 30, "z.doc"},
      {32, 30, "y.doc", false, true},
      {33, 30, "Old", true, true},
      {34, 30, "x.doc"},
      {36, 30, "w.doc", false, false, 1},
      {35, 30, "v.doc", false, false, 1},
      {43, 42, "o.txt", false, true},
      {24, 22, "s.jpg", false, true},
      {37, 33, "old.txt", false, true},
  };
  std::vector<Bytes> records;
  for (const Entry& e : saved) {
    FileRecord record;
    record.id = e.id;
    record.parent = e.parent;
    record.name = e.name;
    record.folder = e.folder;
    record.deleted = e.deleted ? 1 : 0;
    record.partition = e.partition;
    if (e.folder) {
      record.size = 0;
      record.runs = {};
    }
    records.push_back(record.Encode());
  }
  testsupport::TempDir dir;
  WriteNodes(dir / "t.rsf", NodesPayload({Section(5, SEARCHER_TYPE_NTFS, "v", {PartitionEntry(0)}, records)}));

  OpenFrame frame(dir / "t.rsf", SaveRestoreResult::_frDiskDevice);
  KVRestoreScanSink sink(&frame.archive,
                         [](IStorageDevice*) {
                           return KVRestoreScanSink::DeviceView{true, true, ""};
                         },
                         nullptr, {});
  treetest::FakeFilter filter;
  treetest::RecordingTree shown;
  auto* builder = static_cast<CDirectoryTreeBuilder*>(CreateTreeBuilder(true));
  builder->SetPause([] {});
  ASSERT_EQ(builder->Initialize("Disk", &shown, &filter), 1);
  testsupport::RecordingProgress progress;
  sink.SetDirecotryTreeBuilder(builder, &progress, nullptr);
  ASSERT_FALSE(sink.IsDamaged()) << sink.GetDamage();

  std::vector<std::string> lines;
  const auto walk = [&lines](IFileNode* folder, const std::string& path, const auto& self) -> void {
    for (IFileNode* child = folder->GetFirstChild(); child != nullptr; child = child->GetNextNode()) {
      lines.push_back(path + child->GetFileName());
      self(child, path + child->GetFileName() + "/", self);
    }
  };
  ASSERT_NE(builder->GetRoot(SEARCHER_TYPE_NTFS), nullptr);
  walk(builder->GetRoot(SEARCHER_TYPE_NTFS), "", walk);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Other lost files",
                       "Other lost files/orphan-2.txt",
                       "Other lost files/orphan-1.txt",
                       "Other lost files/Orphans",
                       "Other lost files/Orphans/o.txt",
                       "a.txt",
                       "Photos",
                       "Photos/p2.jpg",
                       "Photos/Sub",
                       "Photos/Sub/s.jpg",
                       "Photos/p1.jpg",
                       "b.txt",
                       "Docs",
                       "Docs/z.doc",
                       "Docs/y.doc",
                       "Docs/Old",
                       "Docs/Old/old.txt",
                       "Docs/x.doc",
                       "Second",
                       "Second/w.doc",
                       "Second/v.doc",
                   }));
  EXPECT_TRUE(shown.problems.empty());
  builder->Release();
}

// Two trees of one searcher whose partition records carry the same index
// but place their volumes apart (a file written so; a load must not mix
// them): every file comes back with the bytes of its own tree's volume,
// read through the record it was judged against, whatever its index says.
TEST(ScanResultReplay, TreesWhoseRecordsShareAnIndexReadEachFileThroughItsOwnTreesRecord) {
  std::vector<uint8_t> disk(1 << 20);
  for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i * 7 + i / 512);
  testsupport::BytesDevice device(disk.data(), disk.size());
  struct File {
    const char* name;
    uint16_t partition;
    int64_t firstDataSector;  // of the tree's record it must be read through
  };
  const File files[] = {{"a1", 0, 100}, {"a2", 0, 100}, {"b1", 0, 1000}, {"b2", 0, 1000}, {"b3", 7, 1000}};
  std::vector<Bytes> a, b;
  int64_t id = 10;
  for (const File& f : files) {
    FileRecord record;
    record.id = id++;
    record.name = f.name;
    record.size = 700;
    record.runs = {{static_cast<int64_t>(record.id), 2}};
    record.partition = f.partition;
    (f.firstDataSector == 100 ? a : b).push_back(record.Encode());
  }
  testsupport::TempDir dir;
  WriteNodes(dir / "t.rsf", NodesPayload({Section(5, SEARCHER_TYPE_FAT, "v", {PartitionEntry(0, 4, 100)}, a),
                                          Section(6, SEARCHER_TYPE_FAT, "v", {PartitionEntry(0, 4, 1000)}, b)}));
  Replay replay(dir / "t.rsf");
  replay.Run(&device);
  ASSERT_EQ(replay.damage, 0) << replay.sink.GetDamage();
  ASSERT_EQ(replay.builder.owned.size(), 5u);

  CDataRecovery copyOut;
  ASSERT_EQ(copyOut.Initialize(replay.sink.GetSearchedPartition(SEARCHER_TYPE_FAT), &device), 0u);
  for (IFileNode* node : replay.builder.owned) {
    const File& f = files[node->GetCurrentNodeID() - 10];
    IFileReader* reader = copyOut.SetRecoverNode(node);
    ASSERT_NE(reader, nullptr) << f.name;
    std::vector<char> got(700);
    EXPECT_EQ(reader->ReadData(0, got.data(), 700), 700u) << f.name;
    const size_t at = static_cast<size_t>(f.firstDataSector + node->GetCurrentNodeID()) * 512;
    EXPECT_EQ(std::memcmp(got.data(), disk.data() + at, 700), 0) << f.name << " read through another tree's record";
    reader->Release();
  }
}

// A device that counts the sectors read through it.
class CountingDevice final : public testsupport::StubDevice {
 public:
  explicit CountingDevice(IStorageDevice* inner) : inner_(inner) {}
  int ReadSector(void* buffer, int64_t first, int64_t count) override {
    sectors += static_cast<uint64_t>(std::max<int64_t>(count, 0));
    return inner_->ReadSector(buffer, first, count);
  }
  uint32_t GetSectorSize() override { return inner_->GetSectorSize(); }
  int64_t GetTotalSectors() override { return inner_->GetTotalSectors(); }
  uint32_t GetType() override { return STORAGE_DEVICE_CACHED; }
  ResultCode GetLastError() override { return inner_->GetLastError(); }
  uint64_t sectors = 0;

 private:
  IStorageDevice* inner_;
};

// A saved HFS+ tree whose partition records all place their volume at one
// start (a file written to cost its loader): the volume there, journal and
// all, is opened once, not once per record.
TEST(ScanResultReplay, HFSPlusRecordsAtOneStartOpenTheirVolumeOnce) {
  std::string why;
  const fs::path image = hfstest::Unpacked("hdi-hfsp-j", &why);
  REQUIRE_OR_SKIP(!image.empty(), why);
  const auto opened = hfstest::Open(image, 40);
  ASSERT_NE(opened->volume, nullptr);
  testsupport::TempDir dir;
  const auto sectorsRead = [&](uint16_t records) {
    std::vector<Bytes> partitions;
    for (uint16_t i = 0; i < records; ++i) partitions.push_back(PartitionEntry(i, 4, 40));
    FileRecord first, last;
    last.id = 3;
    last.partition = static_cast<uint16_t>(records - 1);
    const fs::path path = dir / ("hfs" + std::to_string(records) + ".rsf");
    WriteNodes(path, NodesPayload({Section(1, 31, "v", partitions, {first.Encode(), last.Encode()})}));
    Replay replay(path);
    CountingDevice device(opened->disk);
    replay.Run(&device);
    EXPECT_EQ(replay.damage, 0);
    auto* a = dynamic_cast<RestoreFileNode*>(replay.builder.Node(2));
    auto* b = dynamic_cast<RestoreFileNode*>(replay.builder.Node(3));
    EXPECT_TRUE(a != nullptr && b != nullptr && a->GetHFSPlusVolume() != nullptr &&
                a->GetHFSPlusVolume()->Volume() != nullptr);
    return device.sectors;
  };
  const uint64_t one = sectorsRead(1);
  EXPECT_LT(sectorsRead(200), 2 * one);
  // Trees of their own, each with a record at that start: the volume is
  // still opened once for them all.
  const auto treesRead = [&](int64_t trees) {
    std::vector<Bytes> sections;
    FileRecord file;
    for (int64_t i = 0; i < trees; ++i)
      sections.push_back(Section(1 + i, 31, "v", {PartitionEntry(0, 4, 40)}, {file.Encode()}));
    const fs::path path = dir / ("trees" + std::to_string(trees) + ".rsf");
    WriteNodes(path, NodesPayload(sections));
    Replay replay(path);
    CountingDevice device(opened->disk);
    replay.Run(&device);
    EXPECT_EQ(replay.damage, 0);
    return device.sectors;
  };
  EXPECT_LT(treesRead(50), 2 * treesRead(1));
}

TEST(RestoredNodes, CloneOwnsItsRunsAndCompressedReadersFollowTheTree) {
  testsupport::TempDir dir;
  FileRecord file;
  file.runs = {{3, 2}, {9, 1}};
  file.name = ".hidden";
  WriteNodes(dir / "n.rsf", file.Encode());
  OpenFrame frame(dir / "n.rsf", SaveRestoreResult::_frFileSystemNode);
  SaveRestoreResult::RecordReader reader(&frame.archive);
  std::unique_ptr<RestoreFileNode> node(RestoreFileNode::ReadFileNode(reader, nullptr));
  node->FilterFileNameByDot();
  EXPECT_STREQ(node->GetFileName(), ".hidden");
  std::unique_ptr<IFileNode> clone(node->Clone());
  IDataRunList* original = node->GetDataRunList();
  node->SetDataRunList(nullptr);  // the original's runs go
  auto* copy = dynamic_cast<CFileNode*>(clone.get());
  ASSERT_NE(copy->GetDataRunList(), nullptr);
  EXPECT_NE(copy->GetDataRunList(), original);
  EXPECT_EQ(copy->GetDataRunList()->GetFirst()->start, 3);
  EXPECT_STREQ(clone->GetFileName(), ".hidden");
  EXPECT_EQ(clone->GetFileSize(), 10u);
  clone->MarkDeleted();
  EXPECT_EQ(clone->IsDeleted(), 1);
  EXPECT_EQ(node->IsDeleted(), 0);

  EXPECT_EQ(node->CreateCompressFileReader(nullptr), nullptr) << "outside any tree";

  // Hidden by a name search when saved, and a name that is not UTF-8: shown,
  // with the bad byte replaced.
  FileRecord hidden;
  hidden.name = "a\xFF.txt";
  Bytes bytes = hidden.Encode();
  const size_t shownAt = 66 + 16 + 4 + hidden.name.size();
  ASSERT_EQ(Bytes(bytes.begin() + long(shownAt), bytes.begin() + long(shownAt) + 4), U32(1));
  std::copy_n(U32(0).begin(), 4, bytes.begin() + long(shownAt));
  WriteNodes(dir / "h.rsf", bytes);
  OpenFrame hiddenFrame(dir / "h.rsf", SaveRestoreResult::_frFileSystemNode);
  SaveRestoreResult::RecordReader hiddenReader(&hiddenFrame.archive);
  std::unique_ptr<RestoreFileNode> shown(RestoreFileNode::ReadFileNode(hiddenReader, nullptr));
  EXPECT_EQ(shown->IsNodeShow(), 1);
  EXPECT_STREQ(shown->GetFileName(), "a\xEF\xBF\xBD.txt");
  for (const auto& [type, reader] : std::vector<std::pair<_tagSearcherType, bool>>{
           {SEARCHER_TYPE_NTFS, true}, {SEARCHER_TYPE_HFSPLUS, false}, {SEARCHER_TYPE_FAT, false}}) {
    CFilesystemNode root(type, "r", "r", 1);
    RestoreFileNode* child = dynamic_cast<RestoreFileNode*>(node->Clone());
    ASSERT_EQ(root.AddChild(child), 1);
    IFileReader* made = child->CreateCompressFileReader(nullptr);
    EXPECT_EQ(made != nullptr, reader) << type;
    if (type == SEARCHER_TYPE_NTFS) {
      EXPECT_NE(dynamic_cast<CCompressFileReader*>(made), nullptr);
    }
    if (made != nullptr) made->Release();
    child->Release();
  }
}

// What the scan could not vouch for (runs worked out past damaged metadata,
// a size cut to the runs) travels in the shown flag's upper bits, so that a
// loaded copy is reported as the scan reported it; any other bit is damage.
TEST(RestoredNodes, DoubtsTheScanHadSurviveASaveAndALoad) {
  testsupport::TempDir dir;
  FileRecord record;
  Bytes bytes = record.Encode();
  const size_t shownAt = 66 + 16 + 4 + record.name.size();
  for (const uint32_t shown : {1u, 3u, 5u, 7u, 8u}) {
    std::copy_n(U32(shown).begin(), 4, bytes.begin() + long(shownAt));
    WriteNodes(dir / "d.rsf", bytes);
    OpenFrame frame(dir / "d.rsf", SaveRestoreResult::_frFileSystemNode);
    SaveRestoreResult::RecordReader reader(&frame.archive);
    std::unique_ptr<RestoreFileNode> node(RestoreFileNode::ReadFileNode(reader, nullptr));
    EXPECT_EQ(node->HasImpossibleFields(), shown > 7) << shown;
    if (shown > 7) continue;
    EXPECT_EQ(node->IsContentUnsure(), (shown & 2) != 0) << shown;
    EXPECT_EQ(node->IsSizeDamaged(), (shown & 4) != 0) << shown;
    // Written again as it was read.
    std::vector<uint8_t> again;
    SaveRestoreResult::EncodeFileRecord(node.get(), again);
    ASSERT_GE(again.size(), shownAt + 4);
    EXPECT_EQ(Bytes(again.begin() + long(shownAt), again.begin() + long(shownAt) + 4), U32(shown)) << shown;
  }
}

TEST(SaveRestoreProgress, StepsAreThinnedNeverPass98AndTheOneEndCarriesTheError) {
  testsupport::RecordingProgress sink;
  uint64_t now = 1000;
  SaveRestoreResult::SaveRestoreProgress progress(&sink, [&now] { return now; });
  progress.IncProgress(false, true);
  progress.IncProgress(false, false);
  now += 99;
  EXPECT_EQ(progress.IncProgress(false, false), 0) << "within 100 ms of the last step";
  for (int i = 0; i < 200; ++i) {
    now += 100;
    progress.IncProgress(false, false);
  }
  progress.TipError(6);
  progress.TipError(7);
  progress.IncProgress(true, false);
  const auto reports = sink.Reports();
  ASSERT_EQ(reports.size(), 203u);
  EXPECT_EQ(reports[0], "{2,100,5}");
  EXPECT_EQ(reports[1], "{2,100,6}");
  EXPECT_EQ(reports[201], "{2,100,98}");
  EXPECT_EQ(reports[202], "{3,100,100}!");
  EXPECT_EQ(sink.Records().back().error, 6u) << "the first error counts";
}

}  // namespace
