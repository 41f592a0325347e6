#include "ui/Images.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

namespace {

// Pixmaps need a GUI application: the widget tests' environment gives one.

const QColor LightPanel(0xf0, 0xf0, 0xf0);
const QColor DarkPanel(0x2b, 0x2b, 0x2b);

QImage Pixels(const QPixmap& pm) {
    return pm.toImage().convertToFormat(QImage::Format_ARGB32);
}

std::vector<QPixmap> AllSmall() {
    std::vector<QPixmap> out;
    for (int i = 0; i < images::SmallImageCount; ++i)
        out.push_back(images::Small(i));
    return out;
}

std::vector<QPixmap> AllActions() {
    std::vector<QPixmap> out;
    for (int i = 0; i < images::ActionImageCount; ++i)
        out.push_back(images::Action(i));
    return out;
}

int CountPixels(const QImage& img, auto Pred) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            n += Pred(img.pixelColor(x, y)) ? 1 : 0;
    return n;
}

int TotalAlpha(const QImage& img) {
    int sum = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            sum += img.pixelColor(x, y).alpha();
    return sum;
}

// The alpha-weighted average colour of the drawn pixels.
QColor MeanColour(const QImage& img) {
    double r = 0, g = 0, b = 0, w = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            const double a = c.alphaF();
            r += c.redF() * a;
            g += c.greenF() * a;
            b += c.blueF() * a;
            w += a;
        }
    if (w == 0)
        return {};
    return QColor::fromRgbF(float(r / w), float(g / w), float(b / w));
}

double MeanSaturation(const QImage& img) {
    double s = 0, w = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            s += c.hsvSaturationF() * c.alphaF();
            w += c.alphaF();
        }
    return w == 0 ? 0 : s / w;
}

// The image as it shows on a panel of the given colour.
QImage OnPanel(const QPixmap& pm, const QColor& Panel) {
    QImage img(pm.size(), QImage::Format_ARGB32);
    img.fill(Panel);
    QPainter p(&img);
    p.drawImage(0, 0, pm.toImage());
    return img;
}

// How many pixels on the panel differ in brightness from the panel by at
// least Step of 255.
int ContrastingPixels(const QPixmap& pm, const QColor& Panel, int Step = 60) {
    const int panel = qGray(Panel.rgb());
    return CountPixels(OnPanel(pm, Panel),
                       [&](const QColor& c) { return std::abs(qGray(c.rgb()) - panel) >= Step; });
}

int DifferingPixels(const QImage& a, const QImage& b, int Tolerance) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
            const int d = std::abs(p.red() - q.red()) + std::abs(p.green() - q.green()) +
                          std::abs(p.blue() - q.blue()) + std::abs(p.alpha() - q.alpha());
            n += d > Tolerance ? 1 : 0;
        }
    return n;
}

void ExpectSixteenSquare(const QPixmap& pm, const char* What, int Index) {
    SCOPED_TRACE(testing::Message() << What << ' ' << Index);
    ASSERT_FALSE(pm.isNull());
    EXPECT_EQ(pm.size(), QSize(16, 16));
    EXPECT_EQ(pm.devicePixelRatio(), 1.0);
    const QImage img = Pixels(pm);
    // Drawn, but not a filled square either.
    EXPECT_GE(CountPixels(img, [](const QColor& c) { return c.alpha() >= 100; }), 40);
    EXPECT_GE(CountPixels(img, [](const QColor& c) { return c.alpha() == 0; }), 10);
}

// ---- every 16 px image ----------------------------------------------------

TEST(Images, SmallAndActionImagesAreSixteenPixelsAndDrawn) {
    for (int i = 0; i < images::SmallImageCount; ++i)
        ExpectSixteenSquare(images::Small(i), "small", i);
    for (int i = 0; i < images::ActionImageCount; ++i) {
        ExpectSixteenSquare(images::Action(i), "action", i);
        ExpectSixteenSquare(images::DisabledAction(i), "disabled action", i);
    }
}

