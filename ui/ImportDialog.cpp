#include "ui/ImportDialog.h"

#include "core/LogFormat.h"
#include "ui/AppHelp.h"
#include "ui/ErrorReport.h"
#include "ui/TextCodec.h"

#include <QBoxLayout>
#include <QColor>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <algorithm>

namespace {

std::function<QString(bool, const QString&)> gFileDialogHook;

// Long enough that a paste or a burst of typing plans once, short enough
// that the preview follows the typing.
constexpr int ReplanDelayMs = 250;

const char* const ColumnTitles[TImportPlanModel::ColumnCount] = {"Line", "Host", "Description",
                                                                 "Type", "Result"};

// Light enough for dark text on any palette; the result text says the same.
const QColor DuplicateBackground(0xff, 0xf0, 0xc0);
const QColor InvalidBackground(0xfa, 0xd4, 0xd4);

// A line the field still lays out in a moment; a file with a longer one
// (binary data, say) is planned without being shown.
constexpr size_t LongestShownLine = size_t{16} * 1024;

size_t LongestLine(const std::string& Text) {
    size_t longest = 0;
    for (size_t begin = 0; begin < Text.size();) {
        size_t end = Text.find('\n', begin);
        if (end == std::string::npos)
            end = Text.size();
        longest = std::max(longest, end - begin);
        begin = end + 1;
    }
    return longest;
}

// Text from the import, as a cell shows it: control characters as their
// pictures, so no host text can break a row.
QString CellText(const std::string& Bytes) {
    return ToQString(VisibleText(Bytes));
}

} // namespace

// ---- the model ------------------------------------------------------------

void TImportPlanModel::SetPlan(const TImportPlan* Plan) {
    beginResetModel();
    FPlan = Plan;
    endResetModel();
}

int TImportPlanModel::rowCount(const QModelIndex& Parent) const {
    if (Parent.isValid() || FPlan == nullptr)
        return 0;
    return static_cast<int>(FPlan->Entries.size());
}

int TImportPlanModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : ColumnCount;
}

QString TImportPlanModel::ResultText(const TImportEntry& Entry) {
    const QString reason = CellText(Entry.Reason);
    const auto with = [&reason](const char* Word) {
        const QString word = QString::fromUtf8(Word);
        return reason.isEmpty() ? word : word + QStringLiteral(": ") + reason;
    };
    switch (Entry.Outcome) {
    case TImportOutcome::Add:
        return QStringLiteral("Add");
    case TImportOutcome::Duplicate:
        return with("Skip");
    case TImportOutcome::Invalid:
        break;
    }
    return with("Invalid");
}

QVariant TImportPlanModel::data(const QModelIndex& Index, int Role) const {
    if (FPlan == nullptr || !Index.isValid() || Index.row() >= rowCount())
        return {};
    const TImportEntry& entry = FPlan->Entries[static_cast<size_t>(Index.row())];
    switch (Role) {
    case Qt::DisplayRole:
        switch (Index.column()) {
        case colLine:
            return entry.Line;
        case colHost:
            // An invalid entry has no host: what it was read from instead.
            return CellText(entry.Host.empty() ? entry.Source : entry.Host);
        case colDescription:
            return CellText(entry.Description);
        case colType:
            if (entry.Outcome == TImportOutcome::Invalid)
                return QString();
            return QString::fromUtf8(DeviceTypeName(entry.DeviceType));
        case colResult:
            return ResultText(entry);
        default:
            return {};
        }
    case Qt::ToolTipRole:
        // A range's or block's address: what it came from; an invalid
        // entry: its text whole, as the cell may cut it short.
        if (Index.column() == colHost && entry.Host.empty())
            return CellText(entry.Source);
        if (Index.column() == colHost && entry.Source != entry.Host)
            return QStringLiteral("From ") + CellText(entry.Source);
        if (Index.column() == colResult && entry.Outcome != TImportOutcome::Add)
            return ResultText(entry);
        return {};
    case Qt::TextAlignmentRole:
        if (Index.column() == colLine)
            return static_cast<int>(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case Qt::BackgroundRole:
        if (entry.Outcome == TImportOutcome::Duplicate)
            return DuplicateBackground;
        if (entry.Outcome == TImportOutcome::Invalid)
            return InvalidBackground;
        return {};
    case Qt::ForegroundRole:
        // Dark text on the light marks, whatever the palette's text colour.
        if (entry.Outcome != TImportOutcome::Add)
            return QColor(Qt::black);
        return {};
    default:
        return {};
    }
}

QVariant TImportPlanModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation == Qt::Horizontal && Role == Qt::DisplayRole && Section >= 0 &&
        Section < ColumnCount)
        return QString::fromUtf8(ColumnTitles[Section]);
    return {};
}

