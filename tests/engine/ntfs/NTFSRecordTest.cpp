// Boot sectors and FILE records of images made by mkntfs (no mount needed),
// checked against fsstat, istat and fls, and the same records
// damaged in the ways the format's tests must catch.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "NtfsImageCheck.h"
#include "NtfsPeers.h"
#include "OnDiskBytes.h"
#include "ntfs/NTFSBytes.h"
#include "ntfs/NTFSDBR.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSFileRecordAnalyzer.h"
#include "ntfs/NTFSFileRecordAttribute.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using ondisk::Le16;
using testsupport::ShellQuote;
using Bytes = std::vector<uint8_t>;

// A fresh, empty mkntfs image and what the tools say about it.
struct FreshImage {
  testsupport::TempDir dir;
  fs::path image = dir / "fresh.img";
  fs::path prefix = dir / "fresh";

  explicit FreshImage(const std::string& options) {
    const std::string img = ShellQuote(image.string());
    testsupport::RunCommandOrFail("truncate -s 16M " + img + " && mkntfs -F -f -q " + options + " " + img +
                                  " >/dev/null 2>&1");
    testsupport::RunCommandOrFail("bash " + ShellQuote(ntfscheck::FixtureScript().string()) + " --peers " + img + " " +
                                  ShellQuote(prefix.string()));
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
  void SetUp() override {
    REQUIRE_TOOL("mkntfs");
    REQUIRE_TOOL("istat");
  }
};

void Store(Bytes& b, size_t offset, uint32_t v, int width) {
  for (int i = 0; i < width; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---- boot sector --------------------------------------------------------------

TEST_F(FreshNtfs, BootSectorFieldsThatMustBeZeroOrSound) {
  const Bytes good = DefaultImage().Boot();
  ASSERT_TRUE(CNTFSDBR::IsFullValidDBR(good.data()));
  auto with = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
    Bytes b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<long>(offset));
    return CNTFSDBR::IsFullValidDBR(b.data());
  };
  for (int spc = 0; spc < 256; ++spc) {
    EXPECT_EQ(with(0x0D, {static_cast<uint8_t>(spc)}), spc != 0 && (spc & (spc - 1)) == 0) << spc;
  }
  EXPECT_TRUE(with(0x15, {0x12}));         // the media descriptor does not matter
  EXPECT_TRUE(with(0x0B, {0x00, 0x10}));   // 4096 bytes per sector
  EXPECT_FALSE(with(0x0B, {0x08, 0x02}));  // 520
  EXPECT_FALSE(with(0x0B, {0x00, 0x00}));
  for (size_t offset : {0x0E, 0x10, 0x11, 0x12, 0x13, 0x14, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23}) {
    EXPECT_FALSE(with(offset, {0x01})) << offset;
  }
  EXPECT_FALSE(with(510, {0x55, 0xAB}));
  EXPECT_FALSE(with(3, {'N', 'T', 'F', 'S', 'X'}));
  EXPECT_FALSE(CNTFSDBR::IsFullValidDBR(nullptr));

  // A failed init keeps what the object held.
  CNTFSDBR dbr;
  ASSERT_TRUE(dbr.InitFromBuffer(good.data()));
  const uint64_t serial = dbr.GetSerialNumber();
  Bytes bad = good;
  bad[0x48] ^= 0xFF;
  bad[510] = 0;
  EXPECT_FALSE(dbr.InitFromBuffer(bad.data()));
  EXPECT_EQ(dbr.GetSerialNumber(), serial);
  EXPECT_FALSE(dbr.InitFromBuffer(nullptr));
}

TEST_F(FreshNtfs, FileRecordSizeFromTheClustersPerRecordByte) {
  Bytes boot = DefaultImage().Boot();
  struct Case {
    uint8_t value, spc;
    uint32_t bytes;
  };
  for (const Case& c : {Case{0x00, 8, 1024}, Case{0xF6, 8, 1024}, Case{0xF4, 8, 4096}, Case{0x01, 8, 4096},
                        Case{0x02, 1, 1024}, Case{0x80, 8, 0} /* 2^128 */, Case{0xE0, 8, 0} /* 2^32 */}) {
    boot[0x40] = c.value;
    boot[0x0D] = c.spc;
    CNTFSDBR dbr;
    EXPECT_TRUE(dbr.InitFromBuffer(boot.data()));
    EXPECT_EQ(dbr.GetFileRecordSizeByByte(), c.bytes) << int{c.value};
  }
}

TEST_F(FreshNtfs, GeometryKeepsDeviceAndVolumeSectorsApart) {
  FreshImage small("-c 512");
  FreshImage big("-s 4096");
  CNTFSDBR dbr512, dbr4096;
  ASSERT_TRUE(dbr512.InitFromBuffer(small.Boot().data()));
  ASSERT_TRUE(dbr4096.InitFromBuffer(big.Boot().data()));
  const auto fsstat = ntfspeers::ParseFsstat(ntfspeers::ReadText(big.prefix.string() + ".img.fsstat.txt"));

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

TEST_F(FreshNtfs, HeaderTestLimits) {
  const Bytes good = DefaultImage().Record(0);
  ASSERT_EQ(good.size(), 1024u);
  ASSERT_TRUE(CNTFSFileRecordHeader::IsValid(good.data(), 1024));
  struct Case {
    size_t offset;
    uint32_t value;
    int width;
    bool valid;
  };
  const Case cases[] = {
      {6, 0, 2, false},   {6, 3, 2, true},        {6, 4, 2, false},  // update-sequence count vs 1024 bytes
      {6, 17, 2, false},  {0x1C, 1536, 4, false}, {0x1C, 8192, 4, false}, {4, 41, 2, false},
      {4, 257, 2, false}, {4, 42, 2, true},       {4, 256, 2, true},      {0, 0x454C4942, 4, false} /* "BILE" */};
  for (const Case& c : cases) {
    Bytes b = good;
    Store(b, c.offset, c.value, c.width);
    EXPECT_EQ(CNTFSFileRecordHeader::IsValid(b.data(), 1024), c.valid) << c.offset << "=" << c.value;
  }
  EXPECT_FALSE(CNTFSFileRecordHeader::IsValid(good.data(), 1000));
  EXPECT_FALSE(CNTFSFileRecordHeader::IsValid(nullptr, 1024));
}

TEST_F(FreshNtfs, FixupsAreUndoneAndRedoneExactly) {
  const Bytes disk = DefaultImage().Record(5);
  Bytes b = disk;
  ASSERT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  const uint16_t usa = Le16(b.data() + 4);
  ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  EXPECT_EQ(Le16(b.data() + 510), Le16(b.data() + usa + 2));
  EXPECT_EQ(Le16(b.data() + 1022), Le16(b.data() + usa + 4));
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  ASSERT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
  EXPECT_EQ(b, disk);
  EXPECT_FALSE(CNTFSFileRecord::FixupFileRecord(b.data(), 512));

  // A torn record stays valid but is reported, and is left as it came.
  b[1022] ^= 0x5A;
  const Bytes torn = b;
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::IsValid(b.data(), 1024));
  {
    CNTFSFileRecord record(b.data(), 1024, 0);
    EXPECT_TRUE(record.IsValid());
    EXPECT_FALSE(record.IsUpdateSequenceUndone());
  }
  EXPECT_EQ(b, torn);

  // A view with a copy never touches the caller's buffer.
  b = disk;
  CNTFSFileRecord copy(b.data(), 1024, 1);
  ASSERT_TRUE(copy.IsValid());
  EXPECT_TRUE(copy.IsUpdateSequenceUndone());
  EXPECT_EQ(b, disk);
}

TEST_F(FreshNtfs, AnUpdateSequenceThatProtectsNothingIsNeverRead) {
  Bytes b = DefaultImage().Record(0);
  Store(b, 6, 1, 2);       // count 1: the array holds only the sequence number
  Store(b, 4, 0xFFFF, 2);  // and points far outside the record
  const Bytes before = b;
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
  EXPECT_EQ(b, before);
  // Just past the record's end, where the address sanitizer sees any read.
  Store(b, 4, 1024, 2);
  const Bytes past = b;
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  EXPECT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
  EXPECT_EQ(b, past);
  Store(b, 6, 3, 2);  // an array that protects strides must lie in the first one
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
  EXPECT_FALSE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
}

TEST_F(FreshNtfs, AFourKilobyteRecordIsProtectedOverAllItsStrides) {
  FreshImage big("-s 4096");
  Bytes b = big.Record(5);
  ASSERT_EQ(b.size(), 4096u);
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 4096));
  b[512 * 6 + 511] ^= 0x01;  // a stride past the first 1024 bytes
  EXPECT_FALSE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 4096));
  EXPECT_TRUE(CNTFSFileRecord::IsValidUpdateSequence(b.data(), 1024));
}

