// What the road's user looks at and where it points, in the windows as they
// are drawn: rows of the outlines and lists, the texts their cells show, the
// points of rows, disclosure marks and tick boxes. Main thread only.
#pragma once

#include <QPoint>
#include <QString>
#include <QStringList>

#include <vector>

class DiskVolumeNodeData;
class KitOutlineView;
class CustomTableView;
class KVDeletailWindowController;
class KVSelectDiskViewController;
class OpNodeData;

namespace roadlook {

// The disk page's disk row named `name`, or null.
DiskVolumeNodeData* DiskRow(KVSelectDiskViewController* page, const QString& name);
// The text of a disk-page column ("Size", "FileSystem") for `row`.
QString DiskColumn(KVSelectDiskViewController* page, const char* column, DiskVolumeNodeData* row);

// The middle of `item`'s row, scrolled into view; its disclosure mark; the
// tick box drawn in its first cell. A null point when the row is not shown.
QPoint RowPoint(KitOutlineView* outline, void* item);
QPoint DisclosurePoint(KitOutlineView* outline, void* item);
QPoint TickPoint(KitOutlineView* outline, void* item);
// The tick box of row `row` of a file list.
QPoint FileTickPoint(CustomTableView* table, int row);

// The label a results-window tree row shows ("Pictures(4)" in the type and
// date trees, the name in the folder tree).
QString RowLabel(KVDeletailWindowController& window, KitOutlineView* outline, OpNodeData* row);
// The rows of the shown tree, depth first (what the outline lists once every
// row is open); `depths` receives each row's depth from 0.
std::vector<OpNodeData*> TreeRows(KVDeletailWindowController& window, std::vector<int>* depths = nullptr);
// The tree row whose labels from the top are `path`, or null.
OpNodeData* RowAt(KVDeletailWindowController& window, const QStringList& path);
// The files the list shows now, one line each: path as the Path column
// shows it, "deleted" or "live", size in bytes, modification time (Unix
// seconds); and the row of the file named `name` (-1 when not listed).
QStringList FileLines(KVDeletailWindowController& window);
int FileRow(KVDeletailWindowController& window, const QString& name);

}  // namespace roadlook
