#pragma once
// A text label that behaves as a hyperlink: drawn in a second font while the
// mouse is over it, and a press of any mouse button opens its address
// through the desktop.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QUrl>

#include <cstdint>
#include <functional>

// A plain set of font attributes.
struct TCustomFont {
    enum TFontPitch { fpDefault, fpFixed, fpVariable };
    enum TFontStyle { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

    uint8_t CharSet = 1; // the default character set
    QColor Color;
    int32_t Height = 0; // pixels; negative: without internal leading
    QString Name;
    TFontPitch Pitch = fpDefault;
    int32_t Size = 0; // points
    int Style = 0;    // TFontStyle flags
};

class TURLLabel : public QLabel {
    Q_OBJECT
public:
    explicit TURLLabel(QWidget* Parent = nullptr);

    const QString& URL() const { return FURL; }
    void SetURL(const QString& Value) { FURL = Value; }
    TCustomFont& MouseOverFont() { return FMouseOverFont; }

    // The label's own font attributes, read from and applied to the widget;
    // a colour that cannot be read on the background shows as the palette's link colour.
    TCustomFont LabelFont() const;
    void SetLabelFont(const TCustomFont& Font);

    // Wanted, or the palette's link colour when Wanted cannot be read on the
    // palette's background (navy or black on a dark theme).
    static QColor ReadableColor(const QColor& Wanted, const QPalette& Palette);

    // Test hook: how an address is opened (the desktop's opener by default).
    static void SetOpener(std::function<bool(const QUrl& Address)> Opener);

protected:
    void enterEvent(QEnterEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;

private:
    // Pixels per inch of the label's screen, for heights and sizes.
    int Dpi() const;

    QString FURL;
    TCustomFont FMouseOverFont;
    TCustomFont FNormalFont;
    // Kept here: a Qt font has no character set, and "default" pitch is not
    // something it can be asked for.
    uint8_t FCharSet = 1;
    TCustomFont::TFontPitch FPitch = TCustomFont::fpDefault;
    // The label's own look while the mouse-over font is shown.
    bool FHovering = false;
    QFont FSavedFont;
    QPalette FSavedPalette;
    uint8_t FSavedCharSet = 1;
    TCustomFont::TFontPitch FSavedPitch = TCustomFont::fpDefault;
};
