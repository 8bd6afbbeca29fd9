// TfmMain: the report driver. Every change of what the user wants to see runs StartKonv: the
// Show view opens the selected table in the grid; the Structure view writes the structure report
// of the tables the selection rule picks.

#include <QApplication>
#include <QComboBox>
#include <QDate>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include "export_locale.h"
#include "main_window.h"
#include "path_names.h"
#include "tdexport.h"

namespace tavrinth {

namespace {

// The hourglass while tables are opened and reported; back to normal at every end.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() {
        if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

// The selection rule: with any entry checked the checked entries take part, else the selected one.
bool TfmMain::AnyChecked() const {
    for (int i = 0; i < ListBox->count(); ++i)
        if (ListBox->item(i)->checkState() == Qt::Checked) return true;
    return false;
}

QStringList TfmMain::PickedTables() const {
    const bool anyChecked = AnyChecked();
    QStringList names;
    for (int i = 0; i < ListBox->count(); ++i) {
        const QListWidgetItem* item = ListBox->item(i);
        if (anyChecked ? item->checkState() == Qt::Checked : item->isSelected()) names << item->text();
    }
    return names;
}

void TfmMain::ShowReport() {
    QString all;
    for (std::size_t i = 0; i < reportLines_.size(); ++i) {
        if (i > 0) all += QLatin1Char('\n');
        all += QString::fromStdString(reportLines_[i]);
    }
    Editor->setPlainText(all);
}

void TfmMain::StartKonv() {
    WaitCursor wait;
    DatabaseShortName = ApplyShortNameRule(Table.DatabaseName(), DatabaseShortName);
    Timer->stop();

    const UserLocale locale = UserLocale::system();
    ReportOptions options;
    options.sqlScript = cbSQL->isChecked();
    options.dialect = cbSQLVer->currentText().toStdString();
    options.databaseShortName = DatabaseShortName;
    options.dateText = locale.locale.toString(QDate::currentDate(), locale.shortDateFormat).toStdString();
    options.decimalSeparator = locale.decimalSeparator.toStdString();
    StructureReportRun run(reportLines_, options);
    // The pane shows what was written, also when an error ends the run part way.
    struct EndOfRun {
        TfmMain* window;
        ~EndOfRun() {
            window->run_ = nullptr;
            window->ShowReport();
        }
    } endOfRun{this};
    run_ = &run;

    run.Begin();
    const bool anyChecked = AnyChecked();
    setWindowTitle(CaptionBase);
    StatusPanels[2]->clear();

    const bool showView = rbVis->isChecked();
    // A report over several tables can take a while: a progress dialog with Cancel (the report
    // then holds the tables done so far).
    int reported = 0, toReport = 0;
    if (!showView)
        for (int i = 0; i < ListBox->count(); ++i)
            if (anyChecked ? ListBox->item(i)->checkState() == Qt::Checked : ListBox->item(i)->isSelected()) ++toReport;
    std::unique_ptr<WorkProgress> progress;
    if (toReport > 1) progress = std::make_unique<WorkProgress>(this, QStringLiteral("Writing the report ..."), toReport);
    for (int i = 0; i < ListBox->count(); ++i) {
        const QListWidgetItem* item = ListBox->item(i);
        if (showView) {
            if (!item->isSelected()) continue;
            CloseTable();
            SetDataButtons(true);
            SetTableName(item->text().toStdString());
            setWindowTitle(CaptionBase + QStringLiteral(" - Table: ") + item->text());
            OpenTable();
            ShowRecordCount();
            // Each opening shows the table to view, and the panels tell it: the count, the mode,
            // no line number until the grid's cursor moves.
            ShowToView(true);
            StatusPanels[3]->clear();
        } else {
            const bool takesPart = anyChecked ? item->checkState() == Qt::Checked : item->isSelected();
            if (!takesPart) continue;
            if (progress && !progress->step(reported++)) break;
            CloseTable();
            SetDataButtons(false);
            SetTableName(item->text().toStdString());
            OpenTable();
            TestFunk();
        }
    }
    run.Finish();
}

// The generator the report kind chooses appends the open table's part (the report run of
// StartKonv knows the kind, the dialect and the Delphi unit's state).
void TfmMain::TestFunk() {
    if (run_) run_->ReportTable(Table);
}

}  // namespace tavrinth
