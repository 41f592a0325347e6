#include "ui/LogViewerCM.h"

#include "core/LogFormat.h"
#include "core/SentrelSettingsCM.h"
#include "framework/Exceptions.h"
#include "ui/AppHelp.h"
#include "ui/DialogPlacement.h"
#include "ui/ErrorReport.h"
#include "ui/HistoryGraph.h"
#include "ui/Images.h"
#include "ui/TextCodec.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QSaveFile>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>

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
}

TLogViewerForm::~TLogViewerForm() {
    DetachLog();
}

void TLogViewerForm::AttachLog(TStatusLog* Log) {
    DetachLog();
    FLog = Log;
    if (FLog != nullptr)
        FLog->OnLogEvent = [this](TObject* sender, const std::string& host, TPingResult status) {
            LogEvent(sender, host, status);
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

void TLogViewerForm::LogEvent(TObject*, const std::string& Host, TPingResult Status) {
    if (!FShowing)
        return;
    // The record the log has just stored, so the line matches what a later
    // showing of the same log gives; the clock when the event came otherwise.
    TDeviceStatusRecord record{Now(), Host, Status};
    if (FLog != nullptr && FLog->Count() > 0) {
        const TDeviceStatusRecord newest = FLog->Records(FLog->Count() - 1);
        if (newest.Host == Host && newest.Status == Status)
            record = newest;
    }

    FLines.push_front(::FormatRecord(record, FShowHost));
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
                           QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("log"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return;
    Guarded([&] { SaveToFile(chosen.first()); });
}

void TLogViewerForm::SaveToFile(const QString& FileName) {
    QString name = FileName;
    if (QFileInfo(name).suffix().isEmpty())
        name += name.endsWith(QLatin1Char('.')) ? QStringLiteral("log") : QStringLiteral(".log");
    const QFileInfo target(name);
    const QString path = target.absoluteFilePath();
    if (target.isDir())
        RaiseCannotCreate(path, SystemErrorText(EISDIR));
    // The new content replaces the file by a rename, which a read-only file
    // would not otherwise stop.
    if (target.exists() && !target.isWritable())
        RaiseCannotCreate(path, SystemErrorText(EACCES));

    QByteArray bytes;
    for (const std::string& line : FLines) {
        bytes.append(line.data(), static_cast<qsizetype>(line.size()));
        bytes += "\r\n";
    }

    // Written beside the target and renamed over it: an existing file holds
    // its old content or the new one, never a part.
    // Unbuffered, so that a short write (a full disk, a size limit) shows up
    // here with its reason instead of vanishing in a flush.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        RaiseCannotCreate(path, file.errorString());
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            RaiseCannotCreate(path, reason);
        }
        done += n;
    }
    if (!file.commit())
        RaiseCannotCreate(path, file.errorString());
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
    form->FillLines();
    if (FHistory != nullptr && !historyHost.empty())
        form->ShowHistory(FHistory, historyHost);
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

void TLogViewer::ShowDeviceLog(const QString& ACaption, TStatusLog* ALog, const std::string& Host) {
    FHistoryHost = Host;
    ShowLog(ACaption, ALog);
}
