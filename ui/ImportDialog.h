#pragma once
// The import of many devices at once: a text pasted or read from a file,
// planned against the device list as it changes, with a preview of every
// entry and what becomes of it. Nothing is added here; the caller applies
// the plan once the dialog is confirmed.

#include "core/import/DeviceImport.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <QString>

#include <functional>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;

// The plan's entries as table rows, read from the plan itself: a preview of
// tens of thousands of entries costs only the rows in sight.
class TImportPlanModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum TColumn { colLine, colHost, colDescription, colType, colResult, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    // Shows Plan, which must outlive its showing (or the next SetPlan).
    void SetPlan(const TImportPlan* Plan);

    int rowCount(const QModelIndex& Parent = {}) const override;
    int columnCount(const QModelIndex& Parent = {}) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation,
                        int Role = Qt::DisplayRole) const override;

    // "Add", "Skip: already in the list", "Invalid: octet out of range (300)".
    static QString ResultText(const TImportEntry& Entry);

private:
    const TImportPlan* FPlan = nullptr;
};

class TImportDialog : public QDialog {
    Q_OBJECT
public:
    explicit TImportDialog(QWidget* Parent = nullptr);
    ~TImportDialog() override;

    // Runs the dialog on the devices there are, the field holding
    // InitialText; true when Import was pressed with something to add.
    // Existing is only read, and must not change while the dialog runs.
    bool Execute(const TDeviceDataCollection& Existing, const QString& InitialText = {});
    // The plan shown, which Import confirmed.
    const TImportPlan& Plan() const { return FPlan; }

    // Plans the field's text now, as the pause after typing would.
    void Replan();
    // Whether the text changed since the plan shown was made.
    bool PlanPending() const;
    // Reads the file and plans it. The field shows it unless a line is too
    // long to lay out quickly (a file of binary data, say); an edit of the
    // field then imports the field's text instead. An unreadable file leaves
    // everything as it was and throws its EImportFile.
    void LoadFile(const QString& Path);
    // Whether the plan is of a file read (not of the field's text).
    bool FromFile() const { return FFileLoaded; }

    // Handlers.
    void OpenFileBtnClick();
    void ImportBtnClick();
    void HelpBtnClick();

    QPlainTextEdit* Text = nullptr;
    QPushButton* OpenFileBtn = nullptr;
    QTableView* Preview = nullptr;
    QLabel* Summary = nullptr;
    QLabel* Notes = nullptr;
    QPushButton* HelpBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* ImportBtn = nullptr;
    TImportPlanModel* Model = nullptr;

private:
    void TextChanged();
    void ShowPlan();
    // The bytes to plan: those of the file loaded, until the field is edited
    // (the field may not give back every byte exactly); else the field's text.
    std::string SourceBytes() const;
    // Puts Value in the field as the program's own change, not an edit.
    void SetText(const QString& Value);
    void ForgetFile();

    const TDeviceDataCollection* FExisting = nullptr;
    TImportPlan FPlan;
    QTimer* FReplanTimer = nullptr;
    std::string FFileBytes;
    bool FFileLoaded = false;
    bool FSettingText = false;
};

// The file dialogs of import and export. Save asks for a file to write,
// offering Suggested; otherwise for a file to read. Empty when cancelled.
QString ChooseImportFile(QWidget* Parent, bool Save, const QString& Suggested = {});
// Test hook: answers ChooseImportFile instead of a file dialog; empty
// restores the dialog.
void SetImportFileDialogHook(std::function<QString(bool Save, const QString& Suggested)> Hook);
// A path as the file functions take it: in the file system's encoding.
std::string FileSystemPath(const QString& Path);
