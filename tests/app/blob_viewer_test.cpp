// The viewer of memo, graphic and BLOB cells, opened from the real window's grid on the sample
// database (written by tavrinth-cli make-samples): a double-click or Enter opens it, it shows
// the memo's text, the picture at its size or the bytes as a hex dump, and saves the value to a
// file byte for byte.

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <fstream>
#include <functional>

#include "blob_viewer.h"
#include "db_grid.h"
#include "main_window.h"
#include "window_test_support.h"
#include "table.h"

using namespace tavrinth;

namespace {

// The window with its error box caught and its viewer shown without a modal loop of its own:
// `onViewer` looks at it and works it while it is on the screen.
class Window : public test::ErrorCatchingWindow {
public:
    int viewers = 0;
    std::function<void(TBlobViewer&)> onViewer;

protected:
    int RunDialog(QDialog* dialog) override {
        auto* viewer = qobject_cast<TBlobViewer*>(dialog);
        if (!viewer) return TfmMain::RunDialog(dialog);
        ++viewers;
        viewer->show();
        if (QTest::qWaitForWindowExposed(viewer) && onViewer) onViewer(*viewer);
        return viewer->result();
    }
};

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class BlobViewerTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString samples_;

    // A field's value in record `position` of a sample table, read by the engine itself.
    FieldValue value(const QString& table, int position, const char* field) const {
        TTable t;
        t.SetTableName((samples_ + "/" + table).toStdString());
        t.Open();
        t.MoveToPosition(position);
        return t.FieldByName(field).Value();
    }

    static int column(Window& w, const QString& field) {
        QAbstractItemModel* model = w.DBGrid->model();
        for (int c = 0; c < model->columnCount(); ++c)
            if (model->headerData(c, Qt::Horizontal).toString() == field) return c;
        return -1;
    }

    // The window showing a table of the sample database.
    static void show(Window& w, const QString& table, int rows) {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Kelvora", "Tavrinth");
        s.setValue("DataBase", "Trade");
        s.setValue("Table", table);
        s.sync();
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_COMPARE(w.DBGrid->model()->rowCount(), rows);
    }

    static void doubleClick(Window& w, int row, int column) {
        const QModelIndex index = w.DBGrid->model()->index(row, column);
        w.DBGrid->scrollTo(index);
        const QPoint at = w.DBGrid->visualRect(index).center();
        // A double-click as the mouse makes it: a click, then the second press as a double-click.
        QTest::mouseClick(w.DBGrid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(w.DBGrid->viewport(), Qt::LeftButton, {}, at);
    }

    static void pressEnter(Window& w, int row, int column) {
        w.DBGrid->setFocus();
        w.DBGrid->setCurrentIndex(w.DBGrid->model()->index(row, column));
        QTest::keyClick(w.DBGrid, Qt::Key_Return);
    }

    // Clicks "Save to file..." and chooses `path` in the file dialog.
    static void saveTo(TBlobViewer& viewer, const QString& path) {
        QTimer::singleShot(0, [path] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setDirectory(QFileInfo(path).path());
            dialog->selectFile(QFileInfo(path).fileName());
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QTest::mouseClick(viewer.SaveButton, Qt::LeftButton);
    }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        samples_ = dir_.filePath("samples");
        QProcess cli;
        cli.start(TAVRINTH_CLI, {"make-samples", samples_});
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.exitCode(), 0);
        const QString aliases = dir_.filePath("aliases.conf");
        std::ofstream(aliases.toStdString()) << "[Aliases]\nTrade=" << samples_.toStdString() << "\n";
        qputenv("TAVRINTH_ALIASES", aliases.toLocal8Bit());
    }

