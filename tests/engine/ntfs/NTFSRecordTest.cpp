// Boot sectors and FILE records of images made by mkntfs (no mount needed),
// checked against fsstat, istat, fls and ntfsinfo, and the same records
// damaged in the ways the format's tests must catch.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "NtfsImageCheck.h"
#include "NtfsPeers.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::ShellQuote;
using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

#define REQUIRE_NTFS_TOOLS()   \
  do {                         \
    REQUIRE_TOOL("mkntfs");    \
    REQUIRE_TOOL("istat");     \
    REQUIRE_TOOL("ntfsinfo");  \
  } while (0)

// A fresh, empty mkntfs image and what the tools say about it.
struct FreshImage {
  TempDir dir;
  fs::path image;
  fs::path prefix;

  explicit FreshImage(const std::string& options) {
    image = dir / "fresh.img";
    prefix = dir / "fresh";
    const std::string img = ShellQuote(image.string());
    testsupport::RunCommandOrFail("truncate -s 16M " + img + " && mkntfs -F -f -q " + options + " " + img +
                                  " >/dev/null 2>&1");
    testsupport::RunCommandOrFail("bash " + ShellQuote(ntfscheck::FixtureScript().string()) + " --peers " + img +
                                  " " + ShellQuote(prefix.string()));
  }
  Bytes Boot() const { return ntfscheck::ReadAt(image, 0, 512); }
  Bytes Record(uint64_t n) const { return ntfscheck::ReadRecord(prefix, n); }
};

FreshImage& DefaultImage() {
  static std::unique_ptr<FreshImage> image;
  if (!image) image = std::make_unique<FreshImage>("");
  return *image;
}

class FreshNtfs : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_NTFS_TOOLS(); }
};

// ---- every record of fresh images against the peers -------------------------

TEST_F(FreshNtfs, RecordsOfEveryGeometryMatchThePeers) {
  for (const char* options : {"", "-c 512", "-c 65536", "-s 4096"}) {
    SCOPED_TRACE(std::string("mkntfs ") + options);
    FreshImage image(options);
    ntfscheck::CheckImageAgainstPeers(image.image, image.prefix);
  }
}

// ---- boot sector --------------------------------------------------------------

TEST_F(FreshNtfs, BootSectorTestAcceptsOnlyPowerOfTwoClusterSizes) {
  Bytes boot = DefaultImage().Boot();
  ASSERT_TRUE(CNTFSDBR::IsFullValidDBR(boot.data()));
  for (int spc = 0; spc < 256; ++spc) {
    boot[0x0D] = static_cast<uint8_t>(spc);
    const bool powerOfTwo = spc != 0 && (spc & (spc - 1)) == 0;
    EXPECT_EQ(CNTFSDBR::IsFullValidDBR(boot.data()), powerOfTwo) << spc;
  }
}

TEST_F(FreshNtfs, BootSectorFieldsThatMustBeZeroOrSound) {
  const Bytes good = DefaultImage().Boot();
  auto with = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
    Bytes b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(offset));
    return CNTFSDBR::IsFullValidDBR(b.data());
  };
  EXPECT_TRUE(with(0x15, {0x12}));          // the media descriptor does not matter
  EXPECT_TRUE(with(0x0B, {0x00, 0x10}));    // 4096 bytes per sector
  EXPECT_FALSE(with(0x0B, {0x08, 0x02}));   // 520
  EXPECT_FALSE(with(0x0B, {0x00, 0x00}));
  EXPECT_FALSE(with(0x0E, {0x01}));
  for (size_t offset : {0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
    EXPECT_FALSE(with(offset, {0x01})) << offset;
  }
  EXPECT_FALSE(with(510, {0x55, 0xAB}));
  EXPECT_FALSE(with(3, {'N', 'T', 'F', 'S', 'X'}));
  EXPECT_FALSE(CNTFSDBR::IsValidDBR(nullptr));
  EXPECT_FALSE(CNTFSDBR::IsFullValidDBR(nullptr));
}

