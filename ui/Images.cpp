#include "ui/Images.h"

#include <QColor>
#include <QConicalGradient>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>

#include <array>
#include <cstddef>

namespace images {

namespace {

// Every drawing works in a 16 by 16 unit box; Render scales it to the pixels
// wanted, so the same code serves 16 px, the 2x forms and the larger program
// icons.
using DrawFn = void (*)(QPainter&);

constexpr int Base = 16;

QPixmap Render(DrawFn Draw, int LogicalSize = Base, qreal Ratio = 1.0) {
    const int px = qRound(LogicalSize * Ratio);
    QImage img(px, px, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(qreal(px) / Base, qreal(px) / Base);
        Draw(p);
    }
    QPixmap pm = QPixmap::fromImage(img);
    pm.setDevicePixelRatio(Ratio);
    return pm;
}

// Greyed and faded, the way a disabled toolbar button shows its image: the
// grey keeps the shape's light and dark parts but with less contrast, and the
// whole image is half transparent.
QPixmap Disable(const QPixmap& Source) {
    QImage img = Source.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = line[x];
            const int a = qAlpha(c);
            if (a == 0)
                continue;
            const int g = 120 + (qGray(c) - 120) * 6 / 10;
            line[x] = qRgba(g, g, g, (a * 55 + 99) / 100); // nothing drawn vanishes
        }
    }
    QPixmap pm = QPixmap::fromImage(img);
    pm.setDevicePixelRatio(Source.devicePixelRatio());
    return pm;
}

// ---- shared pieces -------------------------------------------------------

QPen Outline(const QColor& c, qreal Width = 1.0) {
    QPen pen(c, Width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

QLinearGradient Vertical(qreal Top, qreal Bottom, const QColor& A, const QColor& B) {
    QLinearGradient g(0, Top, 0, Bottom);
    g.setColorAt(0, A);
    g.setColorAt(1, B);
    return g;
}

QLinearGradient Horizontal(qreal Left, qreal Right, const QColor& A, const QColor& B) {
    QLinearGradient g(Left, 0, Right, 0);
    g.setColorAt(0, A);
    g.setColorAt(1, B);
    return g;
}

// A coloured stroke inside a dark rim, so it reads on light and dark panels.
void RimmedStroke(QPainter& p, const QPainterPath& Path, const QColor& Fill, const QColor& Rim,
                  qreal Width) {
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(Rim, Width + 1.6));
    p.drawPath(Path);
    p.setPen(Outline(Fill, Width));
    p.drawPath(Path);
}

// A question mark drawn as strokes, independent of the fonts installed.
void QuestionMark(QPainter& p, const QColor& Color, qreal Width) {
    QPainterPath hook;
    hook.moveTo(5.55, 6.1);
    hook.cubicTo(5.55, 3.0, 10.6, 3.0, 10.6, 5.9);
    hook.cubicTo(10.6, 7.6, 8.0, 7.9, 8.0, 9.9);
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(Color, Width));
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(Color);
    p.drawEllipse(QPointF(8.0, 12.4), Width * 0.62, Width * 0.62);
}

// ---- status lamps ---------------------------------------------------------

enum class Mark { None, Check, Cross, Bang };

void Lamp(QPainter& p, const QColor& Color, const QColor& Rim, Mark M, const QColor& MarkColor) {
    const QPointF c(8, 8);
    QRadialGradient g(c, 7.0, QPointF(6.2, 5.6));
    g.setColorAt(0.0, Color.lighter(165));
    g.setColorAt(0.55, Color);
    g.setColorAt(1.0, Color.darker(135));
    p.setPen(Outline(Rim));
    p.setBrush(g);
    p.drawEllipse(c, 6.6, 6.6);

    // The mark tells the lamps apart without relying on hue.
    QPainterPath path;
    switch (M) {
    case Mark::None:
        break;
    case Mark::Check:
        path.moveTo(5.2, 8.2);
        path.lineTo(7.2, 10.2);
        path.lineTo(10.9, 5.9);
        break;
    case Mark::Cross:
        path.moveTo(5.7, 5.7);
        path.lineTo(10.3, 10.3);
        path.moveTo(10.3, 5.7);
        path.lineTo(5.7, 10.3);
        break;
    case Mark::Bang:
        path.moveTo(8, 4.6);
        path.lineTo(8, 8.6);
        break;
    }
    if (!path.isEmpty()) {
        p.setBrush(Qt::NoBrush);
        p.setPen(Outline(MarkColor, 1.7));
        p.drawPath(path);
    }
    if (M == Mark::Bang) {
        p.setPen(Qt::NoPen);
        p.setBrush(MarkColor);
        p.drawEllipse(QPointF(8, 11.0), 1.0, 1.0);
    }
    if (M == Mark::None) {
        // An unlit lamp keeps only a small reflection of the room.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 120));
        p.drawEllipse(QPointF(6.0, 5.5), 1.9, 1.3);
    }
}

