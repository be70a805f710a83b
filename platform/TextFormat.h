// Formatting of texts whose format comes from a translation.
//
// A translated text is data: a translator (or a damaged table) may put any
// conversion into it, so it is never handed to printf. FormatText reads the
// format itself and takes every value from the argument list.
#pragma once

#include <QString>
#include <QVariantList>

namespace platform {

// Supported conversions: %@ and %s (the value as text), %d %i %u and the l,
// ll, h, q, z and j length forms (whole numbers), %x %X %o, %f %e %g (with
// precision, e.g. %0.2f), %c, and %% for a percent sign; flags "-", "0", "+",
// " ", "#" and a field width up to 256; positions as in %2$@. A conversion
// without a value gives the empty text; an unknown one is copied as it stands.
QString FormatText(const QString& format, const QVariantList& args);

}  // namespace platform
