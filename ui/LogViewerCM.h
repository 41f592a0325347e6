#pragma once
// The log viewer: one status log as lines, newest first, followed live while
// the window is open; saved to a text file and, where the settings allow it,
// cleared. TLogViewer holds the parameters and runs a new window for every
// showing; a showing may start while another runs (another log asked for from
// the tray menu), and ends first.

#include "core/Csv.h"
#include "core/StatusLogCM.h"
#include "framework/Component.h"

#include <QDialog>

#include <QString>
#include <deque>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class THistoryStore;
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
    void LogEvent(TObject* Sender, const TDeviceStatusRecord& Record);
    // The lines shown, top first.
    QStringList Lines() const;

    void SaveBtnClick();
    // Writes the lines shown to FileName (".log" added when it has no
    // extension); raises "Cannot create file "%s". %s" on failure.
    void SaveToFile(const QString& FileName);
    void ClearBtnClick();
    void HelpBtnClick();

    // Writes the log's records, newest first, as CSV (".csv" added when the
    // name has no extension), replacing the file only when all is written.
    void SaveToCsv(const QString& FileName);

    // Earlier records and exports, read from the history; hidden without one.
    QPushButton* EarlierBtn = nullptr;
    QPushButton* ExportBtn = nullptr;
    QLabel* EarlierLabel = nullptr;
    QPlainTextEdit* EarlierMemo = nullptr;
    // Store may be null. Host is the device shown, "" for every device's.
    void SetHistoryStore(THistoryStore* Store, const std::string& Host);
    // Asks for a range, then shows the status changes in it.
    void EarlierBtnClick();
    // Shows the status changes in [From, To) from the history, newest first,
    // greyed below the log's own lines.
    void ShowEarlier(TDateTime From, TDateTime To);
    QStringList EarlierLines() const;
    // Asks what and which range, then the file, and exports with a progress
    // window that can cancel.
    void ExportBtnClick();
    // The device list's descriptions, read when a file is written.
    std::function<THostDescriptions()> Descriptions;
    // The devices an export of every device covers.
    std::function<std::vector<std::string>()> Hosts;
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
    THistoryStore* FHistoryStore = nullptr;
    std::string FHistoryHost;
    void AddHistoryControls();

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

    // Where device logs find their graphs: the history store's records
    // unless set apart (tests); must outlive the windows. None shows the log alone.
    THistorySource* GraphSource() const { return FGraphSource; }
    void SetGraphSource(THistorySource* Source) { FGraphSource = Source; }

    QString Caption;
    TStatusLog* Log() const { return FLog; }
    void SetLog(TStatusLog* Value);
    TSentrelSettings* Settings() const { return FSettings; }
    void SetSettings(TSentrelSettings* Value);
    bool ShowHost = false;
    // The device whose log is shown, for reading its history; "" for the
    // system log (every device's).
    std::string DeviceHost;
    // Where earlier records, exports and device graphs come from; null
    // hides them. The store must outlive the windows.
    void SetHistory(THistoryStore* Store);
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
    THistoryStore* FHistory = nullptr;
    void SetUpHistory(TLogViewerForm& Form);
    // The windows open, in the order they opened (each showing runs inside
    // the one before it).
    std::vector<TLogViewerForm*> FForms;
    std::unique_ptr<THistorySource> FStoreSource;
    THistorySource* FGraphSource = nullptr;
    // The device whose graph the next showing gets; taken by that showing.
    std::string FHistoryHost;
};
