// The whole road, as someone who lost files walks it: the application
// started as ./run starts it, driven through its windows by a person at the
// keyboard (road_walker, RoadWalker.cpp), on a disk made by real tools
// (tests/fixtures/road: sfdisk, mkntfs and ntfs-3g, mkfs.fat and mtools)
// attached read-only as a loop device, and a copy of it whose partition
// table and boot sectors are gone. Two starts of the application, each
// ended as a person ends it:
//   1. categories, the disk page, the NTFS volume scanned, its trees, a
//      search, a deleted folder and two single files ticked and recovered,
//      the result saved;
//   2. the result loaded (the same trees, the same files recovered from
//      it), then the wiped copy deep scanned
//      (both partitions and their deleted files again, carved pictures in
//      the grid).
// Checked here against The Sleuth Kit's listing and the original files:
// what the trees showed, the recovered files byte for byte, laid out below
// the chosen folder and owned by the user behind pkexec, and the images
// unchanged. The walk's screenshots are kept in the build tree (gallery/road/), on
// an X server (xvfb-run) where there is one, else offscreen.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/device/DeviceTestSupport.h"
#include "support/Conformance.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using conformance::Expected;
using testsupport::ShellQuote;

// The user the application works for, as pkexec tells it.
constexpr unsigned kInvokingUser = 65534;

fs::path FixtureDir() { return conformance::FixtureDir("CLIPMENDER_ROAD_FIXTURES", ROAD_FIXTURE_DIR); }

std::vector<std::string> Lines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

// A file the folder tree listed: the Path column's text, deleted or not,
// size, modification time.
struct Listed {
  std::string path;
  bool deleted = false;
  int64_t size = -1;
  int64_t mtime = -1;
};
std::vector<Listed> ListedFiles(const fs::path& report) {
  std::vector<Listed> files;
  for (const std::string& line : Lines(report)) {
    const std::vector<std::string> f = Split(line);
    if (f.size() == 5 && f[0] == "file") files.push_back({f[1], f[2] == "deleted", std::stoll(f[3]), std::stoll(f[4])});
  }
  return files;
}

// "Pictures(4)" -> {"Pictures", 4}; a label without a count gives -1.
std::pair<std::string, int> LabelCount(const std::string& label) {
  static const std::regex counted(R"(^(.*)\((\d+)\)$)");
  std::smatch m;
  if (!std::regex_match(label, m, counted)) return {label, -1};
  return {m[1].str(), std::stoi(m[2].str())};
}

// The rows of a tree report: depth and label.
std::vector<std::pair<int, std::string>> Rows(const fs::path& report) {
  std::vector<std::pair<int, std::string>> rows;
  for (const std::string& line : Lines(report)) {
    const std::vector<std::string> f = Split(line);
    if (f.size() == 3 && f[0] == "row") rows.emplace_back(std::stoi(f[1]), f[2]);
  }
  return rows;
}

// A tree report: each row by the labels from the top down to it, each file
// line as it stands, in the order shown. A loaded result lists every
// folder's children in the order the scan did.
std::vector<std::string> Tree(const fs::path& report) {
  std::vector<std::string> tree;
  std::vector<std::string> above;
  for (const std::string& line : Lines(report)) {
    const std::vector<std::string> f = Split(line);
    if (f.size() == 3 && f[0] == "row") {
      above.resize(static_cast<size_t>(std::stoi(f[1])));
      above.push_back(f[2]);
      std::string path = "row";
      for (const std::string& label : above) path += "/" + label;
      tree.push_back(path);
    } else {
      tree.push_back(line);
    }
  }
  return tree;
}

