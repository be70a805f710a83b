#include "hfsplus/HFSPlusError.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

ResultCode FormatError(ResultCode code, const char* sourceFile, long line, const char* function) {
  const char* name = sourceFile != nullptr ? sourceFile : "";
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  std::printf("Return Error:0x%" PRIx64 "\tFile:%s\tLine:%ld\tFuction:%s\n", code, name, line,
              function != nullptr ? function : "");
  return code;
}
