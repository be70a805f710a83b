#include "NtfsPeers.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

namespace ntfspeers {

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::string After(const std::string& line, const std::string& key) {
  std::string rest = line.substr(line.find(key) + key.size());
  const size_t first = rest.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : rest.substr(first);
}

uint32_t SiFlagBit(const std::string& name) {
  static const std::map<std::string, uint32_t> kBits = {
      {"Read Only", 0x1},       {"Hidden", 0x2},       {"System", 0x4},
      {"Archive", 0x20},        {"Device", 0x40},      {"Normal", 0x80},
      {"Temporary", 0x100},     {"Sparse", 0x200},     {"Reparse Point", 0x400},
      {"Compressed", 0x800},    {"Offline", 0x1000},   {"Not Content Indexed", 0x2000},
      {"Encrypted", 0x4000}};
  const auto it = kBits.find(name);
  return it == kBits.end() ? 0x80000000u : it->second;
}

uint32_t SiFlags(const std::string& list) {
  uint32_t bits = 0;
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t a = item.find_first_not_of(' ');
    const size_t b = item.find_last_not_of(' ');
    if (a == std::string::npos) continue;
    bits |= SiFlagBit(item.substr(a, b - a + 1));
  }
  return bits;
}

// "$DATA (128-2)" or "128-2": type and id.
bool TypeAndId(const std::string& text, uint32_t* type, uint32_t* id) {
  static const std::regex kPattern(R"((\d+)-(\d+))");
  std::smatch m;
  if (!std::regex_search(text, m, kPattern)) return false;
  *type = static_cast<uint32_t>(std::stoul(m[1]));
  *id = static_cast<uint32_t>(std::stoul(m[2]));
  return true;
}

int64_t Number(const std::string& text) { return std::stoll(text, nullptr, 0); }

}  // namespace

Fsstat ParseFsstat(const std::string& text) {
  Fsstat f;
  static_cast<peers::Fsstat&>(f) = peers::ParseFsstat(text);
  const auto serial = f.fields.find("Volume Serial Number");
  if (serial != f.fields.end()) f.serial = std::stoull(serial->second, nullptr, 16);
  if (f.fields.count("OEM Name") != 0) f.oem = f.fields.at("OEM Name");
  f.mftCluster = f.Number("First Cluster of MFT");
  f.mftMirrorCluster = f.Number("First Cluster of MFT Mirror");
  f.recordSize = static_cast<uint32_t>(std::max<int64_t>(0, f.Number("Size of MFT Entries")));
  return f;
}

Istat ParseIstat(const std::string& text) {
  Istat r;
  enum { kHeader, kSi, kName, kAttributes, kOther } section = kHeader;
  for (const std::string& line : Lines(text)) {
    if (StartsWith(line, "$STANDARD_INFORMATION Attribute Values:")) {
      section = kSi;
      r.hasStandardInformation = true;
      continue;
    }
    if (StartsWith(line, "$FILE_NAME Attribute Values:")) {
      section = kName;
      r.names.emplace_back();
      continue;
    }
    if (StartsWith(line, "Attributes:")) {
      section = kAttributes;
      continue;
    }
    if (StartsWith(line, "$") && line.find("Attribute Values:") != std::string::npos) {
      section = kOther;
      continue;
    }
    if (StartsWith(line, "Type: ") && line.find("MFT Entry:") != std::string::npos) {
      r.hasAttributeList = true;  // a line of the attribute list, not an attribute
      continue;
    }
    switch (section) {
      case kHeader:
        if (StartsWith(line, "Entry: ")) {
          std::sscanf(line.c_str(), "Entry: %lu Sequence: %hu", &r.entry, &r.sequence);
        } else if (StartsWith(line, "Base File Record: ")) {
          r.baseRecord = static_cast<uint64_t>(Number(After(line, ": ")));
        } else if (line == "Allocated File" || line == "Allocated Directory" || line == "Not Allocated File" ||
                   line == "Not Allocated Directory") {
          r.allocated = StartsWith(line, "Allocated");
          r.directory = line.find("Directory") != std::string::npos;
        }
        break;
      case kSi:
        if (StartsWith(line, "Flags: ")) r.siFlags = SiFlags(After(line, ": "));
        if (StartsWith(line, "Created:")) r.siCreated = FileTimeFromText(After(line, ":"));
        if (StartsWith(line, "File Modified:")) r.siModified = FileTimeFromText(After(line, ":"));
        if (StartsWith(line, "MFT Modified:")) r.siMftModified = FileTimeFromText(After(line, ":"));
        if (StartsWith(line, "Accessed:")) r.siAccessed = FileTimeFromText(After(line, ":"));
        break;
      case kName: {
        IstatName& n = r.names.back();
        if (StartsWith(line, "Name: ")) n.name = line.substr(6);
        if (StartsWith(line, "Parent MFT Entry: ")) {
          std::sscanf(line.c_str(), "Parent MFT Entry: %lu Sequence: %hu", &n.parent, &n.parentSequence);
        }
        if (StartsWith(line, "Allocated Size: ")) {
          std::sscanf(line.c_str(), "Allocated Size: %ld Actual Size: %ld", &n.allocatedSize, &n.realSize);
        }
        if (StartsWith(line, "Created:")) n.created = FileTimeFromText(After(line, ":"));
        if (StartsWith(line, "File Modified:")) n.modified = FileTimeFromText(After(line, ":"));
        if (StartsWith(line, "MFT Modified:")) n.mftModified = FileTimeFromText(After(line, ":"));
        if (StartsWith(line, "Accessed:")) n.accessed = FileTimeFromText(After(line, ":"));
        break;
      }
      case kAttributes:
        if (StartsWith(line, "Type: ")) {
          // Lines of an attribute list ("Type: 16-0 \tMFT Entry: ...") are not attributes.
          if (line.find("MFT Entry:") != std::string::npos) {
            r.hasAttributeList = true;
            break;
          }
          IstatAttribute a;
          TypeAndId(line, &a.type, &a.id);
          a.name = After(line, "Name: ");
          a.name = a.name.substr(0, a.name.find("   "));
          a.resident = line.find("Non-Resident") == std::string::npos;
          a.compressed = line.find(", Compressed") != std::string::npos;
          a.encrypted = line.find(", Encrypted") != std::string::npos;
          a.sparse = line.find(", Sparse") != std::string::npos;
          if (line.find("size: ") != std::string::npos) a.size = Number(After(line, "size: "));
          if (line.find("init_size: ") != std::string::npos) a.initSize = Number(After(line, "init_size: "));
          r.attributes.push_back(a);
        } else if (!r.attributes.empty() && !r.attributes.back().resident && !line.empty()) {
          std::istringstream in(line);
          int64_t cluster;
          while (in >> cluster) r.attributes.back().clusters.push_back(cluster);
        }
        break;
      case kOther:
        break;
    }
  }
  return r;
}

