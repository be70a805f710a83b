// Fuzz target for the previews of found pictures: the input is a carved
// file's bytes, which the preview decodes as a picture (the decoder's size
// checked first), and failing that takes the preview a camera raw file
// stores. Whatever the bytes, nothing may crash, hang or allocate beyond the
// previews' limits, and an image comes back within the side asked for.
#include <cstdint>
#include <cstdlib>

#include "app/KVUIPreview.h"
#include "app/thumbnails/KVThumbnailSource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QImage picture = KVUIPreview::DecodePicture(data, size, KVUIPreview::kThumbnailSide);
  if (!picture.isNull() &&
      (picture.width() > KVUIPreview::kThumbnailSide || picture.height() > KVUIPreview::kThumbnailSide)) {
    std::abort();
  }
  const QImage raw = KVUIPreview::ToImage(KVThumbnailSource::RawPreview(data, size), KVUIPreview::kThumbnailSide);
  if (!raw.isNull() && (raw.width() > KVUIPreview::kThumbnailSide || raw.height() > KVUIPreview::kThumbnailSide)) {
    std::abort();
  }
  return 0;
}
