// The document images of make-docs-images.sh through the conformance
// harness: a complete scan shows every document laid in once, under its
// type's folder and the name its content gives, byte for byte the original
// where its own structure gives its end, the documents cut short copied but
// reported incomplete (under the kind what came through still tells), the
// whole ones laid right behind them identical, and nothing else: nothing
// carved again from inside a document (a picture an archive stores at a
// sector boundary among it), nothing made of the bytes between them; in the
// rows rawfixtures::CarveRows makes.
#include "DocFixtures.h"

namespace {

CONFORMANCE_ROWS(RawDocumentRows, rawfixtures::CarveRows(docfixtures::Dir(), docfixtures::Ready, "docs_"));

}  // namespace
