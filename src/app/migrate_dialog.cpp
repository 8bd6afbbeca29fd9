// The migrate dialog (migrate_dialog.h), and the window's Migrate button that opens it on the
// tables the selection rule picks.

#include "settings_store.h"
#include "migrate_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>

#include "engine_error.h"
#include "main_window.h"
#include "session.h"
#include "table.h"
#include "table_file.h"
#include "tdexport.h"
#include "target.h"

namespace tavrinth {

namespace {

// The last target, in the window's settings: "SQLite" or "PostgreSQL", the file, the connection.
const QString kTargetKindValue = QStringLiteral("Migrate/Target");
const QString kSqliteFileValue = QStringLiteral("Migrate/SQLiteFile");
const QString kPostgresValue = QStringLiteral("Migrate/PostgreSQL");

QString text(const std::string& s) { return QString::fromStdString(s); }

// The migrate library speaks of its command-line options; the dialog's check boxes say the same.
QString inDialogWords(QString message) {
    message.replace(QStringLiteral("--replace"), QStringLiteral("\"Replace existing tables\""));
    message.replace(QStringLiteral("--data-only"), QStringLiteral("\"Data only\""));
    message.replace(QStringLiteral("--schema-only"), QStringLiteral("\"Schema only\""));
    return message;
}

QString count(std::uint64_t n) { return QLocale().toString(static_cast<qulonglong>(n)); }

}  // namespace

// --- The run's observer, on the run's thread ----------------------------------------------------
//
// Progress and notes are kept under the dialog's mutex and handed over by one queued call at a
// time: however fast the run reports, the window's queue gets no more than it can show.

class TMigrateDialog::Observer : public migrate::MigrateObserver {
public:
    explicit Observer(TMigrateDialog* dialog) : dialog_(dialog) {}

