// HFS+ and HFSX on-disk structures as host-order copies, and the loads that
// make those copies out of the big-endian bytes on disk (one load per
// structure, every field read by its width). The loads read exactly the
// structure's on-disk size from a buffer the caller has checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace hfsplus {

// Byte ranges [from, to) of a read that a failing medium could not give.
using ByteRanges = std::vector<std::pair<uint64_t, uint64_t>>;

inline constexpr uint16_t kSignatureHFSPlus = 0x482B;  // "H+"
inline constexpr uint16_t kSignatureHFSX = 0x4858;     // "HX"
inline constexpr uint64_t kVolumeHeaderOffset = 1024;
inline constexpr size_t kVolumeHeaderSize = 512;
inline constexpr size_t kForkDataSize = 80;
inline constexpr size_t kNodeDescriptorSize = 14;
inline constexpr size_t kHeaderRecordSize = 106;

// Special files' catalog node IDs.
inline constexpr uint32_t kRootParentID = 1;
inline constexpr uint32_t kRootFolderID = 2;
inline constexpr uint32_t kExtentsFileID = 3;
inline constexpr uint32_t kCatalogFileID = 4;
inline constexpr uint32_t kAllocationFileID = 6;
inline constexpr uint32_t kStartupFileID = 7;
inline constexpr uint32_t kAttributesFileID = 8;

// Node kinds.
inline constexpr int8_t kLeafNode = -1;
inline constexpr int8_t kIndexNode = 0;
inline constexpr int8_t kHeaderNode = 1;
inline constexpr int8_t kMapNode = 2;

// Catalog record types.
inline constexpr int16_t kFolderRecord = 1;
inline constexpr int16_t kFileRecord = 2;
inline constexpr int16_t kFolderThreadRecord = 3;
inline constexpr int16_t kFileThreadRecord = 4;

// Attribute record types.
inline constexpr uint32_t kAttrInlineData = 0x10;
inline constexpr uint32_t kAttrForkData = 0x20;
inline constexpr uint32_t kAttrExtents = 0x30;

// Key-compare types of the catalog's header record.
inline constexpr uint8_t kCaseFoldingCompare = 0xCF;
inline constexpr uint8_t kBinaryCompare = 0xBC;

inline constexpr uint8_t kDataForkType = 0x00;
inline constexpr uint8_t kResourceForkType = 0xFF;

inline constexpr uint8_t kCompressedOwnerFlag = 0x20;  // UF_COMPRESSED
inline constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return (uint32_t(uint8_t(a)) << 24) | (uint32_t(uint8_t(b)) << 16) | (uint32_t(uint8_t(c)) << 8) | uint8_t(d);
}
inline constexpr uint32_t kHardLinkFileType = FourCC('h', 'l', 'n', 'k');
inline constexpr uint32_t kHardLinkCreator = FourCC('h', 'f', 's', '+');
inline constexpr uint32_t kFolderAliasFileType = FourCC('f', 'd', 'r', 'p');

inline constexpr uint32_t kMaxNameUnits = 255;

}  // namespace hfsplus

struct HFSPlusExtentDescriptor {
  uint32_t startBlock;
  uint32_t blockCount;
};

struct HFSPlusForkData {
  uint64_t logicalSize;
  uint32_t clumpSize;
  uint32_t totalBlocks;
  HFSPlusExtentDescriptor extents[8];
};
static_assert(sizeof(HFSPlusForkData) == 80);

struct HFSPlusVolumeHeader {
  uint16_t signature;
  uint16_t version;
  uint32_t attributes;
  uint32_t lastMountedVersion;
  uint32_t journalInfoBlock;
  uint32_t createDate;
  uint32_t modifyDate;
  uint32_t backupDate;
  uint32_t checkedDate;
  uint32_t fileCount;
  uint32_t folderCount;
  uint32_t blockSize;
  uint32_t totalBlocks;
  uint32_t freeBlocks;
  uint32_t nextAllocation;
  uint32_t rsrcClumpSize;
  uint32_t dataClumpSize;
  uint32_t nextCatalogID;
  uint32_t writeCount;
  uint64_t encodingsBitmap;
  uint32_t finderInfo[8];
  HFSPlusForkData allocationFile;
  HFSPlusForkData extentsFile;
  HFSPlusForkData catalogFile;
  HFSPlusForkData attributesFile;
  HFSPlusForkData startupFile;
};

struct BTNodeDescriptor {
  uint32_t fLink;
  uint32_t bLink;
  int8_t kind;
  uint8_t height;
  uint16_t numRecords;
  uint16_t reserved;
};

struct BTHeaderRec {
  uint16_t treeDepth;
  uint32_t rootNode;
  uint32_t leafRecords;
  uint32_t firstLeafNode;
  uint32_t lastLeafNode;
  uint16_t nodeSize;
  uint16_t maxKeyLength;
  uint32_t totalNodes;
  uint32_t freeNodes;
  uint16_t reserved1;
  uint32_t clumpSize;
  uint8_t btreeType;
  uint8_t keyCompareType;
  uint32_t attributes;
};

