#include "ui/DialogPlacement.h"

#include <QScreen>
#include <QWidget>

void CentreWhileOwnerHidden(QWidget* Dialog) {
    const QWidget* owner = Dialog->parentWidget();
    // A position given explicitly is kept.
    if (owner == nullptr || owner->window()->isVisible() || Dialog->testAttribute(Qt::WA_Moved))
        return;
    const QScreen* screen = Dialog->screen();
    if (screen == nullptr)
        return;
    QRect frame = Dialog->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    Dialog->move(frame.topLeft());
    Dialog->setAttribute(Qt::WA_Moved, false); // placed here, not by the user
}