    void progress(const migrate::MigrateProgress& p) override {
        std::lock_guard<std::mutex> lock(dialog_->mutex_);
        dialog_->latest_ = p;
        dialog_->progressNew_ = true;
        post();
    }
    void note(const std::string& line) override {
        std::lock_guard<std::mutex> lock(dialog_->mutex_);
        dialog_->notes_.push_back(line);
        post();
    }
    bool cancelled() override { return dialog_->cancel_.load(); }

private:
    // Under the mutex.
    void post() {
        if (dialog_->posted_) return;
        dialog_->posted_ = true;
        QMetaObject::invokeMethod(dialog_, [d = dialog_] { d->showProgress(); }, Qt::QueuedConnection);
    }
    TMigrateDialog* dialog_;
};

// --- The dialog ---------------------------------------------------------------------------------

TMigrateDialog::TMigrateDialog(std::vector<std::string> tables, const std::vector<std::pair<QString, QString>>& codePages,
                               const QString& codePage, std::vector<std::string> passwords, QWidget* parent)
    : QDialog(parent), tables_(std::move(tables)), passwords_(std::move(passwords)) {
    setObjectName(QStringLiteral("MigrateDialog"));
    setWindowTitle(QStringLiteral("Migrate tables"));
    setSizeGripEnabled(true);
    auto* column = new QVBoxLayout(this);

    // Which tables: their file names, the whole list in the tool tip.
    QStringList names, paths;
    for (const std::string& t : tables_) {
        names << QFileInfo(text(t)).fileName();
        paths << text(t);
    }
    const int shown = 6;
    QString list = names.mid(0, shown).join(QStringLiteral(", "));
    if (names.size() > shown) list += QStringLiteral(" ...");
    TablesLabel = new QLabel(names.size() == 1 ? QStringLiteral("Table: %1").arg(list)
                                               : QStringLiteral("%1 tables: %2").arg(names.size()).arg(list),
                             this);
    TablesLabel->setObjectName(QStringLiteral("TablesLabel"));
    TablesLabel->setToolTip(paths.join(QLatin1Char('\n')));
    column->addWidget(TablesLabel);

    // The target.
    TargetBox = new QGroupBox(QStringLiteral("Target"), this);
    TargetBox->setObjectName(QStringLiteral("TargetBox"));
    auto* target = new QGridLayout(TargetBox);
    rbSqlite = new QRadioButton(QStringLiteral("SQLite file"), TargetBox);
    rbSqlite->setObjectName(QStringLiteral("rbSqlite"));
    rbSqlite->setChecked(true);
    SqlitePath = new QLineEdit(TargetBox);
    SqlitePath->setObjectName(QStringLiteral("SqlitePath"));
    SqlitePath->setPlaceholderText(QStringLiteral("a file; made when it does not exist"));
    SqlitePath->setMinimumWidth(320);
    BrowseButton = new QPushButton(QStringLiteral("Browse..."), TargetBox);
    BrowseButton->setObjectName(QStringLiteral("BrowseButton"));
    BrowseButton->setAutoDefault(false);
    rbPostgres = new QRadioButton(QStringLiteral("PostgreSQL"), TargetBox);
    rbPostgres->setObjectName(QStringLiteral("rbPostgres"));
    PostgresConnection = new QLineEdit(TargetBox);
    PostgresConnection->setObjectName(QStringLiteral("PostgresConnection"));
    PostgresConnection->setPlaceholderText(QStringLiteral("host=localhost dbname=mydb user=me"));
    PostgresConnection->setToolTip(QStringLiteral("A connection string (host=... dbname=... user=...) or a URI "
                                                  "(postgresql://me@localhost/mydb)"));
    target->addWidget(rbSqlite, 0, 0);
    target->addWidget(SqlitePath, 0, 1);
    target->addWidget(BrowseButton, 0, 2);
    target->addWidget(rbPostgres, 1, 0);
    target->addWidget(PostgresConnection, 1, 1, 1, 2);
    target->setColumnStretch(1, 1);
    column->addWidget(TargetBox);

    // The options.
    OptionsBox = new QGroupBox(QStringLiteral("Options"), this);
    OptionsBox->setObjectName(QStringLiteral("OptionsBox"));
    auto* options = new QGridLayout(OptionsBox);
    auto check = [&](const char* name, const QString& label, const QString& tip, int row, int col) {
        auto* box = new QCheckBox(label, OptionsBox);
        box->setObjectName(QString::fromLatin1(name));
        box->setToolTip(tip);
        options->addWidget(box, row, col);
        return box;
    };
    cbSchemaOnly = check("cbSchemaOnly", QStringLiteral("Schema only"), QStringLiteral("Create the tables, load no rows"), 0, 0);
    cbDataOnly = check("cbDataOnly", QStringLiteral("Data only"), QStringLiteral("Load the rows into tables that exist"), 0, 1);
    cbReplace = check("cbReplace", QStringLiteral("Replace existing tables"),
                      QStringLiteral("Drop a table that exists in the target and create it again"), 1, 0);
    cbIncludeDeleted = check("cbIncludeDeleted", QStringLiteral("Include deleted dBase records"),
                             QStringLiteral("Records marked deleted too, with a \"_deleted\" column telling which"), 1, 1);
    cbLowerCase = check("cbLowerCase", QStringLiteral("Lower-case names"), QStringLiteral("Table and column names in lower case"), 2, 0);
    cbVerify = check("cbVerify", QStringLiteral("Verify every row after loading"),
                     QStringLiteral("Read every row back from the target and compare it with the table"), 2, 1);
    cbVerify->setChecked(true);
    auto* codePageRow = new QHBoxLayout;
    auto* codePageLabel = new QLabel(QStringLiteral("Code page:"), OptionsBox);
    cbCodePage = new QComboBox(OptionsBox);
    cbCodePage->setObjectName(QStringLiteral("cbCodePage"));
    codePageLabel->setBuddy(cbCodePage);
    cbCodePage->addItem(QStringLiteral("(each table's own)"), QString());
    for (const auto& [shownText, engineName] : codePages) cbCodePage->addItem(shownText, engineName);
    if (!codePage.isEmpty()) {
        int index = cbCodePage->findData(codePage);
        if (index < 0) {
            cbCodePage->addItem(codePage, codePage);
            index = cbCodePage->count() - 1;
        }
        cbCodePage->setCurrentIndex(index);
    }
    cbCodePage->setToolTip(QStringLiteral("The code page the tables' text is read with"));
    codePageRow->addWidget(codePageLabel);
    codePageRow->addWidget(cbCodePage, 1);
    options->addLayout(codePageRow, 3, 0, 1, 2);
    column->addWidget(OptionsBox);
    // Schema only and data only exclude each other.
    connect(cbSchemaOnly, &QCheckBox::toggled, this, [this](bool on) {
        if (on) cbDataOnly->setChecked(false);
    });
    connect(cbDataOnly, &QCheckBox::toggled, this, [this](bool on) {
        if (on) cbSchemaOnly->setChecked(false);
    });

    // The run: where it is, the bar, the summary.
    StatusLabel = new QLabel(QStringLiteral("Choose the target and press Migrate."), this);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    column->addWidget(StatusLabel);
    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setRange(0, 1000);
    Progress->setValue(0);
    column->addWidget(Progress);
    Summary = new QPlainTextEdit(this);
    Summary->setObjectName(QStringLiteral("Summary"));
    Summary->setReadOnly(true);
    Summary->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    Summary->setFont(fixed);
    Summary->setMinimumHeight(8 * QFontMetrics(fixed).lineSpacing());
    column->addWidget(Summary, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    MigrateButton = new QPushButton(QStringLiteral("Migrate"), this);
    MigrateButton->setObjectName(QStringLiteral("MigrateButton"));
    MigrateButton->setDefault(true);
    CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setAutoDefault(false);
    buttons->addWidget(MigrateButton);
    buttons->addWidget(CancelButton);
    column->addLayout(buttons);

    FileDialog = new QFileDialog(this, QStringLiteral("SQLite file to migrate into"), QDir::homePath(),
                                 QStringLiteral("SQLite databases (*.sqlite *.sqlite3 *.db);;All files (*)"));
    FileDialog->setObjectName(QStringLiteral("MigrateFileDialog"));
    FileDialog->setOption(QFileDialog::DontUseNativeDialog, true);
    FileDialog->setAcceptMode(QFileDialog::AcceptSave);
    FileDialog->setFileMode(QFileDialog::AnyFile);
    FileDialog->setDefaultSuffix(QStringLiteral("sqlite"));
    // A file that exists is written into, not overwritten: no question about replacing it.
    FileDialog->setOption(QFileDialog::DontConfirmOverwrite, true);

    connect(BrowseButton, &QPushButton::clicked, this, &TMigrateDialog::browse);
    connect(MigrateButton, &QPushButton::clicked, this, &TMigrateDialog::start);
    connect(CancelButton, &QPushButton::clicked, this, &TMigrateDialog::cancelClicked);
    for (QRadioButton* r : {rbSqlite, rbPostgres}) connect(r, &QRadioButton::toggled, this, &TMigrateDialog::updateButtons);
    for (QLineEdit* e : {SqlitePath, PostgresConnection}) connect(e, &QLineEdit::textChanged, this, &TMigrateDialog::updateButtons);
    loadSettings();
    updateButtons();
    // Wide enough for the summary's lines (a table file's path, its target, its rows).
    resize(std::max(sizeHint().width(), 84 * QFontMetrics(fixed).horizontalAdvance(QLatin1Char('0'))), sizeHint().height());
}

TMigrateDialog::~TMigrateDialog() {
    // Never a run left behind: it is told to stop and waited for.
    cancel_ = true;
    if (worker_.joinable()) worker_.join();
}

QString TMigrateDialog::TargetText() const {
    if (rbSqlite->isChecked()) {
        const QString path = SqlitePath->text().trimmed();
        return path.isEmpty() ? QString() : QStringLiteral("sqlite:") + path;
    }
    const QString conninfo = PostgresConnection->text().trimmed();
    return conninfo.isEmpty() ? QString() : QStringLiteral("postgresql:") + conninfo;
}

migrate::MigrateOptions TMigrateDialog::Options() const {
    migrate::MigrateOptions o;
    o.schemaOnly = cbSchemaOnly->isChecked();
    o.dataOnly = cbDataOnly->isChecked();
    o.replace = cbReplace->isChecked();
    o.includeDeleted = cbIncludeDeleted->isChecked();
    o.lowerCaseNames = cbLowerCase->isChecked();
    o.verify = cbVerify->isChecked();
    o.codePage = cbCodePage->currentData().toString().toStdString();
    o.passwords = passwords_;
    return o;
}

QString TMigrateDialog::WithoutPassword(const QString& conninfo) {
    const QString s = conninfo.trimmed();
    if (s.startsWith(QLatin1String("postgresql://")) || s.startsWith(QLatin1String("postgres://"))) {
        QString uri = s;
        // user:password@ in the authority, and password=... among the parameters.
        const int scheme = uri.indexOf(QLatin1String("://")) + 3;
        int end = uri.indexOf(QLatin1Char('/'), scheme);
        const int query = uri.indexOf(QLatin1Char('?'), scheme);
        if (end < 0 || (query >= 0 && query < end)) end = query < 0 ? uri.size() : query;
        const int at = uri.lastIndexOf(QLatin1Char('@'), end - 1);
        if (at >= scheme) {
            const int colon = uri.indexOf(QLatin1Char(':'), scheme);
            if (colon >= 0 && colon < at) uri.remove(colon, at - colon);
        }
        const int q = uri.indexOf(QLatin1Char('?'));
        if (q >= 0) {
            QStringList kept;
            for (const QString& p : uri.mid(q + 1).split(QLatin1Char('&'), Qt::SkipEmptyParts))
                if (!p.startsWith(QLatin1String("password="), Qt::CaseInsensitive)) kept << p;
            uri = uri.left(q) + (kept.isEmpty() ? QString() : QStringLiteral("?") + kept.join(QLatin1Char('&')));
        }
        return uri;
    }
    // key = value pairs; a value may be quoted ('...' with \' and \\ inside).
    QString out;
    int i = 0;
    const int n = static_cast<int>(s.size());
    while (i < n) {
        while (i < n && s[i].isSpace()) ++i;
        if (i >= n) break;
        const int start = i;
        while (i < n && s[i] != QLatin1Char('=') && !s[i].isSpace()) ++i;
        const QString key = s.mid(start, i - start);
        while (i < n && s[i].isSpace()) ++i;
        if (i < n && s[i] == QLatin1Char('=')) ++i;
        while (i < n && s[i].isSpace()) ++i;
        if (i < n && s[i] == QLatin1Char('\'')) {
            ++i;
            while (i < n && s[i] != QLatin1Char('\'')) i += s[i] == QLatin1Char('\\') ? 2 : 1;
            ++i;
        } else {
            while (i < n && !s[i].isSpace()) i += s[i] == QLatin1Char('\\') ? 2 : 1;
        }
        if (key.compare(QLatin1String("password"), Qt::CaseInsensitive) == 0) continue;
        if (!out.isEmpty()) out += QLatin1Char(' ');
        out += s.mid(start, std::min(i, n) - start);
    }
    return out;
}

void TMigrateDialog::loadSettings() {
    const QSettings settings = openSettings();
    SqlitePath->setText(settings.value(kSqliteFileValue).toString());
    PostgresConnection->setText(settings.value(kPostgresValue).toString());
    if (settings.value(kTargetKindValue).toString() == QLatin1String("PostgreSQL")) rbPostgres->setChecked(true);
}

void TMigrateDialog::saveSettings() const {
    QSettings settings = openSettings();
    settings.setValue(kTargetKindValue, rbPostgres->isChecked() ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite"));
    if (!SqlitePath->text().trimmed().isEmpty()) settings.setValue(kSqliteFileValue, SqlitePath->text().trimmed());
    if (!PostgresConnection->text().trimmed().isEmpty())
        settings.setValue(kPostgresValue, WithoutPassword(PostgresConnection->text()));
}

void TMigrateDialog::browse() {
    const QString current = SqlitePath->text().trimmed();
    if (!current.isEmpty()) {
        FileDialog->setDirectory(QFileInfo(current).absolutePath());
        FileDialog->selectFile(QFileInfo(current).fileName());
    }
    if (FileDialog->exec() != QDialog::Accepted) return;
    const QString chosen = FileDialog->selectedFiles().value(0);
    if (chosen.isEmpty()) return;
    SqlitePath->setText(chosen);
    rbSqlite->setChecked(true);
}

void TMigrateDialog::updateButtons() {
    SqlitePath->setEnabled(rbSqlite->isChecked() && !running_);
    BrowseButton->setEnabled(rbSqlite->isChecked() && !running_);
    PostgresConnection->setEnabled(rbPostgres->isChecked() && !running_);
    TargetBox->setEnabled(!running_);
    OptionsBox->setEnabled(!running_);
    MigrateButton->setEnabled(!running_ && !TargetText().isEmpty() && !tables_.empty());
}

void TMigrateDialog::start() {
    if (running_ || TargetText().isEmpty()) return;
    saveSettings();
    const std::string to = TargetText().toStdString();
    const migrate::MigrateOptions options = Options();
    cancel_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        notes_.clear();
        progressNew_ = false;
        posted_ = false;
        ok_ = false;
        error_.clear();
        summary_ = migrate::MigrateSummary();
    }
    running_ = true;
    Summary->clear();
    Progress->setValue(0);
    StatusLabel->setText(QStringLiteral("Opening the target ..."));
    CancelButton->setText(QStringLiteral("Cancel"));
    CancelButton->setDefault(false);
    MigrateButton->setDefault(true);
    updateButtons();
    CancelButton->setFocus();

    // The target is opened, written and closed on the run's thread, and nowhere else.
    try {
        worker_ = std::thread([this, to, options, tables = tables_] {
            bool ok = false;
            migrate::MigrateSummary summary;
            std::string error;
            try {
                Observer observer(this);
                std::unique_ptr<migrate::Target> target = migrate::openTarget(to);
                summary = migrate::migrate(tables, *target, options, &observer);
                ok = true;
            } catch (const std::exception& e) {
                error = e.what();
            } catch (...) {
                error = "Unknown error";
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ok_ = ok;
                summary_ = std::move(summary);
                error_ = std::move(error);
            }
            QMetaObject::invokeMethod(this, [this] { runEnded(); }, Qt::QueuedConnection);
        });
    } catch (const std::exception& e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = e.what();
        }
        runEnded();
    }
}

void TMigrateDialog::cancelClicked() {
    if (!running_) {
        reject();
        return;
    }
    // The run stops at its next look (every few thousand rows): the table in progress is rolled back.
    cancel_ = true;
    CancelButton->setEnabled(false);
    StatusLabel->setText(QStringLiteral("Cancelling ..."));
}

void TMigrateDialog::reject() {
    if (running_) {
        cancel_ = true;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        runEnded();
        QApplication::restoreOverrideCursor();
    }
    QDialog::reject();
}

void TMigrateDialog::showProgress() {
    migrate::MigrateProgress p;
    bool progressNew;
    std::vector<std::string> notes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_ = false;
        p = latest_;
        progressNew = progressNew_;
        progressNew_ = false;
        notes.swap(notes_);
    }
    if (!running_) return;
    for (const std::string& line : notes) Summary->appendPlainText(inDialogWords(text(line)));
    if (!progressNew || cancel_) return;
    const QString phase = QString::fromLatin1(p.phase);
    QString where = QStringLiteral("%1 (table %2 of %3): %4").arg(text(p.tableName)).arg(p.table + 1).arg(p.tables).arg(phase);
    if (p.totalRows > 0) where += QStringLiteral(", %1 of %2 rows").arg(count(p.rows), count(p.totalRows));
    StatusLabel->setText(where);
    Progress->setValue(p.totalRows > 0 ? static_cast<int>(p.rows * 1000 / p.totalRows) : 0);
}

