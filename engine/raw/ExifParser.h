// The EXIF block of a picture: camera make, model and original date and
// time. Offsets inside the block are bounds-checked, sub-directories are
// followed at most 8 deep and never twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct tag_ExifInfo {
  std::string CameraMake;        // tag 0x010F, up to 31 characters
  std::string CameraModel;       // tag 0x0110, up to 39 characters
  std::string DateTimeOriginal;  // tag 0x9003, up to 19 characters
  int Orientation = 0;
  int Width = 0, Height = 0;
  double FocalplaneXRes = 0, FocalplaneUnits = 0, CCDWidth = 0;
};

// `block` starts at "Exif" 00 00 and holds `length` bytes. True when the
// block parsed; `error` then is empty, else it names the first fault.
bool EXIF_process_EXIF(const uint8_t* block, size_t length, tag_ExifInfo& info, std::string& error);