// Each mark takes the stronger contrast against its lamp: dark on the light
// green and yellow, white on the darker red.
void LampOffDraw(QPainter& p) {
    Lamp(p, QColor(0x58, 0x58, 0x58), QColor(0x14, 0x14, 0x14), Mark::None, {});
}
void LampGreenDraw(QPainter& p) {
    const QColor rim(0x0b, 0x3d, 0x0b);
    Lamp(p, QColor(0x3c, 0xd0, 0x3c), rim, Mark::Check, rim);
}
void LampRedDraw(QPainter& p) {
    Lamp(p, QColor(0xe8, 0x2c, 0x22), QColor(0x40, 0x06, 0x06), Mark::Cross, Qt::white);
}
void LampYellowDraw(QPainter& p) {
    const QColor rim(0x4a, 0x36, 0x00);
    Lamp(p, QColor(0xff, 0xd6, 0x1a), rim, Mark::Bang, rim);
}

// ---- device types ---------------------------------------------------------

const QColor Ink(0x2a, 0x2a, 0x2a);

void ComputerDraw(QPainter& p) {
    // stand
    p.setPen(Outline(Ink));
    p.setBrush(Vertical(11, 15, QColor(0xe4, 0xe4, 0xe4), QColor(0xa0, 0xa0, 0xa0)));
    p.drawRect(QRectF(6.5, 11.0, 3, 2.5));
    p.drawRoundedRect(QRectF(3.5, 13.0, 9, 2.5), 1, 1);
    // bezel
    p.setBrush(Vertical(1, 12, QColor(0xec, 0xec, 0xec), QColor(0xa8, 0xa8, 0xa8)));
    p.drawRoundedRect(QRectF(0.5, 1.5, 15, 10), 1.2, 1.2);
    // screen
    p.setPen(Outline(QColor(0x1c, 0x30, 0x58)));
    p.setBrush(Vertical(3, 10, QColor(0x8c, 0xc4, 0xff), QColor(0x22, 0x5c, 0xc0)));
    p.drawRect(QRectF(2.5, 3.5, 11, 6));
    // glare
    QPainterPath glare;
    glare.moveTo(3, 4);
    glare.lineTo(8, 4);
    glare.lineTo(3, 8);
    glare.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawPath(glare);
}

void ServerDraw(QPainter& p) {
    p.setPen(Outline(Ink));
    p.setBrush(Horizontal(3, 13, QColor(0xf0, 0xf0, 0xf0), QColor(0x9a, 0x9a, 0x9a)));
    p.drawRoundedRect(QRectF(3.5, 0.5, 9, 15), 1.2, 1.2);
    // drive bays
    p.setPen(Outline(QColor(0x30, 0x30, 0x30)));
    p.setBrush(Vertical(2, 7, QColor(0x6a, 0x6a, 0x6a), QColor(0x40, 0x40, 0x40)));
    p.drawRect(QRectF(5.5, 2.5, 5, 1.5));
    p.drawRect(QRectF(5.5, 5.5, 5, 1.5));
    // vents
    p.setPen(Outline(QColor(0x55, 0x55, 0x55), 0.9));
    for (qreal y : {9.5, 11.0})
        p.drawLine(QPointF(6.0, y), QPointF(10.0, y));
    // power light
    p.setPen(Outline(QColor(0x0b, 0x3d, 0x0b), 0.8));
    p.setBrush(QColor(0x4c, 0xe0, 0x4c));
    p.drawEllipse(QPointF(8.0, 13.3), 1.0, 1.0);
}

