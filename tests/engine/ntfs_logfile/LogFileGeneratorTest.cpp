// The $LogFile fixture generator against independent readers: ntfsrecover
// (ntfs-3g's log parser) must list every record the generator says it wrote,
// with the same LSNs, operations, offsets and targets; The Sleuth Kit must see
// the deleted files without runs; the hostile variants must carry the damage
// their manifest describes.

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ntfs_logfile/LogFileScenario.h"
#include "engine/ntfs_logfile/NtfsrecoverListing.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using ntfslogfile::ListedRecord;
using ntfslogfile::Listing;
using ntfslogfile::Scenario;
using ntfslogfile::ScenarioManifest;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Item(const std::string& list, size_t index, const std::string& field) {
  return list + "." + std::to_string(index) + "." + field;
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
  return text;
}

// Every record of the manifest's log `log` ("log" or "variants.<v>.log") is
// listed by ntfsrecover from a regular page, once, with the fields written.
void ExpectEveryRecordListed(const Listing& listing, const ScenarioManifest& m, const std::string& log,
                             const std::set<uint64_t>& notListed = {}) {
  const std::string records = log + ".records";
  const size_t count = m.Count(records);
  ASSERT_GT(count, 0u) << "no records in the manifest under " << records;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t lsn = m.Number(Item(records, i, "lsn"));
    if (notListed.count(lsn) != 0) continue;
    SCOPED_TRACE("record " + std::to_string(i) + " (" + m.Text(Item(records, i, "label")) + ") LSN " + Hex(lsn));
    const std::vector<const ListedRecord*> found = listing.WithLsn(lsn);
    ASSERT_EQ(found.size(), 1u) << "ntfsrecover lists it " << found.size() << " times";
    const ListedRecord& r = *found[0];
    EXPECT_EQ(r.block, static_cast<int>(m.Number(Item(records, i, "page"))));
    EXPECT_EQ(r.offset, m.Number(Item(records, i, "page_offset")));
    EXPECT_EQ(r.overlapping, m.Number(Item(records, i, "pages")) > 1);
    EXPECT_EQ(r.Field("client_data_length"), m.Number(Item(records, i, "client_data_length")));
    EXPECT_EQ(r.Field("record_type"), m.Number(Item(records, i, "record_type")));
    EXPECT_EQ(r.Field("transaction_id"), m.Number(Item(records, i, "transaction_id")));
    EXPECT_EQ(r.Field("client_previous_lsn"), m.Number(Item(records, i, "client_previous_lsn")));
    EXPECT_EQ(r.Field("client_undo_next_lsn"), m.Number(Item(records, i, "client_undo_next_lsn")));
    EXPECT_EQ(r.Field("log_record_flags"), m.Number(Item(records, i, "flags")));
    if (m.Number(Item(records, i, "record_type")) != 1) continue;
    EXPECT_EQ(Lower(r.redoOperation), Lower(m.Text(Item(records, i, "redo_op"))));
    EXPECT_EQ(Lower(r.undoOperation), Lower(m.Text(Item(records, i, "undo_op"))));
    for (const char* name : {"redo_offset", "redo_length", "undo_offset", "undo_length", "target_attribute",
                             "lcns_to_follow", "record_offset", "attribute_offset", "target_vcn"}) {
      EXPECT_EQ(r.Field(name), m.Number(Item(records, i, name))) << name;
    }
    EXPECT_EQ(r.Field("cluster_index"), m.Number(Item(records, i, "cluster_block_offset")));
    const std::string lcns = Item(records, i, "lcns");
    ASSERT_EQ(r.lcns.size(), m.Count(lcns));
    for (size_t k = 0; k < r.lcns.size(); ++k) EXPECT_EQ(r.lcns[k], m.Number(lcns + "." + std::to_string(k)));
    EXPECT_FALSE(r.HasNote("Unexpected")) << "ntfsrecover finds the data offsets odd";
    EXPECT_FALSE(r.HasNote("overflowing")) << "ntfsrecover finds data past the record";
  }
  std::set<uint64_t> listed;
  for (const ListedRecord& r : listing.records) {
    if (r.block >= 4 && !r.badSize) listed.insert(r.Field("this_lsn"));
  }
  EXPECT_EQ(listed.size(), count - notListed.size()) << "ntfsrecover lists records the generator did not write";
}

