// The hyperlink label, headless: the hover font and its exact return, and
// opening the address with any mouse button.

#include "ui/URLLabel.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <ostream>
#include <tuple>
#include <vector>

void PrintTo(const QString& text, std::ostream* out);

namespace {

class URLLabelTest : public ::testing::Test {
protected:
    void SetUp() override {
        TURLLabel::SetOpener([this](const QUrl& address) {
            Opened.push_back(address);
            return OpenSucceeds;
        });
    }
    void TearDown() override { TURLLabel::SetOpener(nullptr); }

    static void Enter(TURLLabel& label) {
        QEnterEvent event(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
        QApplication::sendEvent(&label, &event);
    }
    static void Leave(TURLLabel& label) {
        QEvent event(QEvent::Leave);
        QApplication::sendEvent(&label, &event);
    }
    static void Press(TURLLabel& label, Qt::MouseButton button,
                      QEvent::Type type = QEvent::MouseButtonPress) {
        QMouseEvent event(type, QPointF(2, 2), QPointF(2, 2), button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : button,
                          Qt::NoModifier);
        QApplication::sendEvent(&label, &event);
    }
    static QColor TextColor(const TURLLabel& label) {
        return label.palette().color(label.foregroundRole());
    }

    std::vector<QUrl> Opened;
    bool OpenSucceeds = true;
};

TEST_F(URLLabelTest, NewLabelShowsItsAddressInBlackAndHoversInBlueUnderlined) {
    TURLLabel label;
    EXPECT_EQ(label.URL(), QStringLiteral("https://www.kestrava.example/sentrel/"));
    EXPECT_EQ(label.text(), label.URL());
    EXPECT_EQ(TextColor(label), QColor(0, 0, 0));
    EXPECT_EQ(label.LabelFont().Style, 0);
    const TCustomFont& hover = label.MouseOverFont();
    EXPECT_EQ(hover.Color, QColor(0, 0, 255));
    EXPECT_EQ(hover.Style, TCustomFont::fsUnderline);
    EXPECT_EQ(hover.Name, label.font().family());
    EXPECT_EQ(hover.Size, label.LabelFont().Size);
    EXPECT_EQ(label.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(URLLabelTest, LeavingRestoresExactlyTheFontTheLabelHad) {
    TURLLabel label;
    // As the options dialog sets it: navy, underlined, 8 pt of a named face.
    TCustomFont own = label.LabelFont();
    own.Name = QStringLiteral("Tahoma");
    own.Height = -11;
    own.Size = 8;
    own.Color = QColor(0, 0, 128);
    own.Style = TCustomFont::fsUnderline;
    label.SetLabelFont(own);
    // And a detail the attributes cannot carry.
    QFont font = label.font();
    font.setPointSizeF(8.5);
    font.setWeight(QFont::DemiBold);
    label.setFont(font);
    const QFont before = label.font();
    const QColor colourBefore = TextColor(label);

    TCustomFont& hover = label.MouseOverFont();
    hover.Name = QStringLiteral("Tahoma");
    hover.Height = -11;
    hover.Size = 8;
    hover.Color = QColor(0, 0, 255);
    hover.Style = TCustomFont::fsUnderline | TCustomFont::fsItalic;

    Enter(label);
    EXPECT_EQ(TextColor(label), QColor(0, 0, 255));
    EXPECT_TRUE(label.font().italic());
    // Size is applied after Height, so the point size wins.
    EXPECT_EQ(label.font().pointSize(), 8);
    EXPECT_EQ(label.LabelFont().Size, 8);
    // A second enter without a leave must not take the hover font for the label's own.
    Enter(label);
    Leave(label);
    EXPECT_EQ(label.font(), before);
    EXPECT_EQ(label.font().pointSizeF(), 8.5);
    EXPECT_EQ(TextColor(label), colourBefore);
    EXPECT_EQ(TextColor(label), QColor(0, 0, 128));

    // A leave with no enter before it changes nothing.
    Leave(label);
    EXPECT_EQ(label.font(), before);
}

// The About tab's navy as designed on a light background; on a dark one, where
// navy and the hover blue cannot be read, the palette's link colour.
TEST_F(URLLabelTest, LinkColoursStayReadableOnADarkPalette) {
    const QColor navy(0, 0, 128);
    const QColor blue(0, 0, 255);
    const QColor link(42, 130, 218);
    QPalette light;
    light.setColor(QPalette::Window, QColor(240, 240, 240));
    light.setColor(QPalette::Link, link);
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(53, 53, 53));
    for (const auto& [palette, normal, hover] :
         {std::tuple{light, navy, blue}, std::tuple{dark, link, link}}) {
        TURLLabel label;
        label.setPalette(palette);
        TCustomFont font = label.LabelFont();
        font.Color = navy;
        label.SetLabelFont(font);
        EXPECT_EQ(TextColor(label), normal);
        Enter(label);
        EXPECT_EQ(TextColor(label), hover);
        Leave(label);
        EXPECT_EQ(TextColor(label), normal);
    }
}

TEST_F(URLLabelTest, HeightAndSizeConvertAtTheScreensResolution) {
    TURLLabel label;
    TCustomFont font = label.LabelFont();
    font.Size = 0;
    font.Height = -11;
    label.SetLabelFont(font);
    EXPECT_EQ(label.font().pixelSize(), 11);
    if (label.logicalDpiY() == 96) {
        EXPECT_EQ(label.LabelFont().Size, 8);
    }
    font.Size = 8;
    label.SetLabelFont(font);
    EXPECT_EQ(label.font().pointSize(), 8);
}

TEST_F(URLLabelTest, AnyMouseButtonOpensTheAddressOnThePress) {
    TURLLabel label;
    label.SetURL(QStringLiteral("mailto:support@kestrava.example"));
    Press(label, Qt::LeftButton);
    Press(label, Qt::LeftButton, QEvent::MouseButtonRelease);
    Press(label, Qt::RightButton);
    Press(label, Qt::MiddleButton);
    ASSERT_EQ(Opened.size(), 3u);
    for (const QUrl& address : Opened)
        EXPECT_EQ(address, QUrl(QStringLiteral("mailto:support@kestrava.example")));
}

TEST_F(URLLabelTest, AFailedOpenLeavesTheLabelAsItWas) {
    OpenSucceeds = false;
    TURLLabel label;
    Enter(label);
    const QFont hovering = label.font();
    const QString text = label.text();
    Press(label, Qt::LeftButton);
    EXPECT_EQ(Opened.size(), 1u);
    EXPECT_EQ(label.font(), hovering);
    EXPECT_EQ(label.text(), text);
    EXPECT_EQ(label.URL(), text);

    // An empty address is not handed on at all.
    label.SetURL(QString());
    Press(label, Qt::LeftButton);
    EXPECT_EQ(Opened.size(), 1u);
}

} // namespace