TEST_F(FreshNtfs, InitKeepsTheObjectWhenTheSectorFails) {
  Bytes boot = DefaultImage().Boot();
  CNTFSDBR dbr;
  char oem[8];
  EXPECT_FALSE(dbr.GetFileSystemID(oem));  // holds no boot sector yet
  ASSERT_TRUE(dbr.InitFromBuffer(boot.data()));
  const uint64_t serial = dbr.GetSerialNumber();
  boot[0x48] ^= 0xFF;
  boot[510] = 0;
  EXPECT_FALSE(dbr.InitFromBuffer(boot.data()));
  EXPECT_EQ(dbr.GetSerialNumber(), serial);
  EXPECT_FALSE(dbr.InitFromBuffer(nullptr));
}

TEST_F(FreshNtfs, FileRecordSizeFromTheClustersPerRecordByte) {
  Bytes boot = DefaultImage().Boot();
  auto size = [&](uint8_t value, uint8_t spc) {
    boot[0x40] = value;
    boot[0x0D] = spc;
    CNTFSDBR dbr;
    EXPECT_TRUE(dbr.InitFromBuffer(boot.data()));
    return dbr.GetFileRecordSizeByByte();
  };
  EXPECT_EQ(size(0x00, 8), 1024u);
  EXPECT_EQ(size(0xF6, 8), 1024u);
  EXPECT_EQ(size(0xF4, 8), 4096u);
  EXPECT_EQ(size(0x01, 8), 4096u);
  EXPECT_EQ(size(0x02, 1), 1024u);
  EXPECT_EQ(size(0x80, 8), 0u);  // 2^128 is no size
  EXPECT_EQ(size(0xE0, 8), 0u);  // 2^32 neither
}

TEST_F(FreshNtfs, GeometryKeepsDeviceAndVolumeSectorsApart) {
  FreshImage small("-c 512");
  FreshImage big("-s 4096");
  CNTFSDBR dbr512, dbr4096;
  ASSERT_TRUE(dbr512.InitFromBuffer(small.Boot().data()));
  ASSERT_TRUE(dbr4096.InitFromBuffer(big.Boot().data()));
  const auto fsstat = ntfspeers::ParseFsstat(ntfspeers::ReadText(big.prefix.string() + ".fsstat"));

  CNTFSGeometry g;
  // A volume made for 4 KiB sectors inside an image read in 512-byte sectors.
  ASSERT_TRUE(g.Init(dbr4096, 512));
  EXPECT_EQ(g.GetBytesPerSector(), fsstat.sectorSize);
  EXPECT_EQ(g.GetClusterBytes(), fsstat.clusterSize);
  EXPECT_EQ(g.GetDeviceSectorsPerCluster(), fsstat.clusterSize / 512);
  EXPECT_EQ(g.GetFileRecordBytes(), fsstat.recordSize);
  EXPECT_EQ(g.ClusterToDeviceSector(fsstat.mftCluster, 2048), 2048 + fsstat.mftCluster * fsstat.clusterSize / 512);
  ASSERT_TRUE(g.Init(dbr4096, 4096));
  EXPECT_EQ(g.GetDeviceSectorsPerCluster(), 1u);
  // 512-byte clusters cannot be addressed on a 4 KiB-sector device.
  EXPECT_FALSE(g.Init(dbr512, 4096));
  EXPECT_FALSE(g.IsValid());
  EXPECT_FALSE(g.Init(dbr512, 0));
  EXPECT_FALSE(g.Init(dbr512, 1000));
  ASSERT_TRUE(g.Init(dbr512, 512));
  EXPECT_EQ(g.ClusterToDeviceSector(-1, 0), -1);
  EXPECT_EQ(g.ClusterToDeviceSector(INT64_MAX, 0), -1);
  EXPECT_EQ(g.ClusterToDeviceSector(10, INT64_MAX), -1);
  EXPECT_EQ(g.FileRecordByteOffset(0, INT64_MAX / 2, 0), -1);
}

