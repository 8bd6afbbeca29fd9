// The main window's searching, saving and printing, and its export and about buttons, driven
// through the real widgets (offscreen) with the modal dialogs and message boxes answered here.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <fstream>
#include <functional>

#include "about_box.h"
#include "db_grid.h"
#include "main_window.h"
#include "window_test_support.h"
#include "table_writer.h"
#include "tdexport.h"
#include "test_files.h"

using namespace tavrinth;

namespace {

// The window with its dialogs, message boxes and print jobs answered by the test.
class Window : public test::ErrorCatchingWindow {
public:
    QStringList messages;  // messages: "caption: text"
    QMessageBox::StandardButton answer = QMessageBox::Ok, defaultButton = QMessageBox::NoButton;
    std::function<int(QDialog*)> dialog = [](QDialog*) { return int(QDialog::Rejected); };
    std::function<void(QPrinter&, int)> printJob = [](QPrinter&, int) {};

protected:
    int RunDialog(QDialog* d) override { return dialog(d); }
    QMessageBox::StandardButton MessageBox(const QString& text, const QString& caption, QMessageBox::StandardButtons,
                                           QMessageBox::StandardButton def, QMessageBox::Icon) override {
        messages << caption + ": " + text;
        defaultButton = def;
        return answer;
    }
    void PrintJobStarting(QPrinter& printer, int copy) override { printJob(printer, copy); }
};

// A dBase table NAME (C 10), NOTE (C 10), QTY (N 5) with the given records.
void writeTable(const QString& path, const std::vector<std::tuple<std::string, std::string, int>>& rows) {
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 3;
    spec.fields = {{"NAME", 'C', 10, 0}, {"NOTE", 'C', 10, 0}, {"QTY", 'N', 5, 0}};
    for (const auto& [name, note, qty] : rows) spec.records.push_back({textValue(name), textValue(note), integerValue(qty)});
    createTable(path.toStdString(), spec);
}

// Accepts a file dialog with `file` chosen.
std::function<int(QDialog*)> choose(const QString& file) {
    return [file](QDialog* d) {
        auto* dialog = qobject_cast<QFileDialog*>(d);
        dialog->setDirectory(QFileInfo(file).path());
        dialog->selectFile(QFileInfo(file).fileName());
        return int(QDialog::Accepted);
    };
}

QString pdfText(const QString& pdf, const char* tool = "pdftotext") {
    QProcess p;
    p.start(QString::fromLatin1(tool), tool == QLatin1String("pdftotext") ? QStringList{pdf, "-"} : QStringList{pdf});
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

class SearchSavePrintTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path(const QString& name) const { return dir_.filePath(name); }

    // The window on the Sales alias with table `table` (or none) opened in the grid.
    void start(Window& w, const QString& table = QString()) {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Kelvora", "Tavrinth");
        s.clear();
        s.setValue("DataBase", "Sales");
        if (!table.isEmpty()) s.setValue("Table", table);
        s.sync();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
    }
    static void search(Window& w, const QString& text) {
        w.SearchText->setText(text);
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
    }
    static QString found(const Window& w) {
        const QModelIndex i = w.DBGrid->currentIndex();
        return QStringLiteral("%1,%2%3").arg(i.row()).arg(i.column()).arg(w.StatusPanels[3]->text());
    }

private slots:
    void initTestCase() {
        const QString db = path("sales");
        QVERIFY(QDir().mkpath(db));
        writeTable(db + "/A.DBF", {{"Apple", "apple", 1}, {"pear", "kiwi", 77}, {"grape", "APPLE", 3}});
        writeTable(db + "/B.DBF", {{"kiwi", "", 1}});
        writeTable(db + "/C.DBF", {{"plum", "kiwi", 1}, {"kiwi", "", 2}});
        std::vector<std::tuple<std::string, std::string, int>> many(3000, {"x", "y", 1});
        std::get<1>(many.back()) = "needle";
        writeTable(db + "/D.DBF", many);
        std::ofstream(path("aliases.conf").toStdString()) << "[Aliases]\nSales=" << db.toStdString() << "\n";
        qputenv("TAVRINTH_ALIASES", path("aliases.conf").toLocal8Bit());
    }

    void searchOneTable() {
        Window w;
        start(w, "A");
        QTest::mouseClick(w.btSearch, Qt::LeftButton);
        QVERIFY(w.SogPanel->isVisible() && w.cbAllFiles->isVisible());
        search(w, "apple");  // case-insensitive; the first text field of a record is found
        QCOMPARE(found(w), QString("0,0 Line no. 1"));
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);  // NOTE of record 1 is passed over
        QCOMPARE(found(w), QString("2,1 Line no. 3"));
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);  // still at the end: at once again
        QCOMPARE(w.messages, QStringList(2, "Search: Text not found !"));
        QTest::mouseClick(w.DBGrid->viewport(), Qt::LeftButton, {}, w.DBGrid->visualRect(w.DBGrid->model()->index(0, 2)).center());
        w.cbCase->setChecked(true);
        search(w, "apple");
        QCOMPARE(found(w), QString("0,1 Line no. 1"));
        search(w, "77");  // numbers are not searched
        QCOMPARE(w.messages.size(), 3);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QTest::mouseClick(w.btSearch, Qt::LeftButton);
        QVERIFY(!w.SogPanel->isVisible());

