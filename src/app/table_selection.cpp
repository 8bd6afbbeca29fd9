// TfmMain: start-up, the choice of database (an alias or table files), the table list and its
// deferred report run, and the settings remembered between runs.

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <QUrl>
#include <QToolButton>

#include <algorithm>

#include "settings_store.h"
#include "db_grid.h"
#include "engine_error.h"
#include "file_io.h"
#include "main_window.h"
#include "path_names.h"
#include "session.h"
#include "tdexport.h"

namespace tavrinth {

QSettings openSettings() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Kelvora"), QStringLiteral("Tavrinth"));
}

namespace {

const QString kDataBaseValue = QStringLiteral("DataBase");
const QString kTableValue = QStringLiteral("Table");

QString text(const std::string& s) { return QString::fromStdString(s); }

// Alphabetical, ignoring case, as sorted lists keep their entries.
void sortIgnoringCase(QStringList& names) {
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
}

}  // namespace

// --- The table and its data source --------------------------------------------------------------

void TfmMain::OpenTable() {
    UseRememberedCodePage();
    Table.Open();
    ShowCodePage();
    dExport->DataSetChanged();
    ShowDeletedRecords();
    RestoreColumnWidths();
}

void TfmMain::CloseTable() {
    if (!Table.Active()) return;
    // A change made in the grid and not yet written is written before the table closes.
    dExport->SubmitPending();
    KeepColumnWidths();
    Table.Close();
    dExport->DataSetChanged();
}

// The grid's column widths, per table and field: kept when the table closes (and when the
// window does), given back when it opens again.
namespace {
QString widthsKey(const TTable& table) {
    return QStringLiteral("ColumnWidths/") +
           QString::fromLatin1(QUrl::toPercentEncoding(text(table.DatabaseName() + "/" + table.TableName())));
}
}  // namespace

void TfmMain::KeepColumnWidths() {
    if (!Table.Active() || dExport->columnCount() == 0) return;
    QVariantMap widths;
    for (int c = 0; c < dExport->columnCount(); ++c)
        widths.insert(dExport->headerData(c, Qt::Horizontal).toString(), DBGrid->columnWidth(c));
    QSettings settings = openSettings();
    settings.setValue(widthsKey(Table), widths);
}

void TfmMain::RestoreColumnWidths() {
    if (!Table.Active()) return;
    const QVariantMap widths = openSettings().value(widthsKey(Table)).toMap();
    for (int c = 0; c < dExport->columnCount(); ++c) {
        const QVariant w = widths.value(dExport->headerData(c, Qt::Horizontal).toString());
        if (w.isValid() && w.toInt() > 0) DBGrid->setColumnWidth(c, w.toInt());
    }
}

void TfmMain::SetTableName(const std::string& name) { Table.SetTableName(name); }

void TfmMain::SetDatabaseName(const std::string& name) { Table.SetDatabaseName(name); }

void TfmMain::SetDataButtons(bool enabled) {
    btExport->setEnabled(enabled);
    btEditButton->setEnabled(enabled);
    btSearch->setEnabled(enabled);
}

void TfmMain::ShowNoTable() {
    SetDataButtons(false);
    ShowToView(false);
    StatusPanels[1]->clear();
    StatusPanels[3]->clear();
    ShowCodePage();
}

void TfmMain::ShowRecordCount() {
    QString count =
        QStringLiteral("Numbers of records in \"%1\" :  %2").arg(text(Table.TableName())).arg(Table.RecordCount());
    // With a filter: the rows it shows.
    if (dExport->Filtered()) count += QStringLiteral("  (shown: %1)").arg(dExport->rowCount());
    StatusPanels[1]->setText(count);
}

// --- Start-up ------------------------------------------------------------------------------------

void TfmMain::FormCreate() {
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QRect geometry = screen->geometry();
        resize(geometry.width(), geometry.height());
        move(geometry.topLeft());
    }
    btExit->move(width() - 50, btExit->y());
    btAbout->move(width() - 77, btAbout->y());
    PlaceMigrateButton();
}

