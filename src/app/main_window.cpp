// TfmMain: the controls, the error guard, the two views, editing, the window's size rules, the
// export and the about box. Start-up and table selection are in table_selection.cpp, the report
// driver in report_driver.cpp, searching in search.cpp, saving and printing in report_output.cpp.

#include "main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrinter>
#include <QProgressDialog>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "about_box.h"
#include "db_grid.h"
#include "engine_error.h"
#include "export_pipeline.h"
#include "session.h"
#include "tdexport.h"

// The window's pictures live in a static library: their resource is registered by hand.
static void initResources() { Q_INIT_RESOURCE(tavrinth); }

namespace tavrinth {

namespace {

constexpr int kDesignWidth = 800;
constexpr int kDesignHeight = 485;
constexpr int kMinWidth = 800;
constexpr int kMinHeight = 400;

QFrame* panel(QWidget* parent, const char* name) {
    auto* p = new QFrame(parent);
    p->setObjectName(QString::fromLatin1(name));
    p->setFrameShape(QFrame::NoFrame);
    return p;
}

QSize screenSize(const QWidget* w) {
    const QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize(kDesignWidth, kDesignHeight);
}

}  // namespace

TfmMain::TfmMain(QWidget* parent) : QMainWindow(parent) {
    initResources();
    setObjectName(QStringLiteral("fmMain"));
    setWindowTitle(QStringLiteral("Tavrinth"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/tavrinth.xpm")));
    Table.SetTableName("Firma.DB");
    CreateControls();
    ConnectHandlers();
    setAcceptDrops(true);

    // Opening an encrypted table asks for its password.
    TSession::Default().SetPasswordPrompt([this](const std::string& tableName, std::string& password) {
        QInputDialog dialog(this);
        dialog.setObjectName(QStringLiteral("PasswordDialog"));
        dialog.setWindowTitle(QStringLiteral("Enter password"));
        dialog.setLabelText(QStringLiteral("Password for table %1:").arg(QString::fromStdString(tableName)));
        dialog.setTextEchoMode(QLineEdit::Password);
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        const bool ok = dialog.exec() == QDialog::Accepted;
        QApplication::restoreOverrideCursor();
        if (ok) password = dialog.textValue().toStdString();
        return ok;
    });

    // Designed 800 by 485 and centred on the screen; FormCreate then takes the screen's size.
    resize(kDesignWidth, kDesignHeight);
    const QSize screen = screenSize(this);
    move((screen.width() - kDesignWidth) / 2, (screen.height() - kDesignHeight) / 2);
    FormCreate();
}

TfmMain::~TfmMain() {
    TSession::Default().SetPasswordPrompt(nullptr);
    // The grid's data source must not outlive the table it reads.
    if (dExport) dExport->SetDataSet(nullptr);
}

void TfmMain::SetHint(QWidget* widget, const QString& hint) {
    const int bar = hint.indexOf(QLatin1Char('|'));
    widget->setToolTip(bar < 0 ? hint : hint.left(bar));
    widget->setStatusTip(bar < 0 ? hint : hint.mid(bar + 1));
}

QToolButton* TfmMain::SpeedButton(QWidget* parent, const char* name, const char* icon, int left, const QString& hint) {
    auto* b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoRaise(true);
    b->setIcon(QIcon(QStringLiteral(":/icons/%1.xpm").arg(QString::fromLatin1(icon))));
    b->setIconSize(QSize(16, 16));
    b->setGeometry(left, 5, 23, 22);
    b->setFocusPolicy(Qt::NoFocus);
    SetHint(b, hint);
    return b;
}

void TfmMain::CreateControls() {
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The tool bar: one band holding Panel1, on which the three panels overlap.
    CoolBar1 = panel(central, "CoolBar1");
    CoolBar1->setFrameShape(QFrame::StyledPanel);
    CoolBar1->setFixedHeight(38);
    // The tool bar's pixel positions were laid out for a font 11 pixels high.
    QFont toolFont = CoolBar1->font();
    toolFont.setPixelSize(11);
    CoolBar1->setFont(toolFont);
    auto* band = new QVBoxLayout(CoolBar1);
    band->setContentsMargins(2, 2, 2, 2);
    Panel1 = panel(CoolBar1, "Panel1");
    Panel1->setMinimumHeight(34);
    band->addWidget(Panel1);
    SetHint(Panel1, QStringLiteral("Double-click to change window size|Double-click to change size of window"));

    FilePanel = panel(Panel1, "FilePanel");
    FilePanel->setGeometry(1, 0, 350, 33);
    lbAlias = new QComboBox(FilePanel);
    lbAlias->setObjectName(QStringLiteral("lbAlias"));
    lbAlias->setEditable(true);
    lbAlias->setInsertPolicy(QComboBox::NoInsert);
    lbAlias->setGeometry(8, 5, 139, 22);
    lbAlias->setEditText(QStringLiteral("lbAlias"));
    SetHint(lbAlias, QStringLiteral("Alias|Chose alias to view"));
    btFile = SpeedButton(FilePanel, "btFile", "file", 149, QStringLiteral("Open file|Open database file to view"));
    btAll = SpeedButton(FilePanel, "btAll", "all", 175, QStringLiteral("Select all|Select all table in database"));
    btNone = SpeedButton(FilePanel, "btNone", "none", 198,
                         QStringLiteral("Select none|Select none of the table in database"));
    rbVis = new QRadioButton(QStringLiteral("Show"), FilePanel);
    rbVis->setObjectName(QStringLiteral("rbVis"));
    rbVis->setChecked(true);
    rbVis->move(226, 8);
    rbVis->resize(rbVis->sizeHint());
    SetHint(rbVis, QStringLiteral("Show data|Show data in file"));
    rbStruct = new QRadioButton(QStringLiteral("Structure"), FilePanel);
    rbStruct->setObjectName(QStringLiteral("rbStruct"));
    rbStruct->move(274, 8);
    rbStruct->resize(rbStruct->sizeHint());
    SetHint(rbStruct, QStringLiteral("Show Structure|Show Structure"));

    VisPanel = panel(Panel1, "VisPanel");
    VisPanel->setGeometry(350, 0, 97, 33);
    btExport = SpeedButton(VisPanel, "btExport", "export", 6, QStringLiteral("Export|Export data to file"));
    btEditButton = SpeedButton(VisPanel, "btEditButton", "edit", 33, QStringLiteral("Edit|Edit Table"));
    btEditButton->setCheckable(true);
    btSearch = SpeedButton(VisPanel, "btSearch", "search", 60, QStringLiteral("Search|Search in data"));
    btSearch->setCheckable(true);

    SQLPanel = panel(Panel1, "SQLPanel");
    SQLPanel->setGeometry(340, 0, 365, 33);
    SQLPanel->hide();
    cbParadox = new QRadioButton(QStringLiteral("Data definition"), SQLPanel);
    cbParadox->setObjectName(QStringLiteral("cbParadox"));
    cbParadox->setChecked(true);
    cbParadox->move(14, 8);
    cbParadox->resize(cbParadox->sizeHint());
    SetHint(cbParadox, QStringLiteral("Data definition|Show data definition"));
    cbSQL = new QRadioButton(QStringLiteral("SQL Script"), SQLPanel);
    cbSQL->setObjectName(QStringLiteral("cbSQL"));
    cbSQL->move(118, 8);
    cbSQL->resize(cbSQL->sizeHint());
    SetHint(cbSQL, QStringLiteral("SQL Script|Show SQL Script"));
    cbSQLVer = new QComboBox(SQLPanel);
    cbSQLVer->setObjectName(QStringLiteral("cbSQLVer"));
    cbSQLVer->addItems({QStringLiteral("InterBase"), QStringLiteral("MS SQL"), QStringLiteral("Delphi")});
    cbSQLVer->setCurrentIndex(-1);
    cbSQLVer->setGeometry(200, 5, 84, 22);
    SetHint(cbSQLVer, QStringLiteral("SQL version|Select kind of SQL language to generate"));
    btSave = SpeedButton(SQLPanel, "btSave", "save", 288, QStringLiteral("Save|Save definitions as textfile"));
    btPrint = SpeedButton(SQLPanel, "btPrint", "print", 313, QStringLiteral("Print|Print data definition"));
    btSearchDefinition = SpeedButton(SQLPanel, "btSearchDefinition", "searchdef", 338,
                                     QStringLiteral("Search|Search in data definition"));
    btSearchDefinition->setCheckable(true);
    // The data-view buttons are disabled until a table is shown.
    SetDataButtons(false);
    // SQLPanel overlaps FilePanel's right edge: the view switches stay on top.
    FilePanel->raise();

    btAbout = SpeedButton(Panel1, "btAbout", "about", 717, QStringLiteral("About|About Tavrinth"));
    btExit = SpeedButton(Panel1, "btExit", "exit", 745, QStringLiteral("Exit|Exit program"));
    // Migrate serves both views: it stands after the buttons of the one shown. Enabled while
    // tables are listed.
    btMigrate = SpeedButton(Panel1, "btMigrate", "migrate", 0,
                            QStringLiteral("Migrate|Migrate the checked tables, or the selected one, into SQLite or PostgreSQL"));
    btMigrate->setEnabled(false);
    PlaceMigrateButton();
    column->addWidget(CoolBar1);

    // The search bar, below the tool bar, hidden at start.
    SogPanel = panel(central, "SogPanel");
    SogPanel->setFrameShape(QFrame::StyledPanel);
    SogPanel->setFixedHeight(32);
    SogPanel->hide();
    Label1 = new QLabel(QStringLiteral("Search text:"), SogPanel);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(8, 8);
    Label1->resize(Label1->sizeHint());
    SearchText = new QLineEdit(SogPanel);
    SearchText->setObjectName(QStringLiteral("SearchText"));
    SearchText->setGeometry(Label1->x() + Label1->width() + 6, 5, 200, 22);
    SpeedButton1 = SpeedButton(SogPanel, "SpeedButton1", "start", SearchText->x() + 206, QStringLiteral("Start|Start search"));
    SpeedButton1->move(SpeedButton1->x(), 4);
    cbCase = new QCheckBox(QStringLiteral("Case sensitive"), SogPanel);
    cbCase->setObjectName(QStringLiteral("cbCase"));
    cbCase->move(SpeedButton1->x() + 34, 7);
    cbCase->resize(cbCase->sizeHint());
    cbAllFiles = new QCheckBox(QStringLiteral("All marked files"), SogPanel);
    cbAllFiles->setObjectName(QStringLiteral("cbAllFiles"));
    cbAllFiles->move(cbCase->x() + cbCase->width() + 12, 7);
    cbAllFiles->resize(cbAllFiles->sizeHint());
    column->addWidget(SogPanel);

    // The table list on the left; the grid and the report pane share the rest.
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    Panel4 = panel(central, "Panel4");
    Panel4->setFixedWidth(121);
    auto* listLayout = new QVBoxLayout(Panel4);
    listLayout->setContentsMargins(0, 0, 0, 0);
    ListBox = new QListWidget(Panel4);
    ListBox->setObjectName(QStringLiteral("ListBox"));
    ListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    listLayout->addWidget(ListBox);
    CreateCodePageBox(Panel4, listLayout);
    row->addWidget(Panel4);

    dExport = new TdExport(this);
    dExport->setObjectName(QStringLiteral("dExport"));
    dExport->SetDataSet(&Table);
    dExport->SetDelimiter(TDelimiter::Semi);
    dExport->SetIncludeFieldNames(true);
    dExport->SetIncludeMemo(false);
    DBGrid = new TDBGrid(central);
    DBGrid->SetDataSource(dExport);
    row->addWidget(CreateFilterBar(central), 1);  // the grid below its filter bar

    Editor = new QPlainTextEdit(central);
    Editor->setObjectName(QStringLiteral("Editor"));
    QFont courier(QStringLiteral("Courier New"), 10);
    if (!QFontDatabase::families().contains(QStringLiteral("Courier New"))) {
        courier = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        courier.setPointSize(10);
    }
    Editor->setFont(courier);
    // Tab stops every 8 characters, as the reports' columns expect.
    Editor->setTabStopDistance(8 * QFontMetricsF(courier).horizontalAdvance(QLatin1Char(' ')));
    Editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    Editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Editor->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Editor->hide();
    row->addWidget(Editor, 1);
    column->addLayout(row, 1);
    setCentralWidget(central);

    // Four status panels: the hint, the record count, the grid's mode, the record number.
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    const int widths[4] = {200, 250, 50, 100};
    for (int i = 0; i < 4; ++i) {
        StatusPanels[i] = new QLabel(bar);
        StatusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        StatusPanels[i]->setMinimumWidth(widths[i]);
        StatusPanels[i]->setFrameShape(QFrame::Panel);
        StatusPanels[i]->setFrameShadow(QFrame::Sunken);
        bar->addWidget(StatusPanels[i]);
    }

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(500);
    Timer->setSingleShot(true);

    OpenDialog = new QFileDialog(this, QStringLiteral("Open Paradox database"), QDir::homePath(),
                                 QStringLiteral("Paradox and dBase tables (*.db *.DB *.dbf *.DBF);;"
                                                "Paradox files (*.db *.DB);;DBase files (*.dbf *.DBF)"));
    OpenDialog->setObjectName(QStringLiteral("OpenDialog"));
    OpenDialog->setFileMode(QFileDialog::ExistingFiles);
    OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog->setDefaultSuffix(QStringLiteral("db"));
    OpenDialog->setSizeGripEnabled(true);

    // The export's and the report's save dialogs: titles, names, filters and folders are set
    // before every showing; an existing file is replaced without a question.
    ExportDialog = new QFileDialog(this, QString::fromLatin1(kExportDialogStoredTitle), QDir::homePath());
    ExportDialog->setObjectName(QStringLiteral("ExportDialog"));
    SaveDialog = new QFileDialog(this, QStringLiteral("Save database information"), QDir::homePath(),
                                 QStringLiteral("Text files (*.txt *.TXT);;SQL Script (*.sql *.SQL);;"
                                                "Delphi files (*.pas *.PAS)"));
    SaveDialog->setObjectName(QStringLiteral("SaveDialog"));
    SaveDialog->setDefaultSuffix(QStringLiteral("txt"));
    for (QFileDialog* d : {ExportDialog, SaveDialog}) {
        d->setAcceptMode(QFileDialog::AcceptSave);
        d->setFileMode(QFileDialog::AnyFile);
        d->setOption(QFileDialog::DontConfirmOverwrite, true);
        d->setSizeGripEnabled(true);
    }
    // The export's options, below the export dialog's file choice: the delimiter, the line of
    // field names, the memo fields. Choosing "CSV-file" makes the delimiter a comma.
    ExportDialog->setOption(QFileDialog::DontUseNativeDialog, true);
    auto* options = new QWidget(ExportDialog);
    options->setObjectName(QStringLiteral("ExportOptions"));
    auto* optionsRow = new QHBoxLayout(options);
    optionsRow->setContentsMargins(0, 0, 0, 0);
    optionsRow->addWidget(new QLabel(QStringLiteral("Delimiter:"), options));
    cbExportDelimiter = new QComboBox(options);
    cbExportDelimiter->setObjectName(QStringLiteral("cbExportDelimiter"));
    cbExportDelimiter->addItem(QStringLiteral("None"), int(TDelimiter::None));
    cbExportDelimiter->addItem(QStringLiteral("Comma"), int(TDelimiter::Komma));
    cbExportDelimiter->addItem(QStringLiteral("Semicolon"), int(TDelimiter::Semi));
    cbExportDelimiter->addItem(QStringLiteral("Tab"), int(TDelimiter::Tab));
    optionsRow->addWidget(cbExportDelimiter);
    cbExportFieldNames = new QCheckBox(QStringLiteral("Field names"), options);
    cbExportFieldNames->setObjectName(QStringLiteral("cbExportFieldNames"));
    optionsRow->addWidget(cbExportFieldNames);
    cbExportMemo = new QCheckBox(QStringLiteral("Memo fields"), options);
    cbExportMemo->setObjectName(QStringLiteral("cbExportMemo"));
    optionsRow->addWidget(cbExportMemo);
    optionsRow->addStretch(1);
    if (auto* grid = qobject_cast<QGridLayout*>(ExportDialog->layout()))
        grid->addWidget(options, grid->rowCount(), 0, 1, grid->columnCount());
    connect(ExportDialog, &QFileDialog::filterSelected, this, [this](const QString& filter) {
        if (filter.startsWith(QLatin1String("CSV"))) cbExportDelimiter->setCurrentIndex(cbExportDelimiter->findData(int(TDelimiter::Komma)));
    });
}

void TfmMain::ConnectHandlers() {
    auto guarded = [this](void (TfmMain::*handler)()) { return [this, handler] { Guard([&] { (this->*handler)(); }); }; };

    connect(lbAlias, &QComboBox::activated, this,
            [this](int index) { Guard([&] { lbAliasChange(lbAlias->itemText(index)); }); });
    connect(lbAlias->lineEdit(), &QLineEdit::textEdited, this,
            [this](const QString& text) { Guard([&] { lbAliasTextEdited(text); }); });
    connect(lbAlias->lineEdit(), &QLineEdit::returnPressed, this, guarded(&TfmMain::lbAliasEntered));
    lbAlias->lineEdit()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lbAlias->lineEdit(), &QLineEdit::customContextMenuRequested, this,
            [this](const QPoint& at) { AliasMenu(lbAlias->lineEdit()->mapToGlobal(at)); });
    connect(btFile, &QToolButton::clicked, this, guarded(&TfmMain::OpenFile));
    connect(btAll, &QToolButton::clicked, this, guarded(&TfmMain::SelectAll));
    connect(btNone, &QToolButton::clicked, this, guarded(&TfmMain::SelectNone));
    connect(btExit, &QToolButton::clicked, this, guarded(&TfmMain::btExitClick));
    connect(ListBox, &QListWidget::itemClicked, this, guarded(&TfmMain::ListBoxClick));
    ListBox->installEventFilter(this);
    connect(Timer, &QTimer::timeout, this, guarded(&TfmMain::StartKonv));

    // The view switches and the report kind run when a click checks them, not when they clear.
    connect(rbVis, &QRadioButton::toggled, this, [this](bool on) {
        if (on) Guard([&] { rbVisClick(); });
    });
    connect(rbStruct, &QRadioButton::toggled, this, [this](bool on) {
        if (on) Guard([&] { rbStructClick(); });
    });
    connect(cbParadox, &QRadioButton::toggled, this, [this](bool on) {
        if (on) Guard([&] { StartKonv(); });
    });
    connect(cbSQL, &QRadioButton::toggled, this, [this](bool on) {
        if (on) Guard([&] { StartKonv(); });
    });
    connect(cbSQLVer, &QComboBox::textActivated, this, [this](const QString& dialect) {
        if (dialect == dialect_) return;
        dialect_ = dialect;
        Guard([&] { StartKonv(); });
    });

    connect(btEditButton, &QToolButton::clicked, this, guarded(&TfmMain::btEditButtonClick));
    connect(btSearch, &QToolButton::clicked, this, guarded(&TfmMain::btSearchButtonClick));
    connect(btExport, &QToolButton::clicked, this, guarded(&TfmMain::btExportClick));
    connect(btSearchDefinition, &QToolButton::clicked, this, guarded(&TfmMain::btSearchDefinitionClick));
    connect(SpeedButton1, &QToolButton::clicked, this, guarded(&TfmMain::SearchFiles));
    connect(btSave, &QToolButton::clicked, this, guarded(&TfmMain::SaveTextFile));
    connect(btPrint, &QToolButton::clicked, this, guarded(&TfmMain::PrintDefinition));
    connect(btAbout, &QToolButton::clicked, this, guarded(&TfmMain::btAboutClick));
    connect(btMigrate, &QToolButton::clicked, this, guarded(&TfmMain::btMigrateClick));
    // The list's model also resets when the window is taken down: the button is the receiver.
    QAbstractItemModel* tables = ListBox->model();
    const auto listChanged = [this, tables] { btMigrate->setEnabled(tables->rowCount() > 0); };
    connect(tables, &QAbstractItemModel::rowsInserted, btMigrate, listChanged);
    connect(tables, &QAbstractItemModel::rowsRemoved, btMigrate, listChanged);
    connect(tables, &QAbstractItemModel::modelReset, btMigrate, listChanged);

    connect(DBGrid, &TDBGrid::cellClicked, this, guarded(&TfmMain::VisLineNo));
    connect(DBGrid, &TDBGrid::keyReleased, this, guarded(&TfmMain::DBGridKeyUp));
    connect(DBGrid, &TDBGrid::exited, this, guarded(&TfmMain::SletLineNo));
    connect(DBGrid, &TDBGrid::blobCellOpened, this,
            [this](const QModelIndex& index) { Guard([&] { ShowBlobViewer(index); }); });
    connect(DBGrid, &TDBGrid::deleteRequested, this, guarded(&TfmMain::DeleteGridRecord));
    connect(dExport, &TdExport::recordsMoved, this, guarded(&TfmMain::GridRecordsMoved));
    // A value the engine refuses to read or write: the error box, with the old value kept.
    connect(dExport, &TdExport::engineError, this, [this](const QString& message) { ErrorBox(message); });
    ConnectSortFilter();

    for (QWidget* p : {static_cast<QWidget*>(Panel1), static_cast<QWidget*>(FilePanel),
                       static_cast<QWidget*>(VisPanel), static_cast<QWidget*>(SQLPanel)})
        p->installEventFilter(this);
}

// --- The error guard ----------------------------------------------------------------------------

void TfmMain::ErrorBox(const QString& message) {
    while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    const FocusKeeper keep(this);
    ShowErrorBox(message);
}

TfmMain::WorkProgress::WorkProgress(TfmMain* window, const QString& label, int total)
    : dialog_(std::make_unique<QProgressDialog>(label, QStringLiteral("Cancel"), 0, std::max(total, 1), window)) {
    dialog_->setObjectName(QStringLiteral("WorkProgress"));
    dialog_->setWindowTitle(QStringLiteral("Tavrinth"));
    dialog_->setWindowModality(Qt::WindowModal);
    dialog_->setMinimumDuration(500);
    dialog_->setAutoReset(false);
    dialog_->setValue(0);
}

TfmMain::WorkProgress::~WorkProgress() = default;

bool TfmMain::WorkProgress::step(int done) {
    // A window-modal dialog lets the user's clicks through to Cancel while setValue runs.
    dialog_->setValue(std::min(done, dialog_->maximum()));
    QApplication::processEvents();
    return !dialog_->wasCanceled();
}

bool TfmMain::WorkProgress::cancelled() const { return dialog_->wasCanceled(); }

// The focus goes back where it was when the box closes: to the widget that had it, or to the
// grid when a cell's editor had it (the editor is gone by then).
TfmMain::FocusKeeper::FocusKeeper(TfmMain* window)
    : window_(window), focus_(QApplication::focusWidget()),
      inGrid_(focus_ && (focus_ == window->DBGrid || window->DBGrid->isAncestorOf(focus_))) {}

TfmMain::FocusKeeper::~FocusKeeper() {
    // A cell's editor goes once the box is closed: the grid itself takes the focus.
    QWidget* back = inGrid_                                                  ? window_->DBGrid
                    : focus_ && focus_->isVisible() && focus_->isEnabled() ? focus_.data()
                                                                             : nullptr;
    if (!back) return;
    if (window_->isActiveWindow()) back->setFocus(Qt::OtherFocusReason);
    // The window gets the activation back after the box: the focus goes there then.
    QTimer::singleShot(0, window_, [back = QPointer<QWidget>(back)] {
        if (back && back->isVisible()) back->setFocus(Qt::OtherFocusReason);
    });
}

void TfmMain::ShowErrorBox(const QString& message) {
    QMessageBox::critical(this, QStringLiteral("Tavrinth"), message);
}

// --- Dialogs and message boxes ------------------------------------------------------------------

int TfmMain::RunDialog(QDialog* dialog) { return dialog->exec(); }

QMessageBox::StandardButton TfmMain::MessageBox(const QString& text, const QString& caption,
                                                QMessageBox::StandardButtons buttons,
                                                QMessageBox::StandardButton defaultButton, QMessageBox::Icon icon) {
    const FocusKeeper keep(this);
    QMessageBox box(icon, caption, text, buttons, this);
    if (defaultButton != QMessageBox::NoButton) box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void TfmMain::PrintJobStarting(QPrinter&, int) {}

// --- Events -------------------------------------------------------------------------------------

bool TfmMain::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::StatusTip:
            // Status panel 0 shows the long part of the hint under the mouse.
            StatusPanels[0]->setText(static_cast<QStatusTipEvent*>(event)->tip());
            return true;
        case QEvent::WindowActivate:
            if (!activated_) {
                activated_ = true;
                Guard([&] { FormActivate(); });
                if (!startFiles_.isEmpty()) {
                    const QStringList files = startFiles_;
                    startFiles_.clear();
                    startAlias_.clear();  // the files chosen last win
                    Guard([&] { OpenFiles(files); });
                }
                if (!startAlias_.isEmpty()) {
                    const QString alias = startAlias_;
                    startAlias_.clear();
                    Guard([&] {
                        const int index = lbAlias->findText(alias, Qt::MatchExactly | Qt::MatchCaseSensitive);
                        if (index < 0) throw EDBEngineError(EDBEngineError::Code::NotFound, "Unknown alias: " + alias.toStdString());
                        lbAlias->setCurrentIndex(index);
                        lbAliasChange(alias);
                    });
                }
            }
            break;
        default:
            break;
    }
    return QMainWindow::event(event);
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ListBox) {
        if (event->type() == QEvent::KeyPress) {
            listKeyDown_ = true;
            Guard([&] { ListBoxKeyDown(); });
        } else if (event->type() == QEvent::KeyRelease && !static_cast<QKeyEvent*>(event)->isAutoRepeat()) {
            // Only a key pressed in the list: the release of the Enter or Esc that closed a dialog
            // or a message box (which then gave the focus back to the list) starts nothing.
            if (listKeyDown_) {
                listKeyDown_ = false;
                Guard([&] { ListBoxKeyUp(); });
            }
        } else if (event->type() == QEvent::FocusOut) {
            listKeyDown_ = false;
        }
    } else if (event->type() == QEvent::MouseButtonDblClick &&
               (watched == Panel1 || watched == FilePanel || watched == VisPanel || watched == SQLPanel)) {
        Guard([&] { SkifSkaermStoerelse(); });
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfmMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    Guard([&] { FormResize(); });
}

void TfmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (!event->mimeData()->hasUrls()) return;
    for (const QUrl& url : event->mimeData()->urls()) {
        const QString suffix = QFileInfo(url.toLocalFile()).suffix().toLower();
        if (url.isLocalFile() && (suffix == QLatin1String("db") || suffix == QLatin1String("dbf"))) {
            event->acceptProposedAction();
            return;
        }
    }
}