// The records that carry a whole FILE record name the file that ifind/istat
// found at that MFT number before it was deleted.
void ExpectFileImagesNameTheirFiles(const Listing& listing, const Scenario& s) {
  const ScenarioManifest& m = s.manifest;
  size_t images = 0;
  for (size_t i = 0; i < m.Count("log.records"); ++i) {
    const bool redoImage = m.Text(Item("log.records", i, "redo_op")) == "InitializeFileRecordSegment";
    const bool undoImage = m.Text(Item("log.records", i, "undo_op")) == "InitializeFileRecordSegment";
    if (!redoImage && !undoImage) continue;
    const int file = m.Find("files", "mft", m.Text(Item("log.records", i, "mft_record")));
    ASSERT_GE(file, 0);
    const std::string mft = m.Text(Item("files", file, "mft"));
    SCOPED_TRACE(m.Text(Item("files", file, "path")));
    const std::vector<const ListedRecord*> found = listing.WithLsn(m.Number(Item("log.records", i, "lsn")));
    ASSERT_EQ(found.size(), 1u);
    const ListedRecord& r = *found[0];
    EXPECT_TRUE(r.HasNote("assuming record for inode " + mft));
    EXPECT_TRUE(r.HasNote("inode " + mft));
    EXPECT_TRUE(r.HasNote("name " + m.Text(Item("files", file, "name"))));
    EXPECT_TRUE(r.HasNote("parent dir inode " + m.Text(Item("files", file, "parent_mft"))));
    EXPECT_TRUE(r.HasNote("flags 0x1 (file in use)"));
    // The image is the record as it was on disk before deletion (its used part).
    const std::vector<uint8_t> before = testsupport::ReadFile(s.dir / m.Text(Item("files", file, "record_before")));
    const std::vector<uint8_t>& image = redoImage ? r.redoData : r.undoData;
    ASSERT_FALSE(image.empty());
    ASSERT_LE(image.size(), 510u) << "compare only up to the first sector end";
    EXPECT_TRUE(std::equal(image.begin(), image.end(), before.begin()));
    ++images;
  }
  EXPECT_GE(images, 3u);
}

// A record that crosses a page end is joined from both pages into the FILE
// image of known.txt.
void ExpectSpanningRecordJoined(const Listing& listing, const ScenarioManifest& m) {
  const uint64_t lsn = m.Number("spanning_lsn");
  const std::vector<const ListedRecord*> found = listing.WithLsn(lsn);
  ASSERT_EQ(found.size(), 1u) << "LSN " << Hex(lsn);
  const ListedRecord& r = *found[0];
  EXPECT_TRUE(r.overlapping);
  EXPECT_EQ(r.Field("log_record_flags"), 1u) << "the record says it crosses pages";
  EXPECT_TRUE(r.HasNote("likely 1"));
  const int known = m.Find("files", "path", "LogTest/known.txt");
  ASSERT_GE(known, 0);
  EXPECT_TRUE(r.HasNote("name known.txt"));
  EXPECT_TRUE(r.HasNote("inode " + m.Text(Item("files", known, "mft"))));
}

void ExpectUnchanged(const fs::path& image, const std::string& sha256) {
  EXPECT_EQ(testsupport::Sha256(image), sha256) << image << " changed";
}

std::string Istat(const fs::path& image, const std::string& mft) {
  return testsupport::RunCommandOrFail("istat -f ntfs " + testsupport::ShellQuote(image.string()) + " " + mft);
}

// -----------------------------------------------------------------------------
// The scenario with 4 KiB clusters and every hostile variant, built once.

class LogFileGeneratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testsupport::TempDir();
    if (!ntfslogfile::MissingFacility().empty()) return;
    ntfslogfile::ScenarioOptions options;
    options.hostile = "all";
    scenario_ = new Scenario(ntfslogfile::BuildScenario(dir_->path(), options));
    if (scenario_->exitCode == 0)
      listing_ = new Listing(ntfslogfile::ParseNtfsrecover(ntfslogfile::RunNtfsrecover(scenario_->image)));
  }
  static void TearDownTestSuite() {
    delete listing_;
    delete scenario_;
    delete dir_;
    listing_ = nullptr;
    scenario_ = nullptr;
    dir_ = nullptr;
  }
  void SetUp() override {
    const std::string missing = ntfslogfile::MissingFacility();
    REQUIRE_OR_SKIP(missing.empty(), missing);
    ASSERT_NE(scenario_, nullptr);
    ASSERT_EQ(scenario_->exitCode, 0) << scenario_->output;
  }
  void TearDown() override {
    if (scenario_ == nullptr || scenario_->exitCode != 0) return;
    ExpectUnchanged(scenario_->image, M().Text("image_sha256"));
  }

  static const ScenarioManifest& M() { return scenario_->manifest; }
  static const Scenario& S() { return *scenario_; }
  static const Listing& L() { return *listing_; }

  // The variant's image, its log's manifest prefix, and ntfsrecover's listing.
  struct Variant {
    fs::path image;
    std::string log;
    std::string hostile;  // manifest prefix of the variant's hostile note
    Listing listing;
  };
  static Variant LoadVariant(const std::string& name) {
    Variant v;
    v.image = S().dir / M().Text("variants." + name + ".image");
    v.log = "variants." + name + ".log";
    v.hostile = v.log + ".hostile.0";
    v.listing = ntfslogfile::ParseNtfsrecover(ntfslogfile::RunNtfsrecover(v.image));
    return v;
  }
  static void ExpectVariantUnchanged(const std::string& name) {
    ExpectUnchanged(S().dir / M().Text("variants." + name + ".image"), M().Text("variants." + name + ".image_sha256"));
  }

  static testsupport::TempDir* dir_;
  static Scenario* scenario_;
  static Listing* listing_;
};

testsupport::TempDir* LogFileGeneratorTest::dir_ = nullptr;
Scenario* LogFileGeneratorTest::scenario_ = nullptr;
Listing* LogFileGeneratorTest::listing_ = nullptr;

TEST_F(LogFileGeneratorTest, NtfsrecoverListsEveryRecordWithTheFieldsWritten) {
  ExpectEveryRecordListed(L(), M(), "log");
}

TEST_F(LogFileGeneratorTest, RecordsAreListedInLsnOrderAndTheirLsnsGiveTheirPlace) {
  const uint64_t seqBits = L().restart.at("seq_number_bits");
  ASSERT_GT(seqBits, 0u);
  ASSERT_LT(seqBits, 64u);
  const uint64_t offsetMask = (uint64_t{1} << (64 - seqBits)) - 1;
  uint64_t previous = 0;
  size_t seen = 0;
  for (const ListedRecord& r : L().records) {
    if (r.block < 4) continue;
    const uint64_t lsn = r.Field("this_lsn");
    EXPECT_GT(lsn, previous) << "LSNs must grow along the log";
    previous = lsn;
    // An LSN is the record's byte offset in the log, in 8-byte units, under the sequence number.
    EXPECT_EQ((lsn & offsetMask) * 8, static_cast<uint64_t>(r.block) * 4096 + r.offset) << Hex(lsn);
    ++seen;
  }
  EXPECT_EQ(seen, M().Count("log.records"));
}

TEST_F(LogFileGeneratorTest, RecordCrossingAPageEndIsJoinedFromBothPages) {
  ExpectSpanningRecordJoined(L(), M());
  const int i = M().Find("log.records", "lsn", M().Text("spanning_lsn"));
  ASSERT_GE(i, 0);
  EXPECT_EQ(M().Number(Item("log.records", i, "end_page")), M().Number(Item("log.records", i, "page")) + 1);
}

