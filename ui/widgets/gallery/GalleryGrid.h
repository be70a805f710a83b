// The gallery's pages of the item grid, the cover flow, the file tiles and
// the stand-in controls: grid.png, coverflow.png and standins.png in `out`.
#pragma once

class QDir;

bool SaveGridGalleryPages(const QDir& out);
