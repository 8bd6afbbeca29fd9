// The main window driven through its real widgets (offscreen): start-up and the remembered
// settings, the database choice, the deferred report run, the report driver in both views, the
// edit/search toggle group, the size rules, and editing through the grid.

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QUrl>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <cstdlib>
#include <fstream>

#include "db_grid.h"
#include "main_window.h"
#include "window_test_support.h"
#include "table.h"
#include "table_writer.h"
#include "tdexport.h"
#include "tdexport_test.h"
#include "test_files.h"

using namespace tavrinth;

namespace {

// The window with its error box caught instead of shown.
using Window = test::ErrorCatchingWindow;

QSettings settings() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvora", "Tavrinth"); }

// A dBase table NAME (C 10), QTY (N 5) with `rows` records "row1", 1 ...
void writeItems(const QString& path, int rows) {
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 3;
    spec.fields = {{"NAME", 'C', 10, 0}, {"QTY", 'N', 5, 0}};
    for (int i = 1; i <= rows; ++i) spec.records.push_back({textValue("row" + std::to_string(i)), integerValue(i)});
    createTable(path.toStdString(), spec);
}

// A keyed Paradox table: No (I, key), Customer (A20), Shipped (D, at least 1 January 1990), Ref
// (auto-increment).
void writeOrders(const QString& path) {
    TableSpec spec;
    spec.fields = {{"No", 'I', 0, 0}, {"Customer", 'A', 20, 0}, {"Shipped", 'D', 0, 0}, {"Ref", '+', 0, 0}};
    spec.keyFields = 1;
    CheckSpec check;
    check.field = "Shipped";
    check.minKind = BoundKind::Value;
    check.minValue = dateValue(1990, 1, 1);
    spec.checks = {check};
    for (int i = 1; i <= 3; ++i)
        spec.records.push_back({integerValue(i), textValue("Customer " + std::to_string(i)), dateValue(2001, 2, i), FieldValue()});
    createTable(path.toStdString(), spec);
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString db_;  // the folder of the Sales alias: A.DBF, B.DBF, C.DBF, Orders.DB
    int aliasFiles_ = 0;

    QString path(const QString& name) const { return dir_.filePath(name); }

    // A new alias file (the engine reloads it when its path changes): Sales, plus Samples.
    void useAliases(const QString& extra = QString()) {
        const QString file = path(QStringLiteral("aliases%1.conf").arg(++aliasFiles_));
        std::ofstream(file.toStdString()) << "[Aliases]\nSales=" << db_.toStdString() << "\n" << extra.toStdString();
        qputenv("TAVRINTH_ALIASES", file.toLocal8Bit());
    }

    static QString panel(TfmMain& w, int i) { return w.StatusPanels[i]->text(); }

    // The database and table a window remembers from the last run.
    static void remember(const QString& database, const QString& table) {
        QSettings s = settings();
        s.setValue("DataBase", database);
        s.setValue("Table", table);
        s.sync();
    }

    static void start(TfmMain& w) {
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
    }

    static void clickItem(TfmMain& w, int row) {
        QListWidget* list = w.ListBox;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
    }
    static void checkItem(TfmMain& w, int row) {
        w.ListBox->item(row)->setCheckState(Qt::Checked);
    }
    static QStringList tablesReported(const TfmMain& w) {
        QStringList names;
        for (const std::string& line : w.ReportLines()) {
            const QString l = QString::fromStdString(line);
            if (l.contains("\tRecord Size: ")) names << l.section('\t', 1, 1);
        }
        return names;
    }
    // Chooses the alias as a user does: typing its name into the alias box.
    static void chooseAlias(TfmMain& w, const QString& alias) {
        w.lbAlias->lineEdit()->clear();
        QTest::keyClicks(w.lbAlias->lineEdit(), alias);
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        db_ = path("sales");
        QVERIFY(QDir().mkpath(db_));
        writeItems(db_ + "/A.DBF", 3);
        writeItems(db_ + "/B.DBF", 5);
        writeItems(db_ + "/C.DBF", 2);
        writeOrders(db_ + "/Orders.DB");
    }

    void init() {
        useAliases();
        QSettings s = settings();
        s.clear();
        s.sync();
    }

    void firstStartWithoutSettings() {
        Window w;
        start(w);
        QCOMPARE(w.lbAlias->currentText(), QString("Sales"));  // the first alias, sorted
        QCOMPARE(w.ListBox->count(), 0);
        QCOMPARE(w.windowTitle(), QString("Tavrinth"));
        QVERIFY(!w.btExport->isEnabled() && !w.btEditButton->isEnabled() && !w.btSearch->isEnabled());
        QCOMPARE(w.cbSQLVer->currentText(), QString("InterBase"));
        QVERIFY(w.errors.isEmpty());
    }

    void rememberedAliasAndTable() {
        remember("Sales", "B");
        Window w;
        start(w);
        QCOMPARE(w.ListBox->count(), 4);
        QCOMPARE(w.ListBox->selectedItems().value(0)->text(), QString("B"));
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - B"));
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"B\" :  5"));
        QCOMPARE(panel(w, 2), QString(" View"));
        QVERIFY(w.btExport->isEnabled() && w.btEditButton->isEnabled() && w.btSearch->isEnabled());
        QCOMPARE(w.DBGrid->model()->rowCount(), 5);
        QCOMPARE(w.DBGrid->model()->index(4, 0).data().toString(), QString("row5"));
    }

    void rememberedFolderAndMissingDatabase() {
        remember(db_ + "/", "Orders.DB");
        {
            Window w;
            start(w);
            QCOMPARE(w.ListBox->count(), 1);
            QCOMPARE(w.ListBox->selectedItems().value(0)->text(), QString("Orders.DB"));
            QCOMPARE(w.windowTitle(), "Tavrinth, File: " + db_ + "/ - Orders.DB");
            QCOMPARE(panel(w, 1), QString("Numbers of records in \"Orders.DB\" :  3"));
        }
        remember(path("gone") + "/", "Orders.DB");  // the same table, its folder gone
        Window w;
        start(w);
        QCOMPARE(w.errors.size(), 1);
        QVERIFY2(w.errors[0].contains("neither an alias nor a folder"), qPrintable(w.errors[0]));
        QCOMPARE(w.windowTitle(), QString("Tavrinth"));
        QVERIFY(!w.btEditButton->isEnabled());
        chooseAlias(w, "Sales");  // still usable
        QCOMPARE(w.ListBox->count(), 4);
    }

    void typedTextThatNamesNoAlias() {
        Window w;
        start(w);
        chooseAlias(w, "Sales");
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales"));
        chooseAlias(w, "Nowhere");
        QCOMPARE(w.ListBox->count(), 4);
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales"));
        QVERIFY(w.errors.isEmpty());
    }

    void severalFilesOpened() {
        Window w;
        start(w);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), QString("Open Paradox database"));
            dialog->setDirectory(db_);
            dialog->selectFile("\"C.DBF\" \"A.DBF\"");
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QTest::mouseClick(w.btFile, Qt::LeftButton);
        QCOMPARE(w.ListBox->count(), 2);
        QCOMPARE(w.ListBox->item(0)->text(), QString("A.DBF"));
        QCOMPARE(w.ListBox->item(1)->text(), QString("C.DBF"));
        QCOMPARE(w.ListBox->item(0)->checkState(), Qt::Unchecked);
        QVERIFY(w.ListBox->selectedItems().isEmpty());
        QCOMPARE(w.windowTitle(), "Tavrinth  -  File: " + db_ + "/");
        QCOMPARE(QDir(w.OpenDialog->directory()).absolutePath(), QDir(db_).absolutePath());
        // The short name is the folder's: the Structure report's header shows it.
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QVERIFY(QString::fromStdString(w.ReportLines().at(1)).startsWith("\tDatabase   : \tsales\t\t\tDate: "));
        QCOMPARE(tablesReported(w), QStringList());  // nothing checked, nothing selected
    }

    void holdingAKeyInTheList() {
        Window w;
        start(w);
        chooseAlias(w, "Sales");
        clickItem(w, 0);
        QTRY_COMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - Table: A"));
        w.ListBox->setFocus();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, QString(), true);
        for (int i = 0; i < 2; ++i) {
            QApplication::sendEvent(w.ListBox, &press);
            QTest::qWait(300);
        }
        QVERIFY(!w.Timer->isActive());
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - Table: A"));
        QTest::keyRelease(w.ListBox, Qt::Key_Down);
        QVERIFY(w.Timer->isActive());
        QTest::qWait(250);
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - Table: A"));
        QTRY_COMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - Table: C"));
        QVERIFY(!w.Timer->isActive());
    }

    void checkMarksAndSelectionInBothViews() {
        Window w;
        start(w);
        chooseAlias(w, "Sales");
        checkItem(w, 2);  // C
        checkItem(w, 0);  // A
        clickItem(w, 1);  // B selected, unchecked
        QTRY_COMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - Table: B"));
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"B\" :  5"));
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QVERIFY(w.Editor->isVisible() && !w.DBGrid->isVisible() && w.SQLPanel->isVisible() && !w.VisPanel->isVisible());
        QCOMPARE(tablesReported(w), QStringList({"A", "C"}));
        QCOMPARE(w.Editor->toPlainText().split('\n').first(), QString(" "));
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales"));
        QCOMPARE(panel(w, 2), QString());
        QVERIFY(!w.btEditButton->isEnabled());
        QTest::mouseClick(w.btNone, Qt::LeftButton);
        QCOMPARE(tablesReported(w), QStringList({"B"}));
        // SQL scripts: two header lines instead of one.
        QTest::mouseClick(w.cbSQL, Qt::LeftButton);
        QVERIFY(QString::fromStdString(w.ReportLines().at(2)).startsWith("/*\tSQL Version: \tInterBase"));
        // Clicking the view already shown changes nothing.
        const ReportText before = w.ReportLines();
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QVERIFY(w.ReportLines() == before && w.Editor->isVisible());
        QTest::mouseClick(w.rbVis, Qt::LeftButton);
        QVERIFY(w.DBGrid->isVisible() && !w.Editor->isVisible() && w.btEditButton->isEnabled());
        QCOMPARE(w.windowTitle(), QString("Tavrinth  -  Alias: Sales - Table: B"));
    }

    void failingSecondTableEndsTheReport() {
        QTemporaryDir folder;
        writeItems(folder.filePath("A.DBF"), 1);
        test::writeFile(folder.filePath("B.DBF").toStdString(), std::string(40, '\x03'));
        writeItems(folder.filePath("C.DBF"), 1);
        useAliases("Broken=" + folder.path() + "\n");
        Window w;
        start(w);
        chooseAlias(w, "Broken");
        QTest::mouseClick(w.rbStruct, Qt::LeftButton);
        QTest::mouseClick(w.cbSQL, Qt::LeftButton);
        QTest::keyClick(w.cbSQLVer, Qt::Key_Down);  // MS SQL
        QTest::keyClick(w.cbSQLVer, Qt::Key_Down);  // Delphi
        QCOMPARE(w.cbSQLVer->currentText(), QString("Delphi"));
        QVERIFY(w.Editor->toPlainText().endsWith("end."));  // no table: head and tail
        QTest::mouseClick(w.btAll, Qt::LeftButton);
        QCOMPARE(w.errors.size(), 1);
        QVERIFY2(w.errors[0].contains("B.DBF"), qPrintable(w.errors[0]));
        const QString shown = w.Editor->toPlainText();
        QCOMPARE(shown.count('\n') + 1, static_cast<int>(w.ReportLines().size()));
        QVERIFY(shown.contains("procedure CreateA();"));
        QVERIFY(!shown.contains("procedure CreateC();"));
        QVERIFY(!shown.contains("end."));  // the unit's tail is missing
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void passwordAskedWithADialog() {
        QTemporaryDir folder;
        TableSpec spec;
        spec.fields = {{"Secret", 'A', 10, 0}};
        spec.records = {{textValue("hidden")}};
        spec.password = "opensesame";
        createTable(folder.filePath("Vault.db").toStdString(), spec);
        useAliases("Safe=" + folder.path() + "\n");
        Window w;
        start(w);
        chooseAlias(w, "Safe");
        // Answers the password dialog once it shows (the report run starts 500 ms after a click).
        auto answer = [](const QString& password) {
            auto* poll = new QTimer;
            QObject::connect(poll, &QTimer::timeout, [poll, password] {
                auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
                if (!dialog) return;
                poll->deleteLater();
                poll->stop();
                QCOMPARE(dialog->windowTitle(), QString("Enter password"));
                if (password.isEmpty()) return dialog->reject();
                dialog->setTextValue(password);
                dialog->accept();
            });
            poll->start(20);
        };
        answer(QString());  // cancelled: the opening fails with the engine's message
        clickItem(w, 0);
        QTRY_COMPARE(w.errors.size(), 1);
        QVERIFY2(w.errors[0].contains("password"), qPrintable(w.errors[0]));
        QCOMPARE(w.DBGrid->model()->rowCount(), 0);
        answer("opensesame");
        clickItem(w, 0);
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 1);
        QCOMPARE(w.DBGrid->model()->index(0, 0).data().toString(), QString("hidden"));
        QCOMPARE(w.errors.size(), 1);
    }

    void editAndSearchToggleGroup() {
        remember("Sales", "A");
        Window w;
        start(w);
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QVERIFY(w.btEditButton->isChecked() && !w.DBGrid->ReadOnly());
        QCOMPARE(panel(w, 2), QString(" Edit"));
        QTest::mouseClick(w.btSearch, Qt::LeftButton);
        QVERIFY(w.btSearch->isChecked() && !w.btEditButton->isChecked());
        QCOMPARE(panel(w, 2), QString(" Edit"));  // released without its handler
        QVERIFY(!w.DBGrid->ReadOnly());
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QCOMPARE(panel(w, 2), QString(" View"));
        QVERIFY(w.DBGrid->ReadOnly());
    }

    void sizeRules() {
        Window w;
        start(w);
        const QSize screen = w.screen()->geometry().size();
        QCOMPARE(w.size(), screen);
        const QPoint where = w.pos();
        QTest::mouseDClick(w.Panel1, Qt::LeftButton, {}, QPoint(600, 10));
        QCOMPARE(w.size(), QSize(800, 400));
        QCOMPARE(w.pos(), where);
        QCOMPARE(w.btExit->x(), 750);
        QCOMPARE(w.btAbout->x(), 723);
        QTest::mouseDClick(w.Panel1, Qt::LeftButton, {}, QPoint(600, 10));
        QCOMPARE(w.size(), screen);
        w.resize(screen.width(), 450);  // as wide as the screen, not as high: grows
        QTest::mouseDClick(w.FilePanel, Qt::LeftButton, {}, QPoint(345, 30));
        QCOMPARE(w.size(), screen);
        w.resize(700, 500);
        QCOMPARE(w.size(), QSize(800, 500));
        w.resize(900, 300);
        QCOMPARE(w.size(), QSize(900, 400));
        QCOMPARE(w.btExit->x(), 850);
    }

    void settingsWrittenOnCloseAndTheirFailure() {
        {
            Window w;
            start(w);
            chooseAlias(w, "Sales");
            w.close();
            QVERIFY(w.errors.isEmpty());
        }
        QSettings s = settings();
        s.sync();
        QCOMPARE(s.value("DataBase").toString(), QString("Sales"));
        QCOMPARE(s.value("Table").toString(), QString("Firma.DB"));

        // The settings folder cannot be made: the store reports it.
        const QString config = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Kelvora";
        QVERIFY(QDir(config).removeRecursively());
        test::writeFile(config.toStdString(), "not a folder");
        Window w;
        start(w);
        w.close();
        QFile::remove(config);
        QCOMPARE(w.errors, QStringList("Failed to set data for 'DataBase'"));
    }

    void recordNumberAndTheClosedTable() {
        TfmMain w;  // the real error box
        start(w);
        QString message;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            message = box->text();
            box->close();
        });
        QTest::keyClick(w.DBGrid, Qt::Key_Down);  // no table open
        QCOMPARE(message, QString("Cannot perform this operation on a closed dataset"));

        chooseAlias(w, "Sales");
        clickItem(w, 1);
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 5);
        QTest::mouseClick(w.DBGrid->viewport(), Qt::LeftButton, {}, w.DBGrid->visualRect(w.DBGrid->model()->index(3, 1)).center());
        QCOMPARE(panel(w, 3), QString(" Line no. 4"));
        QTest::keyClick(w.DBGrid, Qt::Key_Up);
        QCOMPARE(panel(w, 3), QString(" Line no. 3"));
        w.activateWindow();  // the error box took the activation with it
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.DBGrid->setFocus();
        w.ListBox->setFocus();
        QCOMPARE(panel(w, 3), QString());
    }

    // Panel 2 tells the grid's real mode after another table or alias is chosen in edit mode.
    void panelTwoTellsTheGridsMode() {
        remember("Sales", "A");
        Window w;
        start(w);
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QCOMPARE(panel(w, 2), QString(" Edit"));
        clickItem(w, 1);
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 5);
        QCOMPARE(panel(w, 2), QString(w.DBGrid->ReadOnly() ? " View" : " Edit"));
        QVERIFY(w.DBGrid->ReadOnly() && !w.btEditButton->isChecked());  // each opening shows the table to view
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        chooseAlias(w, "Sales");
        QCOMPARE(panel(w, 2), QString(w.DBGrid->ReadOnly() ? (w.DBGrid->model()->rowCount() ? " View" : "") : " Edit"));
        QVERIFY(w.DBGrid->ReadOnly());
    }

    // After an error box the focus is back where it was: the next arrow key moves in the grid and
    // never switches the alias.
    void focusComesBackAfterAnErrorBox() {
        remember("Sales", "Orders");
        TfmMain w;  // the real error box
        start(w);
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QAbstractItemModel* model = w.DBGrid->model();
        w.DBGrid->setFocus();
        w.DBGrid->setCurrentIndex(model->index(0, 2));
        QTest::keyClick(w.DBGrid, Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, "no date");
        QString message;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                message = box->text();
                QTest::keyClick(box, Qt::Key_Return);
            }
        });
        poll.start(20);
        QTest::keyClick(editor, Qt::Key_Return);  // refused while the cell's editor has the focus
        QTRY_VERIFY2(message.contains("date"), qPrintable(message));
        poll.stop();
        w.activateWindow();  // as the window manager gives the activation back
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_VERIFY2(QApplication::focusWidget() == w.DBGrid,
                     qPrintable(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() + "/" +
                                                                  QApplication::focusWidget()->metaObject()->className()
                                                            : QString("none")));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        QCOMPARE(w.lbAlias->currentText(), QString("Sales"));
        QCOMPARE(w.ListBox->count(), 4);
        QCOMPARE(w.DBGrid->model()->rowCount(), 3);
    }

    // Cancelling the password dialog and closing the error box from the keyboard cancels: the
    // prompt does not come back. Nor does an unknown database's box.
    void cancelCancelsFromTheKeyboard() {
        QTemporaryDir folder;
        TableSpec spec;
        spec.fields = {{"Secret", 'A', 10, 0}};
        spec.records = {{textValue("hidden")}};
        spec.password = "keyboard only";  // a password no test gave earlier in this run
        createTable(folder.filePath("Vault.db").toStdString(), spec);
        useAliases("Safe=" + folder.path() + "\n");
        TfmMain w, again;
        start(w);
        chooseAlias(w, "Safe");
        int prompts = 0, boxes = 0;
        QTimer poll;
        // The key goes down in the dialog or the box, which closes; it comes up in the table
        // list, which has the focus again by then.
        auto closeWithKey = [&](QWidget* modal, Qt::Key key) {
            QTest::keyPress(modal, key);
            QTest::keyRelease(again.isVisible() ? static_cast<QWidget*>(again.ListBox) : w.ListBox, key);
        };
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* dialog = qobject_cast<QInputDialog*>(modal)) {
                ++prompts;
                closeWithKey(dialog, Qt::Key_Escape);
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                ++boxes;
                closeWithKey(box, boxes % 2 ? Qt::Key_Return : Qt::Key_Escape);
            }
        });
        poll.start(20);
        clickItem(w, 0);  // the table opens 500 ms later
        QTRY_VERIFY2(boxes == 1, qPrintable(QString("prompts %1").arg(prompts)));
        QTest::qWait(1500);
        QCOMPARE(prompts, 1);
        QCOMPARE(boxes, 1);

        // A remembered database that is gone: one box, closed with Enter, and no second one.
        QSettings s = settings();
        s.setValue("DataBase", path("gone"));
        s.setValue("Table", "X.DB");
        s.sync();
        boxes = 0;
        w.close();
        again.show();  // the box shows as the window is activated
        QTRY_COMPARE(boxes, 1);
        QTest::qWait(1500);
        QCOMPARE(boxes, 1);
    }

    // The status panels follow what is shown and hold their whole text.
    void statusPanelsInStep() {
        writeItems(db_ + "/LongerTableName.DBF", 2);
        remember("Sales", "B");
        Window w;
        start(w);
        QAbstractItemModel* model = w.DBGrid->model();
        QTest::mouseClick(w.DBGrid->viewport(), Qt::LeftButton, {}, w.DBGrid->visualRect(model->index(4, 1)).center());
        QCOMPARE(panel(w, 3), QString(" Line no. 5"));
        clickItem(w, 3);  // LongerTableName: two records
        QTRY_COMPARE(model->rowCount(), 2);
        QCOMPARE(panel(w, 1), QString("Numbers of records in \"LongerTableName\" :  2"));
        QVERIFY(panel(w, 3).isEmpty() || panel(w, 3) == " Line no. 1");
        for (int i = 0; i < 4; ++i) {
            QLabel* label = w.StatusPanels[i];
            QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()), qPrintable(label->text()));
        }
        QVERIFY(w.StatusPanels[1]->width() >= 250 && w.StatusPanels[3]->width() >= 100);
        chooseAlias(w, "Samples");
        QCOMPARE(panel(w, 1), QString());  // no table shown, no count
        QCOMPARE(panel(w, 3), QString());
        QFile::remove(db_ + "/LongerTableName.DBF");
    }

    // Fields the engine will not write are read-only in the grid; typing stops at a field's
    // length; messages speak of the values the grid shows.
    void unwritableFieldsAreReadOnly() {
        remember("Sales", "Orders");
        Window w;
        start(w);
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QAbstractItemModel* model = w.DBGrid->model();
        QVERIFY(!(model->flags(model->index(0, 3)) & Qt::ItemIsEditable));  // the auto-increment field
        QVERIFY(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);     // the key (the record moves)
        QVERIFY(model->flags(model->index(0, 1)) & Qt::ItemIsEditable);
        w.DBGrid->setFocus();
        w.DBGrid->setCurrentIndex(model->index(0, 3));
        QTest::keyClick(w.DBGrid, Qt::Key_F2);
        QVERIFY(!qobject_cast<QLineEdit*>(QApplication::focusWidget()));  // no editor opens
        w.DBGrid->setCurrentIndex(model->index(0, 1));
        QTest::keyClick(w.DBGrid, Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY(editor);
        QCOMPARE(editor->maxLength(), 20);
        QTest::keyClick(editor, Qt::Key_Escape);

        // A logical field: the grid shows True/False and the message asks for them.
        FieldDef logical;
        logical.dataType = ftBoolean;
        FieldValue v;
        std::string error;
        QVERIFY(!TdExport::ValueFromCellText(logical, "yes", v, error));
        QVERIFY2(QString::fromStdString(error).contains("True or False"), error.c_str());
        QVERIFY(TdExport::ValueFromCellText(logical, "False", v, error) && v.integer == 0);
    }

    // --alias at a first start lists the alias's tables; a folder typed into the alias box (and
    // Enter) lists that folder's tables.
    void startAliasAndTypedFolder() {
        Window w;
        w.SetStartAlias("Sales");
        start(w);
        QTRY_COMPARE(w.ListBox->count(), 4);
        QCOMPARE(w.lbAlias->currentText(), QString("Sales"));
        QTemporaryDir folder;
        writeItems(folder.filePath("Z.DBF"), 1);
        w.lbAlias->lineEdit()->clear();
        QTest::keyClicks(w.lbAlias->lineEdit(), folder.path());
        QTest::keyClick(w.lbAlias->lineEdit(), Qt::Key_Return);
        QTRY_COMPARE(w.ListBox->count(), 1);
        QCOMPARE(w.ListBox->item(0)->text(), QString("Z"));
        QVERIFY(w.windowTitle().contains(folder.path()));
        QVERIFY(w.errors.isEmpty());
        // Text that names neither: an error, and the box shows the database in use.
        w.lbAlias->lineEdit()->clear();
        QTest::keyClicks(w.lbAlias->lineEdit(), "/no/such/folder");
        QTest::keyClick(w.lbAlias->lineEdit(), Qt::Key_Return);
        QCOMPARE(w.errors.size(), 1);
        QCOMPARE(w.ListBox->count(), 1);
        QCOMPARE(w.lbAlias->currentText(), folder.path());
    }

    // Table files given on the command line or dropped on the window are listed and the first
    // is shown; the grid's columns show their fields whole, numbers on the right, money with its
    // cents; Ctrl+C copies the selected cells with their field names.
    void openFromOutsideAndCopy() {
        QTemporaryDir folder;
        TableSpec spec;
        spec.fields = {{"Code", 'A', 5, 0}, {"Price", '$', 0, 0}, {"Day", 'D', 0, 0}};
        spec.records = {{textValue("abcde"), floatValue(1288.5), dateValue(2024, 12, 31)},
                        {textValue("ab"), floatValue(3), dateValue(2024, 1, 2)}};
        createTable(folder.filePath("Money.db").toStdString(), spec);
        writeItems(folder.filePath("Other.dbf"), 2);
        Window w;
        w.SetStartFiles({folder.filePath("Money.db"), folder.filePath("Other.dbf"), folder.filePath("notes.txt")});
        start(w);
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), 2);
        QCOMPARE(w.ListBox->count(), 2);
        QCOMPARE(w.ListBox->selectedItems().value(0)->text(), QString("Money.db"));
        QCOMPARE(w.errors.size(), 1);  // notes.txt is no table
        QVERIFY2(w.errors[0].contains("notes.txt"), qPrintable(w.errors[0]));
        QAbstractItemModel* model = w.DBGrid->model();
        QCOMPARE(model->index(0, 1).data().toString(), QString("1288.50"));
        QCOMPARE(model->index(1, 1).data().toString(), QString("3.00"));
        QCOMPARE(model->index(0, 1).data(Qt::TextAlignmentRole).toInt() & Qt::AlignRight, int(Qt::AlignRight));
        for (int c = 0; c < 3; ++c) {
            const QString shown = model->index(0, c).data().toString();
            QVERIFY2(w.DBGrid->columnWidth(c) > w.DBGrid->fontMetrics().horizontalAdvance(shown), qPrintable(shown));
            QVERIFY(w.DBGrid->columnWidth(c) > w.DBGrid->horizontalHeader()->fontMetrics().horizontalAdvance(
                                                   model->headerData(c, Qt::Horizontal).toString()));
        }
        w.DBGrid->setFocus();
        w.DBGrid->setCurrentIndex(model->index(0, 0));
        QTest::keyClick(w.DBGrid, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClick(w.DBGrid, Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(w.DBGrid, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("Code\tPrice\nabcde\t1288.50\nab\t3.00\n"));

        w.DBGrid->setColumnWidth(0, 157);  // kept for this table

        // A table file dropped on the window.
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(folder.filePath("Other.dbf"))});
        QDragEnterEvent enter(QPoint(200, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(200, 200), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &drop);
        QTRY_COMPARE(model->rowCount(), 2);
        QCOMPARE(w.ListBox->count(), 1);
        QCOMPARE(model->index(1, 0).data().toString(), QString("row2"));
        QVERIFY(w.OpenDialog->nameFilters().first().contains("*.dbf"));
        w.OpenFiles({folder.filePath("Money.db")});
        QTRY_COMPARE(model->rowCount(), 2);
        QCOMPARE(w.DBGrid->columnWidth(0), 157);
    }

    // Aliases added, renamed and removed from the alias box's context menu.
    void aliasesFromTheWindow() {
        QTemporaryDir folder;
        writeItems(folder.filePath("Q.DBF"), 1);
        class AliasWindow : public Window {
        public:
            QString name, chosenFolder;
            QMessageBox::StandardButton answer = QMessageBox::Yes;

        protected:
            int RunDialog(QDialog* d) override {
                if (auto* input = qobject_cast<QInputDialog*>(d)) input->setTextValue(name);
                if (auto* files = qobject_cast<QFileDialog*>(d)) {
                    files->setDirectory(chosenFolder);
                    files->selectFile(chosenFolder);
                }
                return QDialog::Accepted;
            }
            QMessageBox::StandardButton MessageBox(const QString&, const QString&, QMessageBox::StandardButtons,
                                                   QMessageBox::StandardButton, QMessageBox::Icon) override {
                return answer;
            }
        } w;
        start(w);
        auto menuChoice = [&](const QString& action) {
            QTimer::singleShot(50, [action] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                QVERIFY(menu);
                for (QAction* a : menu->actions())
                    if (a->text() == action) a->trigger();
                menu->close();
            });
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), w.lbAlias->lineEdit()->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(w.lbAlias->lineEdit(), &event);
        };
        w.name = "Quarry";
        w.chosenFolder = folder.path();
        menuChoice("New alias...");
        QTRY_COMPARE(w.lbAlias->currentText(), QString("Quarry"));
        QCOMPARE(w.ListBox->count(), 1);
        QVERIFY(w.lbAlias->findText("Quarry") >= 0);
        w.name = "Pit";
        menuChoice("Rename alias...");
        QTRY_COMPARE(w.lbAlias->currentText(), QString("Pit"));
        QVERIFY(w.lbAlias->findText("Quarry") < 0);
        menuChoice("Remove alias");
        QTRY_VERIFY(w.lbAlias->findText("Pit") < 0);
        QCOMPARE(w.ListBox->count(), 0);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        w.name = "Samples";  // built in: refused with a message
        menuChoice("New alias...");
        QTRY_COMPARE(w.errors.size(), 1);
    }

    // Records marked deleted are shown on request, greyed and read-only; a live one is still
    // changed in its own record.
    void deletedRecordsShownOnRequest() {
        QTemporaryDir folder;
        TableSpec spec;
        spec.format = TableFormat::DBase;
        spec.level = 3;
        spec.fields = {{"NAME", 'C', 10, 0}};
        for (const char* name : {"kept1", "gone2", "kept3", "gone4", "kept5"}) spec.records.push_back({textValue(name)});
        spec.deleted = {false, true, false, true, false};
        createTable(folder.filePath("D.DBF").toStdString(), spec);
        Window w;
        w.SetStartFiles({folder.filePath("D.DBF")});
        start(w);
        QAbstractItemModel* model = w.DBGrid->model();
        QTRY_COMPARE(model->rowCount(), 3);
        QVERIFY(w.cbShowDeleted->isEnabled());
        QTest::mouseClick(w.cbShowDeleted, Qt::LeftButton);
        QCOMPARE(model->rowCount(), 5);
        QCOMPARE(model->index(1, 0).data().toString(), QString("gone2"));
        QVERIFY(w.DBGrid->DataSource()->RowDeleted(1) && !w.DBGrid->DataSource()->RowDeleted(2));
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QVERIFY(!(model->flags(model->index(1, 0)) & Qt::ItemIsEditable));
        QVERIFY(model->flags(model->index(2, 0)) & Qt::ItemIsEditable);
        QVERIFY(!w.FilterText->isEnabled());
        QVERIFY(model->setData(model->index(4, 0), "changed5"));
        w.DBGrid->DataSource()->SubmitPending();
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QTest::mouseClick(w.cbShowDeleted, Qt::LeftButton);
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(model->index(2, 0).data().toString(), QString("changed5"));
        QVERIFY(w.FilterText->isEnabled());
        // A Paradox table has no deleted records to show.
        chooseAlias(w, "Sales");
        clickItem(w, 3);
        QTRY_COMPARE(model->rowCount(), 3);
        QVERIFY(!w.cbShowDeleted->isEnabled());
    }

    void editWrittenAndRefused() {
        const std::string file = (db_ + "/Orders.DB").toStdString();
        remember("Sales", "Orders");
        Window w;
        start(w);
        QAbstractItemModelTester tester(w.DBGrid->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        QAbstractItemModel* model = w.DBGrid->model();
        auto type = [&](int row, int column, const QString& text) {
            w.DBGrid->setFocus();
            w.DBGrid->setCurrentIndex(model->index(row, column));
            QTest::keyClick(w.DBGrid, Qt::Key_F2);
            auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
            QVERIFY(editor);
            editor->selectAll();
            QTest::keyClicks(editor, text);
            QTest::keyClick(editor, Qt::Key_Return);
            QApplication::processEvents();  // the editor gives its text back on the next round
        };

        // Written when the grid leaves the record, and read back from the file.
        type(1, 1, "Renamed");
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        QCOMPARE(model->index(1, 1).data().toString(), QString("Renamed"));
        QTest::keyClick(w.DBGrid, Qt::Key_Down);
        QVERIFY(w.errors.isEmpty());
        {
            TTable t;
            t.SetTableName(file);
            t.Open();
            t.MoveToPosition(1);
            QCOMPARE(QString::fromStdString(t.FieldByName("Customer").AsString()), QString("Renamed"));
        }

        // Refused when the record is written (below the minimum): the message shows, the old
        // value stays, the file does not change.
        const std::string before = test::readFile(file);
        type(0, 2, "1980-01-01");
        QTest::keyClick(w.DBGrid, Qt::Key_Down);
        QCOMPARE(w.errors.size(), 1);
        QCOMPARE(model->index(0, 2).data().toString(), QString("2001-02-01"));
        QCOMPARE(test::readFile(file), before);
    }
};

int main(int argc, char** argv) { return tavrinth::test::runWindowTests<MainWindowTest, TdExportTest>(argc, argv); }

#include "main_window_test.moc"