struct HFSUniStr255 {
  uint16_t length;
  uint16_t unicode[255];
};

struct HFSPlusCatalogKey {
  uint16_t keyLength;
  uint32_t parentID;
  HFSUniStr255 nodeName;
};

struct HFSPlusExtentKey {
  uint16_t keyLength;
  uint8_t forkType;
  uint8_t pad;
  uint32_t fileID;
  uint32_t startBlock;
};

struct HFSPlusAttrKey {
  uint16_t keyLength;
  uint16_t pad;
  uint32_t fileID;
  uint32_t startBlock;
  uint16_t nameLength;
  uint16_t name[127];
};

// A key of any of the three trees; every kind begins with its key length.
union BTKey {
  uint16_t keyLength;
  HFSPlusCatalogKey catalog;
  HFSPlusExtentKey extent;
  HFSPlusAttrKey attribute;
};

struct HFSPlusBSDInfo {
  uint32_t ownerID;
  uint32_t groupID;
  uint8_t adminFlags;
  uint8_t ownerFlags;
  uint16_t fileMode;
  uint32_t special;  // iNode number of a hard link, link count of an iNode file
};

struct HFSPlusCatalogFolder {
  int16_t recordType;
  uint16_t flags;
  uint32_t valence;
  uint32_t folderID;
  uint32_t createDate;
  uint32_t contentModDate;
  uint32_t attributeModDate;
  uint32_t accessDate;
  uint32_t backupDate;
  HFSPlusBSDInfo permissions;
  uint8_t userInfo[16];
  uint8_t finderInfo[16];
  uint32_t textEncoding;
  uint32_t folderCount;
};
static_assert(sizeof(HFSPlusCatalogFolder) == 88);

struct HFSPlusCatalogFile {
  int16_t recordType;
  uint16_t flags;
  uint32_t reserved1;
  uint32_t fileID;
  uint32_t createDate;
  uint32_t contentModDate;
  uint32_t attributeModDate;
  uint32_t accessDate;
  uint32_t backupDate;
  HFSPlusBSDInfo permissions;
  uint32_t fileType;  // Finder info: type and creator, then flags and location
  uint32_t fileCreator;
  uint8_t finderRest[8];
  uint8_t finderInfo[16];
  uint32_t textEncoding;
  uint32_t reserved2;
  HFSPlusForkData dataFork;
  HFSPlusForkData resourceFork;
};
static_assert(sizeof(HFSPlusCatalogFile) == 248);

struct HFSPlusCatalogThread {
  int16_t recordType;
  int16_t reserved;
  uint32_t parentID;
  HFSUniStr255 nodeName;
};
static_assert(sizeof(HFSPlusCatalogThread) == 520);

union HFSPlusCatalogRecord {
  int16_t recordType;
  HFSPlusCatalogFolder folder;
  HFSPlusCatalogFile file;
  HFSPlusCatalogThread thread;
};

struct HFSPlusExtentRecord {
  HFSPlusExtentDescriptor extents[8];
};

struct HFSPlusAttrInlineData {
  uint32_t recordType;
  uint32_t reserved[2];
  uint32_t attrSize;
  uint8_t attrData[1];  // attrSize bytes follow the 16-byte head
};
namespace hfsplus {
inline constexpr size_t kAttrInlineHeadSize = 16;
}

struct HFSPlusAttrForkData {
  uint32_t recordType;
  uint32_t reserved;
  HFSPlusForkData theFork;
};

struct HFSPlusAttrExtents {
  uint32_t recordType;
  uint32_t reserved;
  HFSPlusExtentDescriptor extents[8];
};

// The 16-byte head of a "com.apple.decmpfs" attribute (little-endian on disk).
struct HFSPlusDecmpfsHeader {
  uint32_t magic;  // "fpmc"
  uint32_t compressionType;
  uint64_t uncompressedSize;
};

namespace hfsplus {

// Each load reads the structure's on-disk size (kVolumeHeaderSize, kForkDataSize,
// kNodeDescriptorSize, kHeaderRecordSize, 64 bytes for an extent record, 16 for
// the decmpfs head) from `p`.
void LoadForkData(const uint8_t* p, HFSPlusForkData& out);
void LoadExtentRecord(const uint8_t* p, HFSPlusExtentDescriptor out[8]);
void LoadVolumeHeader(const uint8_t* p, HFSPlusVolumeHeader& out);
void LoadNodeDescriptor(const uint8_t* p, BTNodeDescriptor& out);
void LoadHeaderRec(const uint8_t* p, BTHeaderRec& out);
void LoadBSDInfo(const uint8_t* p, HFSPlusBSDInfo& out);
// Folder (88 bytes) and file (248 bytes) records.
void LoadCatalogFolder(const uint8_t* p, HFSPlusCatalogFolder& out);
void LoadCatalogFile(const uint8_t* p, HFSPlusCatalogFile& out);
void LoadDecmpfsHeader(const uint8_t* p, HFSPlusDecmpfsHeader& out);

// HFS+ seconds since 1904 as a _FILETIME value; 0 stays 0.
uint64_t HFSTimeToFileTime(uint32_t seconds);

}  // namespace hfsplus