TEST_F(LogFileGeneratorTest, FileImagesAreTheRecordsOfTheFilesBeforeDeletion) {
  ExpectFileImagesNameTheirFiles(L(), S());
  // The names and parents in the manifest are the ones istat reads.
  for (size_t f = 0; f < M().Count("files"); ++f) {
    const std::string text = Istat(S().image, M().Text(Item("files", f, "mft")));
    EXPECT_NE(text.find("Name: " + M().Text(Item("files", f, "name"))), std::string::npos);
    EXPECT_NE(text.find("Parent MFT Entry: " + M().Text(Item("files", f, "parent_mft")) + " "), std::string::npos);
  }
}

TEST_F(LogFileGeneratorTest, UndoDataHoldsTheSizeAndRunsIstatShowedBeforeDeletion) {
  const int frag = M().Find("files", "path", "fragmented.bin");
  ASSERT_GE(frag, 0);
  const std::string mft = M().Text(Item("files", frag, "mft"));
  const ListedRecord* sizes = nullptr;
  const ListedRecord* pairs = nullptr;
  for (const ListedRecord& r : L().records) {
    if (r.block < 4 || !r.HasNote("assuming record for inode " + mft)) continue;
    if (r.redoOperation == "SetNewAttributeSizes") sizes = &r;
    if (r.redoOperation == "UpdateMappingPairs") pairs = &r;
  }
  ASSERT_NE(sizes, nullptr);
  ASSERT_NE(pairs, nullptr);
  const uint64_t dataOffset = M().Number(Item("files", frag, "data_attribute_offset"));
  EXPECT_EQ(sizes->Field("record_offset"), dataOffset);
  EXPECT_EQ(sizes->Field("attribute_offset"), 0x28u);
  EXPECT_EQ(pairs->Field("record_offset"), dataOffset);
  EXPECT_EQ(pairs->Field("attribute_offset"), 0x40u);

  const std::string size = M().Text(Item("files", frag, "size"));
  const uint64_t allocated = M().Number(Item("files", frag, "clusters")) * M().Number("volume.cluster_size");
  EXPECT_TRUE(sizes->HasNote("real size " + size));
  EXPECT_TRUE(sizes->HasNote("initialized size " + size));
  EXPECT_TRUE(sizes->HasNote("allocated size " + std::to_string(allocated)));
  EXPECT_TRUE(sizes->HasNote("real size 0")) << "the redo side truncates to 0";

  std::vector<ntfslogfile::Run> runs;
  ASSERT_TRUE(ntfslogfile::DecodeMappingPairs(pairs->undoData, runs));
  const std::string list = Item("files", frag, "runs");
  ASSERT_EQ(runs.size(), M().Count(list));
  ASSERT_GE(runs.size(), 3u) << "fragmented.bin should have several runs";
  for (size_t k = 0; k < runs.size(); ++k) {
    const std::string run = list + "." + std::to_string(k);
    EXPECT_EQ(static_cast<uint64_t>(runs[k].vcn), M().Number(run + ".0"));
    EXPECT_EQ(static_cast<uint64_t>(runs[k].lcn), M().Number(run + ".1"));
    EXPECT_EQ(static_cast<uint64_t>(runs[k].length), M().Number(run + ".2"));
  }
  EXPECT_EQ(pairs->redoData, std::vector<uint8_t>{0}) << "the redo side leaves no runs";
}