void TMigrateDialog::runEnded() {
    if (!running_) return;
    if (worker_.joinable()) worker_.join();
    running_ = false;
    bool ok;
    migrate::MigrateSummary summary;
    std::string error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ok = ok_;
        summary = summary_;
        error = error_;
        // The notes were the summary's lines as they came: the summary replaces them.
        notes_.clear();
    }
    if (!ok) {
        StatusLabel->setText(QStringLiteral("Nothing was migrated."));
        Summary->setPlainText(inDialogWords(text(error)));
        Progress->setValue(0);
    } else {
        std::size_t done = 0;
        for (const migrate::TableOutcome& t : summary.tables) done += t.done ? 1 : 0;
        QString status = QStringLiteral("%1 of %2 tables migrated").arg(done).arg(summary.tables.size());
        if (summary.cancelled)
            status = QStringLiteral("Cancelled: %1; the table in progress was rolled back.").arg(status);
        else if (summary.exitStatus() != 0)
            status += QStringLiteral(", with problems: see below.");
        else
            status += QLatin1Char('.');
        StatusLabel->setText(status);
        Summary->setPlainText(inDialogWords(text(summary.text())));
        if (!summary.cancelled) Progress->setValue(Progress->maximum());
    }
    CancelButton->setText(QStringLiteral("Close"));
    CancelButton->setEnabled(true);
    // Enter now closes: pressing it again must not start another run by accident.
    MigrateButton->setDefault(false);
    CancelButton->setDefault(true);
    updateButtons();
    CancelButton->setFocus();
}