void TfmMain::FormActivate() {
    cbSQLVer->setCurrentIndex(0);
    dialect_ = cbSQLVer->currentText();
    GetAliasInfo();
    // Chosen from code: the alias's tables are not listed.
    if (lbAlias->count() > 0) lbAlias->setCurrentIndex(0);
    LastSearchFound = false;

    QSettings settings = openSettings();
    bool aliasFound = false;
    if (settings.contains(kDataBaseValue)) {
        const QString database = settings.value(kDataBaseValue).toString();
        SetDatabaseName(database.toStdString());
        for (int i = 0; i < lbAlias->count(); ++i) {
            if (lbAlias->itemText(i) == database) {
                aliasFound = true;
                lbAlias->setCurrentIndex(i);
            }
        }
        if (aliasFound) {
            lbAliasChange(database);
        } else {
            // A folder database remembered from opening files.
            ListBox->clear();
            if (settings.contains(kTableValue)) SetTableName(settings.value(kTableValue).toString().toStdString());
            FillListBox({text(Table.TableName())});
        }
        if (settings.contains(kTableValue)) {
            SetTableName(settings.value(kTableValue).toString().toStdString());
            for (int i = 0; i < ListBox->count(); ++i)
                if (ListBox->item(i)->text() == text(Table.TableName())) ListBox->setCurrentRow(i);
            OpenTable();
            if (aliasFound)
                setWindowTitle(CaptionBase + QStringLiteral(" - ") + text(Table.TableName()));
            else
                setWindowTitle(QStringLiteral("Tavrinth, File: ") + text(Table.DatabaseName()) + QStringLiteral(" - ") +
                               text(Table.TableName()));
            ShowRecordCount();
            StatusPanels[2]->setText(QStringLiteral(" View"));
            SetDataButtons(true);
        }
    }
    if (!aliasFound) CaptionBase = QStringLiteral("Tavrinth  -  File: ") + text(Table.DatabaseName());
}

void TfmMain::GetAliasInfo() {
    std::vector<std::string> aliases;
    TSession::Default().GetAliasNames(aliases);
    QStringList items;
    for (int i = 0; i < lbAlias->count(); ++i) items << lbAlias->itemText(i);
    for (const std::string& a : aliases) items << text(a);
    sortIgnoringCase(items);
    const QString typed = lbAlias->currentText();
    lbAlias->clear();
    lbAlias->addItems(items);
    lbAlias->setCurrentIndex(-1);
    lbAlias->setEditText(typed);
}

void TfmMain::FormClose() {
    // A change made in the grid and not yet written is written before the program ends.
    dExport->SubmitPending();
    KeepColumnWidths();
    QSettings settings = openSettings();
    settings.setValue(kDataBaseValue, text(Table.DatabaseName()));
    settings.setValue(kTableValue, text(Table.TableName()));
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw EDatabaseError("Failed to set data for '" + kDataBaseValue.toStdString() + "'");
}

void TfmMain::btExitClick() { close(); }

// --- The database choice ------------------------------------------------------------------------

void TfmMain::lbAliasTextEdited(const QString& typed) {
    // Typed text that names no alias chooses nothing: the table list and the database stay.
    const int index = lbAlias->findText(typed, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) return;
    lbAliasChange(lbAlias->itemText(index));
}

void TfmMain::lbAliasEntered() {
    const QString typed = lbAlias->currentText().trimmed();
    if (typed.isEmpty()) return;
    // An alias typed whole was chosen as it was typed.
    if (lbAlias->findText(typed, Qt::MatchExactly | Qt::MatchCaseSensitive) >= 0) return;
    if (!isDirectory(typed.toStdString())) {
        // The box goes back to the database in use.
        lbAlias->setEditText(text(Table.DatabaseName()));
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Unknown database: " + typed.toStdString() + " is neither an alias nor a folder");
    }
    // A folder: its tables, as an alias's.
    ListTablesOf(typed);
    DatabaseShortName = ApplyShortNameRule(Table.DatabaseName(), DatabaseShortName);
    CaptionBase = QStringLiteral("Tavrinth  -  File: ") + typed;
    setWindowTitle(CaptionBase);
}

