#include "ui/ListFilterBar.h"

#include "ui/ListView.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QStyle>
#include <QToolButton>

TListFilterBar::TListFilterBar(TListView* List, QWidget* Parent)
    : QWidget(Parent), FList(List), FField(new QLineEdit(this)), FCount(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(4);
    FField->setPlaceholderText(QStringLiteral("Filter by host, description or status"));
    FField->setAccessibleName(QStringLiteral("Filter"));
    layout->addWidget(FField, 1);
    layout->addWidget(FCount);
    auto* close = new QToolButton(this);
    close->setAutoRaise(true);
    close->setIcon(style()->standardIcon(QStyle::SP_LineEditClearButton));
    close->setToolTip(QStringLiteral("Close the filter (Esc)"));
    close->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(close);
    connect(close, &QToolButton::clicked, this, [this] { Close(); });
    hide();

    connect(FField, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (FList)
            FList->SetFilter(text);
    });
    connect(List, &TListView::ShownChanged, this, [this] {
        if (isVisible())
            UpdateCount();
    });
    List->installEventFilter(this);
    FField->installEventFilter(this);
}

void TListFilterBar::Open(const QString& Text) {
    show();
    FField->setFocus(Qt::ShortcutFocusReason);
    if (!Text.isEmpty()) {
        FField->end(false);
        FField->insert(Text);
    }
    UpdateCount();
}

void TListFilterBar::Close() {
    FField->clear();
    hide();
    if (FList)
        FList->setFocus(Qt::OtherFocusReason);
}

bool TListFilterBar::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<const QKeyEvent*>(Event);
        if (Watched == FList && ListKey(key))
            return true;
        if (Watched == FField && FieldKey(key))
            return true;
    }
    return QWidget::eventFilter(Watched, Event);
}

bool TListFilterBar::ListKey(const QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Escape && isVisible()) {
        Close();
        return true;
    }
    // A character typed in the list starts the filter; keys with Ctrl, Alt or
    // Meta are commands, and blanks are the list's own.
    if ((Event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0)
        return false;
    const QString text = Event->text();
    if (text.isEmpty() || !text.at(0).isPrint() || text.trimmed().isEmpty())
        return false;
    Open(text);
    return true;
}

bool TListFilterBar::FieldKey(const QKeyEvent* Event) {
    switch (Event->key()) {
    case Qt::Key_Escape:
        Close();
        return true;
    case Qt::Key_Down:
    case Qt::Key_PageDown: {
        if (!FList)
            return false;
        FList->setFocus(Qt::TabFocusReason);
        // A row to act on at once: the one selected, else the first found.
        if (FList->Selected() == nullptr && FList->ShownCount() > 0) {
            FList->SetSelected(FList->ItemAtRow(0));
            FList->scrollToTop();
        }
        return true;
    }
    default:
        return false;
    }
}

void TListFilterBar::UpdateCount() {
    if (!FList)
        return;
    const QLocale locale;
    const QString text =
        QStringLiteral("%1 of %2 shown")
            .arg(locale.toString(FList->ShownCount()), locale.toString(FList->Count()));
    if (FCount->text() != text)
        FCount->setText(text);
}
