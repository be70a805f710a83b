#include "enumeration/MountInfo.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace {

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// Splits on single spaces, as the kernel writes the table; empty fields (two
// spaces in a row) are kept so that the shape check sees them.
std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t from = 0;
  while (from <= line.size()) {
    const size_t space = line.find(' ', from);
    if (space == std::string_view::npos) {
      fields.push_back(line.substr(from));
      break;
    }
    fields.push_back(line.substr(from, space - from));
    from = space + 1;
  }
  return fields;
}

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string UnescapeMountField(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      out.push_back(static_cast<char>(value));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

bool ParseMountInfoLine(std::string_view line, MountEntry& out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::vector<std::string_view> f = SplitFields(line);
  // id parent major:minor root mount-point options [optional...] - type source super-options
  if (f.size() < 10) return false;
  size_t separator = 6;
  while (separator < f.size() && f[separator] != "-") ++separator;
  if (separator >= f.size() || f.size() - separator != 4) return false;

  if (!ParseNumber(f[0], out.mountId) || !ParseNumber(f[1], out.parentId)) return false;
  const size_t colon = f[2].find(':');
  if (colon == std::string_view::npos || !ParseNumber(f[2].substr(0, colon), out.major) ||
      !ParseNumber(f[2].substr(colon + 1), out.minor)) {
    return false;
  }
  if (f[3].empty() || f[4].empty()) return false;
  out.root = UnescapeMountField(f[3]);
  out.mountPoint = UnescapeMountField(f[4]);
  out.options = std::string(f[5]);
  out.optionalFields.clear();
  for (size_t i = 6; i < separator; ++i) {
    if (!f[i].empty()) out.optionalFields.emplace_back(f[i]);
  }
  if (f[separator + 1].empty()) return false;
  out.fsType = UnescapeMountField(f[separator + 1]);
  out.source = UnescapeMountField(f[separator + 2]);
  out.superOptions = std::string(f[separator + 3]);
  return true;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> table;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string_view::npos) end = text.size();
    MountEntry entry;
    if (ParseMountInfoLine(text.substr(from, end - from), entry)) table.push_back(std::move(entry));
    from = end + 1;
  }
  return table;
}

bool ReadMountInfo(const std::string& path, std::vector<MountEntry>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  out = ParseMountInfo(text.str());
  return true;
}

std::string FindMountPoint(const std::vector<MountEntry>& table, uint32_t major, uint32_t minor) {
  const MountEntry* any = nullptr;
  for (const MountEntry& entry : table) {
    if (entry.major != major || entry.minor != minor) continue;
    if (entry.root == "/") return entry.mountPoint;
    if (any == nullptr) any = &entry;
  }
  return any != nullptr ? any->mountPoint : std::string();
}
