#include "fat/IniFile.h"

#include <fstream>
#include <sstream>

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

int CIniFile::Init(const std::string& path) {
  m_path = path;
  return LoadFile();
}

int CIniFile::LoadFile() {
  std::ifstream in(m_path, std::ios::binary);
  if (!in) return -1;
  return Load(in);
}

int CIniFile::LoadText(const std::string& text) {
  std::istringstream in(text);
  return Load(in);
}

bool CIniFile::ReadLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

int CIniFile::Load(std::istream& in) {
  std::string line;
  std::map<std::string, std::string>* section = nullptr;
  while (ReadLine(in, line)) {
    line = Trim(line);
    if (line.empty()) continue;
    if (line.front() == '[') {
      const auto close = line.find(']');
      if (close == std::string::npos) return -1;
      section = &m_sections[Trim(line.substr(1, close - 1))];
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    if (section == nullptr) return -1;
    (*section)[Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
  }
  return 0;
}

int CIniFile::ReadItem(const std::string& section, const std::string& key, std::string& value) const {
  const auto s = m_sections.find(section);
  if (s == m_sections.end()) return -1;
  const auto k = s->second.find(key);
  value = k != s->second.end() ? k->second : std::string();
  return value.empty() ? -1 : 0;
}