TEST_F(LogFileGeneratorTest, DeletedFilesHaveNoRunsLeftButKeepTheirNames) {
  const std::string deletedList =
      testsupport::RunCommandOrFail("fls -f ntfs -r -d -p " + testsupport::ShellQuote(S().image.string()));
  for (size_t f = 0; f < M().Count("files"); ++f) {
    const std::string path = M().Text(Item("files", f, "path"));
    SCOPED_TRACE(path);
    const std::string text = Istat(S().image, M().Text(Item("files", f, "mft")));
    if (M().Text(Item("files", f, "deleted")) == "1") {
      EXPECT_NE(text.find("Not Allocated File"), std::string::npos);
      EXPECT_TRUE(
          std::regex_search(text, std::regex(R"(Type: \$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident\s+size: 0 )")))
          << text;
      EXPECT_NE(deletedList.find(path), std::string::npos) << "fls -d does not list it";
    } else {
      EXPECT_NE(text.find("Allocated File"), std::string::npos);
      EXPECT_EQ(text.find("Not Allocated"), std::string::npos);
      const std::string sha =
          testsupport::RunCommandOrFail("icat -f ntfs " + testsupport::ShellQuote(S().image.string()) + " " +
                                        M().Text(Item("files", f, "mft")) + " | sha256sum");
      EXPECT_EQ(sha.substr(0, 64), M().Text(Item("files", f, "sha256")));
    }
  }
}

TEST_F(LogFileGeneratorTest, OriginalsMatchTheirManifestHashes) {
  for (size_t f = 0; f < M().Count("files"); ++f) {
    EXPECT_EQ(testsupport::Sha256(S().dir / M().Text(Item("files", f, "original"))),
              M().Text(Item("files", f, "sha256")));
  }
}

TEST_F(LogFileGeneratorTest, RestartPagesPointAtTheFirstAndLastRecords) {
  const size_t count = M().Count("log.records");
  EXPECT_EQ(L().restart.at("oldest_lsn"), M().Number(Item("log.records", 0, "lsn")));
  EXPECT_EQ(L().restart.at("current_lsn"), M().Number(Item("log.records", count - 1, "lsn")));
  EXPECT_EQ(L().restart.at("client_restart_lsn"), M().Number("log.restart.client_restart_lsn"));
  EXPECT_EQ(L().restart.at("last_lsn_data_len"), M().Number(Item("log.records", count - 1, "client_data_length")));
  // The checkpoint is the last record, the client restart record NTFS reads first.
  const std::vector<const ListedRecord*> last = L().WithLsn(L().restart.at("client_restart_lsn"));
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0]->Field("record_type"), 2u);
  // The log size in the restart area is the $DATA size istat shows for $LogFile.
  const std::string logFile = Istat(S().image, "2");
  EXPECT_NE(logFile.find("size: " + std::to_string(L().restart.at("file_size")) + " "), std::string::npos);
  EXPECT_EQ(L().restart.at("file_size"), M().Number("log.log_size"));
  EXPECT_EQ(L().CountLines("Using initial restart page"), 1u);
  EXPECT_EQ(L().CountLines("client_name            NTFS"), 2u) << "both restart pages";
}

TEST_F(LogFileGeneratorTest, EveryPageWrittenPassesItsUpdateSequenceCheck) {
  EXPECT_EQ(L().CountLines("does not match"), 0u);
  EXPECT_EQ(L().CountLines("Unexpected"), 0u);
  for (size_t i = 0; i < M().Count("log.record_pages"); ++i) {
    const int page = static_cast<int>(M().Number("log.record_pages." + std::to_string(i)));
    EXPECT_NE(std::find(L().recordPages.begin(), L().recordPages.end(), page), L().recordPages.end())
        << "page " << page << " is not taken as a record page";
  }
  // Pages 2 and 3 are the tail copies of the last page.
  EXPECT_NE(std::find(L().recordPages.begin(), L().recordPages.end(), 2), L().recordPages.end());
  EXPECT_NE(std::find(L().recordPages.begin(), L().recordPages.end(), 3), L().recordPages.end());
}

// --- hostile variants ---------------------------------------------------------