// ---- the dialog -----------------------------------------------------------

TImportDialog::TImportDialog(QWidget* Parent) : QDialog(Parent) {
    setWindowTitle(QStringLiteral("Import Devices"));
    setSizeGripEnabled(true);
    SetHelpContext(this, 235);

    auto* textLabel = new QLabel(
        QStringLiteral("&Paste hosts, address ranges (10.0.0.1-50), CIDR blocks (10.0.0.0/24) "
                       "or CSV with a header:"),
        this);
    textLabel->setWordWrap(true);
    Text = new QPlainTextEdit(this);
    Text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    Text->setLineWrapMode(QPlainTextEdit::NoWrap);
    Text->setTabChangesFocus(true);
    textLabel->setBuddy(Text);
    OpenFileBtn = new QPushButton(QStringLiteral("&Open File..."), this);
    OpenFileBtn->setAutoDefault(false);

    auto* previewLabel = new QLabel(QStringLiteral("Pre&view:"), this);
    Model = new TImportPlanModel(this);
    Preview = new QTableView(this);
    Preview->setModel(Model);
    Preview->setSelectionBehavior(QAbstractItemView::SelectRows);
    Preview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Preview->setWordWrap(false);
    Preview->setTextElideMode(Qt::ElideRight);
    Preview->setTabKeyNavigation(false);
    Preview->verticalHeader()->hide();
    // Fixed row heights and column widths: nothing is measured over the rows,
    // so a preview of ten thousand entries lays out as fast as one of ten.
    const QFontMetrics metrics = Preview->fontMetrics();
    Preview->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Preview->verticalHeader()->setDefaultSectionSize(metrics.height() + 6);
    QHeaderView* columns = Preview->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setStretchLastSection(true);
    columns->setHighlightSections(false);
    const auto fit = [&metrics](const char* Sample) {
        return metrics.horizontalAdvance(QString::fromUtf8(Sample)) + 16;
    };
    // The result takes what is left: its reasons are the longest texts.
    Preview->setColumnWidth(TImportPlanModel::colLine, fit("00000"));
    Preview->setColumnWidth(TImportPlanModel::colHost, fit("255.255.255.255"));
    Preview->setColumnWidth(TImportPlanModel::colDescription, fit("Description"));
    Preview->setColumnWidth(TImportPlanModel::colType, fit("Interface"));
    previewLabel->setBuddy(Preview);

    Summary = new QLabel(this);
    Summary->setWordWrap(true);
    QFont bold = Summary->font();
    bold.setBold(true);
    Summary->setFont(bold);
    Notes = new QLabel(this);
    Notes->setWordWrap(true);
    Notes->hide();

    HelpBtn = new QPushButton(QStringLiteral("&Help"), this);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"), this);
    ImportBtn = new QPushButton(QStringLiteral("&Import"), this);
    HelpBtn->setAutoDefault(false);
    CancelBtn->setAutoDefault(false);
    ImportBtn->setDefault(true);
    ImportBtn->setEnabled(false);

    auto* top = new QHBoxLayout;
    top->addWidget(textLabel, 1);
    top->addWidget(OpenFileBtn, 0, Qt::AlignBottom);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(HelpBtn);
    buttons->addStretch(1);
    buttons->addWidget(CancelBtn);
    buttons->addWidget(ImportBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(Text, 2);
    layout->addSpacing(4);
    layout->addWidget(previewLabel);
    layout->addWidget(Preview, 3);
    layout->addWidget(Summary);
    layout->addWidget(Notes);
    layout->addSpacing(4);
    layout->addLayout(buttons);
    resize(720, 520);

    setTabOrder(Text, OpenFileBtn);
    setTabOrder(OpenFileBtn, Preview);
    setTabOrder(Preview, ImportBtn);
    setTabOrder(ImportBtn, CancelBtn);
    setTabOrder(CancelBtn, HelpBtn);
    Text->setFocus();

    FReplanTimer = new QTimer(this);
    FReplanTimer->setSingleShot(true);
    FReplanTimer->setInterval(ReplanDelayMs);
    connect(FReplanTimer, &QTimer::timeout, this, [this] { Guarded([this] { Replan(); }); });
    connect(Text, &QPlainTextEdit::textChanged, this, [this] { TextChanged(); });
    connect(OpenFileBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { OpenFileBtnClick(); }); });
    connect(ImportBtn, &QPushButton::clicked, this,
            [this] { Guarded([this] { ImportBtnClick(); }); });
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(HelpBtn, &QPushButton::clicked, this, [this] { Guarded([this] { HelpBtnClick(); }); });
}