Ntfsinfo ParseNtfsinfo(const std::string& text) {
  Ntfsinfo r;
  NtfsinfoAttribute* current = nullptr;
  bool inRuns = false;
  static const std::regex kDump(R"(^Dumping attribute \S+ \(0x([0-9a-f]+)\))");
  for (const std::string& line : Lines(text)) {
    std::smatch m;
    if (std::regex_search(line, m, kDump)) {
      r.attributes.emplace_back();
      current = &r.attributes.back();
      current->type = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
      inRuns = false;
      continue;
    }
    if (current == nullptr) {
      if (StartsWith(line, "MFT Record Flags:")) {
        r.inUse = line.find("IN_USE") != std::string::npos;
        r.directory = line.find("DIRECTORY") != std::string::npos;
      }
      if (StartsWith(line, "Upd. Seq. Array Off.:")) r.sequenceOffset = static_cast<uint16_t>(Number(After(line, ":")));
      if (StartsWith(line, "Upd. Seq. Array Count:")) r.sequenceCount = static_cast<uint16_t>(Number(After(line, ":")));
      if (StartsWith(line, "Bytes Used:")) r.bytesUsed = static_cast<uint32_t>(Number(After(line, ":")));
      if (StartsWith(line, "Bytes Allocated:")) r.bytesAllocated = static_cast<uint32_t>(Number(After(line, ":")));
      continue;
    }
    if (inRuns) {
      std::istringstream in(line);
      std::string vcn, lcn, length;
      if (StartsWith(line, "\t\t\t") && (in >> vcn >> lcn >> length)) {
        // Pieces of a run list that other records map.
        if (lcn == "<RL_NOT_MAPPED>") continue;
        NtfsinfoRun run;
        run.vcn = Number(vcn);
        run.lcn = lcn == "<HOLE>" ? -1 : Number(lcn);
        run.length = Number(length);
        current->runs.push_back(run);
        continue;
      }
      inRuns = false;
    }
    // Only the attribute's own fields (one tab); index entries are indented deeper.
    if (line.size() < 2 || line[0] != '\t' || line[1] == '\t') continue;
    const std::string field = line.substr(1);
    if (StartsWith(field, "Resident:")) current->resident = After(field, ":") == "Yes";
    if (StartsWith(field, "Attribute instance:")) current->instance = static_cast<uint32_t>(Number(After(field, ":")));
    if (StartsWith(field, "Attribute name:")) {
      std::string name = After(field, ":");
      current->name = name.size() >= 2 ? name.substr(1, name.size() - 2) : name;
    }
    if (StartsWith(field, "File attributes:")) {
      const size_t open = field.rfind("(0x");
      if (open != std::string::npos) current->fileAttributes = static_cast<uint32_t>(Number(field.substr(open + 1)));
    }
    if (StartsWith(field, "Namespace:")) current->namespaceName = After(field, ":");
    if (StartsWith(field, "Parent directory:")) current->parent = static_cast<uint64_t>(Number(After(field, ":")));
    if (StartsWith(field, "Filename:")) {
      std::string name = After(field, ":");
      current->fileName = name.size() >= 2 ? name.substr(1, name.size() - 2) : name;
    }
    if (StartsWith(field, "Lowest VCN")) current->lowestVcn = Number(After(field, "VCN"));
    if (StartsWith(field, "Highest VCN:")) current->highestVcn = Number(After(field, ":"));
    if (StartsWith(field, "Data size:")) current->dataSize = Number(After(field, ":"));
    if (StartsWith(field, "Allocated size:")) current->allocatedSize = Number(After(field, ":"));
    if (StartsWith(field, "Initialized size:")) current->initializedSize = Number(After(field, ":"));
    if (StartsWith(field, "Runlist:")) inRuns = true;
  }
  return r;
}

}  // namespace ntfspeers
