#pragma once
// TfmMain: the program's one window. The database choice (an alias or table files) and the table
// check list on the left; the grid of the open table (the Show view) or the structure report
// (the Structure view) in the middle; the tool bar on top and four status panels below.
//
// The window owns the one table object `Table`, its grid data source `dExport` and the report
// text. Every handler runs through one error guard (Guard): an error of the engine, the
// data-access layer or a file ends the handler where it happened, the normal cursor comes back and
// the error box shows the message; what was done before the error stays.

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "structure_report.h"
#include "table.h"

class QBoxLayout;
class QCheckBox;
class QComboBox;
class QDialog;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QModelIndex;
class QPlainTextEdit;
class QProgressDialog;
class QPrinter;
class QRadioButton;
class QTimer;
class QToolButton;

namespace tavrinth {

class TDBGrid;
class TdExport;

class TfmMain : public QMainWindow {
    Q_OBJECT

public:
    explicit TfmMain(QWidget* parent = nullptr);
    ~TfmMain() override;

    // A start-up choice given on the command line: once start-up is over, the alias is chosen as
    // if the user had chosen it in the alias box.
    void SetStartAlias(const QString& alias) { startAlias_ = alias; }
    // Table files given on the command line: opened once start-up is over (after --alias).
    void SetStartFiles(const QStringList& files) { startFiles_ = files; }
    // Opens table files as the open button does, from the command line or dropped on the window:
    // they are listed (taken to lie in the folder of the first) and the first is shown. Files
    // that are no tables (.db, .dbf) are left out with an error.
    void OpenFiles(const QStringList& files);

    // The report driver: in the Show view it opens the selected table in the grid; in the
    // Structure view it writes the structure report of the tables the selection rule picks.
    void StartKonv();
    // The report text as the last run of StartKonv left it (Editor shows it).
    const ReportText& ReportLines() const { return reportLines_; }

protected:
    // The error box. The program shows QMessageBox::critical; tests may catch the message.
    virtual void ShowErrorBox(const QString& message);
    // Runs a modal dialog of the window (the export and save dialogs, the print dialog) and
    // returns its result, QDialog::Accepted or QDialog::Rejected. Tests answer it themselves.
    virtual int RunDialog(QDialog* dialog);
    // A message box with `text`, `caption` and `buttons`; returns the button chosen.
    virtual QMessageBox::StandardButton MessageBox(const QString& text, const QString& caption,
                                                   QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                                   QMessageBox::StandardButton defaultButton = QMessageBox::NoButton,
                                                   QMessageBox::Icon icon = QMessageBox::NoIcon);
    // Called before each copy is printed (each copy is a print job of its own); `copy` counts
    // from 1. The program does nothing here.
    virtual void PrintJobStarting(QPrinter& printer, int copy);

    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // Runs one handler: an error ends it, restores the normal cursor and shows the error box.
    template <class Handler>
    void Guard(Handler&& handler) {
        try {
            handler();
        } catch (const std::exception& e) {
            ErrorBox(QString::fromStdString(e.what()));
        } catch (...) {
            ErrorBox(QStringLiteral("Unknown error"));
        }
    }
    void ErrorBox(const QString& message);
    // A progress dialog with a Cancel button for work over many records or tables: shown once
    // the work has taken half a second, window-modal. step() moves it on and tells whether to go on.
    class WorkProgress {
    public:
        WorkProgress(TfmMain* window, const QString& label, int total);
        ~WorkProgress();
        WorkProgress(const WorkProgress&) = delete;
        WorkProgress& operator=(const WorkProgress&) = delete;
        bool step(int done);
        bool cancelled() const;

    private:
        std::unique_ptr<QProgressDialog> dialog_;
    };

    // Gives the focus back, when a box closes, to where it was when the box opened.
    class FocusKeeper {
    public:
        explicit FocusKeeper(TfmMain* window);
        ~FocusKeeper();
        FocusKeeper(const FocusKeeper&) = delete;
        FocusKeeper& operator=(const FocusKeeper&) = delete;

