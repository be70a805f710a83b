// The input is a settings file: loaded, then asked for the one key the
// scanners read and for keys taken from the input itself.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fat/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CIniFile ini;
  ini.LoadText(text);
  std::string value;
  ini.ReadItem("UserExperience", "bRevise", value);
  const size_t cut = size / 2;
  ini.ReadItem(text.substr(0, cut), text.substr(cut), value);
  return 0;
}
