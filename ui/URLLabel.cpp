#include "ui/URLLabel.h"

#include <QDesktopServices>
#include <QEnterEvent>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>

namespace {

std::function<bool(const QUrl&)> gOpener;

bool OpenAddress(const QUrl& Address) {
    if (gOpener)
        return gOpener(Address);
    return QDesktopServices::openUrl(Address);
}

const QString DefaultAddress = QStringLiteral("https://www.kestrava.example/sentrel/");

// Relative luminance as the common contrast formula has it.
double Luminance(const QColor& Color) {
    const auto linear = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(Color.redF()) + 0.7152 * linear(Color.greenF()) +
           0.0722 * linear(Color.blueF());
}

double Contrast(const QColor& A, const QColor& B) {
    const double a = Luminance(A);
    const double b = Luminance(B);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

// Below this, text is hard to make out (navy on a dark theme's grey is about 1.3).
constexpr double MinimumContrast = 3.0;

} // namespace

void TURLLabel::SetOpener(std::function<bool(const QUrl& Address)> Opener) {
    gOpener = std::move(Opener);
}

TURLLabel::TURLLabel(QWidget* Parent) : QLabel(Parent), FURL(DefaultAddress) {
    setText(DefaultAddress);
    TCustomFont own = LabelFont();
    own.Color = QColor(0, 0, 0);
    own.Style = 0;
    SetLabelFont(own);

    FMouseOverFont = own;
    FMouseOverFont.Color = QColor(0, 0, 255);
    FMouseOverFont.Style = TCustomFont::fsUnderline;
}

QColor TURLLabel::ReadableColor(const QColor& Wanted, const QPalette& Palette) {
    const QColor background = Palette.color(QPalette::Window);
    return Contrast(Wanted, background) >= MinimumContrast ? Wanted : Palette.color(QPalette::Link);
}

int TURLLabel::Dpi() const {
    const int dpi = logicalDpiY();
    return dpi > 0 ? dpi : 96;
}

TCustomFont TURLLabel::LabelFont() const {
    const QFont f = font();
    TCustomFont result;
    result.CharSet = FCharSet;
    result.Color = palette().color(foregroundRole());
    if (f.pixelSize() > 0) {
        result.Height = -f.pixelSize();
        result.Size = static_cast<int32_t>(std::lround(f.pixelSize() * 72.0 / Dpi()));
    } else {
        result.Height = -static_cast<int32_t>(std::lround(f.pointSizeF() * Dpi() / 72.0));
        result.Size = static_cast<int32_t>(std::lround(f.pointSizeF()));
    }
    result.Name = f.family();
    result.Pitch = f.fixedPitch()
                       ? TCustomFont::fpFixed
                       : (FPitch == TCustomFont::fpFixed ? TCustomFont::fpDefault : FPitch);
    result.Style = (f.bold() ? TCustomFont::fsBold : 0) | (f.italic() ? TCustomFont::fsItalic : 0) |
                   (f.underline() ? TCustomFont::fsUnderline : 0) |
                   (f.strikeOut() ? TCustomFont::fsStrikeOut : 0);
    return result;
}

void TURLLabel::SetLabelFont(const TCustomFont& Font) {
    // In the order CharSet, Color, Height, Name, Pitch, Size, Style: the point
    // size, set after the height, wins when the two disagree.
    FCharSet = Font.CharSet;
    if (Font.Color.isValid()) {
        QPalette p = palette();
        p.setColor(foregroundRole(), ReadableColor(Font.Color, p));
        setPalette(p);
    }
    QFont f = font();
    if (Font.Height != 0)
        f.setPixelSize(std::abs(Font.Height));
    if (!Font.Name.isEmpty())
        f.setFamily(Font.Name);
    FPitch = Font.Pitch;
    if (Font.Pitch != TCustomFont::fpDefault)
        f.setFixedPitch(Font.Pitch == TCustomFont::fpFixed);
    if (Font.Size > 0)
        f.setPointSize(Font.Size);
    f.setBold((Font.Style & TCustomFont::fsBold) != 0);
    f.setItalic((Font.Style & TCustomFont::fsItalic) != 0);
    f.setUnderline((Font.Style & TCustomFont::fsUnderline) != 0);
    f.setStrikeOut((Font.Style & TCustomFont::fsStrikeOut) != 0);
    setFont(f);
}

void TURLLabel::enterEvent(QEnterEvent* Event) {
    QLabel::enterEvent(Event);
    // A second enter without a leave must not take the hover font for the
    // label's own.
    if (!FHovering) {
        FNormalFont = LabelFont();
        FSavedFont = font();
        FSavedPalette = palette();
        FSavedCharSet = FCharSet;
        FSavedPitch = FPitch;
        FHovering = true;
    }
    SetLabelFont(FMouseOverFont);
    update();
}

void TURLLabel::leaveEvent(QEvent* Event) {
    QLabel::leaveEvent(Event);
    if (!FHovering)
        return;
    FHovering = false;
    // The saved font and palette themselves, not their attributes read back:
    // a fractional size or an in-between weight comes back as it was.
    setFont(FSavedFont);
    setPalette(FSavedPalette);
    FCharSet = FSavedCharSet;
    FPitch = FSavedPitch;
    update();
}

void TURLLabel::mousePressEvent(QMouseEvent* Event) {
    QLabel::mousePressEvent(Event);
    // Any button opens the address; what the desktop makes of it is its own
    // business, and a failure leaves the label as it is.
    const QUrl address = QUrl::fromUserInput(FURL);
    if (!FURL.trimmed().isEmpty() && address.isValid())
        OpenAddress(address);
    Event->accept();
}