TEST_F(LogFileGeneratorTest, TruncatedLogLosesTheRecordsOfTheMissingPage) {
  const Variant v = LoadVariant("truncated");
  const uint64_t cut = M().Number(v.hostile + ".cut_record_lsn");
  std::set<uint64_t> lost;
  for (size_t i = 0; i < M().Count(v.hostile + ".records_lost"); ++i) {
    lost.insert(M().Number(v.hostile + ".records_lost." + std::to_string(i)));
  }
  ASSERT_TRUE(lost.count(cut));
  ASSERT_GE(lost.size(), 2u) << "records after the cut one should be lost too";
  for (uint64_t lsn : lost) {
    if (lsn != cut) {
      EXPECT_TRUE(v.listing.WithLsn(lsn).empty()) << Hex(lsn) << " is still listed";
    }
  }
  std::set<uint64_t> notListed = lost;
  notListed.erase(cut);
  ExpectEveryRecordListed(v.listing, M(), v.log, notListed);
  for (size_t i = 0; i < M().Count(v.hostile + ".pages_dropped"); ++i) {
    const int page = static_cast<int>(M().Number(v.hostile + ".pages_dropped." + std::to_string(i)));
    EXPECT_EQ(std::count(v.listing.recordPages.begin(), v.listing.recordPages.end(), page), 0) << page;
  }
  ExpectVariantUnchanged("truncated");
}

TEST_F(LogFileGeneratorTest, GarbagePagesAreNotTakenAsLogRecords) {
  const Variant v = LoadVariant("garbage-pages");
  ExpectEveryRecordListed(v.listing, M(), v.log);
  const int random = static_cast<int>(M().Number(v.hostile + ".pages.random"));
  EXPECT_EQ(std::count(v.listing.recordPages.begin(), v.listing.recordPages.end(), random), 0);
  EXPECT_EQ(v.listing.CountLines("Update sequence number 8 does not match"), 1u) << "the page with a broken fixup";
  ExpectVariantUnchanged("garbage-pages");
}

TEST_F(LogFileGeneratorTest, ClientDataLengthThatWrapsIsRefused) {
  const Variant v = LoadVariant("huge-length");
  const uint64_t first = M().Number(v.hostile + ".lsns.0");
  const auto refused = std::find_if(v.listing.records.begin(), v.listing.records.end(), [&](const ListedRecord& r) {
    return r.badSize && r.block >= 4 && r.Field("this_lsn") == first;
  });
  ASSERT_NE(refused, v.listing.records.end()) << "the record of length 0xffffffd0 is not refused";
  EXPECT_EQ(refused->Field("client_data_length"), 0xffffffd0u);
  EXPECT_GE(v.listing.CountLines("Bad record size 0 "), 1u) << "0xffffffd0 + 48 wraps to 0 in 32 bits";
  ExpectVariantUnchanged("huge-length");
}

TEST_F(LogFileGeneratorTest, LengthRunningPastThePageIsListedAsWritten) {
  const Variant v = LoadVariant("overrun-length");
  const std::vector<const ListedRecord*> found = v.listing.WithLsn(M().Number(v.hostile + ".lsn"));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->Field("client_data_length"), M().Number(v.hostile + ".client_data_length"));
  EXPECT_EQ(found[0]->Field("log_record_flags"), 0u) << "it does not say it crosses pages";
  EXPECT_TRUE(found[0]->overlapping) << "yet its length takes it past the page end";
  ExpectVariantUnchanged("overrun-length");
}

TEST_F(LogFileGeneratorTest, UndoRangesOutsideTheRecordAreWrittenAsDescribed) {
  const Variant v = LoadVariant("undo-outside");
  const int frag = M().Find("files", "path", "fragmented.bin");
  const std::string list = v.hostile + ".records";
  ASSERT_EQ(M().Count(list), 3u);
  for (size_t i = 0; i < M().Count(list); ++i) {
    SCOPED_TRACE(M().Text(Item(list, i, "label")));
    const std::vector<const ListedRecord*> found = v.listing.WithLsn(M().Number(Item(list, i, "lsn")));
    ASSERT_EQ(found.size(), 1u);
    for (const char* name : {"record_offset", "attribute_offset", "undo_offset", "undo_length"}) {
      EXPECT_EQ(found[0]->Field(name), M().Number(Item(list, i, name))) << name;
    }
    EXPECT_EQ(found[0]->Field("record_offset"), M().Number(Item("files", frag, "data_attribute_offset")))
        << "aimed at fragmented.bin's $DATA";
    EXPECT_TRUE(found[0]->HasNote("assuming record for inode " + M().Text(Item("files", frag, "mft"))));
  }
  // Target past the 1024-byte record.
  EXPECT_GT(M().Number(Item(list, 0, "record_offset")) + M().Number(Item(list, 0, "attribute_offset")) +
                M().Number(Item(list, 0, "undo_length")),
            1024u);
  // Source past the log record.
  EXPECT_GT(M().Number(Item(list, 1, "undo_offset")) + M().Number(Item(list, 1, "undo_length")),
            M().Number(Item(list, 1, "client_data_length")));
  EXPECT_GE(v.listing.CountLines("Unexpected undo offset"), 1u);
  ExpectVariantUnchanged("undo-outside");
}