TEST(Images, AreAllDifferentFromEachOther) {
    std::vector<QPixmap> all = AllSmall();
    for (const QPixmap& pm : AllActions())
        all.push_back(pm);
    for (std::size_t i = 0; i < all.size(); ++i)
        for (std::size_t j = i + 1; j < all.size(); ++j)
            EXPECT_GE(DifferingPixels(Pixels(all[i]), Pixels(all[j]), 60), 30)
                << "images " << i << " and " << j << " (actions from " << images::SmallImageCount
                << ")";
}

TEST(Images, StandOutOnLightAndDarkPanels) {
    std::vector<QPixmap> all = AllSmall();
    for (const QPixmap& pm : AllActions())
        all.push_back(pm);
    all.push_back(images::ProgramIcon().pixmap(16));
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_GE(ContrastingPixels(all[i], LightPanel), 25)
            << "image " << i << " on a light panel";
        EXPECT_GE(ContrastingPixels(all[i], DarkPanel), 25) << "image " << i << " on a dark panel";
    }
}

TEST(Images, AreDrawnOnceAndThenReused) {
    for (int i = 0; i < images::SmallImageCount; ++i)
        EXPECT_EQ(images::Small(i).cacheKey(), images::Small(i).cacheKey()) << i;
    for (int i = 0; i < images::ActionImageCount; ++i) {
        EXPECT_EQ(images::Action(i).cacheKey(), images::Action(i).cacheKey()) << i;
        EXPECT_EQ(images::DisabledAction(i).cacheKey(), images::DisabledAction(i).cacheKey()) << i;
    }
}

TEST(Images, IndexesOutOfRangeGiveNothing) {
    for (int i : {-1, int(images::SmallImageCount), INT_MAX})
        EXPECT_TRUE(images::Small(i).isNull()) << i;
    for (int i : {-1, int(images::ActionImageCount), INT_MIN}) {
        EXPECT_TRUE(images::Action(i).isNull()) << i;
        EXPECT_TRUE(images::DisabledAction(i).isNull()) << i;
        EXPECT_TRUE(images::ActionIcon(i).isNull()) << i;
    }
}

// ---- status lamps -----------------------------------------------------------

TEST(Lamps, ShowTheirColours) {
    const QColor off = MeanColour(Pixels(images::Small(images::LampOff)));
    const QColor green = MeanColour(Pixels(images::Small(images::LampGreen)));
    const QColor red = MeanColour(Pixels(images::Small(images::LampRed)));
    const QColor yellow = MeanColour(Pixels(images::Small(images::LampYellow)));

    EXPECT_LT(off.hsvSaturationF(), 0.1);
    EXPECT_GT(green.green(), green.red() + 50);
    EXPECT_GT(green.green(), green.blue() + 50);
    EXPECT_GT(red.red(), red.green() + 80);
    EXPECT_GT(red.red(), red.blue() + 80);
    EXPECT_GT(yellow.red(), 150);
    EXPECT_GT(yellow.green(), 130);
    EXPECT_LT(yellow.blue(), yellow.green() - 80);
    // The unlit lamp is the darkest one.
    for (const QColor& lit : {green, red, yellow})
        EXPECT_LT(qGray(off.rgb()), qGray(lit.rgb()));
}

// Seen in grey only, as by eyes that cannot tell red from green, the lamps
// still differ clearly.
TEST(Lamps, DifferWithoutColour) {
    std::vector<QImage> grey;
    for (int i = images::LampOff; i <= images::LampYellow; ++i)
        grey.push_back(Pixels(images::Small(i))
                           .convertToFormat(QImage::Format_Grayscale8)
                           .convertToFormat(QImage::Format_ARGB32));
    for (std::size_t i = 0; i < grey.size(); ++i)
        for (std::size_t j = i + 1; j < grey.size(); ++j)
            EXPECT_GE(DifferingPixels(grey[i], grey[j], 3 * 45), 20)
                << "lamps " << i << " and " << j;
}