void TfmMain::dropEvent(QDropEvent* event) {
    QStringList files;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    event->acceptProposedAction();
    Guard([&] { OpenFiles(files); });
}

void TfmMain::closeEvent(QCloseEvent* event) {
    Guard([&] { FormClose(); });
    // The window closes even when the settings could not be written: the error box said so.
    event->accept();
}

// --- Data view and editing ----------------------------------------------------------------------

void TfmMain::rbVisClick() {
    if (showView_) return;
    showView_ = true;
    SogPanel->hide();
    DBGrid->show();
    VisPanel->show();
    Editor->hide();
    SQLPanel->hide();
    PlaceMigrateButton();
    StartKonv();
}

void TfmMain::rbStructClick() {
    if (!showView_) return;
    showView_ = false;
    SogPanel->hide();
    DBGrid->hide();
    VisPanel->hide();
    Editor->show();
    SQLPanel->show();
    PlaceMigrateButton();
    StartKonv();
}

void TfmMain::ShowToView(bool tableShown) {
    if (btEditButton->isChecked()) btEditButton->setChecked(false);
    DBGrid->SetReadOnly(true);
    StatusPanels[2]->setText(tableShown ? QStringLiteral(" View") : QString());
}

void TfmMain::btEditButtonClick() {
    if (btEditButton->isChecked()) {
        DBGrid->SetReadOnly(false);
        StatusPanels[2]->setText(QStringLiteral(" Edit"));
    } else {
        DBGrid->SetReadOnly(true);
        StatusPanels[2]->setText(QStringLiteral(" View"));
        // Leaving edit mode: a changed record is written now rather than left unwritten; a new
        // record left blank, or one the engine refuses, is dropped and the grid goes back to the
        // record it was on.
        if (dExport->InsertingRow() >= 0 && Table.Modified()) dExport->SubmitPending(true);
        if (dExport->InsertingRow() >= 0) DBGrid->CancelNewRecord();
        dExport->SubmitPending();
    }
}

