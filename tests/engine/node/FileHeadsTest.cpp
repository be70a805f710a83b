// The heads and ends of files that ImageMagick, ffmpeg and sox write: each
// begins and ends as its type says where it lies whole, read straight or
// through runs whose clusters lie out of order on a device; another file's
// bytes under its name, its middle, or its end cut off do not.
#include "FileHeads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/BytesDevice.h"
#include "support/RecordingProgress.h"
#include "support/TestSupport.h"

namespace {

using claims::Head;
using testsupport::ShellQuote;

struct Made {
  std::string name;
  std::vector<uint8_t> bytes;
  bool hasEnd;  // its type has an end JudgeTail knows
};

// Every file once per test program: the tools take a while.
const std::vector<Made>& Files() {
  static const std::vector<Made> files = [] {
    testsupport::TempDir dir;
    auto at = [&](const std::string& name) { return ShellQuote((dir / name).string()); };
    const std::string noise = "convert -seed 5 -size 96x64 xc: +noise Random ";
    const std::string clip = "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=5:duration=1 ";
    testsupport::RunCommandOrFail(
        noise + "-quality 90 " + at("a.jpg") + " && " + noise + "-interlace Plane " + at("k.jpeg") + " && " + noise +
        at("b.png") + " && " + noise + at("c.tif") + " && " + noise + at("d.gif") + " && " + noise + at("e.bmp") +
        " && " + clip + "-c:v mjpeg -f mov " + at("f.mov") + " && " + clip + "-c:v mpeg4 -f mp4 " + at("g.mp4") +
        " && " + clip + "-c:v mjpeg -f avi " + at("h.avi") + " && " + clip + "-c:v mjpeg -f matroska " + at("i.mkv") +
        " && sox -n -r 8000 " + at("j.wav") + " synth 0.2 sine 440");
    std::vector<Made> out;
    for (const auto& [name, end] : std::vector<std::pair<std::string, bool>>{{"a.jpg", true},
                                                                             {"k.jpeg", true},
                                                                             {"b.png", true},
                                                                             {"c.tif", false},
                                                                             {"d.gif", false},
                                                                             {"e.bmp", false},
                                                                             {"f.mov", true},
                                                                             {"g.mp4", true},
                                                                             {"h.avi", false},
                                                                             {"i.mkv", false},
                                                                             {"j.wav", false}}) {
      out.push_back(Made{name, testsupport::ReadFile(dir / name), end});
    }
    return out;
  }();
  return files;
}

Head Tail(const std::string& name, const std::vector<uint8_t>& bytes) {
  return fileheads::JudgeTail(name.c_str(), bytes.size(), [&](uint64_t offset, uint8_t* out, size_t count) {
    if (offset > bytes.size() || count > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, count);
    return true;
  });
}

TEST(FileHeads, FilesBeginAndEndAsTheirTypesSay) {
  std::mt19937 rng(87);
  for (const Made& f : Files()) {
    ASSERT_GT(f.bytes.size(), 1024u) << f.name;
    EXPECT_TRUE(fileheads::HasHead(f.name.c_str())) << f.name;
    EXPECT_EQ(fileheads::JudgeHead(f.name.c_str(), f.bytes.data(), f.bytes.size()), Head::kPresent) << f.name;
    // The extension in capitals, as cameras write them.
    std::string upper = f.name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    EXPECT_EQ(fileheads::JudgeHead(upper.c_str(), f.bytes.data(), f.bytes.size()), Head::kPresent) << upper;
    EXPECT_EQ(Tail(f.name, f.bytes), f.hasEnd ? Head::kPresent : Head::kUnknown) << f.name;
    const Head broken = f.hasEnd ? Head::kMissing : Head::kUnknown;

    // Another file's bytes, or its own middle, under its name.
    std::vector<uint8_t> noise(f.bytes.size());
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
    EXPECT_NE(fileheads::JudgeHead(f.name.c_str(), noise.data(), noise.size()), Head::kPresent) << f.name;
    EXPECT_NE(fileheads::JudgeHead(f.name.c_str(), f.bytes.data() + 512, f.bytes.size() - 512), Head::kPresent)
        << f.name;
    // Files of one family (QuickTime and ISO media, RIFF) share their head.
    auto family = [](const std::string& name) {
      return name.ends_with("mp4")    ? std::string("mov")
             : name.ends_with("wav")  ? std::string("avi")
             : name.ends_with("jpeg") ? std::string("jpg")
                                      : name.substr(2);
    };
    for (const Made& other : Files()) {
      if (family(other.name) == family(f.name)) continue;
      EXPECT_EQ(fileheads::JudgeHead(f.name.c_str(), other.bytes.data(), other.bytes.size()), Head::kMissing)
          << other.name << " under the name " << f.name;
    }
    // Random bytes over its middle, as damage (or a walk through another
    // file's clusters) leaves them: a JPEG or a PNG no longer holds together.
    if (f.name.find(".jp") != std::string::npos || f.name.ends_with(".png")) {
      std::vector<uint8_t> damaged = f.bytes;
      for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 600; ++i) damaged[i] = static_cast<uint8_t>(rng());
      EXPECT_EQ(Tail(f.name, damaged), Head::kMissing) << f.name;
    }
    // Its end cut off, or moved by a byte.
    EXPECT_EQ(Tail(f.name, std::vector<uint8_t>(f.bytes.begin(), f.bytes.end() - 700)), broken) << f.name;
    EXPECT_EQ(Tail(f.name, std::vector<uint8_t>(f.bytes.begin(), f.bytes.end() - 1)), broken) << f.name;
  }
  // Types without a head, and too few bytes.
  const std::vector<uint8_t>& jpeg = Files().front().bytes;
  for (const char* name : {"notes.txt", "song.mp3", "paper.pdf", "noextension", "dot.", ".jpg."}) {
    EXPECT_FALSE(fileheads::HasHead(name)) << name;
    EXPECT_EQ(fileheads::JudgeHead(name, jpeg.data(), jpeg.size()), Head::kUnknown) << name;
  }
  EXPECT_EQ(fileheads::JudgeHead("a.jpg", jpeg.data(), 8), Head::kUnknown);
  EXPECT_EQ(fileheads::JudgeHead(nullptr, jpeg.data(), jpeg.size()), Head::kUnknown);
}

