#include "ui/AppHelp.h"

#include <QApplication>
#include <QKeyEvent>

namespace {
std::function<void(int)> gHandler;
} // namespace

void ApplicationHelpContext(int Context) {
    if (gHandler)
        gHandler(Context);
}

void SetApplicationHelpHandler(std::function<void(int)> Handler) {
    gHandler = std::move(Handler);
}

void SetHelpContext(QWidget* Widget, int Context) {
    Widget->setProperty("HelpContext", Context);
}

int HelpContext(const QWidget* Widget) {
    return Widget->property("HelpContext").toInt();
}

int ContextForHelpKey(const QWidget* Focused) {
    for (const QWidget* w = Focused; w != nullptr; w = w->parentWidget())
        if (const int context = HelpContext(w); context != 0)
            return context;
    return 0;
}

bool THelpKeyFilter::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(Event)->key() == Qt::Key_F1) {
        QWidget* focused = QApplication::focusWidget();
        if (focused == nullptr)
            focused = QApplication::activeWindow();
        if (const int context = ContextForHelpKey(focused); context != 0)
            ApplicationHelpContext(context);
        return true;
    }
    return QObject::eventFilter(Watched, Event);
}
