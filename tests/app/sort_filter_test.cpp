// Sorting and filtering the grid's rows in the real window (offscreen), driven by clicks on the
// column titles and keys in the filter box: the rows' order, edits and the BLOB viewer reaching
// the right record, the search placing the grid on the found record's row, the count panel, and
// a new table starting in its own order without a filter.

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>

#include "blob_viewer.h"
#include "db_grid.h"
#include "main_window.h"
#include "window_test_support.h"
#include "table.h"
#include "table_writer.h"
#include "tdexport.h"

using namespace tavrinth;

namespace {

constexpr int kRecords = 300;

// Record i (from 1) of People.DB: No i, Name "<base> i" in five spellings, Qty (i * 37) % 101 or
// NULL for every 40th, Notes a memo.
QString nameOf(int i) {
    static const char* const bases[] = {"Alpha", "beta", "GAMMA", "delta", "\u00C4rger"};
    return QString::fromUtf8(bases[i % 5]) + " " + QString::number(i);
}
std::optional<int> qtyOf(int i) {
    if (i % 40 == 0) return std::nullopt;
    return (i * 37) % 101;
}

void writePeople(const QString& path) {
    TableSpec spec;
    spec.fields = {{"No", 'I', 0, 0}, {"Name", 'A', 16, 0}, {"Qty", 'I', 0, 0}, {"Notes", 'M', 11, 0}};
    for (int i = 1; i <= kRecords; ++i) {
        const std::optional<int> qty = qtyOf(i);
        spec.records.push_back({integerValue(i), textValue(nameOf(i).toStdString()),
                                qty ? integerValue(*qty) : FieldValue(),
                                textValue("note " + std::to_string(i))});
    }
    createTable(path.toStdString(), spec);
}

void writeOther(const QString& path) {
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 3;
    spec.fields = {{"CODE", 'C', 8, 0}};
    for (int i = 1; i <= 7; ++i) spec.records.push_back({textValue("c" + std::to_string(i))});
    createTable(path.toStdString(), spec);
}

// The record numbers (No) in the order a sort by Qty gives: NULLs first, equal values in table
// order; descending turns the order round but keeps equal values in table order.
QStringList byQty(bool descending, const std::function<bool(int)>& shown = [](int) { return true; }) {
    std::vector<int> nos;
    for (int i = 1; i <= kRecords; ++i)
        if (shown(i)) nos.push_back(i);
    std::stable_sort(nos.begin(), nos.end(), [descending](int a, int b) {
        const std::optional<int> x = qtyOf(a), y = qtyOf(b);
        if (!x || !y) return descending ? (x && !y) : (!x && y);
        return descending ? *x > *y : *x < *y;
    });
    QStringList out;
    for (const int n : nos) out << QString::number(n);
    return out;
}

// The window with its boxes caught, and the BLOB viewer's text kept instead of shown.
class Window : public test::ErrorCatchingWindow {
public:
    QStringList messages, viewed;

protected:
    QMessageBox::StandardButton MessageBox(const QString& text, const QString&, QMessageBox::StandardButtons,
                                           QMessageBox::StandardButton, QMessageBox::Icon) override {
        messages << text;
        return QMessageBox::Ok;
    }
    int RunDialog(QDialog* dialog) override {
        if (auto* viewer = qobject_cast<TBlobViewer*>(dialog)) viewed << viewer->Text();
        return QDialog::Rejected;
    }
};

}  // namespace

class SortFilterTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    static QSettings settings() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvora", "Tavrinth"); }

    // The window showing People.DB of the alias Sales.
    static void start(Window& w) {
        QSettings s = settings();
        s.clear();
        s.setValue("DataBase", "Sales");
        s.setValue("Table", "People");
        s.sync();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QCOMPARE(w.DBGrid->model()->rowCount(), kRecords);
    }

    static QStringList column(const Window& w, int c) {
        const QAbstractItemModel* model = w.DBGrid->model();
        QStringList out;
        for (int r = 0; r < model->rowCount(); ++r) out << model->index(r, c).data().toString();
        return out;
    }

    static void clickTitle(Window& w, int c) {
        QHeaderView* titles = w.DBGrid->horizontalHeader();
        const QPoint at(titles->sectionViewportPosition(c) + titles->sectionSize(c) / 2, titles->height() / 2);
        QTest::mouseClick(titles->viewport(), Qt::LeftButton, {}, at);
    }

    // Chooses an entry of the titles' context menu over column `c`.
    static void titleMenu(Window& w, int c, const QString& entry) {
        QHeaderView* titles = w.DBGrid->horizontalHeader();
        const QPoint at(titles->sectionViewportPosition(c) + 4, titles->height() / 2);
        bool chosen = false;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QVERIFY(menu);
            for (QAction* a : menu->actions())
                if (a->text() == entry) menu->setActiveAction(a);
            QCOMPARE(menu->activeAction()->text(), entry);
            QTest::keyClick(menu, Qt::Key_Return);
            chosen = true;
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, titles->viewport()->mapToGlobal(at));
        QApplication::sendEvent(titles->viewport(), &event);
        QVERIFY(chosen);
    }

    // Types `text` over the filter box's text (letters beyond ASCII as key events of their own,
    // which QTest::keyClicks does not make).
    static void typeFilter(Window& w, const QString& text) {
        w.FilterText->setFocus();
        w.FilterText->selectAll();
        if (text.isEmpty()) QTest::keyClick(w.FilterText, Qt::Key_Backspace);
        for (const QChar c : text) {
            if (c.unicode() < 0x80) {
                QTest::keyClicks(w.FilterText, QString(c));
                continue;
            }
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(w.FilterText, &press);
            QApplication::sendEvent(w.FilterText, &release);
        }
    }

    static QString panel(const Window& w, int i) { return w.StatusPanels[i]->text(); }

    static QStringList upTo(int n) {
        QStringList out;
        for (int i = 1; i <= n; ++i) out << QString::number(i);
        return out;
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        const QString aliases = dir_.filePath("aliases.conf");
        std::ofstream(aliases.toStdString()) << "[Aliases]\nSales=" << dir_.filePath("sales").toStdString() << "\n";
        qputenv("TAVRINTH_ALIASES", aliases.toLocal8Bit());
    }

    // Every test on tables as written (one of them changes a record).
    void init() {
        QDir db(dir_.filePath("sales"));
        QVERIFY(db.removeRecursively() && QDir().mkpath(db.path()));
        writePeople(db.filePath("People.DB"));
        writeOther(db.filePath("Other.DBF"));
    }

    // A click on a title sorts ascending, the second descending, the third goes back to the
    // table's order; texts ignore case; a memo column does not sort; the menu's "Table order".
    void titlesSort() {
        Window w;
        start(w);
        QAbstractItemModelTester tester(w.DBGrid->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QHeaderView* titles = w.DBGrid->horizontalHeader();

        clickTitle(w, 2);
        QCOMPARE(titles->sortIndicatorSection(), 2);
        QCOMPARE(titles->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(column(w, 0), byQty(false));
        QCOMPARE(column(w, 2).first(), QString());  // NULL first
        clickTitle(w, 2);
        QCOMPARE(titles->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(column(w, 0), byQty(true));
        QCOMPARE(column(w, 2).last(), QString());
        clickTitle(w, 2);
        QCOMPARE(titles->sortIndicatorSection(), -1);
        QCOMPARE(column(w, 0), upTo(kRecords));

        // "Alpha", "beta", "delta", "GAMMA", "Ärger": by letters, not by case.
        clickTitle(w, 1);
        QStringList names;
        for (int i = 1; i <= kRecords; ++i) names << nameOf(i);
        std::stable_sort(names.begin(), names.end(),
                         [](const QString& a, const QString& b) { return a.toCaseFolded() < b.toCaseFolded(); });
        QCOMPARE(column(w, 1), names);
        QVERIFY(column(w, 1).first().startsWith("Alpha 10"));
        QVERIFY(column(w, 1).last().startsWith("\u00C4rger"));

        clickTitle(w, 3);  // Notes: a memo shows only its marker
        QCOMPARE(titles->sortIndicatorSection(), 1);
        QCOMPARE(column(w, 1), names);

        titleMenu(w, 2, "Sort descending");
        QCOMPARE(column(w, 0), byQty(true));
        titleMenu(w, 2, "Table order");
        QCOMPARE(titles->sortIndicatorSection(), -1);
        QCOMPARE(column(w, 0), upTo(kRecords));
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
    }

    // In sorted rows an edit changes the record its row shows, and so do the record number, the
    // memo viewer and the search's placing of the grid (also when the filter hides the record).
    void sortedRowsReachTheirRecords() {
        Window w;
        start(w);
        QAbstractItemModel* model = w.DBGrid->model();
        clickTitle(w, 2);
        clickTitle(w, 2);
        const QStringList order = byQty(true);
        QCOMPARE(column(w, 0), order);

        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        w.DBGrid->setFocus();
        w.DBGrid->setCurrentIndex(model->index(0, 1));
        QTest::keyClick(w.DBGrid, Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, "Changed");
        QTest::keyClick(editor, Qt::Key_Return);
        QApplication::processEvents();
        QTest::keyClick(w.DBGrid, Qt::Key_Down);  // leaving the row writes the record
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(model->index(0, 1).data().toString(), QString("Changed"));
        {
            TTable t;
            t.SetTableName(dir_.filePath("sales/People.DB").toStdString());
            t.Open();
            for (int p = 0; p < kRecords; ++p) {
                t.MoveToPosition(p);
                const QString name = QString::fromStdString(t.FieldByName("Name").AsString());
                QCOMPARE(name, p + 1 == order[0].toInt() ? QString("Changed") : nameOf(p + 1));
            }
        }

        // A cell's editor opened while a pass runs (a slice per 256 records here): when the rows
        // change, its text is written to the record it was opened on.
        auto* source = qobject_cast<TdExport*>(model);
        source->SetRowsSlice(0);
        clickTitle(w, 0);  // by No: the table's order, once the pass is over
        QVERIFY(source->RowsPending());
        w.DBGrid->setCurrentIndex(model->index(1, 1));
        QTest::keyClick(w.DBGrid, Qt::Key_F2);
        editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, "Typed");
        QTRY_VERIFY(!source->RowsPending());
        source->SetRowsSlice(20);
        QCOMPARE(column(w, 0), upTo(kRecords));
        QCOMPARE(model->index(order[1].toInt() - 1, 1).data().toString(), QString("Typed"));
        {
            TTable t;
            t.SetTableName(dir_.filePath("sales/People.DB").toStdString());
            t.Open();
            t.MoveToPosition(order[1].toInt() - 1);
            QCOMPARE(QString::fromStdString(t.FieldByName("Name").AsString()), QString("Typed"));
        }
        clickTitle(w, 2);
        clickTitle(w, 2);  // descending again
        QCOMPARE(column(w, 0), order);

        const QModelIndex fifth = model->index(5, 1);
        QTest::mouseClick(w.DBGrid->viewport(), Qt::LeftButton, {}, w.DBGrid->visualRect(fifth).center());
        QCOMPARE(panel(w, 3), " Line no. " + order[5]);
        QCOMPARE(w.DBGrid->verticalHeader()->model()->headerData(5, Qt::Vertical).toString(), QString("\u25B8"));
        w.DBGrid->setCurrentIndex(model->index(2, 3));
        QTest::keyClick(w.DBGrid, Qt::Key_Return);  // opens the memo's viewer
        QCOMPARE(w.viewed, QStringList("note " + order[2]));
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);

        // The search finds GAMMA 52 while the filter shows only beta rows: no row shows it.
        clickTitle(w, 2);  // the table's order: the search starts on the first record
        typeFilter(w, "beta");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        int betas = 0;  // less the two renamed above
        for (int i = 1; i <= kRecords; ++i) betas += i % 5 == 1 && i != order[0].toInt() && i != order[1].toInt();
        QCOMPARE(model->rowCount(), betas);
        QTest::mouseClick(w.btSearch, Qt::LeftButton);
        w.SearchText->setText("GAMMA 52");
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
        QCOMPARE(panel(w, 3), QString(" Line no. 52"));
        QVERIFY(!w.DBGrid->currentIndex().isValid());
        // On from there: beta 61, shown, and the grid on its row.
        w.SearchText->setText("beta 6");
        QTest::mouseClick(w.SpeedButton1, Qt::LeftButton);
        QCOMPARE(panel(w, 3), QString(" Line no. 61"));
        QCOMPARE(w.DBGrid->currentIndex().siblingAtColumn(0).data().toString(), QString("61"));
        QCOMPARE(w.DBGrid->currentIndex().column(), 1);
        QVERIFY(w.messages.isEmpty());
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
    }

    // The filter shows the rows with the text in any column's shown text, ignoring case, 200 ms
    // after the last key or at once with Enter; the count panel tells how many; sorted rows stay
    // sorted; an empty filter shows every row.
    void filterShowsMatchingRows() {
        Window w;
        start(w);
        QAbstractItemModel* model = w.DBGrid->model();
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(w.FilterText->placeholderText(), QString("Filter rows"));
        QVERIFY(w.FilterText->isVisible());

        typeFilter(w, "ALP");
        QCOMPARE(model->rowCount(), kRecords);  // not yet
        QTRY_COMPARE(model->rowCount(), 60);
        for (const QString& name : column(w, 1)) QVERIFY2(name.startsWith("Alpha "), qPrintable(name));
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"People\" :  300  (shown: 60)"));

        clickTitle(w, 2);  // sorted within the filter
        const auto alpha = [](int i) { return i % 5 == 0; };
        QCOMPARE(column(w, 0), byQty(false, alpha));

        // Any column: No, Name or Qty holding a 7.
        typeFilter(w, "7");
        QTest::keyClick(w.FilterText, Qt::Key_Return);  // at once
        const auto seven = [](int i) {
            return QString::number(i).contains('7') || (qtyOf(i) && QString::number(*qtyOf(i)).contains('7'));
        };
        QCOMPARE(column(w, 0), byQty(false, seven));
        QCOMPARE(panel(w, 1),
                 QString("Numbers of records in \"People\" :  300  (shown: %1)").arg(byQty(false, seven).size()));

        // Case beyond ASCII; and a text no row holds.
        typeFilter(w, "\u00E4RGER 1");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        QCOMPARE(column(w, 0), byQty(false, [](int i) { return i % 5 == 4 && QString::number(i).startsWith('1'); }));
        typeFilter(w, "nowhere");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"People\" :  300  (shown: 0)"));

        typeFilter(w, QString());
        QTRY_COMPARE(model->rowCount(), kRecords);
        QCOMPARE(column(w, 0), byQty(false));
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"People\" :  300"));
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
    }

    // A pass over the table in slices between events: the rows change when it is over, a newer
    // request replaces one under way, and the table opening again drops it; another table starts
    // in its own order without a filter.
    void slicedPassesAndAnotherTable() {
        Window w;
        start(w);
        auto* source = qobject_cast<TdExport*>(w.DBGrid->model());
        QVERIFY(source);
        source->SetRowsSlice(0);  // a slice per 256 records

        clickTitle(w, 2);
        QVERIFY(source->RowsPending());
        QCOMPARE(column(w, 0), upTo(kRecords));  // still the table's order
        QTRY_VERIFY(!source->RowsPending());
        QCOMPARE(column(w, 0), byQty(false));

        typeFilter(w, "alp");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        QVERIFY(source->RowsPending());
        QTest::keyClicks(w.FilterText, "ha 2");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        QTRY_VERIFY(!source->RowsPending());
        QCOMPARE(column(w, 0), byQty(false, [](int i) { return i % 5 == 0 && QString::number(i).startsWith('2'); }));

        clickTitle(w, 2);  // descending, under way when the data source starts afresh
        QVERIFY(source->RowsPending());
        source->DataSetChanged();  // as when the table opens again
        QVERIFY(!source->RowsPending());
        QTest::qWait(50);
        QCOMPARE(column(w, 0), upTo(kRecords));  // the dropped pass left nothing behind
        QCOMPARE(w.FilterText->text(), QString());
        QCOMPARE(w.DBGrid->horizontalHeader()->sortIndicatorSection(), -1);

        clickTitle(w, 2);
        typeFilter(w, "beta");
        QTest::keyClick(w.FilterText, Qt::Key_Return);
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 60);
        QListWidget* list = w.ListBox;
        QCOMPARE(list->item(0)->text(), QString("Other"));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 7);
        QVERIFY(!source->RowsPending());
        QCOMPARE(w.FilterText->text(), QString());
        QCOMPARE(w.DBGrid->horizontalHeader()->sortIndicatorSection(), -1);
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"Other\" :  7"));
        QCOMPARE(column(w, 0).first(), QString("c1"));

        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), kRecords);
        QCOMPARE(column(w, 0), upTo(kRecords));
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
    }

    // Many keys are sorted in a thread of their own; a sort asked for while one runs replaces it.
    void manyRowsSortedInTheBackground() {
        const int rows = 120000;
        TableSpec spec;
        spec.format = TableFormat::DBase;
        spec.level = 3;
        spec.fields = {{"N", 'N', 6, 0}, {"T", 'C', 6, 0}};
        for (int i = 0; i < rows; ++i)
            spec.records.push_back({integerValue((i * 7919) % 1000), textValue(std::string(1, char('a' + i % 26)) + "x")});
        const QString path = dir_.filePath("many.dbf");
        createTable(path.toStdString(), spec);
        TTable table;
        table.SetTableName(path.toStdString());
        table.Open();
        TdExport source;
        source.SetDataSet(&table);
        QAbstractItemModelTester tester(&source, QAbstractItemModelTester::FailureReportingMode::QtTest);

        // Asked again and again while the passes run: only the last one shows.
        for (int round = 0; round < 6; ++round) {
            QVERIFY(source.SortByColumn(round % 2, round % 3 ? Qt::DescendingOrder : Qt::AscendingOrder));
            QTest::qWait(15 * round);
        }
        QVERIFY(source.SortByColumn(0, Qt::DescendingOrder));
        QTRY_VERIFY_WITH_TIMEOUT(!source.RowsPending(), 20000);
        QCOMPARE(source.rowCount(), rows);
        std::vector<bool> seen(rows);
        int lastValue = 1000, lastPosition = -1;
        for (int r = 0; r < rows; ++r) {
            const int p = source.PositionOfRow(r);
            QVERIFY(p >= 0 && p < rows && !seen[static_cast<std::size_t>(p)]);
            seen[static_cast<std::size_t>(p)] = true;
            const int value = source.index(r, 0).data().toInt();
            QCOMPARE(value, (p * 7919) % 1000);
            QVERIFY(value < lastValue || (value == lastValue && p > lastPosition));  // equal values in table order
            lastValue = value;
            lastPosition = p;
        }
        QCOMPARE(source.RowOfPosition(source.PositionOfRow(rows / 2)), rows / 2);
    }
};

int main(int argc, char** argv) { return tavrinth::test::runWindowTests<SortFilterTest>(argc, argv); }

#include "sort_filter_test.moc"
