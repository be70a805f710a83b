// The carving images of make-raw-images.sh through the conformance harness:
// a complete scan must show every file laid in once, under its type's folder
// and its name, byte for byte the original where its own structure gives
// its end (the cut JPEG at most its first piece, checked beside these rows),
// the files whose end is not there (JPEGs cut in two or short; PNG, GIF and
// Ogg files cut short at 512-byte offsets) copied but reported incomplete,
// the whole files laid right behind those cut short identical, and nothing
// else: no file twice (no frame of a motion JPEG film), none made of the
// bytes between them. In
// zeros and in random surroundings, inside an MBR disk, cut short, with
// 4096-byte sectors; built with CLIPMENDER_RAW_LOOP_ROWS, through loop
// devices instead.
#include "RawFixtures.h"

namespace {

CONFORMANCE_ROWS(RawRows, rawfixtures::CarveRows(rawfixtures::Dir(), rawfixtures::Ready, ""));

}  // namespace