// ---- FILE record header and update sequence -------------------------------

using ntfs_bytes::LoadU16;
using ntfs_bytes::StoreU16;

void PutU16(Bytes& b, size_t offset, uint16_t v) { StoreU16(b.data() + offset, v); }
void PutU32(Bytes& b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST_F(FreshNtfs, HeaderTestLimits) {
  const Bytes good = DefaultImage().Record(0);
  ASSERT_EQ(good.size(), 1024u);
  ASSERT_TRUE(CNTFSFileRecordHeader::IsValid(good.data(), 1024));
  auto test = [&](size_t offset, uint32_t value, int width) {
    Bytes b = good;
    width == 2 ? PutU16(b, offset, static_cast<uint16_t>(value)) : PutU32(b, offset, value);
    return CNTFSFileRecordHeader::IsValid(b.data(), 1024);
  };
  EXPECT_FALSE(test(6, 0, 2));      // update-sequence count 0
  EXPECT_TRUE(test(6, 3, 2));       // 3 with 1024 bytes allocated
  EXPECT_FALSE(test(6, 4, 2));      // one stride more than the record has
  EXPECT_FALSE(test(6, 17, 2));
  EXPECT_FALSE(test(0x1C, 1536, 4));
  EXPECT_FALSE(test(0x1C, 8192, 4));
  EXPECT_FALSE(test(4, 41, 2));
  EXPECT_FALSE(test(4, 257, 2));
  EXPECT_TRUE(test(4, 42, 2));
  EXPECT_TRUE(test(4, 256, 2));
  EXPECT_FALSE(test(0, 0x454C4942, 4));  // "BILE"
  EXPECT_FALSE(CNTFSFileRecordHeader::IsValid(good.data(), 1000));
  EXPECT_FALSE(CNTFSFileRecordHeader::IsValid(nullptr, 1024));

  CNTFSFileRecordHeader header;
  ASSERT_TRUE(header.InitFromBuffer(good.data(), 1024));
  EXPECT_EQ(header.GetLength(), CNTFSFileRecord::GetFirstAttibuteOffset(good.data()));
  EXPECT_EQ(std::memcmp(header.GetBuffer(), good.data(), header.GetLength()), 0);
}

TEST_F(FreshNtfs, FixupsAreUndoneAndRedoneExactly) {
  const Bytes disk = DefaultImage().Record(5);
  Bytes b = disk;
  ASSERT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  const uint16_t usa = LoadU16(b.data() + 4);
  const uint16_t number = LoadU16(b.data() + usa);
  EXPECT_EQ(LoadU16(b.data() + 510), number);
  ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  EXPECT_EQ(LoadU16(b.data() + 510), LoadU16(b.data() + usa + 2));
  EXPECT_EQ(LoadU16(b.data() + 1022), LoadU16(b.data() + usa + 4));
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  ASSERT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
  EXPECT_EQ(b, disk);
  EXPECT_FALSE(CNTFSFileRecord::FixupFileRecord(b.data(), 512));
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 512));
}

TEST_F(FreshNtfs, AnUpdateSequenceThatProtectsNothingIsNeverRead) {
  Bytes b = DefaultImage().Record(0);
  PutU16(b, 6, 1);       // count 1: the array holds only the sequence number
  PutU16(b, 4, 0xFFFF);  // and points far outside the record
  const Bytes before = b;
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
  EXPECT_EQ(b, before);
  PutU16(b, 6, 3);  // an array that protects strides must lie in the first one
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_FALSE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
}

