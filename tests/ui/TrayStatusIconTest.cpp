#include "ui/TrayStatusIcon.h"

#include <QColor>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Pixmaps need a GUI application: the widget tests' environment gives one.

QImage Pixels(TTrayState State, int Count, int Size) {
    return TrayStatusIcon(State, Count)
        .pixmap(Size)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32);
}

bool SaturatedRed(const QColor& c) {
    return c.alpha() > 200 && c.red() > 170 && c.green() < 90 && c.blue() < 90;
}

int CountInLowerRight(const QImage& Image, auto Pred) {
    int n = 0;
    for (int y = Image.height() / 2; y < Image.height(); ++y)
        for (int x = Image.width() / 2; x < Image.width(); ++x)
            n += Pred(Image.pixelColor(x, y)) ? 1 : 0;
    return n;
}

// The icon as a panel without colour shows it.
QImage GreyOn(const QImage& Icon, const QColor& Panel) {
    QImage out(Icon.size(), QImage::Format_ARGB32);
    out.fill(Panel);
    QPainter(&out).drawImage(0, 0, Icon);
    return out.convertToFormat(QImage::Format_Grayscale8);
}

double MeanDifference(const QImage& A, const QImage& B) {
    double sum = 0;
    for (int y = 0; y < A.height(); ++y)
        for (int x = 0; x < A.width(); ++x)
            sum += std::abs(qGray(A.pixel(x, y)) - qGray(B.pixel(x, y)));
    return sum / (A.width() * A.height());
}

TEST(TrayStatusIcon, OnlyDownShowsRedAndOnlyInTheLowerRight) {
    for (int size : {16, 48}) {
        SCOPED_TRACE(size);
        const int quarter = size * size / 4;
        const QImage down = Pixels(TTrayState::Down, 3, size);
        ASSERT_EQ(down.width(), size);
        EXPECT_GT(CountInLowerRight(down, SaturatedRed), quarter / 5);
        EXPECT_EQ(CountInLowerRight(Pixels(TTrayState::Up, 3, size), SaturatedRed), 0);
        const QImage stopped = Pixels(TTrayState::Stopped, 3, size);
        int coloured = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const QColor c = stopped.pixelColor(x, y);
                coloured += c.alpha() > 0 && c.hsvSaturation() > 24 ? 1 : 0;
            }
        EXPECT_EQ(coloured, 0);
    }
}

TEST(TrayStatusIcon, StatesDifferWithoutColourAt16Pixels) {
    const QImage up = Pixels(TTrayState::Up, 0, 16);
    const QImage down = Pixels(TTrayState::Down, 1, 16);
    const QImage stopped = Pixels(TTrayState::Stopped, 0, 16);
    for (const QColor& panel : {QColor(0xef, 0xef, 0xef), QColor(0x2b, 0x2b, 0x2b)}) {
        SCOPED_TRACE(panel.name().toStdString());
        const QImage u = GreyOn(up, panel), d = GreyOn(down, panel), s = GreyOn(stopped, panel);
        EXPECT_GT(MeanDifference(u, d), 12.0);
        EXPECT_GT(MeanDifference(u, s), 12.0);
        EXPECT_GT(MeanDifference(d, s), 12.0);
    }
}

TEST(TrayStatusIcon, DrawnOncePerCountShown) {
    EXPECT_EQ(TrayStatusIcon(TTrayState::Down, 3).cacheKey(),
              TrayStatusIcon(TTrayState::Down, 3).cacheKey());
    EXPECT_NE(Pixels(TTrayState::Down, 3, 16), Pixels(TTrayState::Down, 4, 16));
    EXPECT_NE(Pixels(TTrayState::Down, 42, 22), Pixels(TTrayState::Down, 43, 22));
    // Beyond what any size shows, and for the states without a count, one icon.
    EXPECT_EQ(TrayStatusIcon(TTrayState::Down, 150).cacheKey(),
              TrayStatusIcon(TTrayState::Down, 1000).cacheKey());
    EXPECT_EQ(TrayStatusIcon(TTrayState::Up, 0).cacheKey(),
              TrayStatusIcon(TTrayState::Up, 5).cacheKey());
}

} // namespace
