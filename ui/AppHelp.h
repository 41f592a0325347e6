#pragma once
// The application's help request: Help buttons and the help key (F1) ask for
// a help context here, and the main window's handler opens its page.

#include <QObject>
#include <QWidget>

#include <functional>

// Asks the application for help with Context.
void ApplicationHelpContext(int Context);
// The handler every request goes to (the main window sets it).
void SetApplicationHelpHandler(std::function<void(int Context)> Handler);

// The help context of a window or control, kept as its "HelpContext" property.
void SetHelpContext(QWidget* Widget, int Context);
int HelpContext(const QWidget* Widget);
// The context the help key asks for: the focused control's, or the nearest
// enclosing control's or window's that is not 0; 0 when none has one.
int ContextForHelpKey(const QWidget* Focused);

// Installed on the application: F1 asks for the focused control's context.
class THelpKeyFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
};
