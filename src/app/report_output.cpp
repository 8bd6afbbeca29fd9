// TfmMain: the report text of the Structure view saved to a file (under a name proposed for the
// report kind) and printed, one print job a copy.

#include <QAbstractTextDocumentLayout>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QRadioButton>
#include <QSaveFile>
#include <QTextDocument>
#include <QTextOption>

#include <cmath>
#include <stdexcept>

#include "main_window.h"
#include "path_names.h"

namespace tavrinth {

namespace {

// A file that cannot be written; the message names it.
class EFCreateError : public std::runtime_error {
public:
    explicit EFCreateError(const QString& fileName)
        : std::runtime_error(QStringLiteral("Cannot create file %1").arg(fileName).toStdString()) {}
};

// No printer to print on, or one that cannot be used.
class EPrinter : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The editor's text as it holds it, lines ended by CR LF. (The plain-text form of the document
// would turn non-breaking spaces into blanks.)
QByteArray fileText(const QTextDocument& document) {
    QString text = document.toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    text.replace(QChar::LineSeparator, QLatin1String("\r\n"));
    return text.toUtf8();
}

// Writes `bytes` under a temporary name in the target's folder and renames it over the target
// once complete: a failure leaves an existing file as it was.
void writeFileSafely(const QString& fileName, const QByteArray& bytes) {
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) throw EFCreateError(fileName);
    if (file.write(bytes) != bytes.size() || !file.commit()) throw EFCreateError(fileName);
}

// Rounded to the nearest whole dot, ties to even.
int dots(double value) { return static_cast<int>(std::nearbyint(value)); }

}  // namespace

void TfmMain::SaveTextFile() {
    QString base = QString::fromStdString(DatabaseShortName);
    if (base.contains(QLatin1Char('/'))) base.clear();

    // The name, extension and filter of the report kind: a Delphi unit, another SQL script, or
    // the data definition.
    const bool delphiUnit = cbSQL->isChecked() && cbSQLVer->currentText() == QLatin1String("Delphi");
    QString proposed, suffix;
    int filterIndex = 1;
    if (cbSQL->isChecked() && delphiUnit) {
        proposed = QStringLiteral("Cr") + base + QStringLiteral(".pas");
        suffix = QStringLiteral("pas");
        filterIndex = 3;
    } else if (cbSQL->isChecked()) {
        proposed = QStringLiteral("Create") + base + QStringLiteral(".sql");
        suffix = QStringLiteral("sql");
        filterIndex = 2;
    } else {
        proposed = base + QStringLiteral(".txt");
        suffix = QStringLiteral("txt");
    }
    SaveDialog->setDirectory(QDir::homePath());
    SaveDialog->setDefaultSuffix(suffix);
    SaveDialog->selectNameFilter(SaveDialog->nameFilters().value(filterIndex - 1));
    SaveDialog->selectFile(proposed);
    if (RunDialog(SaveDialog) != QDialog::Accepted) return;
    const QString chosen = SaveDialog->selectedFiles().value(0);
    if (chosen.isEmpty()) return;

    // A Delphi unit compiles only from a file named like the unit.
    if (delphiUnit && QString::fromStdString(LastPathPart(chosen.toStdString())) != proposed) {
        const QMessageBox::StandardButton answer =
            MessageBox(QStringLiteral("Filename is not the same as unit-name !\n"
                                      "Unit will not compile without errors in Delphi.\n\n"
                                      "                 Continue saving file ?"),
                       QStringLiteral("Save message"), QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) return;
    }

    writeFileSafely(chosen, fileText(*Editor->document()));
    MessageBox(QStringLiteral("File saved"), QStringLiteral("Tavrinth"));
}

void TfmMain::PrintDefinition() {
    if (!printer_) printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    QPrinter& printer = *printer_;
    QPrintDialog dialog(&printer, this);
    dialog.setObjectName(QStringLiteral("PrintDialog"));
    dialog.setOptions(QAbstractPrintDialog::PrintToFile | QAbstractPrintDialog::PrintShowPageSize |
                      QAbstractPrintDialog::PrintCollateCopies);
    if (RunDialog(&dialog) != QDialog::Accepted) return;

    // Printing to a file is printing without a printer.
    if (printer.outputFormat() == QPrinter::PdfFormat ? printer.outputFileName().isEmpty()
                                                      : printer.printerName().isEmpty())
        throw EPrinter("There is no default printer currently selected");
    if (!printer.isValid()) throw EPrinter("Printer selected is not valid");

    // Each copy is a job of its own, of one copy: the count chosen is not handed to the printer
    // as well. The printer keeps it for the next time the dialog shows.
    const int copies = printer.copyCount();
    struct KeepCopyCount {
        QPrinter& printer;
        int copies;
        ~KeepCopyCount() { printer.setCopyCount(copies); }
    } keep{printer, copies};
    printer.setCopyCount(1);
    printer.setDocName(QStringLiteral("Tavrinth"));
    // The lines as the pane shows them: tab stops every 8 characters, in the pane's fixed-pitch
    // font. The tabs are laid out here, as spaces, so that the printer's resolution cannot move
    // them (a tab stop measured at one resolution and laid out at another broke every line).
    QString text;
    {
        const QString raw = Editor->toPlainText();
        text.reserve(raw.size() + raw.size() / 4);
        int column = 0;
        for (const QChar c : raw) {
            if (c == QLatin1Char('\t')) {
                const int spaces = 8 - column % 8;
                text.append(QString(spaces, QLatin1Char(' ')));
                column += spaces;
            } else {
                text.append(c);
                column = c == QLatin1Char('\n') ? 0 : column + 1;
            }
        }
    }

    for (int copy = 1; copy <= copies; ++copy) {
        PrintJobStarting(printer, copy);
        // The text's area: 7.5 by 10 inches, half an inch in from the printable area's corner.
        const int dpiX = printer.logicalDpiX();
        const int dpiY = printer.logicalDpiY();
        const int left = dots(dpiX / 2.0), top = dots(dpiY / 2.0);
        const int right = dots(8.0 * dpiX), bottom = dots(10.5 * dpiY);
        const QSizeF area(right - left, bottom - top);

        // The text laid out in the editor's font at the printer's resolution, lines wrapped at
        // the area's right edge, page after page.
        QTextDocument document;
        document.documentLayout()->setPaintDevice(&printer);
        document.setDocumentMargin(0);
        document.setDefaultFont(Editor->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        document.setDefaultTextOption(option);
        document.setPlainText(text);
        document.setPageSize(area);

        QPainter painter;
        if (!painter.begin(&printer)) throw EPrinter("Printer selected is not valid");
        const int pages = document.pageCount();
        for (int page = 0; page < pages; ++page) {
            if (page > 0) printer.newPage();
            painter.save();
            painter.translate(left, top - page * area.height());
            const QRectF shown(QPointF(0, page * area.height()), area);
            painter.setClipRect(shown);
            QAbstractTextDocumentLayout::PaintContext context;
            context.clip = shown;
            context.palette.setColor(QPalette::Text, Qt::black);
            document.documentLayout()->draw(&painter, context);
            painter.restore();
        }
        if (!painter.end()) throw EPrinter("Printer selected is not valid");
    }
}

}  // namespace tavrinth
