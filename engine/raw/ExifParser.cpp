#include "raw/ExifParser.h"

#include <cstring>
#include <set>

namespace {

constexpr int kMaxDepth = 8;
constexpr int kFormatBytes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

struct Reader {
  const uint8_t* tiff;  // the TIFF header, where offsets count from
  size_t length;
  bool motorola;
  uint16_t U16(size_t at) const {
    return motorola ? static_cast<uint16_t>((tiff[at] << 8) | tiff[at + 1])
                    : static_cast<uint16_t>(tiff[at] | (tiff[at + 1] << 8));
  }
  uint32_t U32(size_t at) const {
    return motorola ? (uint32_t{tiff[at]} << 24) | (uint32_t{tiff[at + 1]} << 16) | (uint32_t{tiff[at + 2]} << 8) |
                          tiff[at + 3]
                    : uint32_t{tiff[at]} | (uint32_t{tiff[at + 1]} << 8) | (uint32_t{tiff[at + 2]} << 16) |
                          (uint32_t{tiff[at + 3]} << 24);
  }
  // The value of `format` at `at`, of which `bytes` are the entry's: a
  // count of 0 leaves no value to read (a rational's 8 bytes would run
  // past the 4 of the entry's own field).
  double Number(size_t at, int format, uint64_t bytes) const {
    if (bytes < static_cast<uint64_t>(kFormatBytes[format])) return 0.0;
    switch (format) {
      case 1:
      case 6:
      case 7:
        return tiff[at];
      case 3:
      case 8:
        return U16(at);
      case 4:
      case 9:
        return U32(at);
      case 5:
      case 10: {
        const uint32_t den = U32(at + 4);
        return den == 0 ? 0.0 : static_cast<double>(U32(at)) / den;
      }
      default:
        return 0.0;
    }
  }
};

// Values out of an int's range are of no use here and must not be converted.
int ToInt(double value) { return value >= 0 && value <= 65535 ? static_cast<int>(value) : -1; }

std::string Text(const uint8_t* at, size_t count, size_t max) {
  size_t n = 0;
  while (n < count && n < max && at[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(at), n);
}

bool ProcessDir(const Reader& r, size_t dir, int depth, std::set<size_t>& seen, tag_ExifInfo& info,
                std::string& error) {
  if (depth > kMaxDepth || !seen.insert(dir).second) {
    error = "Illegal subdirectory link";
    return false;
  }
  if (dir + 2 > r.length) {
    error = "Illegally sized directory";
    return false;
  }
  const unsigned entries = r.U16(dir);
  if (dir + 2 + size_t{entries} * 12 > r.length) {
    error = "Illegally sized directory";
    return false;
  }
  for (unsigned e = 0; e < entries; ++e) {
    const size_t entry = dir + 2 + size_t{e} * 12;
    const unsigned tag = r.U16(entry);
    const unsigned format = r.U16(entry + 2);
    const uint32_t components = r.U32(entry + 4);
    if (format < 1 || format > 12) {
      error = "Illegal format code in EXIF dir";
      return false;
    }
    const uint64_t bytes = uint64_t{components} * kFormatBytes[format];
    size_t value = entry + 8;
    if (bytes > 4) {
      const uint32_t offset = r.U32(entry + 8);
      if (offset > r.length || bytes > r.length - offset) {
        error = "Illegal pointer offset value in EXIF";
        return false;
      }
      value = offset;
    }
    switch (tag) {
      case 0x010F:
        info.CameraMake = Text(r.tiff + value, static_cast<size_t>(bytes), 31);
        break;
      case 0x0110:
        info.CameraModel = Text(r.tiff + value, static_cast<size_t>(bytes), 39);
        break;
      case 0x9003:
        info.DateTimeOriginal = Text(r.tiff + value, static_cast<size_t>(bytes), 19);
        break;
      case 0x0112:
        info.Orientation = ToInt(r.Number(value, static_cast<int>(format), bytes));
        if (info.Orientation < 0 || info.Orientation > 8) {
          error = "Undefined rotation value";
          info.Orientation = 0;
        }
        break;
      case 0xA002:
        info.Width = ToInt(r.Number(value, static_cast<int>(format), bytes));
        break;
      case 0xA003:
        info.Height = ToInt(r.Number(value, static_cast<int>(format), bytes));
        break;
      case 0xA20E:
        info.FocalplaneXRes = r.Number(value, static_cast<int>(format), bytes);
        break;
      case 0xA210:
        switch (ToInt(r.Number(value, static_cast<int>(format), bytes))) {
          case 1:
            info.FocalplaneUnits = 25.4;
            break;
          case 2:
            info.FocalplaneUnits = 25.4;
            break;
          case 3:
            info.FocalplaneUnits = 10;
            break;
          case 4:
            info.FocalplaneUnits = 1;
            break;
          case 5:
            info.FocalplaneUnits = .001;
            break;
          default:
            break;
        }
        break;
      case 0x8769:
      case 0xA005: {
        const uint32_t sub = r.U32(entry + 8);
        if (sub >= r.length) {
          error = "Illegal subdirectory link";
          return false;
        }
        if (!ProcessDir(r, sub, depth + 1, seen, info, error)) return false;
        break;
      }
      default:
        break;
    }
  }
  return true;
}

}  // namespace

bool EXIF_process_EXIF(const uint8_t* block, size_t length, tag_ExifInfo& info, std::string& error) {
  info = tag_ExifInfo();
  error.clear();
  if (block == nullptr || length < 14 || std::memcmp(block, "Exif\0\0", 6) != 0) {
    error = "Incorrect Exif header";
    return false;
  }
  Reader r{block + 6, length - 6, false};
  if (std::memcmp(r.tiff, "II", 2) == 0) {
    r.motorola = false;
  } else if (std::memcmp(r.tiff, "MM", 2) == 0) {
    r.motorola = true;
  } else {
    error = "Invalid Exif alignment marker.";
    return false;
  }
  if (r.U16(2) != 42) {
    error = "Invalid Exif start (1)";
    return false;
  }
  const uint32_t first = r.U32(4);
  if (first < 8 || first > 16) {
    error = "Suspicious offset of first IFD value";
    return false;
  }
  std::set<size_t> seen;
  if (!ProcessDir(r, first, 0, seen, info, error)) return false;
  // Without a focal-plane resolution there is nothing to divide by.
  if (info.FocalplaneXRes != 0 && info.Width > 0) {
    info.CCDWidth = info.Width * info.FocalplaneUnits / info.FocalplaneXRes;
  }
  error.clear();
  return true;
}
