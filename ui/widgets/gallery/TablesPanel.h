// The gallery's panel of outline views and tables, as the disk page and the
// results window will use them.
#pragma once

class QWidget;

// A new top-level panel; the caller owns it.
QWidget* TablesPanel();