// btEditButton and btSearch form one group: pressing one releases the other without running the
// other's handler.
void TfmMain::btSearchButtonClick() {
    if (btSearch->isChecked() && btEditButton->isChecked()) btEditButton->setChecked(false);
    btSearchClick();
}

void TfmMain::VisLineNo() { StatusPanels[3]->setText(QStringLiteral(" Line no. %1").arg(Table.RecNo())); }

void TfmMain::DBGridKeyUp() { VisLineNo(); }

void TfmMain::SletLineNo() { StatusPanels[3]->clear(); }

void TfmMain::FormResize() {
    if (width() < kMinWidth) resize(kMinWidth, height());
    if (height() < kMinHeight) resize(width(), kMinHeight);
    // The two buttons at the tool bar's right end, in Panel1's coordinates.
    btExit->move(width() - 50, btExit->y());
    btAbout->move(width() - 77, btAbout->y());
    PlaceMigrateButton();
}

// After the Show view's search button or the Structure view's search button, in Panel1's
// coordinates; at the narrowest window it keeps clear of the about button.
void TfmMain::PlaceMigrateButton() {
    const QWidget* last = showView_ ? btSearch : btSearchDefinition;
    const int after = last->parentWidget()->x() + last->x() + last->width() + (showView_ ? 4 : 2);
    btMigrate->move(std::min(after, btAbout->x() - btMigrate->width()), btMigrate->y());
}

