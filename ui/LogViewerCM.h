#pragma once
// The log viewer: one status log as lines, newest first, followed live while
// the window is open; saved to a text file and, where the settings allow it,
// cleared. TLogViewer holds the parameters and runs a new window for every
// showing; a showing may start while another runs (another log asked for from
// the tray menu), and ends first.

#include "core/StatusLogCM.h"
#include "framework/Component.h"

#include <QDialog>

#include <QString>
#include <deque>
#include <string>
#include <vector>

class QPlainTextEdit;
class QPushButton;
class THistoryGraph;
class THistorySource;
class TSentrelSettings;

class TLogViewerForm : public QDialog {
    Q_OBJECT
public:
    explicit TLogViewerForm(QWidget* Parent = nullptr);
    ~TLogViewerForm() override;

    QPlainTextEdit* Memo = nullptr;
    QPushButton* HelpBtn = nullptr;
    QPushButton* ClearBtn = nullptr;
    QPushButton* SaveBtn = nullptr;
    QPushButton* CloseBtn = nullptr;

    void AttachLog(TStatusLog* Log);
    void DetachLog();
    QString FormatRecord(const TDeviceStatusRecord& Record) const;
    void FillLines();
    void LogEvent(TObject* Sender, const std::string& Host, TPingResult Status);
    // The lines shown, top first.
    QStringList Lines() const;

    void SaveBtnClick();
    // Writes the lines shown to FileName (".log" added when it has no
    // extension); raises "Cannot create file "%s". %s" on failure.
    void SaveToFile(const QString& FileName);
    void ClearBtnClick();
    void HelpBtnClick();

    // A device's latency graph above its lines, which stay as they are.
    THistoryGraph* Graph = nullptr;
    void ShowHistory(THistorySource* Source, const std::string& Host);

    TStatusLog* FLog = nullptr;
    bool FShowHost = false;
    bool FShowing = false;

private:
    // The lines shown, top first, as bytes: what Save writes, exactly, also
    // for host texts that are not UTF-8.
    std::deque<std::string> FLines;

public:
protected:
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void done(int Result) override;
};

class TLogViewer : public TComponent {
public:
    explicit TLogViewer(TComponent* AOwner);
    ~TLogViewer() override;
    const char* ClassName() const override { return "TLogViewer"; }

    void Execute();
    void ShowLog(const QString& Caption, TStatusLog* Log);
    // A device's log: with a history, the window shows Host's graph too.
    void ShowDeviceLog(const QString& Caption, TStatusLog* Log, const std::string& Host);

    // Where device logs find their graphs; must outlive the windows. None
    // (the default) shows the log alone.
    THistorySource* History() const { return FHistory; }
    void SetHistory(THistorySource* Source) { FHistory = Source; }

    QString Caption;
    TStatusLog* Log() const { return FLog; }
    void SetLog(TStatusLog* Value);
    TSentrelSettings* Settings() const { return FSettings; }
    void SetSettings(TSentrelSettings* Value);
    bool ShowHost = false;
    // The window the viewer is opened from; the viewer blocks only that one,
    // so the tray menu stays usable.
    QWidget* ParentWindow = nullptr;

    // The window shown last, while Execute runs (tests drive it).
    TLogViewerForm* Form() const { return FForms.empty() ? nullptr : FForms.back(); }
    // The open window that shows Log, if any.
    TLogViewerForm* FormFor(const TStatusLog* Log) const;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    TStatusLog* FLog = nullptr;
    TSentrelSettings* FSettings = nullptr;
    // The windows open, in the order they opened (each showing runs inside
    // the one before it).
    std::vector<TLogViewerForm*> FForms;
    THistorySource* FHistory = nullptr;
    // The device whose graph the next showing gets; taken by that showing.
    std::string FHistoryHost;
};