void PrinterDraw(QPainter& p) {
    // paper waiting at the back
    p.setPen(Outline(Ink));
    p.setBrush(QColor(0xff, 0xff, 0xff));
    p.drawRect(QRectF(3.5, 0.5, 9, 6));
    // body
    p.setBrush(Vertical(5, 13, QColor(0xe8, 0xe8, 0xe8), QColor(0x8a, 0x8a, 0x8a)));
    p.drawRoundedRect(QRectF(0.5, 5.5, 15, 7), 1.5, 1.5);
    // printed page coming out at the front
    p.setBrush(QColor(0xff, 0xff, 0xff));
    p.drawRect(QRectF(3.5, 10.5, 9, 5));
    p.setPen(Outline(QColor(0x70, 0x70, 0x70), 0.9));
    p.drawLine(QPointF(5.0, 12.5), QPointF(11.0, 12.5));
    p.drawLine(QPointF(5.0, 14.0), QPointF(9.5, 14.0));
    // ready light
    p.setPen(Outline(QColor(0x0b, 0x3d, 0x0b), 0.8));
    p.setBrush(QColor(0x4c, 0xe0, 0x4c));
    p.drawEllipse(QPointF(13.0, 8.0), 0.9, 0.9);
}

void RouterDraw(QPainter& p) {
    const QPointF c(8, 8);
    const qreal r = 6.8;
    QRadialGradient g(c, r, QPointF(6, 5.5));
    g.setColorAt(0.0, QColor(0xa8, 0xd8, 0xff));
    g.setColorAt(0.6, QColor(0x3a, 0x86, 0xe0));
    g.setColorAt(1.0, QColor(0x1a, 0x4c, 0x98));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(c, r, r);

    // meridians and parallels, the network lines around the world
    p.save();
    QPainterPath clip;
    clip.addEllipse(c, r, r);
    p.setClipPath(clip);
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(255, 255, 255, 200), 0.9));
    p.drawEllipse(c, 2.9, r);
    p.drawLine(QPointF(8, 0), QPointF(8, 16));
    p.drawLine(QPointF(0, 8), QPointF(16, 8));
    p.drawLine(QPointF(0, 4.6), QPointF(16, 4.6));
    p.drawLine(QPointF(0, 11.4), QPointF(16, 11.4));
    p.restore();

    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(0x0c, 0x26, 0x50)));
    p.drawEllipse(c, r, r);
}

void BridgeDraw(QPainter& p) {
    // cable leaving the plug and bending away
    QPainterPath cable;
    cable.moveTo(8, 11.5);
    cable.cubicTo(8, 15, 5, 14.5, 1.2, 14.6);
    RimmedStroke(p, cable, QColor(0x3a, 0x86, 0xe0), QColor(0x0c, 0x26, 0x50), 2.2);
    // strain relief
    p.setPen(Outline(QColor(0x0c, 0x26, 0x50)));
    p.setBrush(Horizontal(5, 11, QColor(0x7a, 0xb6, 0xf4), QColor(0x2a, 0x6c, 0xc8)));
    p.drawRoundedRect(QRectF(5.5, 9.5, 5, 3), 0.8, 0.8);
    // plug body, clear plastic
    p.setPen(Outline(Ink));
    p.setBrush(Vertical(1, 10, QColor(0xf6, 0xf8, 0xfa), QColor(0xb4, 0xbe, 0xca)));
    p.drawRect(QRectF(3.5, 1.5, 9, 8));
    // gold contacts along the tip
    p.setPen(Outline(QColor(0xc8, 0x90, 0x10), 0.9));
    for (qreal x : {5.5, 7.0, 8.5, 10.0})
        p.drawLine(QPointF(x + 0.25, 2.7), QPointF(x + 0.25, 5.0));
    // latch
    p.setPen(Outline(Ink, 0.9));
    p.drawLine(QPointF(5.5, 7.5), QPointF(10.5, 7.5));
}

