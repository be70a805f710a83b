#include "engine/partition/PartitionToolOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "support/TestSupport.h"

namespace parttest {

using testsupport::RunCommandOrFail;
using testsupport::ShellQuote;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, sep)) out.push_back(field);
  return out;
}

// The partition number at the end of a node name ("disk.img5", "/dev/loop0p5").
uint32_t TrailingNumber(const std::string& node) {
  size_t i = node.size();
  while (i > 0 && std::isdigit(static_cast<unsigned char>(node[i - 1]))) --i;
  return static_cast<uint32_t>(std::stoul(node.substr(i)));
}

// "2048s" -> 2048
int64_t Sectors(const std::string& field) { return std::stoll(field); }

}  // namespace

std::vector<ToolPartition> Sfdisk(const std::string& path) {
  const std::string out = RunCommandOrFail(
      "sfdisk --json " + ShellQuote(path) +
      " | jq -r '.partitiontable.partitions[] | \"\\(.node) \\(.start) \\(.size) \\(.type) \\(.uuid // \"-\")\"'");
  std::vector<ToolPartition> parts;
  for (const auto& line : Lines(out)) {
    std::istringstream in(line);
    std::string node;
    ToolPartition p;
    in >> node >> p.start >> p.size >> p.type >> p.uuid;
    if (!in) {
      ADD_FAILURE() << "sfdisk line: " << line;
      continue;
    }
    p.number = TrailingNumber(node);
    if (p.uuid == "-") p.uuid.clear();
    parts.push_back(p);
  }
  return parts;
}

std::vector<ToolPartition> Sgdisk(const std::string& path) {
  const auto lines = Lines(RunCommandOrFail("sgdisk -p " + ShellQuote(path)));
  std::vector<ToolPartition> parts;
  bool table = false;
  for (const auto& line : lines) {
    if (line.rfind("Number", 0) == 0) {
      table = true;
      continue;
    }
    if (!table) continue;
    std::istringstream in(line);
    ToolPartition p;
    int64_t end = 0;
    if (!(in >> p.number >> p.start >> end)) continue;
    p.size = end - p.start + 1;
    for (const auto& info : Lines(RunCommandOrFail("sgdisk -i " + std::to_string(p.number) + " " + ShellQuote(path)))) {
      char guid[64] = {};
      if (std::sscanf(info.c_str(), "Partition GUID code: %36s", guid) == 1) p.type = guid;
      if (std::sscanf(info.c_str(), "Partition unique GUID: %36s", guid) == 1) p.uuid = guid;
    }
    parts.push_back(p);
  }
  return parts;
}

std::vector<ToolPartition> Parted(const std::string& path) {
  const auto lines = Lines(RunCommandOrFail("parted -m -s " + ShellQuote(path) + " unit s print"));
  std::vector<ToolPartition> parts;
  // "BYT;", the disk line, then "number:start:end:size:fs:name:flags;".
  for (size_t i = 2; i < lines.size(); ++i) {
    const auto f = Split(lines[i], ':');
    if (f.size() < 5 || f[4].rfind("free", 0) == 0) continue;
    ToolPartition p;
    p.number = static_cast<uint32_t>(std::stoul(f[0]));
    p.start = Sectors(f[1]);
    p.size = Sectors(f[3]);
    parts.push_back(p);
  }
  return parts;
}

std::vector<ToolPartition> Partx(const std::string& path) {
  const auto lines = Lines(RunCommandOrFail("partx -g -o NR,START,SECTORS,TYPE " + ShellQuote(path)));
  std::vector<ToolPartition> parts;
  for (const auto& line : lines) {
    std::istringstream in(line);
    ToolPartition p;
    if (!(in >> p.number >> p.start >> p.size)) continue;
    in >> p.type;
    parts.push_back(p);
  }
  return parts;
}

std::vector<ToolPartition> Fdisk(const std::string& path, unsigned sectorSize) {
  const auto lines = Lines(RunCommandOrFail("fdisk -b " + std::to_string(sectorSize) +
                                            " -l -o Device,Start,Sectors,Id " + ShellQuote(path)));
  std::vector<ToolPartition> parts;
  bool table = false;
  for (const auto& line : lines) {
    if (line.rfind("Device", 0) == 0) {
      table = true;
      continue;
    }
    if (!table) continue;
    std::istringstream in(line);
    std::string node;
    ToolPartition p;
    if (!(in >> node >> p.start >> p.size >> p.type)) continue;
    p.number = TrailingNumber(node);
    parts.push_back(p);
  }
  return parts;
}

uint32_t BlkidScheme(const std::string& path) {
  // blkid exits with 2 when it finds nothing, which is an answer here.
  std::string out = testsupport::RunCommand("blkid -p -s PTTYPE -o value " + ShellQuote(path)).output;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (out == "dos") return 1;
  if (out == "gpt") return 2;
  if (out == "mac") return 3;
  EXPECT_EQ(out, "") << "blkid: unexpected table type";
  return 0;
}

std::array<uint8_t, 16> GuidBytes(const std::string& text) {
  std::array<uint8_t, 16> b{};
  unsigned v[16];
  const int n =
      std::sscanf(text.c_str(), "%2x%2x%2x%2x-%2x%2x-%2x%2x-%2x%2x-%2x%2x%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3],
                  &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11], &v[12], &v[13], &v[14], &v[15]);
  EXPECT_EQ(n, 16) << "not a GUID: " << text;
  for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(v[i]);
  std::reverse(b.begin(), b.begin() + 4);
  std::reverse(b.begin() + 4, b.begin() + 6);
  std::reverse(b.begin() + 6, b.begin() + 8);
  return b;
}

std::vector<ToolPartition> WithoutExtendedContainers(std::vector<ToolPartition> parts) {
  std::erase_if(parts, [](const ToolPartition& p) { return p.type == "5" || p.type == "f" || p.type == "85"; });
  return parts;
}

std::vector<ToolPartition> AtLeast(std::vector<ToolPartition> parts, int64_t minSectors) {
  std::erase_if(parts, [minSectors](const ToolPartition& p) { return p.size < minSectors; });
  return parts;
}

std::vector<ToolPartition> ByNumber(std::vector<ToolPartition> parts) {
  std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
  for (auto& p : parts) {
    p.type.clear();
    p.uuid.clear();
  }
  return parts;
}

std::vector<ToolPartition> ByNumber(const std::list<PartitionEntry>& entries) {
  std::vector<ToolPartition> parts;
  for (const auto& e : entries) parts.push_back({e.number, e.startSector, e.sectorCount, "", ""});
  return ByNumber(std::move(parts));
}

bool operator==(const ToolPartition& a, const ToolPartition& b) {
  return a.number == b.number && a.start == b.start && a.size == b.size && a.type == b.type && a.uuid == b.uuid;
}

void PrintTo(const ToolPartition& p, std::ostream* os) {
  *os << "#" << p.number << " start " << p.start << " size " << p.size;
  if (!p.type.empty()) *os << " type " << p.type;
  if (!p.uuid.empty()) *os << " uuid " << p.uuid;
}

}  // namespace parttest