std::string Extension(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  const size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

// The category of each extension, from the application's "FileType" table
// (bits 1 pictures, 2 music, 4 movies, 8 archives, 16 documents).
std::map<std::string, int> Categories() {
  std::map<std::string, int> categories;
  std::ifstream in(testsupport::SourceDir() / "resources/FileType.plist");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const std::regex key(R"(<key>(\d+)</key>\s*<array>([\s\S]*?)</array>)"), ext(R"(<string>([^<]*)</string>)");
  for (auto k = std::sregex_iterator(text.begin(), text.end(), key); k != std::sregex_iterator(); ++k) {
    const std::string list = (*k)[2].str();
    for (auto e = std::sregex_iterator(list.begin(), list.end(), ext); e != std::sregex_iterator(); ++e)
      categories[(*e)[1].str()] = std::stoi((*k)[1].str());
  }
  return categories;
}

class WalkTheRoad : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(testsupport::HaveLoopDevices(), "needs root and loop devices");
    const std::string why =
        conformance::EnsureFixtures(testsupport::SourceDir() / "tests/fixtures/road/make-road-images.sh", FixtureDir());
    REQUIRE_OR_SKIP(why.empty(), why);
    ntfs_ = conformance::ReadExpectations(FixtureDir() / "disk.img.ntfs.expect.tsv");
    fat_ = conformance::ReadExpectations(FixtureDir() / "disk.img.fat.expect.tsv");
    label_ = FsstatLabel(FixtureDir() / "disk.img.ntfs.fsstat.txt");
    // Under names of their own: other tests attach images meanwhile.
    const std::string tag = std::to_string(getpid());
    disk_ = dir_ / ("family-disk-" + tag + ".img");
    lost_ = dir_ / ("wiped-disk-" + tag + ".img");
    for (const auto& [from, to] :
         {std::pair{FixtureDir() / "disk.img", disk_}, {FixtureDir() / "disk-lost.img", lost_}})
      testsupport::RunCommandOrFail("cp --sparse=always " + ShellQuote(from.string()) + " " + ShellQuote(to.string()));
    shots_ = fs::path(ROAD_SHOTS_DIR) / (OnXServer() ? "xcb" : "offscreen");
    fs::remove_all(shots_);
    fs::create_directories(shots_);
    fs::create_directories(dir_ / "work");
    fs::create_directories(into_);
  }

  static bool OnXServer() {
    const char* platform = std::getenv("ROAD_PLATFORM");
    return !(platform != nullptr && std::string(platform) == "offscreen") && testsupport::HaveTool("xvfb-run");
  }

  static std::string FsstatLabel(const fs::path& fsstat) {
    for (const std::string& line : Lines(fsstat)) {
      if (line.rfind("Volume Name: ", 0) == 0) return line.substr(13);
    }
    return "";
  }

  // One start of the application, walked through `stage`; answers its
  // output, with every line it said as a failure when it did not end well.
  std::string Walk(const std::string& stage) {
    std::string command = "cd " + ShellQuote(dir_.path().string()) +
                          " && env TZ=UTC LANG=C.UTF-8 PKEXEC_UID=" + std::to_string(kInvokingUser) +
                          " CLIPMENDER_WORK_DIR=" + ShellQuote((dir_ / "work").string()) +
                          " XDG_RUNTIME_DIR=" + ShellQuote((dir_ / "work").string());
    command += OnXServer() ? " QT_QPA_PLATFORM=xcb timeout -k 10 400 xvfb-run -a -s '-screen 0 1600x1000x24'"
                           : " QT_QPA_PLATFORM=offscreen timeout -k 10 400";
    command += " " + ShellQuote(ROAD_WALKER) + " --stage=" + stage +
               " --disk=" + ShellQuote(disk_.filename().string()) + " --lost=" + ShellQuote(lost_.filename().string()) +
               " --into=" + ShellQuote(into_.string()) + " --result=" + ShellQuote(result_.string()) +
               " --shots=" + ShellQuote(shots_.string()) + " --report=" + ShellQuote(report_.string());
    const testsupport::CommandResult run = testsupport::RunCommand(command);
    std::string said;
    std::istringstream out(run.output);
    for (std::string line; std::getline(out, line);) {
      if (line.rfind("road: ", 0) == 0) said += line + "\n";
    }
    EXPECT_EQ(run.exitCode, 0) << "the " << stage << " walk:\n" << said << "\nits whole output:\n" << run.output;
    std::printf("%s", said.c_str());
    return run.output;
  }

  // Every file below the recovery folder by its path there, with its
  // checksum; each entry is the invoking user's.
  std::map<std::string, std::string> Recovered() {
    std::map<std::string, std::string> recovered;
    for (const auto& entry : fs::recursive_directory_iterator(into_)) {
      struct stat info {};
      EXPECT_EQ(::lstat(entry.path().c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, kInvokingUser) << entry.path();
      if (entry.is_regular_file())
        recovered[fs::relative(entry.path(), into_).string()] = testsupport::Sha256(entry.path());
    }
    return recovered;
  }

  testsupport::TempDir dir_;
  fs::path disk_, lost_, shots_;
  fs::path into_ = dir_ / "recovered";
  fs::path result_ = dir_ / "family.rsf";
  fs::path report_ = dir_ / "report";
  std::vector<Expected> ntfs_, fat_;
  std::string label_;
};