// --- The window's Migrate button ----------------------------------------------------------------

namespace {

// Encrypted tables not yet opened in this run ask for their passwords now, as opening them in the
// window would; the passwords join the session's. A table that cannot be opened is left to the
// run, which says why.
void askForPasswords(const std::vector<std::string>& files) {
    TSession& session = TSession::Default();
    if (!session.Prompt()) return;
    OpenOptions open;
    open.askPassword = [](void* context, const std::string& table, std::string& password) {
        return static_cast<TSession*>(context)->Prompt()(table, password);
    };
    open.askPasswordContext = &session;
    for (const std::string& file : files) {
        open.knownPasswords = session.Passwords();
        try {
            const std::unique_ptr<TableFile> table = openTableFile(file, open);
            if (!table->password().empty()) session.AddPassword(table->password());
        } catch (const std::exception&) {
        }
    }
}

}  // namespace

void TfmMain::btMigrateClick() {
    const QStringList picked = PickedTables();
    if (picked.isEmpty()) throw EDatabaseError("Check the tables to migrate, or select one in the list");
    // A change typed into the grid is written before the tables are read.
    dExport->SubmitPending();
    std::vector<std::string> files;
    QStringList codePages;
    for (const QString& name : picked) {
        TTable table;
        table.SetDatabaseName(Table.DatabaseName());
        table.SetTableName(name.toStdString());
        files.push_back(table.ResolvedPath());
        codePages << RememberedCodePage(files.back());
    }
    // The code page chosen in the box for the tables, when they all have the same one.
    codePages.removeDuplicates();
    const QString codePage = codePages.size() == 1 ? codePages.first() : QString();
    askForPasswords(files);
    TMigrateDialog dialog(files, OfferedCodePages(), codePage, TSession::Default().Passwords(), this);
    const FocusKeeper keep(this);
    RunDialog(&dialog);
}

}  // namespace tavrinth