    private:
        TfmMain* window_;
        QPointer<QWidget> focus_;
        bool inGrid_;
    };

    void CreateControls();
    void ConnectHandlers();
    void SetHint(QWidget* widget, const QString& hint);
    QToolButton* SpeedButton(QWidget* parent, const char* name, const char* icon, int left, const QString& hint);

    // Start-up and table selection.
    void FormCreate();
    void FormActivate();
    void FormClose();
    void GetAliasInfo();
    void lbAliasChange(const QString& alias);
    void lbAliasTextEdited(const QString& text);
    // The tables of an alias or a folder in the list, which becomes the database in use.
    void ListTablesOf(const QString& database);
    // Enter in the alias box: a folder typed there is opened as the database.
    void lbAliasEntered();
    // The alias box's context menu: adding, renaming and removing aliases (alias_editing.cpp).
    void AliasMenu(const QPoint& where);
    bool AskAliasName(const QString& title, const QString& proposed, QString& name);
    void RefreshAliases(const QString& choose);
    void NewAlias();
    void RenameAliasInBox();
    void RemoveAliasInBox();
    void OpenFile();
    // Lists table files as the database (the folder of the first); `showFirst` selects and shows it.
    void ListFiles(const QStringList& files, bool showFirst);
    void SelectAll();
    void SelectNone();
    void ListBoxClick();
    void ListBoxKeyDown();
    void ListBoxKeyUp();
    void btExitClick();
    void FillListBox(QStringList names);
    void EnableTimer();
    void SetDataButtons(bool enabled);
    void ShowRecordCount();
    // No table is shown any more (another database was chosen): the data buttons, the edit mode
    // and the panels that told of the table are cleared.
    void ShowNoTable();

    // The code page box below the table list (code_page_box.cpp): the code page remembered for
    // the table is set before it opens; once open, the box shows the code page in use and panel 0
    // warns when the table names none and its text does not read cleanly.
    void CreateCodePageBox(QWidget* parent, QBoxLayout* layout);
    void UseRememberedCodePage();
    void ShowCodePage();
    void cbCodePageActivated(int index);
    // The code pages the box offers, in its order: the text listed and the engine's name.
    static std::vector<std::pair<QString, QString>> OfferedCodePages();
    // The code page chosen in the box for a table file (empty: the table's own).
    static QString RememberedCodePage(const std::string& path);

    // The table, opened and closed together with its data source.
    void OpenTable();
    void CloseTable();
    void KeepColumnWidths();
    void RestoreColumnWidths();
    void SetTableName(const std::string& name);
    void SetDatabaseName(const std::string& name);

    // Report driver: the generator for the open table, inside a run of StartKonv.
    void TestFunk();
    void ShowReport();
    bool AnyChecked() const;

    // Data view and editing.
    void rbVisClick();
    void rbStructClick();
    void btEditButtonClick();
    // The grid goes back to viewing (edit button released, read-only); panel 2 says " View" when a
    // table is shown, nothing when none is.
    void ShowToView(bool tableShown);
    void btSearchButtonClick();
    void VisLineNo();
    void DBGridKeyUp();
    void SletLineNo();
    void FormResize();
    void SkifSkaermStoerelse();

    // The grid goes to the table's current record (after the cursor was moved by code), in the
    // column of field `field` (-1: the column stays).
    void GridFollowsTable(int field);
    // The viewer of the memo, graphic or BLOB cell at `index` of the grid (blob_viewer.cpp).
    void ShowBlobViewer(const QModelIndex& index);
    // Ctrl+Delete in the grid (edit mode): the current record is deleted once the user says Yes.
    void DeleteGridRecord();
    // A record was inserted, deleted or moved by its key: the grid goes to the table's current
    // record in the rows as they are now, and the panels tell the new count.
    void GridRecordsMoved();

    // Sorting and filtering the grid's rows (sort_filter.cpp): the filter bar above the grid
    // (returned with the grid in it, shown and hidden with the grid), the titles' clicks and menu.
    QWidget* CreateFilterBar(QWidget* parent);
    void ConnectSortFilter();
    void SortGrid(int column, Qt::SortOrder order);
    void FilterGrid();
    void ResetSortFilter();
    // The "Show deleted records" toggle applied to the table shown (dBase tables only).
    void ShowDeletedRecords();
    void GridRowsChanged();
    void TitleMenu(const QPoint& at);