TEST_F(LogFileGeneratorTest, FileImagesAtTheLengthThresholdCarryLengths112And113) {
  const Variant v = LoadVariant("image-threshold");
  const std::vector<const ListedRecord*> at112 = v.listing.WithLsn(M().Number(v.hostile + ".lsns.0"));
  ASSERT_EQ(at112.size(), 1u);
  EXPECT_EQ(at112[0]->Field("client_data_length"), 112u);
  EXPECT_EQ(at112[0]->redoOperation, "InitializeFileRecordSegment");
  const uint64_t lsn113 = M().Number(v.hostile + ".lsns.1");
  const auto refused = std::find_if(v.listing.records.begin(), v.listing.records.end(), [&](const ListedRecord& r) {
    return r.badSize && r.block >= 4 && r.Field("this_lsn") == lsn113;
  });
  ASSERT_NE(refused, v.listing.records.end()) << "113 is not a multiple of 8: ntfsrecover refuses it";
  EXPECT_EQ(refused->Field("client_data_length"), 113u);
  ExpectVariantUnchanged("image-threshold");
}

TEST_F(LogFileGeneratorTest, EmptyClientDataIsListedAndStopsThePage) {
  const Variant v = LoadVariant("short-records");
  const std::vector<const ListedRecord*> found = v.listing.WithLsn(M().Number(v.hostile + ".lsns.0"));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]->Field("client_data_length"), 0u);
  EXPECT_GE(v.listing.CountLines("Bad client_data_length"), 1u);
  ExpectVariantUnchanged("short-records");
}

TEST_F(LogFileGeneratorTest, WrappedLogCarriesARecordFromTheLastPageToPage4) {
  const Variant v = LoadVariant("wrap");
  const uint64_t lsn = M().Number(v.hostile + ".lsn");
  const std::vector<const ListedRecord*> found = v.listing.WithLsn(lsn);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0]->overlapping);
  EXPECT_EQ(found[0]->block, static_cast<int>(M().Number(v.hostile + ".pages.0")));
  EXPECT_EQ(M().Number(v.hostile + ".pages.1"), 4u);
  EXPECT_EQ(static_cast<uint64_t>(found[0]->block), M().Number(v.log + ".log_size") / 4096 - 1);
  // Records after the wrap carry the next sequence number.
  const uint64_t fileBits = 64 - v.listing.restart.at("seq_number_bits");
  const std::vector<const ListedRecord*> next = v.listing.WithLsn(M().Number(v.hostile + ".next_lsn"));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0]->block, 4);
  EXPECT_EQ(next[0]->Field("this_lsn") >> fileBits, (lsn >> fileBits) + 1);
  ExpectEveryRecordListed(v.listing, M(), v.log);
  ExpectVariantUnchanged("wrap");
}

