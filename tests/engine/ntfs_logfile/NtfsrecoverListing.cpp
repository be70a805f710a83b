#include "engine/ntfs_logfile/NtfsrecoverListing.h"

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "support/TestSupport.h"

namespace ntfslogfile {

namespace {

// Trimmed, with runs of blanks turned into one space: "inode      66" -> "inode 66".
std::string Squeeze(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool blank = c == ' ' || c == '\t' || c == '\r';
    if (blank) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

uint64_t Hex(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }

// "0010  11010211 010200      ......." -> the bytes of the hex column.
bool AppendHexdumpLine(const std::string& line, std::vector<uint8_t>& out) {
  static const std::regex start("^[0-9a-f]{4}  [0-9a-f]{2}");
  if (!std::regex_search(line, start)) return false;
  const size_t end = line.find("  ", 6);
  std::istringstream groups(line.substr(6, end == std::string::npos ? std::string::npos : end - 6));
  std::string group;
  while (groups >> group) {
    for (size_t i = 0; i + 1 < group.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::strtoul(group.substr(i, 2).c_str(), nullptr, 16)));
    }
  }
  return true;
}

}  // namespace

uint64_t ListedRecord::Field(const std::string& name) const {
  auto it = fields.find(name);
  return it == fields.end() ? ~uint64_t{0} : it->second;
}

bool ListedRecord::HasNote(const std::string& text) const {
  return std::any_of(notes.begin(), notes.end(), [&](const std::string& n) { return n.find(text) != std::string::npos; });
}

std::vector<const ListedRecord*> Listing::WithLsn(uint64_t lsn) const {
  std::vector<const ListedRecord*> out;
  for (const ListedRecord& r : records) {
    if (r.block >= 4 && r.Field("this_lsn") == lsn) out.push_back(&r);
  }
  return out;
}

size_t Listing::CountLines(const std::string& text) const {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

Listing ParseNtfsrecover(const std::string& output) {
  static const std::regex block(R"(^\* block (\d+) at )");
  static const std::regex rcrd(R"(^\* RCRD in block (\d+) )");
  static const std::regex action(R"(^\* log (?:backward )?action \d+ at 0x([0-9a-f]+) size)");
  static const std::regex overlap(R"(^(?:Big )?[Oo]verlapping (?:record|backward action) \d+ at 0x([0-9a-f]+) size)");
  static const std::regex field(R"(^([a-z_0-9]+) +([0-9a-f]+)\b(?: (\S+))?)");
  static const std::regex lcn(R"(^ *\(\d+ offs 0x[0-9a-f]+\) lcn +([0-9a-f]+))");
  static const std::regex badSize(R"(^\*\* Bad record size -?\d+ in block (\d+) offset 0x([0-9a-f]+))");

  Listing listing;
  std::istringstream in(output);
  std::string line;
  int currentBlock = -1;
  ListedRecord* current = nullptr;
  std::vector<uint8_t>* dump = nullptr;
  while (std::getline(in, line)) {
    listing.lines.push_back(line);
    std::smatch m;
    if (dump != nullptr && AppendHexdumpLine(line, *dump)) continue;
    dump = nullptr;
    if (std::regex_search(line, m, block)) {
      currentBlock = std::stoi(m[1]);
      current = nullptr;
      continue;
    }
    if (std::regex_search(line, m, rcrd)) {
      listing.recordPages.push_back(std::stoi(m[1]));
      continue;
    }
    if (std::regex_search(line, m, badSize)) {
      // ntfsrecover shows the record it refused right after this line.
      listing.records.emplace_back();
      current = &listing.records.back();
      current->block = std::stoi(m[1]);
      current->offset = static_cast<uint32_t>(Hex(m[2]));
      current->badSize = true;
      continue;
    }
    const bool isAction = std::regex_search(line, m, action);
    if (isAction || std::regex_search(line, m, overlap)) {
      listing.records.emplace_back();
      current = &listing.records.back();
      current->block = currentBlock;
      current->offset = static_cast<uint32_t>(Hex(m[1]));
      current->overlapping = !isAction;
      continue;
    }
    if (line.rfind("redo data", 0) == 0 && current != nullptr) {
      dump = &current->redoData;
      continue;
    }
    if (line.rfind("undo data", 0) == 0 && current != nullptr) {
      dump = &current->undoData;
      continue;
    }
    if (std::regex_search(line, m, lcn) && current != nullptr) {
      current->lcns.push_back(Hex(m[1]));
      continue;
    }
    if (std::regex_search(line, m, field)) {
      const std::string name = m[1];
      if (current == nullptr) {
        if (currentBlock >= 0 && currentBlock < 2 && listing.restart.count(name) == 0) {
          listing.restart[name] = Hex(m[2]);
        }
        continue;
      }
      if (current->fields.count(name) == 0) current->fields[name] = Hex(m[2]);
      if (name == "redo_operation") current->redoOperation = m[3];
      if (name == "undo_operation") current->undoOperation = m[3];
      continue;
    }
    if (current != nullptr) {
      const std::string note = Squeeze(line);
      if (!note.empty()) current->notes.push_back(note);
    }
  }
  return listing;
}

std::string RunNtfsrecover(const std::filesystem::path& image, const std::string& options) {
  // ntfsrecover exits with 1 whenever the page after the last one written is
  // not a log page, which is the case for every log that has not wrapped yet.
  return testsupport::RunCommand("ntfsrecover " + options + " " + testsupport::ShellQuote(image.string()) + " 2>&1")
      .output;
}

}  // namespace ntfslogfile
