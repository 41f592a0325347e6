#include "ui/LogViewerCM.h"

#include "core/LogFormat.h"
#include "core/SentrelSettingsCM.h"
#include "core/history/HistoryStore.h"
#include "framework/Exceptions.h"
#include "ui/AppHelp.h"
#include "ui/DialogPlacement.h"
#include "ui/ErrorReport.h"
#include "ui/HistoryExport.h"
#include "ui/HistoryGraph.h"
#include "ui/HistoryStoreSource.h"
#include "ui/Images.h"
#include "ui/TextCodec.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QResizeEvent>
#include <QSaveFile>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// The system's own wording for an error number.
QString SystemErrorText(int Code) {
    return QString::fromLocal8Bit(std::strerror(Code));
}

[[noreturn]] void RaiseCannotCreate(const QString& Path, const QString& Reason) {
    throw Exception(Format("Cannot create file \"%s\". %s", Path.toUtf8().constData(),
                           Reason.toUtf8().constData()));
}

// Written beside the target and renamed over it: an existing file holds
// its old content or the new one, never a part.
// Unbuffered, so that a short write (a full disk, a size limit) shows up
// here with its reason instead of vanishing in a flush.
void WriteWhole(const QString& Path, const QByteArray& Bytes) {
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        RaiseCannotCreate(Path, file.errorString());
    for (qint64 done = 0; done < Bytes.size();) {
        const qint64 n = file.write(Bytes.constData() + done, Bytes.size() - done);
        if (n <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            RaiseCannotCreate(Path, reason);
        }
        done += n;
    }
    if (!file.commit())
        RaiseCannotCreate(Path, file.errorString());
}

// FileName with Suffix added when it has none, as an absolute path, after
// the checks a rename over the target would skip.
QString TargetPath(const QString& FileName, const QString& Suffix) {
    QString name = FileName;
    if (QFileInfo(name).suffix().isEmpty())
        name += name.endsWith(QLatin1Char('.')) ? Suffix : QLatin1Char('.') + Suffix;
    const QFileInfo target(name);
    QString path = target.absoluteFilePath();
    if (target.isDir())
        RaiseCannotCreate(path, SystemErrorText(EISDIR));
    // The new content replaces the file by a rename, which a read-only file
    // would not otherwise stop.
    if (target.exists() && !target.isWritable())
        RaiseCannotCreate(path, SystemErrorText(EACCES));
    return path;
}

const QString CsvFilter = QStringLiteral("CSV files (*.csv)");

QDateTime ToQDateTime(TDateTime Value) {
    const TDateTimeParts p = DecodeDateTime(Value);
    return {QDate(p.Year, p.Month, p.Day), QTime(p.Hour, p.Minute, p.Second)};
}

TDateTime FromQDateTime(const QDateTime& Value) {
    const QDate d = Value.date();
    const QTime t = Value.time();
    return EncodeDateTime({d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), 0});
}

// Asks for a range of time, [From, To), and with Probes for what to export.
// False when the user cancels.
bool AskRange(QWidget* Parent, const QString& Title, TDateTime& From, TDateTime& To, bool* Probes) {
    QDialog dialog(Parent);
    dialog.setWindowTitle(Title);
    dialog.setWindowModality(Qt::WindowModal);
    auto* form = new QFormLayout(&dialog);
    QComboBox* kind = nullptr;
    if (Probes != nullptr) {
        kind = new QComboBox(&dialog);
        kind->setObjectName(QStringLiteral("Kind"));
        kind->addItems({QStringLiteral("Status changes"), QStringLiteral("Every probe")});
        kind->setCurrentIndex(*Probes ? 1 : 0);
        form->addRow(QStringLiteral("&Records:"), kind);
    }
    const auto edit = [&](const char* name, TDateTime value) {
        auto* e = new QDateTimeEdit(ToQDateTime(value), &dialog);
        e->setObjectName(QString::fromLatin1(name));
        e->setCalendarPopup(true);
        e->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        return e;
    };
    QDateTimeEdit* from = edit("From", From);
    QDateTimeEdit* to = edit("To", To);
    form->addRow(QStringLiteral("&From:"), from);
    form->addRow(QStringLiteral("&To:"), to);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    From = FromQDateTime(from->dateTime());
    To = FromQDateTime(to->dateTime());
    if (Probes != nullptr)
        *Probes = kind->currentIndex() == 1;
    return true;
}