void TfmMain::ListTablesOf(const QString& database) {
    CloseTable();
    ShowNoTable();
    std::vector<std::string> tables;
    TSession::Default().GetTableNames(database.toStdString(), "*.*", false, false, tables);
    QStringList names;
    for (const std::string& t : tables) names << text(t);
    FillListBox(names);
    SetDatabaseName(database.toStdString());
}

void TfmMain::lbAliasChange(const QString& alias) {
    ListTablesOf(alias);
    DatabaseShortName = alias.toStdString();
    CaptionBase = QStringLiteral("Tavrinth  -  Alias: ") + alias;
    setWindowTitle(CaptionBase);
}

void TfmMain::OpenFile() {
    OpenDialog->selectFile(QString());
    if (OpenDialog->exec() != QDialog::Accepted) return;
    ListFiles(OpenDialog->selectedFiles(), false);
}

void TfmMain::OpenFiles(const QStringList& given) {
    QStringList files, refused;
    for (const QString& f : given) {
        const QFileInfo info(f);
        const QString suffix = info.suffix().toLower();
        if (info.isFile() && (suffix == QLatin1String("db") || suffix == QLatin1String("dbf")))
            files << info.absoluteFilePath();
        else
            refused << f;
    }
    if (!files.isEmpty()) ListFiles(files, true);
    if (!refused.isEmpty())
        throw EDBEngineError(EDBEngineError::Code::NotFound,
                             "Not a table file (.db or .dbf): " + refused.join(QStringLiteral(", ")).toStdString());
}

void TfmMain::ListFiles(const QStringList& files, bool showFirst) {
    if (files.isEmpty()) return;
    CloseTable();
    ShowNoTable();
    // All chosen files are taken to lie in the folder of the first.
    const std::string first = files.first().toStdString();
    OpenDialog->setDirectory(text(PathWithoutLastPart(first)));
    SetTableName(LastPathPart(first));
    SetDatabaseName(PathWithoutLastPart(first));
    DatabaseShortName = ApplyShortNameRule(Table.DatabaseName(), DatabaseShortName);
    CaptionBase = QStringLiteral("Tavrinth  -  File: ") + text(Table.DatabaseName());
    setWindowTitle(CaptionBase);
    QStringList names;
    for (const QString& f : files) names << text(LastPathPart(f.toStdString()));
    FillListBox(names);
    lbAlias->setEditText(text(Table.DatabaseName()));
    if (showFirst) {
        const QString first = text(LastPathPart(files.first().toStdString()));
        for (int i = 0; i < ListBox->count(); ++i)
            if (ListBox->item(i)->text() == first) ListBox->setCurrentRow(i);
        if (!rbVis->isChecked()) rbVis->setChecked(true);  // switching the view runs the report driver
        else StartKonv();
    }
}

void TfmMain::FillListBox(QStringList names) {
    sortIgnoringCase(names);
    ListBox->clear();
    for (const QString& name : names) {
        auto* item = new QListWidgetItem(name, ListBox);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    ListBox->setCurrentRow(-1);
}

// --- Check marks and the deferred report run ----------------------------------------------------

void TfmMain::SelectAll() {
    for (int i = 0; i < ListBox->count(); ++i) ListBox->item(i)->setCheckState(Qt::Checked);
    StartKonv();
}

void TfmMain::SelectNone() {
    for (int i = 0; i < ListBox->count(); ++i) ListBox->item(i)->setCheckState(Qt::Unchecked);
    StartKonv();
}

// Enabling a running timer does not restart it; stopping and enabling again does.
void TfmMain::EnableTimer() {
    if (!Timer->isActive()) Timer->start();
}

void TfmMain::ListBoxClick() { EnableTimer(); }

void TfmMain::ListBoxKeyDown() { Timer->stop(); }

void TfmMain::ListBoxKeyUp() { EnableTimer(); }

}  // namespace tavrinth
