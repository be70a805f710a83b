// The archive, drawing, font and database images of
// make-archives-images.sh through the conformance harness: a complete scan
// must show every file laid in once, under its type's folder and its name,
// byte for byte the original (a metafile at a 512-byte offset too), the
// gzip files and metafiles cut short copied but reported incomplete, the
// whole ones right behind them identical, and nothing else: nothing from the files of
// the same signatures that must give none, nothing from inside an archive
// that ends itself; in the rows rawfixtures::CarveRows makes.
#include "ArchiveFixtures.h"

namespace {

CONFORMANCE_ROWS(ArchiveRows, rawfixtures::CarveRows(archivefixtures::Dir(), archivefixtures::Ready, "archives_"));

}  // namespace