void InterfaceDraw(QPainter& p) {
    const QColor board(0x2e, 0x9a, 0x50);
    const QColor boardRim(0x0a, 0x38, 0x18);
    // edge connector tab with its gold fingers
    p.setPen(Outline(boardRim));
    p.setBrush(board.darker(115));
    p.drawRect(QRectF(5.5, 10.5, 9, 3.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf0, 0xc0, 0x30));
    for (qreal x : {6.5, 8.5, 10.5, 12.5})
        p.drawRect(QRectF(x, 11.5, 1.1, 2.2));
    // board
    p.setPen(Outline(boardRim));
    p.setBrush(Vertical(2, 11, board.lighter(125), board.darker(110)));
    p.drawRect(QRectF(3.5, 2.5, 12, 8.5));
    // chip
    p.setPen(Outline(QColor(0x0a, 0x0a, 0x0a), 0.8));
    p.setBrush(QColor(0x2a, 0x2a, 0x2a));
    p.drawRect(QRectF(8.0, 4.0, 4.5, 4.5));
    // metal bracket with the socket
    p.setPen(Outline(Ink));
    p.setBrush(Horizontal(0, 4, QColor(0xf0, 0xf0, 0xf0), QColor(0xa0, 0xa0, 0xa0)));
    p.drawRect(QRectF(0.5, 0.5, 3, 15));
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(1.2, 4.0, 1.6, 3.5));
}

void UnknownDraw(QPainter& p) {
    p.setPen(Outline(QColor(0x44, 0x44, 0x44)));
    p.setBrush(Vertical(2, 14, QColor(0xf4, 0xf4, 0xf4), QColor(0xb8, 0xb8, 0xb8)));
    p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 2, 2);
    QuestionMark(p, QColor(0x4a, 0x4a, 0x4a), 1.9);
}

// ---- actions --------------------------------------------------------------

void PauseDraw(QPainter& p) {
    p.setPen(Outline(QColor(0x0e, 0x2c, 0x60)));
    p.setBrush(Vertical(2, 14, QColor(0x7c, 0xb8, 0xff), QColor(0x1e, 0x5a, 0xc4)));
    p.drawRoundedRect(QRectF(3.5, 2.5, 3.5, 11), 0.8, 0.8);
    p.drawRoundedRect(QRectF(9.0, 2.5, 3.5, 11), 0.8, 0.8);
}

void PlayDraw(QPainter& p) {
    QPolygonF tri;
    tri << QPointF(3.5, 2.0) << QPointF(13.5, 8.0) << QPointF(3.5, 14.0);
    p.setPen(Outline(QColor(0x0c, 0x46, 0x0c)));
    p.setBrush(Vertical(2, 14, QColor(0x80, 0xe8, 0x70), QColor(0x1c, 0x96, 0x1c)));
    p.drawPolygon(tri);
}

// A sheet with a folded corner and a few lines of text.
void Page(QPainter& p, qreal Left) {
    const qreal right = Left + 10.5;
    QPainterPath sheet;
    sheet.moveTo(Left, 0.5);
    sheet.lineTo(right - 3.5, 0.5);
    sheet.lineTo(right, 4.0);
    sheet.lineTo(right, 15.5);
    sheet.lineTo(Left, 15.5);
    sheet.closeSubpath();
    p.setPen(Outline(QColor(0x3c, 0x3c, 0x3c)));
    p.setBrush(Vertical(0, 16, QColor(0xff, 0xff, 0xff), QColor(0xe0, 0xe0, 0xe0)));
    p.drawPath(sheet);

    QPainterPath fold;
    fold.moveTo(right - 3.5, 0.5);
    fold.lineTo(right - 3.5, 4.0);
    fold.lineTo(right, 4.0);
    p.setBrush(QColor(0xc8, 0xc8, 0xc8));
    p.drawPath(fold);

    p.setPen(Outline(QColor(0x90, 0x90, 0x90), 1.0));
    for (qreal y : {6.5, 9.0, 11.5})
        p.drawLine(QPointF(Left + 2.0, y), QPointF(right - 2.0, y));
}

void OptionsDraw(QPainter& p) {
    Page(p, 1.5);
    QPainterPath check;
    check.moveTo(6.6, 10.6);
    check.lineTo(9.2, 13.2);
    check.lineTo(14.2, 6.6);
    RimmedStroke(p, check, QColor(0x3c, 0xc8, 0x3c), QColor(0x0b, 0x40, 0x0b), 2.2);
}