void TfmMain::SkifSkaermStoerelse() {
    const QSize screen = screenSize(this);
    if (width() >= screen.width() && height() >= screen.height()) {
        resize(kMinWidth, height());
        resize(kMinWidth, kMinHeight);
    } else {
        resize(width(), screen.height());
        resize(screen.width(), screen.height());
    }
}

// --- The grid and the table's cursor ------------------------------------------------------------

void TfmMain::GridFollowsTable(int field) {
    if (!Table.Active() || Table.Position() < 0 || dExport->columnCount() == 0) return;
    int column = std::max(0, DBGrid->currentIndex().column());
    for (int c = 0; c < dExport->columnCount(); ++c)
        if (dExport->FieldIndex(c) == field) column = c;
    // The row that shows the record (the rows may be sorted or filtered). When the filter hides
    // it, no cell is current: the record-number panel tells which record the table is on.
    const int row = dExport->RowOfPosition(Table.Position());
    if (row < 0) {
        DBGrid->selectionModel()->clear();
        DBGrid->verticalHeader()->viewport()->update();
        return;
    }
    const QModelIndex index = dExport->index(row, column);
    // The grid's row is the table's record already: making it current moves nothing.
    DBGrid->setCurrentIndex(index);
    DBGrid->scrollTo(index);
    // The record marker in the indicator column moved with the cursor.
    DBGrid->verticalHeader()->viewport()->update();
}

