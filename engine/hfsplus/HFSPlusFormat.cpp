#include "hfsplus/HFSPlusFormat.h"

#include "OnDiskBytes.h"

using ondisk::Be16;
using ondisk::Be32;
using ondisk::Be64;

namespace hfsplus {

void LoadExtentRecord(const uint8_t* p, HFSPlusExtentDescriptor out[8]) {
  for (int i = 0; i < 8; ++i) {
    out[i].startBlock = Be32(p + 8 * i);
    out[i].blockCount = Be32(p + 8 * i + 4);
  }
}

void LoadForkData(const uint8_t* p, HFSPlusForkData& out) {
  out.logicalSize = Be64(p);
  out.clumpSize = Be32(p + 8);
  out.totalBlocks = Be32(p + 12);
  LoadExtentRecord(p + 16, out.extents);
}

void LoadVolumeHeader(const uint8_t* p, HFSPlusVolumeHeader& out) {
  out.signature = Be16(p);
  out.version = Be16(p + 2);
  out.attributes = Be32(p + 4);
  out.lastMountedVersion = Be32(p + 8);
  out.journalInfoBlock = Be32(p + 12);
  out.createDate = Be32(p + 16);
  out.modifyDate = Be32(p + 20);
  out.backupDate = Be32(p + 24);
  out.checkedDate = Be32(p + 28);
  out.fileCount = Be32(p + 32);
  out.folderCount = Be32(p + 36);
  out.blockSize = Be32(p + 40);
  out.totalBlocks = Be32(p + 44);
  out.freeBlocks = Be32(p + 48);
  out.nextAllocation = Be32(p + 52);
  out.rsrcClumpSize = Be32(p + 56);
  out.dataClumpSize = Be32(p + 60);
  out.nextCatalogID = Be32(p + 64);
  out.writeCount = Be32(p + 68);
  out.encodingsBitmap = Be64(p + 72);
  for (int i = 0; i < 8; ++i) out.finderInfo[i] = Be32(p + 80 + 4 * i);
  LoadForkData(p + 112, out.allocationFile);
  LoadForkData(p + 192, out.extentsFile);
  LoadForkData(p + 272, out.catalogFile);
  LoadForkData(p + 352, out.attributesFile);
  LoadForkData(p + 432, out.startupFile);
}

void LoadNodeDescriptor(const uint8_t* p, BTNodeDescriptor& out) {
  out.fLink = Be32(p);
  out.bLink = Be32(p + 4);
  out.kind = static_cast<int8_t>(p[8]);
  out.height = p[9];
  out.numRecords = Be16(p + 10);
  out.reserved = Be16(p + 12);
}

void LoadHeaderRec(const uint8_t* p, BTHeaderRec& out) {
  out.treeDepth = Be16(p);
  out.rootNode = Be32(p + 2);
  out.leafRecords = Be32(p + 6);
  out.firstLeafNode = Be32(p + 10);
  out.lastLeafNode = Be32(p + 14);
  out.nodeSize = Be16(p + 18);
  out.maxKeyLength = Be16(p + 20);
  out.totalNodes = Be32(p + 22);
  out.freeNodes = Be32(p + 26);
  out.reserved1 = Be16(p + 30);
  out.clumpSize = Be32(p + 32);
  out.btreeType = p[36];
  out.keyCompareType = p[37];
  out.attributes = Be32(p + 38);
}

void LoadBSDInfo(const uint8_t* p, HFSPlusBSDInfo& out) {
  out.ownerID = Be32(p);
  out.groupID = Be32(p + 4);
  out.adminFlags = p[8];
  out.ownerFlags = p[9];
  out.fileMode = Be16(p + 10);
  out.special = Be32(p + 12);
}

namespace {

// Folder and file records share their first 48 bytes but for the names of
// the words at 4 and 8.
template <typename Record>
void LoadCatalogHead(const uint8_t* p, Record& out) {
  out.recordType = static_cast<int16_t>(Be16(p));
  out.flags = Be16(p + 2);
  out.createDate = Be32(p + 12);
  out.contentModDate = Be32(p + 16);
  out.attributeModDate = Be32(p + 20);
  out.accessDate = Be32(p + 24);
  out.backupDate = Be32(p + 28);
  LoadBSDInfo(p + 32, out.permissions);
  for (int i = 0; i < 16; ++i) out.finderInfo[i] = p[64 + i];
  out.textEncoding = Be32(p + 80);
}

}  // namespace

void LoadCatalogFolder(const uint8_t* p, HFSPlusCatalogFolder& out) {
  LoadCatalogHead(p, out);
  out.valence = Be32(p + 4);
  out.folderID = Be32(p + 8);
  for (int i = 0; i < 16; ++i) out.userInfo[i] = p[48 + i];
  out.folderCount = Be32(p + 84);
}

void LoadCatalogFile(const uint8_t* p, HFSPlusCatalogFile& out) {
  LoadCatalogHead(p, out);
  out.reserved1 = Be32(p + 4);
  out.fileID = Be32(p + 8);
  out.fileType = Be32(p + 48);
  out.fileCreator = Be32(p + 52);
  for (int i = 0; i < 8; ++i) out.finderRest[i] = p[56 + i];
  out.reserved2 = Be32(p + 84);
  LoadForkData(p + 88, out.dataFork);
  LoadForkData(p + 168, out.resourceFork);
}

void LoadDecmpfsHeader(const uint8_t* p, HFSPlusDecmpfsHeader& out) {
  out.magic = ondisk::Le32(p);
  out.compressionType = ondisk::Le32(p + 4);
  out.uncompressedSize = ondisk::Le64(p + 8);
}

uint64_t HFSTimeToFileTime(uint32_t seconds) {
  if (seconds == 0) return 0;
  return uint64_t{seconds} * 10000000ULL + 95616288000000000ULL;
}

}  // namespace hfsplus