void ViewLogDraw(QPainter& p) {
    Page(p, 0.5);
    // handle
    QPainterPath handle;
    handle.moveTo(12.0, 12.0);
    handle.lineTo(14.6, 14.6);
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(0x20, 0x20, 0x20), 3.0));
    p.drawPath(handle);
    p.setPen(Outline(QColor(0x9a, 0x5a, 0x20), 1.4));
    p.drawPath(handle);
    // lens
    const QPointF c(9.6, 9.6);
    QRadialGradient glass(c, 3.2, QPointF(8.6, 8.6));
    glass.setColorAt(0, QColor(0xff, 0xff, 0xff, 240));
    glass.setColorAt(1, QColor(0xa6, 0xd4, 0xff, 240));
    p.setPen(Outline(QColor(0x20, 0x20, 0x20), 1.6));
    p.setBrush(glass);
    p.drawEllipse(c, 3.4, 3.4);
}

void HelpDraw(QPainter& p) {
    const QPointF c(8, 8);
    QRadialGradient g(c, 7.0, QPointF(6, 5));
    g.setColorAt(0.0, QColor(0x8c, 0xc4, 0xff));
    g.setColorAt(0.6, QColor(0x2e, 0x74, 0xd8));
    g.setColorAt(1.0, QColor(0x1a, 0x4a, 0xa0));
    p.setPen(Outline(QColor(0x0c, 0x26, 0x56)));
    p.setBrush(g);
    p.drawEllipse(c, 7.0, 7.0);
    QuestionMark(p, Qt::white, 2.0);
}

// A page with an arrow coming in from the left: hosts brought into the list.
void ImportDraw(QPainter& p) {
    Page(p, 5.0);
    QPolygonF arrow;
    arrow << QPointF(0.8, 7.2) << QPointF(5.6, 7.2) << QPointF(5.6, 4.4) << QPointF(10.4, 9.0)
          << QPointF(5.6, 13.6) << QPointF(5.6, 10.8) << QPointF(0.8, 10.8);
    p.setPen(Outline(QColor(0x0e, 0x2c, 0x60)));
    p.setBrush(Vertical(4, 14, QColor(0x7c, 0xb8, 0xff), QColor(0x1e, 0x5a, 0xc4)));
    p.drawPolygon(arrow);
}

// ---- program icon ---------------------------------------------------------

// A radar screen with its sweeping beam, and a green lamp in the corner.
// Outlines grow more slowly than the icon, so the large sizes do not look
// heavy-handed.
void ProgramDraw(QPainter& p) {
    const qreal scale = p.transform().m11();
    const qreal line = (1.0 + (scale - 1.0) * 0.5) / scale;
    const QPointF c(7.0, 7.0);
    // bezel
    p.setPen(Outline(QColor(0x1a, 0x1a, 0x1a), line));
    p.setBrush(Vertical(0, 14, QColor(0xf4, 0xf4, 0xf4), QColor(0x90, 0x90, 0x90)));
    p.drawEllipse(c, 6.5, 6.5);
    // screen
    QRadialGradient screen(c, 5.2);
    screen.setColorAt(0, QColor(0x1c, 0x7c, 0x40));
    screen.setColorAt(1, QColor(0x06, 0x30, 0x16));
    p.setPen(Outline(QColor(0x10, 0x10, 0x10), line * 0.8));
    p.setBrush(screen);
    p.drawEllipse(c, 5.0, 5.0);
    // range ring and cross hairs
    p.setBrush(Qt::NoBrush);
    p.setPen(Outline(QColor(0x70, 0xf0, 0x90, 120), line * 0.7));
    p.drawEllipse(c, 2.6, 2.6);
    p.drawLine(QPointF(2.3, 7.0), QPointF(11.7, 7.0));
    p.drawLine(QPointF(7.0, 2.3), QPointF(7.0, 11.7));
    // the beam, bright at its leading edge and fading behind it
    QConicalGradient beam(c, 60);
    beam.setColorAt(0.0, QColor(0xa0, 0xff, 0xb0, 230));
    beam.setColorAt(0.28, QColor(0x60, 0xf0, 0x80, 0));
    beam.setColorAt(1.0, QColor(0x60, 0xf0, 0x80, 0));
    QPainterPath wedge;
    wedge.moveTo(c);
    wedge.arcTo(QRectF(c.x() - 4.9, c.y() - 4.9, 9.8, 9.8), 60, 100);
    wedge.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(beam);
    p.drawPath(wedge);
    p.setPen(Outline(QColor(0xc0, 0xff, 0xcc), line * 0.9));
    p.drawLine(c, c + QPointF(4.8 * 0.5, -4.8 * 0.866));
    // a blip behind the beam
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe0, 0xff, 0xe6));
    p.drawEllipse(QPointF(5.0, 4.3), 0.75, 0.75);
    // the lamp
    const QPointF l(12.3, 12.3);
    QRadialGradient lamp(l, 3.4, QPointF(11.3, 11.3));
    lamp.setColorAt(0.0, QColor(0xc8, 0xff, 0xc0));
    lamp.setColorAt(0.5, QColor(0x3c, 0xd0, 0x3c));
    lamp.setColorAt(1.0, QColor(0x1c, 0x90, 0x1c));
    p.setPen(Outline(QColor(0x0b, 0x3d, 0x0b), line));
    p.setBrush(lamp);
    p.drawEllipse(l, 3.2, 3.2);
}

