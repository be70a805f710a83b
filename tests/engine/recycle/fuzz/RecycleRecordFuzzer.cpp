// The input is a recycle record's bytes, as many as its size says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "recycle/CRecycleNameRestorer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name = CRecycleNameRestorer::FormerName(data, size);
  if (name == "." || name == ".." || name.find('/') != std::string::npos) __builtin_trap();
  return 0;
}