    // The migrate dialog (migrate_dialog.cpp) on the tables the selection rule picks; the Migrate
    // button stands after the buttons of the view shown.
    void btMigrateClick();
    void PlaceMigrateButton();
    // The names in the table list the selection rule picks: the checked ones, else the selected one.
    QStringList PickedTables() const;

    // Export and about box.
    void btExportClick();
    void btAboutClick();

    // Searching.
    void btSearchClick();
    void btSearchDefinitionClick();
    void SearchFiles();
    bool SearchGrid();
    void RichSearch();
    void HourglassCursor();
    void NormalCursor();

    // Saving and printing the report.
    void SaveTextFile();
    void PrintDefinition();

public:
    // The controls, named as the window's design names them.
    QFrame* CoolBar1 = nullptr;
    QFrame* Panel1 = nullptr;
    QFrame* FilePanel = nullptr;
    QFrame* VisPanel = nullptr;
    QFrame* SQLPanel = nullptr;
    QFrame* SogPanel = nullptr;
    QFrame* Panel4 = nullptr;
    QComboBox* lbAlias = nullptr;
    QToolButton* btFile = nullptr;
    QToolButton* btAll = nullptr;
    QToolButton* btNone = nullptr;
    QRadioButton* rbVis = nullptr;
    QRadioButton* rbStruct = nullptr;
    QToolButton* btExport = nullptr;
    QToolButton* btEditButton = nullptr;
    QToolButton* btSearch = nullptr;
    QRadioButton* cbParadox = nullptr;
    QRadioButton* cbSQL = nullptr;
    QComboBox* cbSQLVer = nullptr;
    QToolButton* btSave = nullptr;
    QToolButton* btPrint = nullptr;
    QToolButton* btSearchDefinition = nullptr;
    QToolButton* btMigrate = nullptr;
    QToolButton* btAbout = nullptr;
    QToolButton* btExit = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* SearchText = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QCheckBox* cbCase = nullptr;
    QCheckBox* cbAllFiles = nullptr;
    QListWidget* ListBox = nullptr;
    QComboBox* cbCodePage = nullptr;
    TDBGrid* DBGrid = nullptr;
    QFrame* FilterPanel = nullptr;
    QLineEdit* FilterText = nullptr;
    QTimer* FilterTimer = nullptr;
    QCheckBox* cbShowDeleted = nullptr;
    QPlainTextEdit* Editor = nullptr;
    QLabel* StatusPanels[4] = {};
    QTimer* Timer = nullptr;
    QFileDialog* OpenDialog = nullptr;
    QFileDialog* ExportDialog = nullptr;
    QFileDialog* SaveDialog = nullptr;
    // The export's options in the export dialog.
    QComboBox* cbExportDelimiter = nullptr;
    QCheckBox* cbExportFieldNames = nullptr;
    QCheckBox* cbExportMemo = nullptr;

private:
    TTable Table;
    TdExport* dExport = nullptr;
    ReportText reportLines_;
    StructureReportRun* run_ = nullptr;  // the run of StartKonv under way
    QString CaptionBase;
    std::string DatabaseShortName;
    bool LastSearchFound = false;
    bool hourglass_ = false;    // the search set the hourglass cursor
    QString exportFolder_;      // the folder of the last export in this run
    std::unique_ptr<QPrinter> printer_;  // the printer chosen last in this run
    bool activated_ = false;
    bool showView_ = true;      // the view the radio buttons last switched to
    QString dialect_;           // the dialect last chosen
    QString startAlias_;
    QString codePageWarning_;   // the open table's text does not read cleanly (empty: it does)
    QStringList startFiles_;
    bool listKeyDown_ = false;  // a key went down in the table list and has not come up yet
    int gridColumnBeforeRows_ = 0;  // the grid's column when its rows last began to change
};

}  // namespace tavrinth