// ---- device types -------------------------------------------------------------

TEST(DeviceTypeImage, KnownTypesShowTheirOwnImage) {
    const int expected[] = {images::TypeComputer, images::TypeServer, images::TypePrinter,
                            images::TypeRouter,   images::TypeBridge, images::TypeInterface};
    for (int t = 0; t < 6; ++t)
        EXPECT_EQ(images::DeviceTypeImage(t), expected[t]) << t;
}

TEST(DeviceTypeImage, OtherTypesShowTheNeutralImage) {
    for (int t : {-1, 6, 7, 255, INT_MIN, INT_MAX}) {
        EXPECT_EQ(images::DeviceTypeImage(t), images::TypeUnknown) << t;
        EXPECT_FALSE(images::Small(images::DeviceTypeImage(t)).isNull()) << t;
    }
}

// ---- actions ---------------------------------------------------------------------

TEST(DisabledActions, AreGreyerThanTheNormalImages) {
    for (int i = 0; i < images::ActionImageCount; ++i) {
        const double normal = MeanSaturation(Pixels(images::Action(i)));
        const double disabled = MeanSaturation(Pixels(images::DisabledAction(i)));
        EXPECT_GT(normal, 0.05) << "action " << i << " has colour";
        EXPECT_LT(disabled, 0.02) << "action " << i;
    }
}

TEST(DisabledActions, AreFadedButKeepTheShape) {
    for (int i = 0; i < images::ActionImageCount; ++i) {
        SCOPED_TRACE(testing::Message() << "action " << i);
        const QImage normal = Pixels(images::Action(i));
        const QImage disabled = Pixels(images::DisabledAction(i));
        EXPECT_LT(TotalAlpha(disabled), TotalAlpha(normal) * 7 / 10);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                EXPECT_EQ(normal.pixelColor(x, y).alpha() == 0,
                          disabled.pixelColor(x, y).alpha() == 0)
                    << x << ',' << y;
        // Faint, but still there on either panel.
        EXPECT_GE(ContrastingPixels(images::DisabledAction(i), LightPanel, 30), 20);
        EXPECT_GE(ContrastingPixels(images::DisabledAction(i), DarkPanel, 30), 20);
    }
}

TEST(ActionIcon, CarriesTheNormalAndTheDisabledImage) {
    for (int i = 0; i < images::ActionImageCount; ++i) {
        SCOPED_TRACE(testing::Message() << "action " << i);
        const QIcon icon = images::ActionIcon(i);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(Pixels(icon.pixmap(QSize(16, 16), QIcon::Normal)), Pixels(images::Action(i)));
        EXPECT_EQ(Pixels(icon.pixmap(QSize(16, 16), QIcon::Disabled)),
                  Pixels(images::DisabledAction(i)));
    }
}

// On a double-density screen the icon gives a drawing with twice the pixels,
// not the 16 px one blown up.
TEST(ActionIcon, HasASharpFormForDoubleDensityScreens) {
    for (int i = 0; i < images::ActionImageCount; ++i) {
        SCOPED_TRACE(testing::Message() << "action " << i);
        const QPixmap two = images::ActionIcon(i).pixmap(QSize(16, 16), 2.0);
        EXPECT_EQ(two.size(), QSize(32, 32));
        const QImage blownUp = Pixels(images::Action(i)).scaled(32, 32);
        EXPECT_GE(DifferingPixels(Pixels(two), blownUp, 60), 20);
    }
}

// ---- program icon -------------------------------------------------------------------