        // A long table is read through the table's cursor, not through the grid's rows.
        QTest::mouseClick(w.ListBox->viewport(), Qt::LeftButton, {}, w.ListBox->visualItemRect(w.ListBox->item(3)).center());
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 3000);
        const auto read = w.DBGrid->DataSource()->RecordsRead();
        search(w, "needle");
        QCOMPARE(found(w), QString("2999,1 Line no. 3000"));
        QVERIFY(w.DBGrid->DataSource()->RecordsRead() - read <= 2 * TdExport::kPageRows);
        QVERIFY(w.errors.isEmpty());
    }

    void searchManyTables() {
        Window w;
        start(w, "A");
        w.ListBox->item(0)->setCheckState(Qt::Checked);  // A and C; B holds kiwi but is not checked
        w.ListBox->item(2)->setCheckState(Qt::Checked);
        QTest::mouseClick(w.DBGrid->viewport(), Qt::LeftButton, {}, w.DBGrid->visualRect(w.DBGrid->model()->index(2, 0)).center());
        QTest::mouseClick(w.btSearch, Qt::LeftButton);
        w.cbAllFiles->setChecked(true);
        QStringList seen;
        w.SearchText->setText("KIWI");
        for (int i = 0; i < 5; ++i) {
            QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
            seen << w.windowTitle().section(" - ", -1) + ":" + found(w).section(' ', 0, 0);
        }
        // A reopened and searched from its first record; after a match the search goes on in the
        // same table; after "Text not found !" it starts again with the first table.
        QCOMPARE(seen, QStringList({"A:1,1", "C:0,1", "C:1,0", "C:1,0", "A:1,1"}));
        QCOMPARE(w.messages, QStringList("Search: Text not found !"));
        QCOMPARE(w.ListBox->currentRow(), 0);
        QCOMPARE(w.StatusPanels[1]->text(), QString("Numbers of records in \"A\" :  3"));
        // Nothing checked and nothing selected: nothing is searched.
        for (int i : {0, 2}) w.ListBox->item(i)->setCheckState(Qt::Unchecked);
        w.ListBox->setCurrentRow(-1);
        w.ListBox->clearSelection();
        search(w, "zzz");
        QCOMPARE(w.messages.size(), 2);
        QVERIFY(w.errors.isEmpty());
    }

    void searchReportText() {
        Window w;
        start(w);
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QTest::mouseClick(w.btSearchDefinition, Qt::LeftButton);
        QVERIFY(w.SogPanel->isVisible() && !w.cbAllFiles->isVisible());
        w.Editor->setPlainText("one Two\nthree two");
        QTextCursor caret(w.Editor->document());
        caret.setPosition(12);  // a caret without a selection: from the top
        w.Editor->setTextCursor(caret);
        auto selected = [&] { return QString("%1:%2").arg(w.Editor->textCursor().selectionStart()).arg(w.Editor->textCursor().selectedText()); };
        search(w, "two");
        QCOMPARE(selected(), QString("4:Two"));
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
        QCOMPARE(selected(), QString("14:two"));
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);  // no more: nothing changes, no message
        QCOMPARE(selected(), QString("14:two"));
        w.cbCase->setChecked(true);
        w.Editor->setTextCursor(caret);
        search(w, "Two");
        QCOMPARE(selected(), QString("4:Two"));
        QVERIFY(w.messages.isEmpty());
    }

    void saveProposalsAndUnitName() {
        Window w;
        start(w);
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QStringList proposed;
        QString chosen;
        w.dialog = [&](QDialog* d) {
            auto* dialog = qobject_cast<QFileDialog*>(d);
            proposed << QFileInfo(dialog->selectedFiles().value(0)).fileName() + " " + dialog->defaultSuffix() + " " +
                            dialog->selectedNameFilter().section(' ', 0, 0);
            if (dialog->windowTitle() != "Save database information" || dialog->directory().path() != QDir::homePath())
                proposed << "wrong title or folder";
            return choose(chosen)(d);
        };
        auto save = [&](const QString& file) {
            chosen = file;
            w.Editor->setPlainText(QString::fromUtf8("a\u00a0b\nline 2"));
            QTest::mouseClick(w.btSave, Qt::LeftButton);
        };
        save(path("def.txt"));
        QCOMPARE(test::readFile(path("def.txt").toStdString()), std::string("a\xc2\xa0" "b\r\nline 2"));
        QTest::mouseClick(w.cbSQL, Qt::LeftButton);
        save(path("def.txt"));  // replaced without a question
        QTest::keyClick(w.cbSQLVer, Qt::Key_End);  // Delphi
        save(path("CrSales.pas"));                 // the unit's name in another folder: no question
        w.answer = QMessageBox::No;
        save(path("crsales.pas"));  // another letter case: asked, and No saves nothing
        QCOMPARE(w.defaultButton, QMessageBox::No);
        QVERIFY(!QFile::exists(path("crsales.pas")));
        w.answer = QMessageBox::Yes;
        save(path("unit.pas"));
        QVERIFY(QFile::exists(path("unit.pas")));
        QCOMPARE(proposed, QStringList({"Sales.txt txt Text", "CreateSales.sql sql SQL", "CrSales.pas pas Delphi",
                                        "CrSales.pas pas Delphi", "CrSales.pas pas Delphi"}));
        const QString unitName = "Save message: Filename is not the same as unit-name !\nUnit will not compile without "
                                 "errors in Delphi.\n\n                 Continue saving file ?";
        QCOMPARE(w.messages, QStringList({"Tavrinth: File saved", "Tavrinth: File saved", "Tavrinth: File saved",
                                          unitName, unitName, "Tavrinth: File saved"}));

        // A file that cannot be made (a folder has the name): the error, no "File saved".
        w.messages.clear();
        QVERIFY(QDir().mkpath(path("taken.pas")));
        save(path("taken.pas"));
        QCOMPARE(w.errors, QStringList("Cannot create file " + path("taken.pas")));
        QCOMPARE(w.messages, QStringList(unitName));
        w.messages.clear();
        w.dialog = [](QDialog*) { return int(QDialog::Rejected); };
        QTest::mouseClick(w.btSave, Qt::LeftButton);
        QVERIFY(w.messages.isEmpty() && w.errors.size() == 1);
    }

    void printingToPdf() {
        Window w;
        start(w);
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QStringList lines;
        for (int i = 1; i <= 150; ++i) lines << QString("line %1").arg(i);
        QStringList words;
        for (int i = 1; i <= 60; ++i) words << QString("W%1").arg(i, 3, 10, QChar('0'));
        lines[1] = words.join(' ');  // wider than the page: wrapped, not cut off
        w.Editor->setPlainText(lines.join('\n'));
        QList<int> copiesPerJob;
        w.dialog = [&](QDialog* d) {
            QPrinter* printer = qobject_cast<QPrintDialog*>(d)->printer();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(path("print.pdf"));
            printer->setCopyCount(2);
            return int(QDialog::Accepted);
        };
        w.printJob = [&](QPrinter& printer, int copy) {
            copiesPerJob << printer.copyCount();
            printer.setOutputFileName(path(QString("job%1.pdf").arg(copy)));
        };
        QTest::mouseClick(w.btPrint, Qt::LeftButton);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(copiesPerJob, QList<int>({1, 1}));  // two jobs of one copy each
        for (const char* job : {"job1.pdf", "job2.pdf"}) {
            const QString text = pdfText(path(job));
            QVERIFY(text.contains("line 1\n") && text.contains("W001") && text.contains("W060") && text.contains("line 150"));
            const QString info = pdfText(path(job), "pdfinfo");
            QVERIFY2(info.contains(QRegularExpression("Title: +Tavrinth\n")), qPrintable(info));
            QVERIFY(info.contains(QRegularExpression("Pages: +[2-9]\n")));
        }
        // The count chosen stays for the next time; no printer chosen: the error.
        w.dialog = [&](QDialog* d) {
            QPrinter* printer = qobject_cast<QPrintDialog*>(d)->printer();
            copiesPerJob = {printer->copyCount()};
            printer->setOutputFileName(QString());
            return int(QDialog::Accepted);
        };
        QTest::mouseClick(w.btPrint, Qt::LeftButton);
        QCOMPARE(copiesPerJob, QList<int>({2}));
        QCOMPARE(w.errors, QStringList("There is no default printer currently selected"));
    }

    // A printed report keeps the pane's columns: tab stops every 8 characters, one printed line
    // for each line of the pane (read back with pdftotext -layout).
    void printedReportKeepsItsColumns() {
        Window w;
        start(w);
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        const QStringList lines = {"\tDatabase   : \tsales\t\t\tDate: 12/9/2026",
                                   "\tTable\t\tA\tRecord Size: \t16",
                                   "\tField Name\tType\t\tSize\tRequired",
                                   "\tNAME\t\tAlpha\t\t10\tFalse",
                                   "\tQUANTITY_ON_HAND\tNumber\t\t5\tTrue",
                                   "x\ty\tz"};
        w.Editor->setPlainText(lines.join('\n'));
        w.dialog = [&](QDialog* d) {
            QPrinter* printer = qobject_cast<QPrintDialog*>(d)->printer();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(path("columns.pdf"));
            printer->setCopyCount(1);
            return int(QDialog::Accepted);
        };
        w.printJob = [&](QPrinter& printer, int) { printer.setOutputFileName(path("columns.pdf")); };
        QTest::mouseClick(w.btPrint, Qt::LeftButton);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QProcess p;
        p.start("pdftotext", {"-layout", path("columns.pdf"), "-"});
        QVERIFY(p.waitForFinished());
        QStringList printed;
        for (QString line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
            while (line.endsWith(' ') || line.endsWith('\f')) line.chop(1);
            if (!line.isEmpty()) printed << line;
        }
        // One printed line for each line of the pane, with its words, and the words the tab stops
        // put in one column in one column on paper (pdftotext places text by its position).
        QCOMPARE(printed.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(printed[i].split(' ', Qt::SkipEmptyParts), lines[i].split(QRegularExpression("[\t ]+"), Qt::SkipEmptyParts));
        for (const auto& [above, below] : {std::pair{"Type", "Alpha"}, {"Size", "10"}, {"Required", "False"}, {"Field", "NAME"}})
            QCOMPARE(printed[2].indexOf(QString(above) + (QString(above) == "Size" ? " " : "")), printed[3].indexOf(below));
        QCOMPARE(printed[3].indexOf("Alpha"), printed[4].indexOf("Number") - 8);  // a name past its stop: one stop on
    }

    void exportAndAbout() {
        // Record 2's QTY holds bytes that are no number.
        const QString table = path("sales/E.DBF");
        writeTable(table, {{"a", "b", 1}, {"c", "d", 2}});
        std::string bytes = test::readFile(table.toStdString());
        const std::size_t header = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
        bytes.replace(header + 2 * 26 - 5, 5, "ab?cd");
        test::writeFile(table.toStdString(), bytes);
        Window w;
        start(w, "E");
        QString folder, title;
        w.dialog = [&](QDialog* d) {
            auto* dialog = qobject_cast<QFileDialog*>(d);
            title = dialog->windowTitle() + " " + QFileInfo(dialog->selectedFiles().value(0)).fileName();
            folder = dialog->directory().path();
            return choose(path("out/e.csv"))(d);
        };
        QVERIFY(QDir().mkpath(path("out")));
        QTest::mouseClick(w.btExport, Qt::LeftButton);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(test::readFile(path("out/e.csv").toStdString()), std::string("NAME;NOTE;QTY\r\n\"a\";\"b\";1\r\n\"c\";\"d\";\r\n"));
        QCOMPARE(w.messages, QStringList("Tavrinth: " + QString::fromStdString(conversionFailureMessage(1, path("out/e.csv").toStdString()))));
        QCOMPARE(title, QString("Export table: \"Sales - E\" to textfile E.txt"));
        QCOMPARE(folder, QDir::homePath());
        QTest::mouseClick(w.btExport, Qt::LeftButton);
        QCOMPARE(folder, path("out"));  // the next export starts in the last one's folder
        QVERIFY(w.StatusPanels[0]->text().contains("e.csv"));  // said when written

        // The options below the file choice: "CSV-file" makes the delimiter a comma; no field
        // names; the choices stay for the next export.
        w.dialog = [&](QDialog* d) {
            auto* dialog = qobject_cast<QFileDialog*>(d);
            dialog->selectNameFilter("CSV-file (*.csv *.CSV)");
            emit dialog->filterSelected("CSV-file (*.csv *.CSV)");
            auto* names = dialog->findChild<QCheckBox*>("cbExportFieldNames");
            if (names) QTest::mouseClick(names, Qt::LeftButton);
            return choose(path("out/f.csv"))(d);
        };
        QTest::mouseClick(w.btExport, Qt::LeftButton);
        QCOMPARE(test::readFile(path("out/f.csv").toStdString()), std::string("\"a\",\"b\",1\r\n\"c\",\"d\",\r\n"));
        QCOMPARE(w.cbExportDelimiter->currentText(), QString("Comma"));
        QVERIFY(!w.cbExportFieldNames->isChecked());

        bool shown = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<TfmAbout*>(QApplication::activeModalWidget());
            shown = about != nullptr;
            if (about) about->close();
        });
        QTest::mouseClick(w.btAbout, Qt::LeftButton);
        QVERIFY(shown);
    }
};

int main(int argc, char** argv) { return tavrinth::test::runWindowTests<SearchSavePrintTest>(argc, argv); }

#include "search_save_print_test.moc"
