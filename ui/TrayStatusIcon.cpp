#include "ui/TrayStatusIcon.h"

#include "ui/Images.h"

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>

namespace {

constexpr std::array<int, 8> Sizes = {16, 22, 24, 32, 44, 48, 64, 96};

// Counts above this share one picture.
constexpr int MaxShown = 99;

const QColor Edge(0x1a, 0x1a, 0x1a);
const QColor Ring(0xff, 0xff, 0xff);
const QColor Red(0xe0, 0x1b, 0x1b);

// The badge's characters in a 3 by 5 pixel font (5 rows, the top first; bit
// 2 is the left column), drawn as whole pixels, so they stay sharp at 16
// pixels and need no font on the system.
struct TGlyph {
    int Width;
    std::array<std::uint8_t, 5> Rows;
};

TGlyph Glyph(QChar Char) {
    static constexpr std::array<TGlyph, 10> digits = {{
        {3, {7, 5, 5, 5, 7}}, // 0
        {3, {2, 6, 2, 2, 7}}, // 1
        {3, {7, 1, 7, 4, 7}}, // 2
        {3, {7, 1, 3, 1, 7}}, // 3
        {3, {5, 5, 7, 1, 1}}, // 4
        {3, {7, 4, 7, 1, 7}}, // 5
        {3, {7, 4, 7, 5, 7}}, // 6
        {3, {7, 1, 1, 2, 2}}, // 7
        {3, {7, 5, 7, 5, 7}}, // 8
        {3, {7, 5, 7, 1, 7}}, // 9
    }};
    if (Char.isDigit())
        return digits[Char.digitValue()];
    if (Char == u'+')
        return {3, {0, 2, 7, 2, 0}};
    return {1, {1, 1, 1, 0, 1}}; // !
}

int TextWidth(const QString& Text) {
    int width = -1;
    for (QChar c : Text)
        width += Glyph(c).Width + 1;
    return width;
}

void DrawText(QPainter& Painter, const QString& Text, int Left, int Top, int Scale,
              const QColor& Colour) {
    for (QChar c : Text) {
        const TGlyph glyph = Glyph(c);
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < glyph.Width; ++col)
                if ((glyph.Rows[row] >> (glyph.Width - 1 - col) & 1) != 0)
                    Painter.fillRect(Left + col * Scale, Top + row * Scale, Scale, Scale, Colour);
        Left += (glyph.Width + 1) * Scale;
    }
}

QString BadgeText(int Count, int Pixels) {
    if (Count < 1)
        return QStringLiteral("!");
    if (Count <= 9 || (Pixels >= 22 && Count <= MaxShown))
        return QString::number(Count);
    return Pixels >= 32 ? QStringLiteral("99+") : QStringLiteral("!");
}

// A pill in the lower right corner, round when the text allows: a dark
// edge, a white ring and the fill, so it stands out from any panel and from
// the icon beneath; its outline breaking the icon's circle shows it without
// colour.
QRectF DrawBadge(QPainter& Painter, int Pixels, qreal Height, qreal MinWidth, const QColor& Fill) {
    const qreal edge = std::max(1.0, Pixels / 24.0);
    const qreal ring = std::max(1.0, Pixels / 20.0);
    const qreal width = std::max(Height, MinWidth + 2 * (edge + ring));
    QRectF r(Pixels - width, Pixels - Height, width, Height);
    Painter.setPen(Qt::NoPen);
    for (const auto& [colour, inset] :
         {std::pair{Edge, 0.0}, std::pair{Ring, edge}, std::pair{Fill, edge + ring}}) {
        const QRectF part = r.adjusted(inset, inset, -inset, -inset);
        Painter.setBrush(colour);
        Painter.drawRoundedRect(part, part.height() / 2, part.height() / 2);
    }
    const qreal inset = edge + ring;
    return r.adjusted(inset, inset, -inset, -inset);
}

void DrawDown(QPainter& Painter, int Pixels, int Count) {
    const QString text = BadgeText(Count, Pixels);
    const qreal height = std::max(11.0, std::round(Pixels * 0.62));
    const int scale = std::max(1, int(height * 0.55 / 5));
    const int textWidth = TextWidth(text) * scale;
    const QRectF inside = DrawBadge(Painter, Pixels, height, textWidth + 2 * scale, Red);
    const QPointF centre = inside.center();
    DrawText(Painter, text, qRound(centre.x() - textWidth / 2.0), qRound(centre.y() - 2.5 * scale),
             scale, Qt::white);
}

// Grey and faded, like a disabled button's image.
void Grey(QImage& Image) {
    for (int y = 0; y < Image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(Image.scanLine(y));
        for (int x = 0; x < Image.width(); ++x) {
            const QRgb c = qUnpremultiply(line[x]);
            const int g = 150 + (qGray(c) - 150) / 2;
            line[x] = qPremultiply(qRgba(g, g, g, qAlpha(c) * 7 / 10));
        }
    }
}

// A pause mark in the lower right: two dark bars on a light plate, which
// reads on either panel.
void DrawStopped(QPainter& Painter, int Pixels) {
    const qreal scale = Pixels / 16.0;
    const int halo = std::max(1, qRound(scale));
    const int bar = qRound(2 * scale);
    const int height = qRound(6.5 * scale);
    const int left = Pixels - halo - 3 * bar;
    const int top = Pixels - halo - height;
    Painter.setPen(Qt::NoPen);
    Painter.setBrush(QColor(0xf4, 0xf4, 0xf4));
    Painter.drawRoundedRect(QRectF(left - halo, top - halo, 3 * bar + 2 * halo, height + 2 * halo),
                            halo, halo);
    Painter.fillRect(left, top, bar, height, Edge);
    Painter.fillRect(left + 2 * bar, top, bar, height, Edge);
}

QPixmap Draw(TTrayState State, int Count, int Pixels) {
    QImage image = images::ProgramPixmap(Pixels).toImage().convertToFormat(
        QImage::Format_ARGB32_Premultiplied);
    if (State == TTrayState::Stopped)
        Grey(image);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (State == TTrayState::Down)
        DrawDown(painter, Pixels, Count);
    else if (State == TTrayState::Stopped)
        DrawStopped(painter, Pixels);
    painter.end();
    return QPixmap::fromImage(image);
}

} // namespace

QIcon TrayStatusIcon(TTrayState State, int DownCount) {
    const int shown = State != TTrayState::Down ? 0 : std::clamp(DownCount, 0, MaxShown + 1);
    static std::map<std::pair<TTrayState, int>, QIcon> cache;
    auto [entry, added] = cache.try_emplace({State, shown});
    if (added)
        for (int size : Sizes)
            entry->second.addPixmap(Draw(State, shown, size));
    return entry->second;
}