// At most this many earlier lines are shown; the newest of them.
constexpr size_t MaxEarlierLines = 20000;

} // namespace

// ---------------------------------------------------------------------------
// The window

TLogViewerForm::TLogViewerForm(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Status Log Viewer"));
    setWindowIcon(images::ProgramIcon());
    setSizeGripEnabled(true);

    Memo = new QPlainTextEdit(this);
    Memo->setReadOnly(true);
    // Reached by the mouse for selecting and copying, not by Tab.
    Memo->setFocusPolicy(Qt::ClickFocus);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Wrapped lines would break the padded columns; long lines scroll instead.
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setUndoRedoEnabled(false);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(8);
    Memo->setFont(fixed);
    QPalette palette = Memo->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Button));
    Memo->setPalette(palette);

    auto button = [this](const char* caption, const QIcon& glyph) {
        auto* b = new QPushButton(glyph, QString::fromUtf8(caption), this);
        b->setFixedSize(75, 25);
        b->setAutoDefault(false);
        return b;
    };
    HelpBtn = button("&Help", images::ActionIcon(images::ActionHelp));
    ClearBtn = button("&Clear", style()->standardIcon(QStyle::SP_DialogResetButton));
    SaveBtn = button("&Save", style()->standardIcon(QStyle::SP_DialogSaveButton));
    CloseBtn = button("&Close", style()->standardIcon(QStyle::SP_DialogCloseButton));
    CloseBtn->setDefault(true);

    // Memo at 8,10 with 10 pixels to the right; the buttons 12 below it and 8
    // above the bottom edge, Help on the left, the others 6 apart on the right.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    buttons->addWidget(HelpBtn);
    buttons->addStretch(1);
    buttons->addWidget(ClearBtn);
    buttons->addWidget(SaveBtn);
    buttons->addWidget(CloseBtn);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 10, 10, 8);
    layout->setSpacing(12);
    layout->addWidget(Memo, 1);
    layout->addLayout(buttons);
    resize(504, 402);

    connect(CloseBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(SaveBtn, &QPushButton::clicked, this, [this] { SaveBtnClick(); });
    connect(ClearBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { ClearBtnClick(); }); });
    connect(HelpBtn, &QPushButton::clicked, this, [this] { Guarded([this] { HelpBtnClick(); }); });
    AddHistoryControls();
}

TLogViewerForm::~TLogViewerForm() {
    DetachLog();
}

void TLogViewerForm::AttachLog(TStatusLog* Log) {
    DetachLog();
    FLog = Log;
    if (FLog != nullptr)
        FLog->OnLogEvent = [this](TObject* sender, const TDeviceStatusRecord& record) {
            LogEvent(sender, record);
        };
}

void TLogViewerForm::DetachLog() {
    if (FLog != nullptr)
        FLog->OnLogEvent = nullptr;
    FLog = nullptr;
}

QString TLogViewerForm::FormatRecord(const TDeviceStatusRecord& Record) const {
    return ToQString(::FormatRecord(Record, FShowHost));
}

void TLogViewerForm::FillLines() {
    Memo->clear();
    FLines.clear();
    if (FLog == nullptr)
        return;
    QStringList lines;
    for (int n = FLog->Count() - 1; n >= 0; --n) {
        FLines.push_back(::FormatRecord(FLog->Records(n), FShowHost));
        lines.append(ToQString(FLines.back()));
    }
    Memo->setPlainText(lines.join(QLatin1Char('\n')));
}

void TLogViewerForm::LogEvent(TObject*, const TDeviceStatusRecord& Record) {
    if (!FShowing)
        return;
    // The record the log has just stored, so the line matches what a later
    // showing of the same log gives.
    FLines.push_front(::FormatRecord(Record, FShowHost));
    QTextCursor cursor(Memo->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::Start);
    if (Memo->document()->isEmpty()) {
        cursor.insertText(ToQString(FLines.front()));
    } else {
        cursor.insertText(ToQString(FLines.front()));
        cursor.insertBlock();
    }
    if (FLog != nullptr && static_cast<int>(FLines.size()) > FLog->Capacity()) {
        FLines.pop_back();
        // The bottom line with the line break before it.
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::StartOfBlock);
        cursor.movePosition(QTextCursor::PreviousCharacter);
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    cursor.endEditBlock();
}

QStringList TLogViewerForm::Lines() const {
    QStringList lines;
    for (const std::string& line : FLines)
        lines.append(ToQString(line));
    return lines;
}

