// The screen as the user sees it, cut to the application's windows: on a
// real X server the server's own picture of it; on the offscreen platform,
// which keeps no screen, each shown window painted where it stands, the
// windows the user works in first and the small windows, dialogs and menus
// over them. Main thread only.
#pragma once

#include <QImage>

QImage ScreenAsSeen();