TEST_F(LogFileGeneratorTest, BackwardWalkOfTheWrappedLogFindsEachRecordStartFromThePageBefore) {
  // Walking back, ntfsrecover places the first record of a page from the
  // previous page's next-record offset and the length of the record crossing
  // into it; the last page (no valid page before it) is where it stops.
  const Variant v = LoadVariant("wrap");
  const Listing back = ntfslogfile::ParseNtfsrecover(ntfslogfile::RunNtfsrecover(v.image, "-n -b -v"));
  const int last = static_cast<int>(M().Number(v.hostile + ".pages.0"));
  const std::string records = v.log + ".records";
  size_t expected = 0;
  for (size_t i = 0; i < M().Count(records); ++i) {
    if (static_cast<int>(M().Number(Item(records, i, "page"))) == last) continue;
    ++expected;
    // The last page is read from its tail copy (page 2 or 3), the others from their place.
    const uint64_t lsn = M().Number(Item(records, i, "lsn"));
    EXPECT_EQ(std::count_if(back.records.begin(), back.records.end(),
                            [&](const ListedRecord& r) { return r.Field("this_lsn") == lsn; }),
              1)
        << M().Text(Item(records, i, "label"));
  }
  EXPECT_GE(expected, 10u);
  const int after = M().Find(records, "lsn", M().Text(v.hostile + ".next_lsn"));
  ASSERT_GE(after, 0);
  char line[64];
  std::snprintf(line, sizeof line, "First record checked at offset 0x%llx",
                static_cast<unsigned long long>(M().Number(Item(records, after, "page_offset"))));
  EXPECT_GE(back.CountLines(line), 1u) << "where the record crossing from page " << last << " ends";
  ExpectVariantUnchanged("wrap");
}

TEST_F(LogFileGeneratorTest, ShortLogLeavesTheRecordsOutsideTheLog) {
  const Variant v = LoadVariant("short-log");
  const uint64_t size = M().Number(v.hostile + ".log_size");
  EXPECT_EQ(size, 4u * 4096u);
  const std::string logFile = Istat(v.image, "2");
  EXPECT_NE(logFile.find("size: " + std::to_string(size) + " "), std::string::npos) << logFile;
  EXPECT_TRUE(v.listing.WithLsn(M().Number(Item(v.log + ".records", 0, "lsn"))).empty());
  EXPECT_EQ(v.listing.records.size(), 0u);
  ExpectVariantUnchanged("short-log");
}

// -----------------------------------------------------------------------------
// Other geometries: the target VCN, cluster-block offset and LCN list of every
// record must still name the right MFT record.

using ntfslogfile::Geometry;

class LogFileGeometryTest : public ::testing::TestWithParam<Geometry> {};

TEST_P(LogFileGeometryTest, NtfsrecoverFindsTheSameRecordsAndTargets) {
  const std::string missing = ntfslogfile::MissingFacility();
  REQUIRE_OR_SKIP(missing.empty(), missing);
  testsupport::TempDir dir;
  const Scenario s = ntfslogfile::BuildScenarioOn(dir.path(), GetParam());
  ASSERT_EQ(s.exitCode, 0) << s.output;
  const Listing listing = ntfslogfile::ParseNtfsrecover(ntfslogfile::RunNtfsrecover(s.image));
  EXPECT_EQ(s.manifest.Number("volume.cluster_size"), static_cast<uint64_t>(GetParam().clusterSize));
  ExpectEveryRecordListed(listing, s.manifest, "log");
  ExpectFileImagesNameTheirFiles(listing, s);
  ExpectSpanningRecordJoined(listing, s.manifest);
  ExpectUnchanged(s.image, s.manifest.Text("image_sha256"));
}

INSTANTIATE_TEST_SUITE_P(ClusterAndSectorSizes, LogFileGeometryTest,
                         ::testing::Values(Geometry{512, 0}, Geometry{1024, 0}, Geometry{2048, 0}, Geometry{65536, 0},
                                           Geometry{4096, 4096}),
                         [](const ::testing::TestParamInfo<Geometry>& info) {
                           return "Cluster" + std::to_string(info.param.clusterSize) + "Sector" +
                                  std::to_string(info.param.sectorSize == 0 ? 512 : info.param.sectorSize);
                         });

}  // namespace

// Without FUSE (outside CI) the whole program is skipped with code 77.
int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::string missing = ntfslogfile::MissingFacility();
  if (!missing.empty() && !testsupport::InCI()) {
    std::cout << "SKIP: " << missing << "\n";
    return ntfslogfile::kSkipped;
  }
  return RUN_ALL_TESTS();
}
