// Runs a quick scan of an image (or a block device) through the engine and
// prints one line per node it shows, so the result can be put beside the
// peers' listings (fls -r -p); optionally copies the files out.
//
//   quickscan_probe [--sector-size N] [--offset BYTES] [--copy DIR [--deleted-only]] [--pause] [--complete] IMAGE
//
// Node lines begin with "node\t" (the engine prints diagnostics of its own on
// standard output): kind (d, f), deleted or live, node ID, parent ID, size,
// attribute, path. The last line is "scan\t<searcher's answer>\t<nodes>".
// Copies go to DIR/<path>, one "copy\t<code>\t<path>" line each.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QuickScanProbe.h"

int main(int argc, char** argv) {
  quickprobe::QuickScan::Options options;
  std::string copyTo;
  bool deletedOnly = false;
  const char* image = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sector-size" && i + 1 < argc) {
      options.sectorSize = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    } else if (arg == "--offset" && i + 1 < argc) {
      options.offset = std::strtoull(argv[++i], nullptr, 0);
    } else if (arg == "--copy" && i + 1 < argc) {
      copyTo = argv[++i];
    } else if (arg == "--deleted-only") {
      deletedOnly = true;
    } else if (arg == "--complete") {
      options.complete = true;
    } else if (arg == "--pause") {
      options.pause = true;
    } else if (!arg.empty() && arg[0] != '-' && image == nullptr) {
      image = argv[i];
    } else {
      image = nullptr;
      break;
    }
  }
  if (image == nullptr) {
    std::fprintf(
        stderr,
        "usage: %s [--sector-size N] [--offset BYTES] [--copy DIR [--deleted-only]] [--pause] [--complete] IMAGE\n",
        argv[0]);
    return 2;
  }
  quickprobe::QuickScan scan(image, options);
  if (!scan.Run()) {
    std::fprintf(stderr, "%s: cannot open or scan %s\n", argv[0], image);
    return 1;
  }
  for (const quickprobe::Node& node : scan.nodes()) std::printf("node\t%s\n", quickprobe::Line(node).c_str());
  int failures = 0;
  if (!copyTo.empty()) {
    for (const quickprobe::Node& node : scan.nodes()) {
      if (node.folder || (deletedOnly && !node.deleted)) continue;
      const ResultCode code = scan.CopyOut(node, std::filesystem::path(copyTo) / node.path);
      if (code != 0) ++failures;
      std::printf("copy\t0x%016llx\t%s\n", static_cast<unsigned long long>(code), node.path.c_str());
    }
  }
  std::printf("scan\t0x%016llx\t%zu\n", static_cast<unsigned long long>(scan.searcherAnswer()), scan.nodes().size());
  return failures == 0 ? 0 : 1;
}