void TLogViewerForm::SaveBtnClick() {
    QFileDialog dialog(this, QStringLiteral("Save Log File"));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("Log Files (*.log)"),
                           QStringLiteral("Text Files (*.txt)"), CsvFilter,
                           QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("log"));
    // A name typed without extension gets the chosen kind's.
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
        dialog.setDefaultSuffix(filter == CsvFilter ? QStringLiteral("csv")
                                                    : QStringLiteral("log"));
    });
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return;
    const bool csv =
        dialog.selectedNameFilter() == CsvFilter ||
        QFileInfo(chosen.first()).suffix().compare(QStringLiteral("csv"), Qt::CaseInsensitive) == 0;
    Guarded([&] {
        if (csv)
            SaveToCsv(chosen.first());
        else
            SaveToFile(chosen.first());
    });
}

void TLogViewerForm::SaveToFile(const QString& FileName) {
    const QString path = TargetPath(FileName, QStringLiteral("log"));

    QByteArray bytes;
    for (const std::string& line : FLines) {
        bytes.append(line.data(), static_cast<qsizetype>(line.size()));
        bytes += "\r\n";
    }
    WriteWhole(path, bytes);
}

void TLogViewerForm::ClearBtnClick() {
    Memo->clear();
    FLines.clear();
    if (FLog != nullptr)
        FLog->Clear();
}

void TLogViewerForm::HelpBtnClick() {
    ApplicationHelpContext(FShowHost ? 100 : 110);
}

void TLogViewerForm::ShowHistory(THistorySource* Source, const std::string& Host) {
    if (Graph != nullptr || Source == nullptr)
        return;
    Graph = new THistoryGraph(this);
    // The graph above the lines, the border between them the user's to move.
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setChildrenCollapsible(false);
    delete layout()->replaceWidget(Memo, split);
    split->addWidget(Graph);
    split->addWidget(Memo);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    resize(std::max(width(), 660), height() + 320);
    Graph->SetSource(Source, Host);
}

void TLogViewerForm::showEvent(QShowEvent* Event) {
    QDialog::showEvent(Event);
    if (!Event->spontaneous())
        CentreWhileOwnerHidden(this);
    FShowing = true;
    // The memo decides on its scroll bars again at its shown size: lines
    // filled in before may have asked for a horizontal one it does not need.
    QResizeEvent resize(Memo->size(), Memo->size());
    QCoreApplication::sendEvent(Memo, &resize);
}

void TLogViewerForm::closeEvent(QCloseEvent* Event) {
    FShowing = false;
    QDialog::closeEvent(Event);
}

void TLogViewerForm::done(int Result) {
    FShowing = false;
    QDialog::done(Result);
}

// ---------------------------------------------------------------------------
// CSV and the history

void TLogViewerForm::SaveToCsv(const QString& FileName) {
    const QString path = TargetPath(FileName, QStringLiteral("csv"));
    std::vector<TDeviceStatusRecord> records;
    if (FLog != nullptr)
        for (int n = FLog->Count() - 1; n >= 0; --n)
            records.push_back(FLog->Records(n));
    const THostDescriptions descriptions = Descriptions ? Descriptions() : THostDescriptions();
    const std::string text = StatusLogCsv(records, descriptions);
    WriteWhole(path, QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

void TLogViewerForm::AddHistoryControls() {
    auto* layout = qobject_cast<QBoxLayout*>(this->layout());
    EarlierLabel = new QLabel(this);
    EarlierMemo = new QPlainTextEdit(this);
    EarlierMemo->setReadOnly(true);
    EarlierMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    EarlierMemo->setUndoRedoEnabled(false);
    EarlierMemo->setFont(Memo->font());
    // Greyed: these records are not the log's own, and Clear does not touch them.
    QPalette palette = Memo->palette();
    palette.setColor(QPalette::Text, palette.color(QPalette::Disabled, QPalette::Text));
    EarlierMemo->setPalette(palette);
    EarlierLabel->hide();
    EarlierMemo->hide();

    EarlierBtn = new QPushButton(QStringLiteral("Show &earlier\u2026"), this);
    ExportBtn = new QPushButton(QStringLiteral("E&xport history\u2026"), this);
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    for (QPushButton* b : {EarlierBtn, ExportBtn}) {
        b->setAutoDefault(false);
        b->setFixedHeight(25);
        b->hide();
        row->addWidget(b);
    }
    row->addStretch(1);
    const int below = layout->indexOf(Memo) + 1;
    layout->insertWidget(below, EarlierLabel);
    layout->insertWidget(below + 1, EarlierMemo, 1);
    layout->insertLayout(below + 2, row);

    connect(EarlierBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { EarlierBtnClick(); }); });
    connect(ExportBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { ExportBtnClick(); }); });
}