// A film written for streaming (ffmpeg's faststart: its index before its
// data) ends in its media data, whose boxes say nothing of the clusters
// behind its first: bytes of another file over its middle change nothing
// its end can tell, so it tells nothing. Its index moved to the end, it
// does.
TEST(FileHeads, AFilmThatEndsInItsDataTellsNothingOfItsEnd) {
  testsupport::TempDir dir;
  const std::string clip = "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=5:duration=2 -c:v mjpeg ";
  const std::string streamed = ShellQuote((dir / "s.mp4").string());
  const std::string plain = ShellQuote((dir / "p.mp4").string());
  testsupport::RunCommandOrFail(clip + "-movflags +faststart -f mp4 " + streamed + " && " + clip + "-f mp4 " + plain);
  const std::vector<uint8_t> film = testsupport::ReadFile(dir / "s.mp4");
  ASSERT_GT(film.size(), 8192u);
  EXPECT_EQ(fileheads::JudgeHead("s.mp4", film.data(), film.size()), Head::kPresent);
  EXPECT_EQ(Tail("s.mp4", film), Head::kUnknown);
  std::vector<uint8_t> overwritten = film;
  std::fill(overwritten.begin() + 4096, overwritten.begin() + 8192, uint8_t{0x5A});
  EXPECT_EQ(Tail("s.mp4", overwritten), Head::kUnknown);
  EXPECT_EQ(Tail("s.mp4", std::vector<uint8_t>(film.begin(), film.end() - 100)), Head::kMissing);
  EXPECT_EQ(Tail("p.mp4", testsupport::ReadFile(dir / "p.mp4")), Head::kPresent);
}

