#pragma once
// The debug window: shows the messages of the levels whose boxes are
// checked, each after its level's name, in a read-only text area. Closing
// the window only hides it; the next message shows it again.

#include "help/qsDebug.h"

#include <QWidget>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;

class TDebugForm : public QWidget, public IqsDebugLog {
    Q_OBJECT
public:
    explicit TDebugForm(QWidget* Parent = nullptr);
    ~TDebugForm() override;

    QCheckBox* Trace = nullptr;
    QCheckBox* Info = nullptr;
    QCheckBox* Warning = nullptr;
    QCheckBox* Error = nullptr;
    QPlainTextEdit* Memo = nullptr;
    QPushButton* Clear = nullptr;

    // Adds "TRACE   ", "INFO    ", "WARNING " or "ERROR   " and Message when
    // the level's box is checked; any other level adds nothing.
    void Log(TDebugLevel Level, const QString& Message) override;
    // Appends Text as a line of its own and shows the window.
    void AddLine(const QString& Text);
    // Empties the text area; the boxes stay as they are.
    void ClearClick();

protected:
    void resizeEvent(QResizeEvent* Event) override;
};
