// Adding, deleting and moving records through the window's grid, driven by keys (offscreen), on a
// copy of the sample database (tavrinth-cli make-samples): the grid shows the table's new order,
// its current row follows the record written, and the files read back as the grid showed them
// (tavrinth-cli check).

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "db_grid.h"
#include "main_window.h"
#include "table.h"
#include "tdexport.h"
#include "test_files.h"
#include "window_test_support.h"

using namespace tavrinth;

namespace {

// The window with its error box caught and its questions answered by the test.
class Window : public test::ErrorCatchingWindow {
public:
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    QStringList questions;

protected:
    QMessageBox::StandardButton MessageBox(const QString& text, const QString&, QMessageBox::StandardButtons,
                                           QMessageBox::StandardButton, QMessageBox::Icon) override {
        questions << text;
        return answer;
    }
};

QString runCli(const QStringList& arguments) {
    QProcess cli;
    cli.start(TAVRINTH_CLI, arguments);
    if (!cli.waitForFinished(60000)) return QStringLiteral("(tavrinth-cli did not finish)");
    return QString::fromUtf8(cli.readAllStandardOutput() + cli.readAllStandardError()).trimmed();
}

// A field of every record of a table file, as the engine reads it now.
QStringList column(const QString& path, const char* field) {
    TTable t;
    t.SetTableName(path.toStdString());
    t.Open();
    QStringList values;
    for (t.First(); !t.Eof(); t.Next()) values << QString::fromStdString(t.FieldByName(field).AsString());
    return values;
}

}  // namespace

class GridEditingTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString made_;  // the sample database as make-samples wrote it
    int copies_ = 0;

    // A copy of the sample database of this test's own.
    QString copySamples() {
        const QString folder = dir_.filePath(QStringLiteral("copy%1").arg(++copies_));
        QDir().mkpath(folder);
        for (const QString& name : QDir(made_).entryList(QDir::Files)) QFile::copy(made_ + "/" + name, folder + "/" + name);
        return folder;
    }

    static void start(Window& w, const QString& file, int rows) {
        w.SetStartFiles({file});
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), rows);
        w.DBGrid->setFocus();
    }

    static TdExport& source(Window& w) { return *w.DBGrid->DataSource(); }
    static QString cell(Window& w, int row, int column) { return w.DBGrid->model()->index(row, column).data().toString(); }
    static int currentRow(Window& w) { return w.DBGrid->currentIndex().row(); }
    static void goTo(Window& w, int row, int column) { w.DBGrid->setCurrentIndex(w.DBGrid->model()->index(row, column)); }

    // Types a value into the grid's current cell as a user does: the first key opens the cell's
    // editor, Enter gives the text back (in a new record's row the next cell becomes current).
    static void type(Window& w, const QString& text) {
        QApplication::processEvents();  // the focus back in the grid after an error box, first
        QTest::keyClick(w.DBGrid, text.at(0).toLatin1());
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY2(editor, qPrintable(text));
        QTest::keyClicks(editor, text.mid(1));
        QTest::keyClick(editor, Qt::Key_Return);
        QApplication::processEvents();  // the editor gives its text back on the next round
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        made_ = dir_.filePath("made");
        const QString out = runCli({"make-samples", made_});
        QVERIFY2(QFile::exists(made_ + "/STOCK.DBF") && QFile::exists(made_ + "/ORDERS.DB"), qPrintable(out));
    }

    // No table remembered from the test before.
    void init() { QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvora", "Tavrinth").clear(); }

    // A dBase table with .MDX tags: a record added with its keys, then one deleted.
    void insertAndDeleteInDBase() {
        const QString stock = copySamples() + "/STOCK.DBF";
        Window w;
        start(w, stock, 6);
        QAbstractItemModelTester tester(w.DBGrid->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModel* model = w.DBGrid->model();
        const std::string before = test::readFile(stock.toStdString());

        // Viewing: the table is read-only, the keys do nothing.
        goTo(w, 5, 0);
        QTest::keyClick(w.DBGrid, Qt::Key_Insert);
        QTest::keyClick(w.DBGrid, Qt::Key_Delete, Qt::ControlModifier);
        QCOMPARE(model->rowCount(), 6);
        QVERIFY(w.questions.isEmpty());

        // Down on the last row: a new row after it, on its first cell; typing fills it, and
        // Enter past its last cell writes it (REMARK, a memo, is not typed into).
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        goTo(w, 5, 0);
        QTest::keyClick(w.DBGrid, Qt::Key_Down);
        QCOMPARE(model->rowCount(), 7);
        QCOMPARE(source(w).InsertingRow(), 6);
        QCOMPARE(w.DBGrid->currentIndex(), model->index(6, 0));
        QCOMPARE(model->headerData(6, Qt::Vertical).toString(), QString("*"));
        for (const char* value : {"K-900", "OSLO", "75", "412.5", "2024-05-02"}) type(w, value);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(source(w).InsertingRow(), -1);
        QCOMPARE(model->rowCount(), 7);
        QCOMPARE(currentRow(w), 6);  // a dBase record goes after the last one
        QCOMPARE(cell(w, 6, 0), QString("K-900"));
        QCOMPARE(cell(w, 6, 1), QString("OSLO"));
        QVERIFY2(w.StatusPanels[1]->text().endsWith(":  7"), qPrintable(w.StatusPanels[1]->text()));
        QCOMPARE(column(stock, "PARTNO").last(), QString("K-900"));
        QCOMPARE(column(stock, "QTY").last(), QString("75"));
        QCOMPARE(runCli({"check", stock}), QString("ok"));

        // A new row left with Esc goes, and nothing is written.
        const std::string written = test::readFile(stock.toStdString());
        goTo(w, 2, 1);
        QTest::keyClick(w.DBGrid, Qt::Key_Insert);
        QCOMPARE(source(w).InsertingRow(), 7);
        type(w, "X-1");
        QTest::keyClick(w.DBGrid, Qt::Key_Escape);
        QCOMPARE(source(w).InsertingRow(), -1);
        QCOMPARE(model->rowCount(), 7);
        QCOMPARE(currentRow(w), 2);
        QCOMPARE(test::readFile(stock.toStdString()), written);

        // Ctrl+Delete asks; No keeps the record, Yes deletes it and the next one is current.
        goTo(w, 1, 0);
        w.answer = QMessageBox::No;
        QTest::keyClick(w.DBGrid, Qt::Key_Delete, Qt::ControlModifier);
        QCOMPARE(w.questions, QStringList{"Delete record?"});
        QCOMPARE(model->rowCount(), 7);
        QCOMPARE(test::readFile(stock.toStdString()), written);
        w.answer = QMessageBox::Yes;
        QTest::keyClick(w.DBGrid, Qt::Key_Delete, Qt::ControlModifier);
        QCOMPARE(w.questions.size(), 2);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(model->rowCount(), 6);
        QCOMPARE(currentRow(w), 1);
        QCOMPARE(cell(w, 1, 0), QString("A-120"));  // the record after A-100 LYON
        QVERIFY2(w.StatusPanels[1]->text().endsWith(":  6"), qPrintable(w.StatusPanels[1]->text()));
        QVERIFY(w.cbShowDeleted->isEnabled());
        QCOMPARE(column(stock, "WAREHOUSE"), QStringList({"HAMBURG", "HAMBURG", "HAMBURG", "LYON", "SEATTLE", "OSLO"}));
        QVERIFY(runCli({"dump", stock}).contains("*,A-100,LYON"));
        QCOMPARE(runCli({"check", stock}), QString("ok"));
        QVERIFY(test::readFile(stock.toStdString()) != before);

        // Showing the deleted records too: a new record goes after the last record of the file.
        QTest::mouseClick(w.cbShowDeleted, Qt::LeftButton);
        QCOMPARE(model->rowCount(), 7);
        QVERIFY(source(w).RowDeleted(1));
        w.DBGrid->setFocus();
        QTest::keyClick(w.DBGrid, Qt::Key_Insert);
        QCOMPARE(source(w).InsertingRow(), 7);
        type(w, "Q-5");
        QTest::keyClick(w.DBGrid, Qt::Key_Up);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(model->rowCount(), 8);
        QCOMPARE(currentRow(w), 7);
        QCOMPARE(cell(w, 7, 0), QString("Q-5"));
        QVERIFY(source(w).RowDeleted(1) && !source(w).RowDeleted(7));
        QVERIFY2(w.StatusPanels[1]->text().endsWith(":  7"), qPrintable(w.StatusPanels[1]->text()));
        QCOMPARE(runCli({"check", stock}), QString("ok"));
    }

    // Sorted and filtered rows are worked out again after a record is added or deleted.
    void sortedAndFilteredRowsFollow() {
        const QString stock = copySamples() + "/STOCK.DBF";
        Window w;
        start(w, stock, 6);
        QAbstractItemModel* model = w.DBGrid->model();
        QTest::keyClicks(w.FilterText, "hamburg");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        w.DBGrid->horizontalHeader()->setSortIndicator(2, Qt::DescendingOrder);  // QTY
        QTRY_COMPARE(model->rowCount(), 3);
        QCOMPARE(cell(w, 0, 2), QString("1200"));
        w.DBGrid->setFocus();

        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QTest::keyClick(w.DBGrid, Qt::Key_Insert);
        QCOMPARE(source(w).InsertingRow(), 3);
        for (const char* value : {"C-310", "HAMBURG", "500"}) type(w, value);
        QTest::keyClick(w.DBGrid, Qt::Key_Up);  // leaving the row writes it
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(model->rowCount(), 4);
        QCOMPARE(currentRow(w), 1);  // between 1200 and 300
        QCOMPARE(cell(w, 1, 0), QString("C-310"));
        QTRY_COMPARE(w.DBGrid->selectionModel()->selectedIndexes(), QModelIndexList{w.DBGrid->currentIndex()});
        QVERIFY2(w.StatusPanels[1]->text().contains("(shown: 4)"), qPrintable(w.StatusPanels[1]->text()));

        QTest::keyClick(w.DBGrid, Qt::Key_Delete, Qt::ControlModifier);
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(currentRow(w), 1);
        QCOMPARE(cell(w, 1, 2), QString("300"));  // the next row's record
        QCOMPARE(runCli({"check", stock}), QString("ok"));
    }

    // A keyed Paradox table: a changed key moves its record, a new record goes to its place in
    // key order, a key that exists is refused with nothing written.
    void keyOrderInParadox() {
        const QString folder = copySamples();
        const QString orders = folder + "/ORDERS.DB";
        Window w;
        start(w, orders, 8);
        QAbstractItemModelTester tester(w.DBGrid->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QAbstractItemModel* model = w.DBGrid->model();
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QVERIFY2(model->flags(model->index(0, 0)) & Qt::ItemIsEditable, qPrintable(source(w).ReadOnlyReason(0)));

        // OrderNo 1001 becomes the largest: written when the grid leaves the row, the record is
        // last now, and the grid is on it.
        goTo(w, 0, 0);
        type(w, "2001");
        QTest::keyClick(w.DBGrid, Qt::Key_Down);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(model->rowCount(), 8);
        QCOMPARE(currentRow(w), 7);
        QCOMPARE(cell(w, 7, 0), QString("2001"));
        QCOMPARE(cell(w, 7, 1), QString("1"));  // CustNo of the record
        QCOMPARE(cell(w, 0, 0), QString("1002"));
        QCOMPARE(column(orders, "OrderNo").last(), QString("2001"));
        QCOMPARE(runCli({"check", orders}), QString("ok"));

        // A new record with a key between the others: shown at its place once written.
        QTest::keyClick(w.DBGrid, Qt::Key_Insert);
        QCOMPARE(source(w).InsertingRow(), 8);
        QCOMPARE(w.DBGrid->currentIndex(), model->index(8, 0));
        for (const char* value : {"1500", "3", "2024-04-01"}) type(w, value);
        QTest::keyClick(w.DBGrid, Qt::Key_Up);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(source(w).InsertingRow(), -1);
        QCOMPARE(model->rowCount(), 9);
        QCOMPARE(currentRow(w), 7);
        QCOMPARE(cell(w, 7, 0), QString("1500"));
        QCOMPARE(cell(w, 8, 0), QString("2001"));
        QCOMPARE(cell(w, 7, 5), QString("Open"));  // the validity check's default
        QCOMPARE(column(orders, "OrderNo"),
                 QStringList({"1002", "1003", "1004", "1005", "1006", "1007", "1008", "1500", "2001"}));
        QCOMPARE(runCli({"check", orders}), QString("ok"));

        // A key that exists: refused in the error box, nothing written, the row stays new to be
        // corrected; once corrected it is written.
        QStringList files;
        for (const QString& name : QDir(folder).entryList({"ORDERS.*"}, QDir::Files)) files << folder + "/" + name;
        std::vector<std::string> before;
        for (const QString& f : files) before.push_back(test::readFile(f.toStdString()));
        QTest::keyClick(w.DBGrid, Qt::Key_Insert);
        for (const char* value : {"1004", "5"}) type(w, value);
        QTest::keyClick(w.DBGrid, Qt::Key_Up);
        QCOMPARE(w.errors.size(), 1);
        QVERIFY2(w.errors.first().contains("1004"), qPrintable(w.errors.first()));
        QCOMPARE(source(w).InsertingRow(), 9);
        QCOMPARE(currentRow(w), 9);
        QTRY_COMPARE(w.DBGrid->selectionModel()->selectedIndexes(), QModelIndexList{w.DBGrid->currentIndex()});
        for (qsizetype i = 0; i < files.size(); ++i)
            QVERIFY2(test::readFile(files[i].toStdString()) == before[static_cast<std::size_t>(i)], qPrintable(files[i]));
        QTest::keyClick(w.DBGrid, Qt::Key_Home);
        QCOMPARE(w.DBGrid->currentIndex(), model->index(9, 0));
        type(w, "1700");
        QTest::keyClick(w.DBGrid, Qt::Key_Up);
        QCOMPARE(w.errors.size(), 1);
        QCOMPARE(model->rowCount(), 10);
        QCOMPARE(currentRow(w), 8);
        QCOMPARE(cell(w, 8, 0), QString("1700"));
        QCOMPARE(cell(w, 8, 1), QString("5"));

        // A record deleted: the next one is current.
        goTo(w, 7, 0);
        QTest::keyClick(w.DBGrid, Qt::Key_Delete, Qt::ControlModifier);
        QVERIFY2(w.errors.size() == 1, qPrintable(w.errors.join('|')));
        QCOMPARE(model->rowCount(), 9);
        QCOMPARE(currentRow(w), 7);
        QCOMPARE(cell(w, 7, 0), QString("1700"));
        QCOMPARE(column(orders, "OrderNo"),
                 QStringList({"1002", "1003", "1004", "1005", "1006", "1007", "1008", "1700", "2001"}));
        QCOMPARE(runCli({"check", orders}), QString("ok"));
    }
};

int main(int argc, char** argv) { return tavrinth::test::runWindowTests<GridEditingTest>(argc, argv); }

#include "grid_editing_test.moc"