// ---- the attribute walk ---------------------------------------------------

TEST_F(FreshNtfs, AWalkEndsAtAFirstAttributeOffsetPastItOrAZeroLengthAttribute) {
  Bytes b = DefaultImage().Record(0);
  ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
  Bytes late = b;
  Store(late, 0x14, 1016, 2);
  EXPECT_EQ(CNTFSFileRecord::FindAttibute(late.data(), 1024, 0x10, 0), nullptr);
  EXPECT_TRUE(CNTFSFileRecord::CheckAttibutes(late.data(), 1024));
  Store(late, 0x14, 0xFFFF, 2);
  EXPECT_EQ(CNTFSFileRecord::GetAttributeOffset(late.data(), 1024, 0x10, 0), ntfs_record::kNotFound);

  const uint32_t fn = CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x30, 0);
  ASSERT_NE(fn, ntfs_record::kNotFound);
  ASSERT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x80), 1u);
  Store(b, fn + 4, 0, 4);
  EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x30), 0u);
  EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(b.data(), 1024, 0x80), 0u);
  EXPECT_NE(CNTFSFileRecord::FindAttibute(b.data(), 1024, 0x10, 0), nullptr);
}

TEST_F(FreshNtfs, DamagedNamesAndAttributesMakeTheRecordInvalid) {
  // Each change is made to record 0 ($MFT) at its first $FILE_NAME (fn); the
  // name starts at content (0x18) + 0x42.
  using Change = std::function<void(Bytes&, uint32_t fn, uint32_t data)>;
  struct Case {
    const char* what;
    Change change;
    bool valid;
  };
  std::vector<Case> cases = {
      {"unchanged", [](Bytes&, uint32_t, uint32_t) {}, true},
      {"':' in the name", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 0x5C, ':', 2); }, false},
      {"a control character", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 0x5C, 1, 2); }, true},
      {"a 0 unit ends the character test",
       [](Bytes& b, uint32_t fn, uint32_t) {
         Store(b, fn + 0x5C, 0, 2);
         Store(b, fn + 0x5E, ':', 2);
       },
       true},
      {"a name longer than its attribute", [](Bytes& b, uint32_t fn, uint32_t) { b[fn + 0x58] = 255; }, false},
      {"content too short for the name", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 0x10, 0x44, 4); }, false},
      {"a non-resident name", [](Bytes& b, uint32_t fn, uint32_t) { b[fn + 8] = 1; }, false},
      {"an attribute past the record", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 4, 2000, 4); }, false},
      {"an attribute shorter than its header", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 4, 16, 4); }, false},
      {"content offset past the attribute", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 0x14, 0xFFF0, 2); },
       false},
      {"content length past the attribute", [](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 0x10, 0xFFFFFFF0, 4); },
       false},
      {"mapping pairs that run off the attribute",
       [](Bytes& b, uint32_t, uint32_t data) {
         const uint16_t pairs = Le16(b.data() + data + 0x20);
         std::memset(b.data() + data + pairs, 0x11, ondisk::Le32(b.data() + data + 4) - pairs);
       },
       false},
      {"mapping pairs offset past the attribute",
       [](Bytes& b, uint32_t, uint32_t data) { Store(b, data + 0x20, 0x2000, 2); }, false},
  };
  for (char c : std::string("\"*/<>?\\|")) {
    cases.push_back(
        {"a forbidden character", [c](Bytes& b, uint32_t fn, uint32_t) { Store(b, fn + 0x5A, c, 2); }, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = DefaultImage().Record(0);
    ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(b.data(), 1024));
    c.change(b, CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x30, 0),
             CNTFSFileRecord::GetAttributeOffset(b.data(), 1024, 0x80, 0));
    ASSERT_TRUE(CNTFSFileRecord::FixupFileRecord(b.data(), 1024));
    EXPECT_EQ(CNTFSFileRecord::IsValid(b.data(), 1024), c.valid);
  }
}

TEST(NTFSClusterSizeGuess, SizeAndClustersGiveSectorsPerCluster) {
  struct Case {
    int64_t size, clusters;
    uint32_t sector;
    int expected;
  };
  for (const Case& c : {Case{4096, 1, 512, 8}, Case{5 * 512, 1, 512, 8}, Case{200 * 512, 1, 512, 0},
                        Case{128 * 512, 1, 512, 128}, Case{1, 1, 512, 1}, Case{4096, 0, 512, 0}, Case{0, 3, 512, 0},
                        Case{INT64_MAX, 1, 512, 0}, Case{65536, 2, 4096, 8}}) {
    EXPECT_EQ(CNTFSFileRecordAnalyzer::GuessSectorsPerCluster(c.size, c.clusters, c.sector), c.expected)
        << c.size << "/" << c.clusters;
  }
}

}  // namespace