void TLogViewerForm::SetHistoryStore(THistoryStore* Store, const std::string& Host) {
    FHistoryStore = Store;
    FHistoryHost = Host;
    EarlierBtn->setVisible(Store != nullptr);
    ExportBtn->setVisible(Store != nullptr);
}

void TLogViewerForm::EarlierBtnClick() {
    if (FHistoryStore == nullptr)
        return;
    // The day before the oldest record the log still holds.
    TDateTime to = Now();
    if (FLog != nullptr && FLog->Count() > 0)
        to = FLog->Records(0).TimeStamp;
    TDateTime from = to - 1;
    if (AskRange(this, QStringLiteral("Show Earlier Records"), from, to, nullptr))
        ShowEarlier(from, to);
}

void TLogViewerForm::ShowEarlier(TDateTime From, TDateTime To) {
    if (FHistoryStore == nullptr)
        return;
    std::vector<THistoryChange> changes;
    {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        struct Restore {
            ~Restore() { QGuiApplication::restoreOverrideCursor(); }
        } restore;
        changes = FHistoryStore->Changes(FHistoryHost, From, To);
    }
    const size_t shown = std::min(changes.size(), MaxEarlierLines);
    QStringList lines;
    for (size_t n = 0; n < shown; ++n) {
        const THistoryChange& change = changes[changes.size() - 1 - n];
        lines.append(ToQString(::FormatRecord(
            TDeviceStatusRecord{change.Time, change.Host, change.Status}, FShowHost)));
    }
    QString caption = QStringLiteral("Earlier, from the history, %1 to %2:")
                          .arg(ToQString(FormatDateTime(From)), ToQString(FormatDateTime(To)));
    if (changes.empty())
        caption += QStringLiteral(" no status changes.");
    else if (shown < changes.size())
        caption += QStringLiteral(" the newest %1 of %2.").arg(shown).arg(changes.size());
    EarlierLabel->setText(caption);
    EarlierMemo->setPlainText(lines.join(QLatin1Char('\n')));
    EarlierLabel->show();
    EarlierMemo->setVisible(!changes.empty());
}

QStringList TLogViewerForm::EarlierLines() const {
    if (EarlierMemo->isHidden())
        return {};
    return EarlierMemo->toPlainText().split(QLatin1Char('\n'));
}