void TfmMain::DeleteGridRecord() {
    if (DBGrid->ReadOnly() || !Table.Active()) return;
    const QModelIndex current = DBGrid->currentIndex();
    if (!current.isValid() || dExport->PositionOfRow(current.row()) < 0) return;
    if (MessageBox(QStringLiteral("Delete record?"), QStringLiteral("Tavrinth"), QMessageBox::Yes | QMessageBox::No,
                   QMessageBox::No, QMessageBox::Question) != QMessageBox::Yes)
        return;
    // A refusal shows in the error box (engineError) and leaves the record.
    dExport->DeleteRow(current.row());
}

void TfmMain::GridRecordsMoved() {
    if (!Table.Active()) return;
    ShowRecordCount();
    // The first record marked deleted makes the "Show deleted records" toggle apply.
    if (!dExport->ShowingDeleted()) {
        cbShowDeleted->setEnabled(dExport->CanShowDeleted());
        if (cbShowDeleted->isChecked() && dExport->CanShowDeleted()) ShowDeletedRecords();
    }
    GridFollowsTable(-1);
    if (!StatusPanels[3]->text().isEmpty()) VisLineNo();
}

// --- Export and about box -----------------------------------------------------------------------

void TfmMain::btExportClick() {
    const ExportDialogSetup setup = exportDialogSetup(Table.DatabaseName(), Table.TableName(), exportFolder_);
    ExportDialog->setWindowTitle(setup.title);
    ExportDialog->setNameFilter(setup.nameFilter);
    ExportDialog->setDefaultSuffix(setup.defaultSuffix);
    ExportDialog->setOption(QFileDialog::DontConfirmOverwrite, !setup.confirmOverwrite);
    ExportDialog->setDirectory(setup.folder);
    ExportDialog->selectFile(setup.proposedName);
    cbExportDelimiter->setCurrentIndex(cbExportDelimiter->findData(int(dExport->Delimiter())));
    cbExportFieldNames->setChecked(dExport->GetIncludeFieldNames());
    cbExportMemo->setChecked(dExport->GetIncludeMemo());
    if (RunDialog(ExportDialog) != QDialog::Accepted) return;
    const QString chosen = ExportDialog->selectedFiles().value(0);
    if (chosen.isEmpty()) return;
    dExport->SetFilename(chosen.toStdString());
    dExport->SetDelimiter(static_cast<TDelimiter>(cbExportDelimiter->currentData().toInt()));
    dExport->SetIncludeFieldNames(cbExportFieldNames->isChecked());
    dExport->SetIncludeMemo(cbExportMemo->isChecked());
    exportFolder_ = exportFolderAfter(chosen);

    // A change typed into the grid is written before the export runs through the table.
    dExport->SubmitPending();
    const int records = Table.RecordCount();
    WorkProgress progress(this, QStringLiteral("Exporting %1 ...").arg(QString::fromStdString(Table.TableName())), records);
    dExport->SetProgress([&](std::uint64_t done, std::uint64_t) { return progress.step(static_cast<int>(done)); });
    struct NoProgress {
        TdExport* source;
        ~NoProgress() { source->SetProgress(nullptr); }
    } noProgress{dExport};
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool converted = false;
    try {
        converted = dExport->Execute();
    } catch (const EExportCancelled& e) {
        QApplication::restoreOverrideCursor();
        GridFollowsTable(-1);
        StatusPanels[0]->setText(QString::fromLatin1(e.what()));
        return;
    }
    QApplication::restoreOverrideCursor();
    // The export leaves the table on its last record: the grid goes there too.
    GridFollowsTable(-1);
    StatusPanels[0]->setText(QStringLiteral("Exported %1 records to %2").arg(Table.RecordCount()).arg(chosen));
    if (!converted && dExport->ConversionFailures() > 0)
        MessageBox(QString::fromStdString(conversionFailureMessage(dExport->ConversionFailures(), dExport->Filename())),
                   QStringLiteral("Tavrinth"), QMessageBox::Ok, QMessageBox::Ok, QMessageBox::Warning);
}

void TfmMain::btAboutClick() { TfmAbout::ShowModal(this); }

}  // namespace tavrinth
