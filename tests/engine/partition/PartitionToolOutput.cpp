#include "engine/partition/PartitionToolOutput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "support/TestSupport.h"

namespace parttest {

using testsupport::ShellQuote;

namespace {

// Runs a pipeline that prints one partition a line as "number start size
// [type [uuid]]".
std::vector<ToolPartition> Rows(const std::string& command) {
  std::istringstream in(testsupport::RunCommandOrFail(command));
  std::vector<ToolPartition> parts;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    ToolPartition p;
    if (fields >> p.number >> p.start >> p.size) {
      fields >> p.type >> p.uuid;
      parts.push_back(p);
    }
  }
  return parts;
}

}  // namespace

std::vector<ToolPartition> Sfdisk(const std::string& path) {
  return Rows("sfdisk --json " + ShellQuote(path) +
              " | jq -r '.partitiontable.partitions[]? | "
              "\"\\(.node | match(\"[0-9]+$\").string) \\(.start) \\(.size) \\(.type) \\(.uuid // \"\")\"'");
}

std::vector<ToolPartition> Sgdisk(const std::string& path) {
  const std::string p = ShellQuote(path);
  return Rows("sgdisk -p " + p +
              " | awk '/^Number/ {t = 1; next} t && NF {printf \"%s %s %.0f\\n\", $1, $2, $3 - $2 + 1}'" +
              " | while read n s c; do echo \"$n $s $c $(sgdisk -i $n " + p +
              " | awk '/GUID code:|unique GUID:/ {printf \"%s \", $4}')\"; done");
}

std::vector<ToolPartition> Parted(const std::string& path) {
  // "BYT;", the disk's line, then "number:start:end:size:fs:name:flags;".
  return Rows("parted -m -s " + ShellQuote(path) +
              " unit s print | awk -F: 'NR > 2 && $5 !~ /^free/ {printf \"%s %.0f %.0f\\n\", $1, $2, $4}'");
}

std::vector<ToolPartition> Partx(const std::string& path) {
  return Rows("partx -g -o NR,START,SECTORS,TYPE " + ShellQuote(path));
}

std::vector<ToolPartition> Fdisk(const std::string& path, unsigned sectorSize) {
  return Rows("fdisk -b " + std::to_string(sectorSize) + " -l -o Device,Start,Sectors,Id " + ShellQuote(path) +
              " | awk '/^Device/ {t = 1; next} t && NF {match($1, /[0-9]+$/); print substr($1, RSTART), $2, $3, $4}'");
}

uint32_t BlkidScheme(const std::string& path) {
  // blkid exits with 2 when it finds nothing, which is an answer here.
  const std::string out = testsupport::RunCommand("blkid -p -s PTTYPE -o value " + ShellQuote(path)).output;
  for (const auto& [name, scheme] : {std::pair{"dos\n", 1u}, {"gpt\n", 2u}, {"mac\n", 3u}}) {
    if (out == name) return scheme;
  }
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
  std::copy(v, v + 16, b.begin());
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
  return parts;
}

std::vector<ToolPartition> ByNumber(const std::list<PartitionEntry>& entries) {
  std::vector<ToolPartition> parts;
  for (const auto& e : entries) parts.push_back({e.number, e.startSector, e.sectorCount});
  return ByNumber(std::move(parts));
}

}  // namespace parttest
