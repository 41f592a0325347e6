#include "ui/WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace {

// Edges as 64-bit numbers: a stored left of 2147483647 plus a width does not
// fit an int.
struct TSpan {
    qint64 Begin;
    qint64 End; // one past the last pixel
};

qint64 Gap(TSpan A, TSpan B) {
    return std::max<qint64>({0, B.Begin - A.End, A.Begin - B.End});
}

qint64 GapSquared(TSpan X, TSpan Y, const QRect& Area) {
    const qint64 dx = Gap(X, {Area.left(), qint64{Area.left()} + Area.width()});
    const qint64 dy = Gap(Y, {Area.top(), qint64{Area.top()} + Area.height()});
    return dx * dx + dy * dy;
}

bool Overlaps(TSpan A, TSpan B) {
    return A.Begin < B.End && B.Begin < A.End;
}

} // namespace

QRect PlaceOnScreens(int Left, int Top, int Width, int Height, const QList<QRect>& WorkAreas) {
    const QRect saved(Left, Top, Width, Height);
    if (WorkAreas.isEmpty() || Width <= 0 || Height <= 0)
        return saved;
    const TSpan x{Left, qint64{Left} + Width};
    const TSpan y{Top, qint64{Top} + Height};
    for (const QRect& area : WorkAreas)
        if (Overlaps(x, {area.left(), qint64{area.left()} + area.width()}) &&
            Overlaps(y, {area.top(), qint64{area.top()} + area.height()}))
            return saved;
    const QRect* nearest = &WorkAreas.first();
    for (const QRect& area : WorkAreas)
        if (GapSquared(x, y, area) < GapSquared(x, y, *nearest))
            nearest = &area;
    const int width = std::min(Width, nearest->width());
    const int height = std::min(Height, nearest->height());
    const int left = std::clamp(Left, nearest->left(), nearest->left() + nearest->width() - width);
    const int top = std::clamp(Top, nearest->top(), nearest->top() + nearest->height() - height);
    return {left, top, width, height};
}

QList<QRect> ScreenWorkAreas() {
    QList<QRect> areas;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (primary != nullptr)
        areas.append(primary->availableGeometry());
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen != primary)
            areas.append(screen->availableGeometry());
    return areas;
}