void TLogViewerForm::ExportBtnClick() {
    if (FHistoryStore == nullptr)
        return;
    TDateTime to = Now();
    TDateTime from = to - 1;
    bool probes = false;
    if (!AskRange(this, QStringLiteral("Export History"), from, to, &probes))
        return;
    THistoryExportRequest request;
    request.Probes = probes;
    request.From = from;
    request.To = to;
    if (!FHistoryHost.empty())
        request.Hosts.push_back(FHistoryHost);
    else if (probes && Hosts)
        request.Hosts = Hosts();
    if (Descriptions)
        request.Descriptions = Descriptions();

    QFileDialog dialog(this, QStringLiteral("Export History"));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({CsvFilter, QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString path = TargetPath(dialog.selectedFiles().first(), QStringLiteral("csv"));

    THistoryExport job(*FHistoryStore, std::move(request), path.toStdString());
    QProgressDialog progress(QStringLiteral("Exporting history\u2026"), QStringLiteral("Cancel"), 0,
                             std::max(1, job.PartCount()), this);
    progress.setWindowTitle(QStringLiteral("Export History"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    QTimer poll;
    connect(&poll, &QTimer::timeout, &progress, [&] {
        progress.setValue(job.PartsDone());
        if (job.Finished())
            progress.accept();
    });
    connect(&progress, &QProgressDialog::canceled, &progress, [&] { job.Cancel(); });
    poll.start(100);
    if (!job.Finished())
        progress.exec();
    poll.stop();
    job.Cancel(); // closed some other way: stop reading
    // Waits for the slice being read to end; the file is left as it was.
    while (!job.Finished())
        QThread::msleep(10);
    const std::string error = job.Error();
    if (!error.empty())
        throw Exception(error);
}

// ---------------------------------------------------------------------------
// The component

TLogViewer::TLogViewer(TComponent* AOwner) : TComponent(AOwner) {}

TLogViewer::~TLogViewer() = default;

void TLogViewer::SetLog(TStatusLog* Value) {
    // A window still open on the old log must hear of its end.
    if (FLog != nullptr && FLog != Value && FormFor(FLog) == nullptr)
        RemoveFreeNotification(FLog);
    FLog = Value;
    if (Value != nullptr)
        FreeNotification(Value);
}

void TLogViewer::SetSettings(TSentrelSettings* Value) {
    if (FSettings != nullptr && FSettings != Value)
        RemoveFreeNotification(FSettings);
    FSettings = Value;
    if (Value != nullptr)
        FreeNotification(Value);
}

void TLogViewer::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove)
        return;
    if (AComponent == FLog)
        FLog = nullptr;
    // The log is past its own destructor: no window may touch it.
    for (TLogViewerForm* form : FForms)
        if (form->FLog == AComponent)
            form->FLog = nullptr;
    if (AComponent == FSettings)
        FSettings = nullptr;
}

void TLogViewer::Execute() {
    // Taken at once: a showing started inside this one has a host of its own.
    const std::string historyHost = std::exchange(FHistoryHost, {});
    if (FLog == nullptr)
        throw Exception("The log viewer has no log to show");

    auto form = std::make_unique<TLogViewerForm>(ParentWindow);
    if (ParentWindow != nullptr)
        form->setWindowModality(Qt::WindowModal);
    FForms.push_back(form.get());
    // Runs however the showing ends: the log must not call into a window
    // that is gone.
    struct Cleanup {
        TLogViewer* Viewer;
        std::unique_ptr<TLogViewerForm>& Form;
        ~Cleanup() {
            Form->DetachLog();
            Viewer->FForms.pop_back();
            Form.reset();
        }
    } cleanup{this, form};

    if (!Caption.isEmpty())
        form->setWindowTitle(Caption);
    if (FSettings != nullptr)
        form->ClearBtn->setEnabled(FSettings->AllowClearLog);
    form->AttachLog(FLog);
    form->FShowHost = ShowHost;
    // Qt sizes the window without its frame, which is not known before the
    // window is first shown.
    const int context = ShowHost ? 100 : 110;
    if (ShowHost)
        form->resize(460, 420);
    else
        form->resize(360, 320);
    SetHelpContext(form.get(), context);
    SetUpHistory(*form);
    form->FillLines();
    if (FGraphSource != nullptr && !historyHost.empty())
        form->ShowHistory(FGraphSource, historyHost);
    form->exec();
}

TLogViewerForm* TLogViewer::FormFor(const TStatusLog* Log) const {
    for (TLogViewerForm* form : FForms)
        if (form->FLog == Log)
            return form;
    return nullptr;
}

void TLogViewer::ShowLog(const QString& ACaption, TStatusLog* ALog) {
    Caption = ACaption;
    SetLog(ALog);
    Execute();
}

void TLogViewer::SetHistory(THistoryStore* Store) {
    FHistory = Store;
    FStoreSource = Store != nullptr
                       ? std::make_unique<THistoryStoreSource>(*Store, Store->Limits().RawDays)
                       : nullptr;
    FGraphSource = FStoreSource.get();
}

void TLogViewer::SetUpHistory(TLogViewerForm& Form) {
    Form.SetHistoryStore(FHistory, ShowHost ? std::string() : DeviceHost);
    // Read from the device list when a file is written: the list may change
    // while the window is open, and the settings may go first.
    Form.Descriptions = [this] {
        THostDescriptions descriptions;
        if (FSettings != nullptr)
            for (int i = 0; i < FSettings->Devices()->Count(); ++i) {
                const TDeviceData* device = FSettings->Devices()->Items(i);
                descriptions.emplace(device->Host(), device->Description());
            }
        return descriptions;
    };
    Form.Hosts = [this] {
        std::vector<std::string> hosts;
        if (FSettings != nullptr)
            for (int i = 0; i < FSettings->Devices()->Count(); ++i)
                hosts.push_back(FSettings->Devices()->Items(i)->Host());
        return hosts;
    };
}

void TLogViewer::ShowDeviceLog(const QString& ACaption, TStatusLog* ALog, const std::string& Host) {
    FHistoryHost = Host;
    DeviceHost = Host;
    ShowLog(ACaption, ALog);
}
