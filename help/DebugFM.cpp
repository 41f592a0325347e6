#include "help/DebugFM.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// Distances of the anchored controls from the right and bottom edges, as
// laid out in the 419 by 290 client area.
constexpr int MemoRight = 419 - 16 - 386;
constexpr int MemoBottom = 290 - 48 - 221;
constexpr int ClearRight = 419 - 327 - 75;

} // namespace

TDebugForm::TDebugForm(QWidget* Parent) : QWidget(Parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Vesk's Debugger"));
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    // A window for diagnostics: closing it must never end the program.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto box = [this](const QString& Caption, int X, int Y) {
        auto* check = new QCheckBox(Caption, this);
        check->setChecked(true);
        check->move(X, Y);
        check->adjustSize();
        return check;
    };
    Trace = box(QStringLiteral("Trace"), 25, 17);
    Info = box(QStringLiteral("Info"), 88, 17);
    Warning = box(QStringLiteral("Warning"), 160, 17);
    Error = box(QStringLiteral("Error"), 239, 17);

    Memo = new QPlainTextEdit(this);
    Memo->setReadOnly(true);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setFocusPolicy(Qt::ClickFocus);
    QPalette palette = Memo->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    Memo->setPalette(palette);
    Memo->setGeometry(16, 48, 386, 221);

    Clear = new QPushButton(QStringLiteral("&Clear"), this);
    Clear->setGeometry(327, 12, 75, 25);
    connect(Clear, &QPushButton::clicked, this, &TDebugForm::ClearClick);

    resize(419, 290);
}

TDebugForm::~TDebugForm() = default;

void TDebugForm::Log(TDebugLevel Level, const QString& Message) {
    switch (Level) {
    case dlTrace:
        if (Trace->isChecked())
            AddLine(QStringLiteral("TRACE   ") + Message);
        break;
    case dlInfo:
        if (Info->isChecked())
            AddLine(QStringLiteral("INFO    ") + Message);
        break;
    case dlWarning:
        if (Warning->isChecked())
            AddLine(QStringLiteral("WARNING ") + Message);
        break;
    case dlError:
        if (Error->isChecked())
            AddLine(QStringLiteral("ERROR   ") + Message);
        break;
    default:
        break;
    }
}

void TDebugForm::AddLine(const QString& Text) {
    Memo->appendPlainText(Text);
    show();
}

void TDebugForm::ClearClick() {
    Memo->clear();
}

void TDebugForm::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    Memo->setGeometry(16, 48, width() - 16 - MemoRight, height() - 48 - MemoBottom);
    Clear->move(width() - ClearRight - Clear->width(), 12);
}