constexpr std::array<DrawFn, SmallImageCount> SmallDraws = {
    LampOffDraw, LampGreenDraw, LampRedDraw, LampYellowDraw, ComputerDraw, ServerDraw,
    PrinterDraw, RouterDraw,    BridgeDraw,  InterfaceDraw,  UnknownDraw,
};

constexpr std::array<DrawFn, ActionImageCount> ActionDraws = {
    PauseDraw, PlayDraw, OptionsDraw, ViewLogDraw, HelpDraw, ImportDraw,
};

template <std::size_t N>
std::array<QPixmap, N> RenderAll(const std::array<DrawFn, N>& Draws, qreal Ratio) {
    std::array<QPixmap, N> out;
    for (std::size_t i = 0; i < N; ++i)
        out[i] = Render(Draws[i], Base, Ratio);
    return out;
}

// Caches, filled on first use; images are made and used on the GUI thread only.
const std::array<QPixmap, SmallImageCount>& SmallCache() {
    static const auto cache = RenderAll(SmallDraws, 1.0);
    return cache;
}

const std::array<QPixmap, ActionImageCount>& ActionCache(qreal Ratio) {
    static const auto one = RenderAll(ActionDraws, 1.0);
    static const auto two = RenderAll(ActionDraws, 2.0);
    return Ratio > 1.0 ? two : one;
}

const std::array<QPixmap, ActionImageCount>& DisabledCache(qreal Ratio) {
    auto disable = [](const std::array<QPixmap, ActionImageCount>& Normal) {
        std::array<QPixmap, ActionImageCount> out;
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = Disable(Normal[i]);
        return out;
    };
    static const auto one = disable(ActionCache(1.0));
    static const auto two = disable(ActionCache(2.0));
    return Ratio > 1.0 ? two : one;
}

bool InRange(int Index, int Count) {
    return Index >= 0 && Index < Count;
}

} // namespace

int DeviceTypeImage(int DeviceType) {
    constexpr int KnownTypes = TypeUnknown - TypeComputer;
    return InRange(DeviceType, KnownTypes) ? DeviceType + TypeComputer : int(TypeUnknown);
}

// Out-of-range indexes give a null pixmap rather than a wrong picture.
QPixmap Small(int Index) {
    return InRange(Index, SmallImageCount) ? SmallCache()[Index] : QPixmap();
}

QPixmap Action(int Index) {
    return InRange(Index, ActionImageCount) ? ActionCache(1.0)[Index] : QPixmap();
}

QPixmap DisabledAction(int Index) {
    return InRange(Index, ActionImageCount) ? DisabledCache(1.0)[Index] : QPixmap();
}

QIcon ActionIcon(int Index) {
    if (!InRange(Index, ActionImageCount))
        return {};
    QIcon icon;
    for (qreal ratio : {1.0, 2.0}) {
        icon.addPixmap(ActionCache(ratio)[Index], QIcon::Normal);
        icon.addPixmap(DisabledCache(ratio)[Index], QIcon::Disabled);
    }
    return icon;
}

QIcon ProgramIcon() {
    static const QIcon icon = [] {
        QIcon i;
        for (int size : {16, 22, 32, 48})
            i.addPixmap(Render(ProgramDraw, size));
        return i;
    }();
    return icon;
}

QPixmap ProgramPixmap(int Size, qreal Ratio) {
    return Render(ProgramDraw, Size, Ratio);
}

} // namespace images