TEST_F(WalkTheRoad, FromTheFirstStartToTheFilesBackAndTheResultLoadedAgain) {
  ASSERT_EQ(label_, "Family");
  devicetest::ImageGuard diskUnchanged(disk_), lostUnchanged(lost_);
  EXPECT_EQ(testsupport::Sha256(disk_), Lines(FixtureDir() / "disk.img.sha256").at(0));
  std::vector<Listed> shown;
  {
    devicetest::LoopDevice disk(disk_, 0, true, true), lost(lost_, 0, true, true);
    ASSERT_TRUE(disk.attached() && lost.attached());
    disk.Announce();  // the kernel may leave the table of a read-only device unread

    Walk("first");
    ASSERT_FALSE(HasFailure());

    // The folder tree: every entry the peer lists, at its path below the
    // volume, deleted as the peer says, with its size and time.
    shown = ListedFiles(report_ / "first-folders.tsv");
    for (const Expected& e : ntfs_) {
      if (e.folder) continue;
      const std::string path = "/" + label_ + "/" + e.path;
      const auto it = std::find_if(shown.begin(), shown.end(), [&](const Listed& l) { return l.path == path; });
      ASSERT_NE(it, shown.end()) << path;
      EXPECT_EQ(it->deleted, e.deleted) << path;
      EXPECT_EQ(it->size, e.size) << path;
      if (e.mtime >= 0) {
        EXPECT_EQ(it->mtime, e.mtime) << path;
      }
    }
    std::set<std::string> paths;
    for (const Listed& l : shown) paths.insert(l.path);
    EXPECT_EQ(paths.size(), static_cast<size_t>(
                                std::count_if(ntfs_.begin(), ntfs_.end(), [](const Expected& e) { return !e.folder; })))
        << "every file once, and no other";

    // The type tree: each category and extension with the count of its
    // files; the date tree: each year and month of their modification.
    const std::map<std::string, int> categories = Categories();
    std::map<std::string, int> byExtension, byCategory, byYear, byMonth;
    for (const Expected& e : ntfs_) {
      if (e.folder) continue;
      const std::string ext = Extension(e.path);
      ++byExtension[ext];
      ++byCategory[std::to_string(categories.count(ext) ? categories.at(ext) : 32)];
      const time_t t = static_cast<time_t>(e.mtime);
      std::tm utc{};
      gmtime_r(&t, &utc);
      const std::string month = (utc.tm_mon < 9 ? "0" : "") + std::to_string(utc.tm_mon + 1);
      ++byYear[std::to_string(utc.tm_year + 1900)];
      ++byMonth[std::to_string(utc.tm_year + 1900) + "-" + month];
    }
    std::map<std::string, int> extensionsShown, yearsShown, monthsShown;
    int categoriesShown = 0, filesInCategories = 0;
    for (const auto& [depth, label] : Rows(report_ / "first-types.tsv")) {
      const auto [name, count] = LabelCount(label);
      if (depth == 0 && count > 0) {
        ++categoriesShown;
        filesInCategories += count;
      }
      if (depth == 1) extensionsShown[name] = count;
    }
    std::map<std::string, int> extensionsWithFiles;
    for (const auto& [ext, count] : extensionsShown) {
      if (count > 0) extensionsWithFiles[ext] = count;
    }
    EXPECT_EQ(extensionsWithFiles, byExtension);
    EXPECT_EQ(categoriesShown, static_cast<int>(byCategory.size()));
    EXPECT_EQ(filesInCategories, static_cast<int>(paths.size()));
    // Below the one "Modified" row: years, and their months.
    std::string year;
    int modified = -1;
    for (const auto& [depth, label] : Rows(report_ / "first-dates.tsv")) {
      const auto [name, count] = LabelCount(label);
      if (depth == 0) {
        EXPECT_EQ(name, "Modified");
        modified = count;
      }
      if (depth == 1) yearsShown[year = name] = count;
      if (depth == 2) monthsShown[year + "-" + name] = count;
    }
    EXPECT_EQ(modified, static_cast<int>(paths.size()));
    EXPECT_EQ(yearsShown, byYear);
    EXPECT_EQ(monthsShown, byMonth);

    // The recovered files: the ticked folder's and the two single files,
    // byte for byte, below "0001/<volume>/<their folders>", the user's.
    const auto expected = [&](const std::string& top) {
      std::map<std::string, std::string> files;
      for (const Expected& e : ntfs_) {
        if (!e.folder && (e.path.rfind("Pictures/Holiday 2023/", 0) == 0 ||
                          e.path == "Documents/Diary/diary-2022.txt" || e.path == "Projects/model.bin"))
          files[top + "/" + label_ + "/" + e.path] = e.sha256;
      }
      return files;
    };
    ASSERT_EQ(expected("0001").size(), 5u);
    EXPECT_EQ(Recovered(), expected("0001"));
    EXPECT_TRUE(fs::is_regular_file(result_));

    // Loaded again in a new start: the same trees, and the same files
    // recovered from it, as the folder's second recovery.
    Walk("again");
    ASSERT_FALSE(HasFailure());
    std::map<std::string, std::string> both = expected("0001");
    both.merge(expected("0002"));
    EXPECT_EQ(Recovered(), both);
  }
  for (const char* tree : {"folders", "types", "dates"}) {
    EXPECT_EQ(Tree(report_ / (std::string("again-") + tree + ".tsv")),
              Tree(report_ / (std::string("first-") + tree + ".tsv")))
        << tree;
  }

  // The deep scan of the wiped copy: both volumes again, each deleted file
  // at its path below a volume of its file system, and the pictures carved.
  const std::vector<Listed> deep = ListedFiles(report_ / "deep-folders.tsv");
  for (const auto* volume : {&ntfs_, &fat_}) {
    for (const Expected& e : *volume) {
      if (e.folder || !e.deleted) continue;
      const std::string tail = "/" + e.path;
      const bool found = std::any_of(deep.begin(), deep.end(), [&](const Listed& l) {
        return l.deleted && l.size == e.size && l.path.size() > tail.size() &&
               l.path.compare(l.path.size() - tail.size(), tail.size(), tail) == 0;
      });
      EXPECT_TRUE(found) << e.path;
    }
  }
  std::multiset<int64_t> carved, pictures;
  for (const Listed& l : deep) {
    if (l.path.find("/jpg/") != std::string::npos) carved.insert(l.size);
  }
  for (const auto* volume : {&ntfs_, &fat_}) {
    for (const Expected& e : *volume) {
      if (!e.folder && Extension(e.path) == "jpg") pictures.insert(e.size);
    }
  }
  EXPECT_EQ(carved, pictures) << "every picture on the disk, carved once";
}

}  // namespace