TEST_F(FreshNtfs, ATornRecordStaysValidButIsReportedAndUnchanged) {
  Bytes b = DefaultImage().Record(5);
  b[1022] ^= 0x5A;  // the second stride was written by another update
  const Bytes torn = b;
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::IsValid(b.data(), 1024));
  EXPECT_EQ(b, torn);
  {
    CNTFSFileRecord record(b.data(), 1024, 0);
    EXPECT_TRUE(record.IsValid());
    EXPECT_FALSE(record.IsUpdateSequenceUndone());
  }
  EXPECT_EQ(b, torn);
}

TEST_F(FreshNtfs, AFourKilobyteRecordIsProtectedOverAllItsStrides) {
  FreshImage big("-s 4096");
  Bytes b = big.Record(5);
  ASSERT_EQ(b.size(), 4096u);
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 4096));
  b[512 * 6 + 511] ^= 0x01;  // a stride past the first 1024 bytes
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 4096));
  // Read as its first 1024 bytes only, the record still verifies.
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
}

TEST_F(FreshNtfs, AViewWithACopyNeverTouchesTheCallersBuffer) {
  Bytes b = DefaultImage().Record(0);
  const Bytes disk = b;
  CNTFSFileRecord copy(b.data(), 1024, 1);
  ASSERT_TRUE(copy.IsValid());
  EXPECT_TRUE(copy.IsUpdateSequenceUndone());
  EXPECT_NE(copy.GetBuffer(), b.data());
  EXPECT_EQ(b, disk);
  CNTFSFileRecord view(b.data(), 1024, 0);
  ASSERT_TRUE(view.IsValid());
  EXPECT_EQ(view.GetBuffer(), b.data());
  EXPECT_NE(b, disk);  // undone while the view lives
  CNTFSFileRecord none(nullptr, 1024, 0);
  EXPECT_FALSE(none.IsValid());
  EXPECT_EQ(none.FindAttibute(0x10, 0), nullptr);
  CNTFSFileRecord small(b.data(), 512, 0);
  EXPECT_FALSE(small.IsValid());
}

// ---- the attribute walk ---------------------------------------------------

TEST_F(FreshNtfs, FirstAttributeOffsetPastTheWalkFindsNothing) {
  Bytes b = DefaultImage().Record(0);
  ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  ASSERT_NE(CNTFSFileRecord::FindAttibute(b.data(), 1024, 0x10, 0), nullptr);
  PutU16(b, 0x14, 1016);
  EXPECT_EQ(CNTFSFileRecord::FindAttibute(b.data(), 1024, 0x10, 0), nullptr);
  EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x10), 0u);
  EXPECT_TRUE(CNTFSFileRecord::CheckAttibutes(b.data(), 1024));
  PutU16(b, 0x14, 0xFFFF);
  EXPECT_EQ(CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x10, 0), ntfs_record::kNotFound);
}

TEST_F(FreshNtfs, AZeroLengthAttributeEndsEveryWalk) {
  Bytes b = DefaultImage().Record(0);
  ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  const uint32_t fn = CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x30, 0);
  ASSERT_NE(fn, ntfs_record::kNotFound);
  ASSERT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x80), 1u);
  PutU32(b, fn + 4, 0);
  EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x30), 0u);
  EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x80), 0u);
  EXPECT_NE(CNTFSFileRecord::FindAttibute(b.data(), 1024, 0x10, 0), nullptr);
}

// Changes the first $FILE_NAME of record 0 and answers the record test.
bool RecordTestAfter(const std::function<void(Bytes&, uint32_t fnOffset)>& change) {
  Bytes b = DefaultImage().Record(0);
  EXPECT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  const uint32_t fn = CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x30, 0);
  EXPECT_NE(fn, ntfs_record::kNotFound);
  change(b, fn);
  EXPECT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
  return CNTFSFileRecord::IsValid(b.data(), 1024);
}

