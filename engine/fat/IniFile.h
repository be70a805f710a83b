// A small settings file of "[section]" lines and "key=value" lines. Line
// ends may be LF or CRLF, the last line needs no line end, and blanks around
// names, keys and values are dropped. Lines that are neither (empty lines,
// comments) are skipped.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>

class CIniFile {
 public:
  CIniFile() = default;

  // Keeps the path and loads the file (LoadFile): 0 when it was read, -1
  // when it is missing or malformed (an item before any section, a header
  // without "]"); what came before the fault stays readable.
  int Init(const std::string& path);
  // The same for text already in memory.
  int LoadText(const std::string& text);
  // -1 when the section is absent or the key's value is empty (an absent key
  // reads as empty), else 0.
  int ReadItem(const std::string& section, const std::string& key, std::string& value) const;

 private:
  // Loads the file Init named.
  int LoadFile();
  // Loads the lines of `in`.
  int Load(std::istream& in);
  // The next line of `in` without its line end (LF or CRLF); false at the end.
  static bool ReadLine(std::istream& in, std::string& line);

  std::string m_path;
  std::map<std::string, std::map<std::string, std::string>> m_sections;
};
