// The code page box below the table list, driven through the real window (offscreen): a dBase
// table holding Cyrillic DOS text in a header that names no code page reads as garbage and the
// hint panel says so; choosing the code page in the box shows the text at once, is remembered for
// the next start, and "Table's own" goes back. Tables that read cleanly get no warning.

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRadioButton>
#include <QSettings>
#include <QStatusTipEvent>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "codepage.h"
#include "db_grid.h"
#include "main_window.h"
#include "table_writer.h"
#include "window_test_support.h"

using namespace tavrinth;

namespace {

using Window = test::ErrorCatchingWindow;

QSettings settings() { return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Kelvora", "Tavrinth"); }

const QString kIvan = QString::fromUtf8("Иван Петров");
const QString kMoscow = QString::fromUtf8("Москва");

// A dBase III table NAME (C 20), CITY (C 16) written in `codePage`; `languageDriver` false: the
// header's language driver byte is then cleared, so the table names no code page.
void writePeople(const QString& path, const char* codePage, bool languageDriver,
                 const std::vector<std::pair<const char*, const char*>>& rows) {
    TableSpec people;
    people.format = TableFormat::DBase;
    people.level = 3;
    people.codePage = codePage;
    people.fields = {{"NAME", 'C', 20, 0}, {"CITY", 'C', 16, 0}};
    for (const auto& [name, city] : rows) people.records.push_back({textValue(name), textValue(city)});
    createTable(path.toStdString(), people);
    if (languageDriver) return;
    std::fstream f(path.toStdString(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(29);
    f.put('\0');
}

// How the engine's default code page reads UTF-8 text written in code page `written`.
QString misread(const QString& text, const char* written) {
    std::string bytes;
    if (!CodePage::find(written)->encode(text.toStdString(), bytes)) return {};
    return QString::fromStdString(CodePage::find(CodePage::kDefaultName)->decode(bytes));
}

}  // namespace

class CodePageTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString db_;

    static QString cell(TfmMain& w, int row, int column) {
        return w.DBGrid->model()->index(row, column).data().toString().trimmed();
    }
    static QString hints(TfmMain& w) { return w.StatusPanels[0]->text(); }
    // Panel 0 warns of the code page (it may show a hint for the control under the mouse instead).
    static bool warned(TfmMain& w) { return hints(w).startsWith("The table names no code page"); }

    // Chooses the alias by typing it and shows the table by clicking it in the list.
    static void showTable(TfmMain& w, const QString& table) {
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        w.lbAlias->lineEdit()->clear();
        QTest::keyClicks(w.lbAlias->lineEdit(), "Cyrillic");
        const QList<QListWidgetItem*> items = w.ListBox->findItems(table, Qt::MatchFixedString);
        QCOMPARE(items.size(), 1);
        QTest::mouseClick(w.ListBox->viewport(), Qt::LeftButton, {}, w.ListBox->visualItemRect(items[0]).center());
        QTRY_VERIFY(w.DBGrid->model()->rowCount() > 0);
    }

    // Opens the box's list with F4, types the start of an entry and takes it with Enter.
    static void choose(TfmMain& w, const QString& start) {
        w.cbCodePage->setFocus();
        QTest::keyClick(w.cbCodePage, Qt::Key_F4);
        QAbstractItemView* list = w.cbCodePage->view();
        QTRY_VERIFY(list->isVisible());
        QTest::keyClicks(list, start);
        QTest::keyClick(list, Qt::Key_Return);
        QTRY_VERIFY(!list->isVisible());
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        qputenv("XDG_CONFIG_HOME", dir_.filePath("config").toLocal8Bit());
        db_ = dir_.filePath("cyrillic");
        QVERIFY(QDir().mkpath(db_));
        writePeople(db_ + "/People.dbf", "CP866", false,
                    {{"Иван Петров", "Москва"}, {"Мария Сидорова", "Санкт-Петербург"}, {"Ольга Кузнецова", "Новосибирск"}});
        writePeople(db_ + "/Named.dbf", "CP866", true, {{"Иван Петров", "Москва"}});
        writePeople(db_ + "/West.dbf", "CP437", false, {{"Jürgen Müller", "Köln"}, {"Ana Peña", "Málaga"}, {"Zoë", "Nice"}});
        const QString aliases = dir_.filePath("aliases.conf");
        std::ofstream(aliases.toStdString()) << "[Aliases]\nCyrillic=" << db_.toStdString() << "\n";
        qputenv("TAVRINTH_ALIASES", aliases.toLocal8Bit());
        QSettings s = settings();
        s.clear();
        s.sync();
    }

    void chosenCodePageShownRememberedAndUndone() {
        const QString garbled = misread(kIvan, "CP866");
        QVERIFY(!garbled.isEmpty() && garbled != kIvan);
        {
            Window w;
            showTable(w, "People");
            QCOMPARE(cell(w, 0, 0), garbled);
            QVERIFY(w.cbCodePage->isEnabled());
            QCOMPARE(w.cbCodePage->currentText(), QString("Table's own (CP437)"));
            QCOMPARE(hints(w), QString("The table names no code page and its text does not read cleanly as CP437; "
                                       "choose its code page in the box below the list"));
            // A hint shown for a control does not wipe the warning for good.
            QStatusTipEvent tip(QStringLiteral("Open database file to view"));
            QApplication::sendEvent(&w, &tip);
            QCOMPARE(hints(w), QString("Open database file to view"));
            QStatusTipEvent gone{QString()};
            QApplication::sendEvent(&w, &gone);
            QVERIFY(warned(w));

            w.DBGrid->setCurrentIndex(w.DBGrid->model()->index(2, 1));
            choose(w, "CP866");
            QCOMPARE(w.cbCodePage->currentText().left(5), QString("CP866"));
            QCOMPARE(cell(w, 0, 0), kIvan);
            QCOMPARE(cell(w, 0, 1), kMoscow);
            QCOMPARE(cell(w, 2, 1), QString::fromUtf8("Новосибирск"));
            QCOMPARE(w.DBGrid->currentIndex().row(), 2);  // the grid stays on its record
            QCOMPARE(w.DBGrid->currentIndex().column(), 1);
            QVERIFY(!warned(w));
            QCOMPARE(w.cbCodePage->itemText(0), QString("Table's own (CP437)"));
            QVERIFY(w.errors.isEmpty());
            w.close();
        }
        {
            // The next start opens the remembered table with the chosen code page.
            Window w;
            w.show();
            QVERIFY(QTest::qWaitForWindowActive(&w));
            QCOMPARE(w.ListBox->selectedItems().value(0)->text(), QString("People"));
            QCOMPARE(cell(w, 1, 0), QString::fromUtf8("Мария Сидорова"));
            QCOMPARE(w.cbCodePage->currentText().left(5), QString("CP866"));
            QVERIFY(!warned(w));

            // Home in the closed box: the table's own code page again, and forgotten.
            w.cbCodePage->setFocus();
            QTest::keyClick(w.cbCodePage, Qt::Key_Home);
            QCOMPARE(w.cbCodePage->currentIndex(), 0);
            QCOMPARE(cell(w, 0, 0), garbled);
            QVERIFY(warned(w));
            QSettings s = settings();
            s.beginGroup("CodePages");
            QVERIFY2(s.allKeys().isEmpty(), qPrintable(s.allKeys().join(", ")));
            QVERIFY(w.errors.isEmpty());
        }
    }

    void tablesThatReadCleanlyGetNoWarning() {
        Window w;
        // Western text in the default code page: the header names none, but the text is fine.
        showTable(w, "West");
        QCOMPARE(cell(w, 0, 0), QString::fromUtf8("Jürgen Müller"));
        QVERIFY(!warned(w));
        // A table that names its code page: the box says which.
        const QList<QListWidgetItem*> named = w.ListBox->findItems("Named", Qt::MatchFixedString);
        QTest::mouseClick(w.ListBox->viewport(), Qt::LeftButton, {}, w.ListBox->visualItemRect(named[0]).center());
        QTRY_COMPARE(cell(w, 0, 0), kIvan);
        QCOMPARE(w.cbCodePage->currentText(), QString("Table's own (CP866)"));
        QVERIFY(!warned(w));
        // The Structure view has no use for the box.
        w.rbStruct->click();
        QVERIFY(!w.cbCodePage->isEnabled());
        QVERIFY(w.errors.isEmpty());
    }
};

int main(int argc, char** argv) { return tavrinth::test::runWindowTests<CodePageTest>(argc, argv); }
#include "code_page_test.moc"