TImportDialog::~TImportDialog() {
    // The view may ask the model for rows while it goes.
    Model->SetPlan(nullptr);
}

bool TImportDialog::Execute(const TDeviceDataCollection& Existing, const QString& InitialText) {
    FExisting = &Existing;
    ForgetFile();
    SetText(InitialText);
    Replan();
    Text->setFocus();
    const bool confirmed = exec() == QDialog::Accepted;
    FReplanTimer->stop();
    return confirmed && FPlan.ToAdd > 0;
}

void TImportDialog::SetText(const QString& Value) {
    FSettingText = true;
    Text->setPlainText(Value);
    // Also when the field held Value already: planned now or by the timer,
    // as the caller goes on.
    TextChanged();
    FSettingText = false;
}

void TImportDialog::ForgetFile() {
    FFileLoaded = false;
    FFileBytes.clear();
    FFileBytes.shrink_to_fit();
    Text->setPlaceholderText(QString());
}

void TImportDialog::TextChanged() {
    // Typed over: the field is what is imported now.
    if (FFileLoaded && !FSettingText)
        ForgetFile();
    // What the preview shows is no longer what would be added: no Import
    // until it is planned anew.
    ImportBtn->setEnabled(false);
    FReplanTimer->start();
}

bool TImportDialog::PlanPending() const {
    return FReplanTimer->isActive();
}

std::string TImportDialog::SourceBytes() const {
    if (FFileLoaded)
        return FFileBytes;
    return ToBytes(Text->toPlainText());
}

void TImportDialog::Replan() {
    FReplanTimer->stop();
    if (FExisting == nullptr)
        return;
    const std::string bytes = SourceBytes();
    Model->SetPlan(nullptr);
    FPlan = PlanImport(bytes, *FExisting);
    Model->SetPlan(&FPlan);
    ShowPlan();
}

void TImportDialog::ShowPlan() {
    if (FPlan.Entries.empty() && !FFileLoaded && Text->toPlainText().trimmed().isEmpty())
        Summary->setText(QStringLiteral("Nothing to import yet: paste a list or open a file."));
    else
        Summary->setText(ToQString(ImportSummary(FPlan)));
    QStringList notes;
    for (const std::string& note : FPlan.Notes)
        notes << CellText(note);
    Notes->setText(notes.join(QLatin1Char('\n')));
    Notes->setVisible(!notes.isEmpty());
    ImportBtn->setEnabled(FPlan.ToAdd > 0);
}

void TImportDialog::LoadFile(const QString& Path) {
    std::string bytes = ReadImportFile(FileSystemPath(Path));
    const bool shown = LongestLine(bytes) <= LongestShownLine;
    SetText(shown ? ToQString(bytes) : QString());
    Text->setPlaceholderText(
        shown ? QString()
              : QStringLiteral("%1 (%2 bytes) has lines too long to show here; the preview "
                               "lists what it holds. Type or paste here to import a text "
                               "instead.")
                    .arg(QChar(0x201C) + QFileInfo(Path).fileName() + QChar(0x201D),
                         QString::number(bytes.size())));
    FFileBytes = std::move(bytes);
    FFileLoaded = true;
    // One action, read whole: no pause to wait for.
    Replan();
    Text->moveCursor(QTextCursor::Start);
}

void TImportDialog::OpenFileBtnClick() {
    const QString path = ChooseImportFile(this, false);
    if (!path.isEmpty())
        LoadFile(path);
}

void TImportDialog::ImportBtnClick() {
    // Only the count shown is confirmed: a text changed since shows its
    // own first.
    if (PlanPending()) {
        Replan();
        return;
    }
    if (FPlan.ToAdd > 0)
        accept();
}

void TImportDialog::HelpBtnClick() {
    ApplicationHelpContext(235);
}

// ---- files ----------------------------------------------------------------

QString ChooseImportFile(QWidget* Parent, bool Save, const QString& Suggested) {
    if (gFileDialogHook)
        return gFileDialogHook(Save, Suggested);
    QFileDialog dialog(Parent, Save ? QStringLiteral("Export Devices")
                                    : QStringLiteral("Open File to Import"));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAcceptMode(Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilters(
        {QStringLiteral("CSV and Text Files (*.csv *.txt)"), QStringLiteral("All Files (*)")});
    if (Save) {
        dialog.setDefaultSuffix(QStringLiteral("csv"));
        dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
        dialog.selectFile(Suggested);
    }
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

void SetImportFileDialogHook(std::function<QString(bool, const QString&)> Hook) {
    gFileDialogHook = std::move(Hook);
}

std::string FileSystemPath(const QString& Path) {
    return QFile::encodeName(Path).toStdString();
}