TEST(ProgramIcon, IsDrawnAtEachTraySize) {
    const QIcon icon = images::ProgramIcon();
    ASSERT_FALSE(icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    for (int s : {16, 22, 32, 48}) {
        SCOPED_TRACE(testing::Message() << s << " px");
        EXPECT_TRUE(sizes.contains(QSize(s, s)));
        const QImage img = Pixels(icon.pixmap(QSize(s, s)));
        ASSERT_EQ(img.size(), QSize(s, s));
        EXPECT_GE(CountPixels(img, [](const QColor& c) { return c.alpha() > 200; }), s * s / 3);
        // the green lamp
        EXPECT_GE(CountPixels(img,
                              [](const QColor& c) {
                                  return c.alpha() > 200 && c.green() > 150 &&
                                         c.red() < c.green() - 60 && c.blue() < c.green() - 60;
                              }),
                  s * s / 40);
    }
}

// ---- contact sheet --------------------------------------------------------------------

// Every image four times enlarged, then at its real size, on a light and on a
// dark panel: rows of status lamps and device types, of actions and their
// disabled forms, of the program icon at each size, and (enlarged only) of
// the actions' double-density forms.
QImage ContactSheet() {
    constexpr int Zoom = 4, Gap = 8, Cell = 16 * Zoom + Gap;
    const int width = Gap + images::SmallImageCount * Cell;

    struct Row {
        std::vector<QPixmap> Items;
        int Density = 1;
    };
    std::vector<Row> rows;
    rows.push_back({AllSmall()});
    Row actions{AllActions()};
    for (int i = 0; i < images::ActionImageCount; ++i)
        actions.Items.push_back(images::DisabledAction(i));
    rows.push_back(actions);
    Row program;
    for (int s : {16, 22, 32, 48})
        program.Items.push_back(images::ProgramIcon().pixmap(QSize(s, s)));
    rows.push_back(program);
    Row sharp{{}, 2};
    for (int i = 0; i < images::ActionImageCount; ++i)
        sharp.Items.push_back(images::ActionIcon(i).pixmap(QSize(16, 16), 2.0));
    for (int i = 0; i < images::ActionImageCount; ++i)
        sharp.Items.push_back(images::ActionIcon(i).pixmap(QSize(16, 16), 2.0, QIcon::Disabled));
    rows.push_back(sharp);

    // Device pixels of a row's tallest image, at the given zoom.
    auto rowHeight = [&](const Row& r, int zoom) {
        int h = 0;
        for (const QPixmap& pm : r.Items)
            h = std::max(h, pm.height() * zoom / r.Density);
        return h;
    };
    int panelHeight = Gap;
    for (int zoom : {Zoom, 1})
        for (const Row& r : rows)
            if (zoom >= r.Density)
                panelHeight += rowHeight(r, zoom) + Gap;

    QImage sheet(width, 2 * panelHeight, QImage::Format_ARGB32);
    QPainter p(&sheet);
    int top = 0;
    for (const QColor& panel : {LightPanel, DarkPanel}) {
        p.fillRect(0, top, width, panelHeight, panel);
        int y = top + Gap;
        for (int zoom : {Zoom, 1}) {
            for (const Row& r : rows) {
                if (zoom < r.Density)
                    continue;
                int x = Gap;
                for (const QPixmap& pm : r.Items) {
                    const int w = pm.width() * zoom / r.Density, h = pm.height() * zoom / r.Density;
                    p.drawImage(QRect(x, y, w, h), pm.toImage());
                    x += std::max(w, zoom * 16) + (zoom == 1 ? 8 : Gap);
                }
                y += rowHeight(r, zoom) + Gap;
            }
        }
        top += panelHeight;
    }
    return sheet;
}

TEST(ContactSheet, IsSavedForLookingAt) {
    const QString dir = QStringLiteral(SENTREL_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString file = dir + QStringLiteral("/images.png");
    const QImage sheet = ContactSheet();
    ASSERT_TRUE(sheet.save(file));
    EXPECT_EQ(QImage(file).size(), sheet.size());
}

} // namespace
