#pragma once
// Where a window restored from saved geometry goes, so that it can always be
// seen again after a screen was removed or the scale changed.

#include <QList>
#include <QRect>

// The saved geometry, as it is when it overlaps some work area (or there is no
// work area, or the size is not positive); otherwise moved fully onto the
// nearest work area (the first of equally near ones), keeping its size where
// it fits and shrinking it to the area where it does not. Any stored values
// are taken, however far out.
QRect PlaceOnScreens(int Left, int Top, int Width, int Height, const QList<QRect>& WorkAreas);

// The work areas of the screens now attached, the primary screen first.
QList<QRect> ScreenWorkAreas();