TEST_F(FreshNtfs, NamesWithForbiddenCharactersMakeTheRecordInvalid) {
  EXPECT_TRUE(RecordTestAfter([](Bytes&, uint32_t) {}));
  // "$MFT": the name starts at content (0x18) + 0x42.
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU16(b, fn + 0x18 + 0x42 + 2, ':'); }));
  for (char c : std::string("\"*/<>?\\|")) {
    EXPECT_FALSE(RecordTestAfter([c](Bytes& b, uint32_t fn) { PutU16(b, fn + 0x18 + 0x42, c); })) << c;
  }
  EXPECT_TRUE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU16(b, fn + 0x18 + 0x42 + 2, 0x01); }));
  // A 0 unit ends the character test.
  EXPECT_TRUE(RecordTestAfter([](Bytes& b, uint32_t fn) {
    PutU16(b, fn + 0x18 + 0x42 + 2, 0);
    PutU16(b, fn + 0x18 + 0x42 + 4, ':');
  }));
}

TEST_F(FreshNtfs, ANameLongerThanItsAttributeMakesTheRecordInvalid) {
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { b[fn + 0x18 + 0x40] = 255; }));
  // The content length must hold the name too.
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU32(b, fn + 0x10, 0x42 + 2); }));
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { b[fn + 8] = 1; }));  // a non-resident name
}

TEST_F(FreshNtfs, AttributesThatOverrunTheRecordOrTheirHeaderAreInvalid) {
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU32(b, fn + 4, 2000); }));
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU32(b, fn + 4, 16); }));
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU16(b, fn + 0x14, 0xFFF0); }));
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t fn) { PutU32(b, fn + 0x10, 0xFFFFFFF0); }));
  // The non-resident $DATA of $MFT with mapping pairs that run off the attribute.
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t) {
    const uint32_t data = CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x80, 0);
    const uint32_t length = ntfs_bytes::LoadU32(b.data() + data + 4);
    std::memset(b.data() + data + LoadU16(b.data() + data + 0x20), 0x11, length - LoadU16(b.data() + data + 0x20));
  }));
  EXPECT_FALSE(RecordTestAfter([](Bytes& b, uint32_t) {
    const uint32_t data = CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x80, 0);
    PutU16(b, data + 0x20, 0x2000);
  }));
}

TEST(NTFSClusterSizeGuess, SizeAndClustersGiveSectorsPerCluster) {
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(4096, 1, 512), 8);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(5 * 512, 1, 512), 8);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(200 * 512, 1, 512), 0);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(128 * 512, 1, 512), 128);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(1, 1, 512), 1);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(4096, 0, 512), 0);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(0, 3, 512), 0);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(INT64_MAX, 1, 512), 0);
  EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(65536, 2, 4096), 8);
}

TEST(NTFSClusterSizeGuess, TheProcessSectorSizeTakesOnlyMultiplesOf512) {
  EXPECT_EQ(GetNTFSSectorSize(), 512u);
  SetNTFSSectorSize(1000);
  EXPECT_EQ(GetNTFSSectorSize(), 512u);
  SetNTFSSectorSize(4096);
  EXPECT_EQ(GetNTFSSectorSize(), 4096u);
  SetNTFSSectorSize(0);
  EXPECT_EQ(GetNTFSSectorSize(), 4096u);
  SetNTFSSectorSize(512);
}

TEST(NTFSFileNameTest, CharacterTestOnBareNames) {
  const uint8_t ok[] = {'a', 0, 0x01, 0, 0xE9, 0};
  const uint8_t colon[] = {'a', 0, ':', 0};
  const uint8_t hidden[] = {'a', 0, 0, 0, ':', 0};
  EXPECT_TRUE(IsValidFileName(ok, 3));
  EXPECT_FALSE(IsValidFileName(colon, 2));
  EXPECT_TRUE(IsValidFileName(hidden, 3));
  EXPECT_TRUE(IsValidFileName(nullptr, 0));
  EXPECT_FALSE(IsValidFileName(nullptr, 2));
}

}  // namespace