// The clusters of each file laid on a device in another order, its runs
// saying where: head and end are read where the runs put them (within a
// budget of bytes, when given one, and while the scan is not stopped), and
// runs that stop short or point past the device read nothing.
TEST(FileHeads, HeadsAndEndsAreReadWhereTheRunsPutTheFile) {
  constexpr uint32_t kSpc = 2;  // 1 KiB clusters of 512-byte sectors
  constexpr size_t kCluster = 1024;
  for (const Made& f : Files()) {
    const size_t clusters = (f.bytes.size() + kCluster - 1) / kCluster;
    // Cluster k of the file at cluster 2 + 3 + (clusters - 1 - k) * 2: backwards, with gaps.
    std::vector<uint8_t> disk((3 + 2 * clusters + 4) * kCluster + 5 * 512, 0xA5);
    std::vector<claims::Span> runs;
    for (size_t k = 0; k < clusters; ++k) {
      const uint64_t cluster = 2 + 3 + (clusters - 1 - k) * 2;
      const size_t length = std::min(kCluster, f.bytes.size() - k * kCluster);
      std::memcpy(disk.data() + 5 * 512 + (cluster - 2) * kCluster, f.bytes.data() + k * kCluster, length);
      runs.push_back(claims::Span{cluster, cluster + 1, 0, 1});
    }
    testsupport::BytesDevice device(disk.data(), disk.size());
    const fileheads::ClusterPlace place{&device, 5, kSpc};
    EXPECT_EQ(fileheads::ReadHead(place, runs.front().first, f.name.c_str()), Head::kPresent) << f.name;
    EXPECT_EQ(fileheads::ReadTail(place, runs, f.bytes.size(), f.name.c_str()),
              f.hasEnd ? Head::kPresent : Head::kUnknown)
        << f.name;
    if (!f.hasEnd) continue;
    // Read within a budget of bytes: one too few for the sectors it needs
    // is no end; what it reads is taken off.
    uint64_t budget = 1 << 30;
    EXPECT_EQ(fileheads::ReadTail(place, runs, f.bytes.size(), f.name.c_str(), &budget), Head::kPresent) << f.name;
    const uint64_t used = (uint64_t{1} << 30) - budget;
    EXPECT_GT(used, 0u) << f.name;
    budget = used;
    EXPECT_EQ(fileheads::ReadTail(place, runs, f.bytes.size(), f.name.c_str(), &budget), Head::kPresent) << f.name;
    EXPECT_EQ(budget, 0u) << f.name;
    budget = used - 1;
    EXPECT_EQ(fileheads::ReadTail(place, runs, f.bytes.size(), f.name.c_str(), &budget), Head::kMissing) << f.name;
    // A scan stopped while its files are judged reads nothing more: the
    // second read is refused.
    testsupport::RecordingProgress stop;
    stop.onContinued = [](int call) { return call < 2 ? 1 : 0; };
    const fileheads::ClusterPlace stopping{&device, 5, kSpc, &stop};
    EXPECT_EQ(fileheads::ReadHead(stopping, runs.front().first, f.name.c_str()), Head::kPresent) << f.name;
    EXPECT_EQ(fileheads::ReadHead(stopping, runs.front().first, f.name.c_str()), Head::kUnknown) << f.name;
    EXPECT_EQ(fileheads::ReadTail(stopping, runs, f.bytes.size(), f.name.c_str()), Head::kMissing) << f.name;
    // In file order the clusters read straight on, not as they lie.
    std::vector<claims::Span> straight{{runs.back().first, runs.back().first + clusters, 0, 1}};
    EXPECT_EQ(fileheads::ReadTail(place, straight, f.bytes.size(), f.name.c_str()), Head::kMissing) << f.name;
    runs.pop_back();
    EXPECT_EQ(fileheads::ReadTail(place, runs, f.bytes.size(), f.name.c_str()), Head::kMissing) << f.name;
    runs.push_back(claims::Span{uint64_t{1} << 40, (uint64_t{1} << 40) + 1, 0, 1});
    EXPECT_EQ(fileheads::ReadTail(place, runs, f.bytes.size(), f.name.c_str()), Head::kMissing) << f.name;
    EXPECT_EQ(fileheads::ReadHead(place, uint64_t{1} << 40, f.name.c_str()), Head::kUnknown) << f.name;
  }
  EXPECT_EQ(fileheads::ReadHead(fileheads::ClusterPlace{}, 2, "a.jpg"), Head::kUnknown);
}

}  // namespace