    void memoByDoubleClick() {
        Window w;
        show(w, "CUSTOMER", 8);
        const int notes = column(w, "Notes");
        const QString memo = QString::fromStdString(value("CUSTOMER.DB", 0, "Notes").text);
        QVERIFY(memo.contains("\r\n"));
        const QString saved = dir_.filePath("notes.txt");
        w.onViewer = [&](TBlobViewer& v) {
            QCOMPARE(v.windowTitle(), QString("Notes - Record 1"));
            QCOMPARE(v.Pages->currentWidget(), v.TextView);
            QCOMPARE(v.TextView->toPlainText(), QString(memo).replace("\r\n", "\n"));
            QVERIFY(v.TextView->isReadOnly());
            QVERIFY(v.Message->isHidden());
            saveTo(v, saved);
            QTest::keyClick(&v, Qt::Key_Escape);
            QVERIFY(v.isHidden());
        };
        doubleClick(w, 0, notes);
        QCOMPARE(w.viewers, 1);
        QCOMPARE(fileBytes(saved), memo.toUtf8());  // the memo's own line breaks, as UTF-8

        // In edit mode: the text changes only where the engine lets the field change; where it
        // does not, the text stays read-only and the dialog says why.
        QTest::mouseClick(w.btEditButton, Qt::LeftButton);
        std::string refusal;
        {
            TTable t;
            t.SetTableName((samples_ + "/CUSTOMER.DB").toStdString());
            t.Open();
            refusal = t.FieldByName("Notes").ReadOnlyReason();
        }
        w.onViewer = [&](TBlobViewer& v) {
            QCOMPARE(v.windowTitle(), QString("Notes - Record 2"));
            if (!refusal.empty()) {
                QVERIFY(v.TextView->isReadOnly());
                QVERIFY(v.Message->isVisible());
                QVERIFY2(v.Message->text().contains(QString::fromStdString(refusal)), qPrintable(v.Message->text()));
                QVERIFY(!v.OkButton);
                QTest::keyClick(&v, Qt::Key_Escape);
            } else {
                QVERIFY(!v.TextView->isReadOnly());
                v.TextView->selectAll();
                QTest::keyClicks(v.TextView, "Orders on Mondays.");
                QTest::mouseClick(v.OkButton, Qt::LeftButton);
            }
            QVERIFY(v.isHidden());
        };
        doubleClick(w, 1, notes);
        QCOMPARE(w.viewers, 2);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
        if (refusal.empty())
            QCOMPARE(QString::fromStdString(value("CUSTOMER.DB", 1, "Notes").text), QString("Orders on Mondays."));
    }

    void graphicAndBlobByEnter() {
        Window w;
        show(w, "PARTS", 8);
        const QByteArray picture = QByteArray::fromStdString(value("PARTS.DB", 0, "Picture").text);
        const QByteArray sheet = QByteArray::fromStdString(value("PARTS.DB", 1, "Datasheet").text);

        // Enter on a cell of another type is left to the grid.
        QSignalSpy opened(w.DBGrid, &TDBGrid::blobCellOpened);
        pressEnter(w, 0, column(w, "Description"));
        QCOMPARE(opened.count(), 0);
        QCOMPARE(w.viewers, 0);

        // The graphic: the picture at 100 %, then fitted to the window; saved as the bitmap it is.
        const QString bmp = dir_.filePath("picture.bmp");
        w.onViewer = [&](TBlobViewer& v) {
            QCOMPARE(v.windowTitle(), QString("Picture - Record 1"));
            QCOMPARE(v.Pages->currentWidget(), v.PictureArea);
            QCOMPARE(v.Picture().size(), QSize(48, 32));
            QCOMPARE(v.ProposedFileName(), QString("Picture-1.bmp"));
            QCOMPARE(v.PictureLabel->pixmap().size(), QSize(48, 32));
            QTest::mouseClick(v.FitButton, Qt::LeftButton);
            const QSize fitted = v.PictureLabel->pixmap().size();
            const QSize room = v.PictureArea->viewport()->size();
            QVERIFY2(fitted.width() == room.width() || fitted.height() == room.height(), "fitted to the window");
            QCOMPARE(fitted.width() * 2, fitted.height() * 3);
            saveTo(v, bmp);
            QTest::mouseClick(v.CloseButton, Qt::LeftButton);
        };
        pressEnter(w, 0, column(w, "Picture"));
        QCOMPARE(w.viewers, 1);
        QCOMPARE(fileBytes(bmp), picture);

        // The BLOB: a hex dump, 16 bytes a row; saved as its bytes.
        const QString bin = dir_.filePath("datasheet.pdf");
        w.onViewer = [&](TBlobViewer& v) {
            QCOMPARE(v.windowTitle(), QString("Datasheet - Record 2"));
            QVERIFY(!v.HasPicture());
            QCOMPARE(v.Pages->currentWidget(), v.HexView);
            QAbstractItemModel* hex = v.HexView->model();
            QCOMPARE(hex->rowCount(), int((sheet.size() + 15) / 16));
            QCOMPARE(hex->index(0, 0).data().toString(), QString("00000000"));
            QCOMPARE(hex->index(0, 1).data().toString(), QString("25 50 44 46 2D 31 2E 31  0A 25 20 73 61 6D 70 6C"));
            QCOMPARE(hex->index(0, 2).data().toString(), QString("%PDF-1.1.% sampl"));
            QCOMPARE(hex->index(1, 0).data().toString(), QString("00000010"));
            QCOMPARE(v.ProposedFileName(), QString("Datasheet-2.pdf"));
            saveTo(v, bin);
            QTest::keyClick(&v, Qt::Key_Escape);
        };
        pressEnter(w, 1, column(w, "Datasheet"));
        QCOMPARE(w.viewers, 2);
        QCOMPARE(fileBytes(bin), sheet);
        QVERIFY2(w.errors.isEmpty(), qPrintable(w.errors.join('|')));
    }
};

int main(int argc, char** argv) { return tavrinth::test::runWindowTests<BlobViewerTest>(argc, argv); }

#include "blob_viewer_test.moc"
