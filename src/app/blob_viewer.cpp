// TBlobViewer: the viewer of a memo, graphic or BLOB cell, its hex dump, and the window's handler
// that opens it for a cell of the grid.

#include "blob_viewer.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

#include "codepage.h"
#include "db_grid.h"
#include "engine_error.h"
#include "main_window.h"
#include "tdexport.h"

namespace tavrinth {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

QString typeName(TFieldType type) {
    switch (type) {
        case ftMemo: return QStringLiteral("Memo");
        case ftFmtMemo: return QStringLiteral("Formatted memo");
        case ftGraphic: return QStringLiteral("Graphic");
        case ftParadoxOle: case ftDBaseOle: return QStringLiteral("OLE object");
        case ftTypedBinary: return QStringLiteral("Binary");
        default: return QStringLiteral("BLOB");
    }
}

// Decodes a picture the image decoders know by its content (a graphic field holds a Windows
// bitmap); `format` gets the decoder's name ("bmp", "png" ...).
QImage readPicture(const QByteArray& bytes, QString& format) {
    if (bytes.isEmpty()) return QImage();
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const QString name = QString::fromLatin1(reader.format()).toLower();  // known once read, gone after
    const QImage image = reader.read();
    if (!image.isNull()) format = name;
    return image;
}

QString byteCount(qint64 n) {
    return n == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(QLocale().toString(n));
}

}  // namespace

// --- THexDumpModel ------------------------------------------------------------------------------

THexDumpModel::THexDumpModel(QByteArray bytes, QObject* parent) : QAbstractTableModel(parent), bytes_(std::move(bytes)) {}

int THexDumpModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>((static_cast<qint64>(bytes_.size()) + kBytesPerRow - 1) / kBytesPerRow);
}

int THexDumpModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QString THexDumpModel::OffsetText(int row) const {
    return QStringLiteral("%1").arg(static_cast<qulonglong>(row) * kBytesPerRow, 8, 16, QLatin1Char('0')).toUpper();
}

QString THexDumpModel::HexText(int row) const {
    const qsizetype first = static_cast<qsizetype>(row) * kBytesPerRow;
    const qsizetype n = std::min<qsizetype>(kBytesPerRow, bytes_.size() - first);
    QString s;
    s.reserve(kBytesPerRow * 3 + 1);
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes_[first + i]);
        if (i > 0) s += i == kBytesPerRow / 2 ? QStringLiteral("  ") : QStringLiteral(" ");
        s += QLatin1Char(kHexDigits[b >> 4]);
        s += QLatin1Char(kHexDigits[b & 0x0F]);
    }
    return s;
}

QString THexDumpModel::AsciiText(int row) const {
    const qsizetype first = static_cast<qsizetype>(row) * kBytesPerRow;
    const qsizetype n = std::min<qsizetype>(kBytesPerRow, bytes_.size() - first);
    QString s;
    s.reserve(kBytesPerRow);
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes_[first + i]);
        s += QLatin1Char(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
    }
    return s;
}

QVariant THexDumpModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return QVariant();
    switch (index.column()) {
        case OffsetColumn: return OffsetText(index.row());
        case HexColumn: return HexText(index.row());
        case TextColumn: return AsciiText(index.row());
        default: return QVariant();
    }
}

QVariant THexDumpModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return QVariant();
    switch (section) {
        case OffsetColumn: return QStringLiteral("Offset");
        case HexColumn: return QStringLiteral("Bytes");
        case TextColumn: return QStringLiteral("Text");
        default: return QVariant();
    }
}

// --- TBlobViewer --------------------------------------------------------------------------------

TBlobViewer::TBlobViewer(const FieldDef& field, const FieldValue& value, int recNo, const CodePage* codePage,
                         QWidget* parent)
    : QDialog(parent), fieldName_(QString::fromStdString(field.name)), recNo_(recNo), type_(field.dataType) {
    setObjectName(QStringLiteral("BlobViewer"));
    setWindowTitle(QStringLiteral("%1 - Record %2").arg(fieldName_).arg(recNo_));
    setSizeGripEnabled(true);
    memo_ = type_ == ftMemo || type_ == ftFmtMemo;
    missing_ = value.kind == ValueKind::MissingBlob;
    if (value.kind == ValueKind::Binary || value.kind == ValueKind::Invalid)
        bytes_ = QByteArray(value.text.data(), static_cast<qsizetype>(value.text.size()));

    auto* column = new QVBoxLayout(this);
    Pages = new QTabWidget(this);
    Pages->setObjectName(QStringLiteral("Pages"));
    Pages->setTabBarAutoHide(true);
    Pages->setDocumentMode(true);
    column->addWidget(Pages, 1);

    QString info = typeName(type_);
    if (memo_ && !missing_) {
        // A memo the engine gives as text, or a formatted memo given as its bytes.
        QString text;
        if (value.kind == ValueKind::String) text = QString::fromStdString(value.text);
        else if (!bytes_.isEmpty())
            text = codePage ? QString::fromStdString(codePage->decode(value.text)) : QString::fromLatin1(bytes_);
        if (text.contains(QLatin1String("\r\n"))) lineBreak_ = QStringLiteral("\r\n");
        original_ = text;
        original_.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        TextView = new QPlainTextEdit(Pages);
        TextView->setObjectName(QStringLiteral("TextView"));
        TextView->setReadOnly(true);
        TextView->setPlainText(original_);
        Pages->addTab(TextView, QStringLiteral("Text"));
        if (!value.isNull()) info += QStringLiteral(", %1 characters").arg(QLocale().toString(original_.size()));
    } else if (!bytes_.isEmpty()) {
        info += QStringLiteral(", ") + byteCount(bytes_.size());
    }
    if (!memo_ && !bytes_.isEmpty()) {
        image_ = readPicture(bytes_, imageFormat_);
        if (!image_.isNull()) {
            PictureArea = new QScrollArea(Pages);
            PictureArea->setObjectName(QStringLiteral("PictureArea"));
            PictureArea->setAlignment(Qt::AlignCenter);
            PictureArea->setBackgroundRole(QPalette::Dark);
            PictureLabel = new QLabel;
            PictureLabel->setObjectName(QStringLiteral("PictureLabel"));
            PictureLabel->setAlignment(Qt::AlignCenter);
            PictureArea->setWidget(PictureLabel);
            PictureArea->viewport()->installEventFilter(this);
            Pages->addTab(PictureArea, QStringLiteral("Picture"));
            info += QStringLiteral(", %1 picture %2 \u00D7 %3")
                        .arg(imageFormat_.toUpper())
                        .arg(image_.width())
                        .arg(image_.height());
        }
    }
    if (!bytes_.isEmpty() && (!memo_ || value.kind != ValueKind::String)) {
        HexModel = new THexDumpModel(bytes_, this);
        HexView = new QTableView(Pages);
        HexView->setObjectName(QStringLiteral("HexView"));
        HexView->setModel(HexModel);
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        HexView->setFont(fixed);
        const QFontMetrics metrics(fixed);
        HexView->setShowGrid(false);
        HexView->setWordWrap(false);
        HexView->setSelectionBehavior(QAbstractItemView::SelectRows);
        HexView->setEditTriggers(QAbstractItemView::NoEditTriggers);
        HexView->verticalHeader()->hide();
        // Every row has the same height and every column a fixed width: nothing is measured over
        // the rows, however many there are.
        HexView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        HexView->verticalHeader()->setDefaultSectionSize(metrics.height() + 2);
        HexView->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        HexView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        const int pad = 2 * metrics.horizontalAdvance(QLatin1Char('0'));
        HexView->setColumnWidth(THexDumpModel::OffsetColumn, metrics.horizontalAdvance(QStringLiteral("00000000")) + pad);
        HexView->setColumnWidth(THexDumpModel::HexColumn, metrics.horizontalAdvance(QString(49, QLatin1Char('0'))) + pad);
        HexView->setColumnWidth(THexDumpModel::TextColumn, metrics.horizontalAdvance(QString(16, QLatin1Char('0'))) + pad);
        HexView->horizontalHeader()->setStretchLastSection(true);
        Pages->addTab(HexView, QStringLiteral("Hex"));
    }
    if (missing_) info += QStringLiteral(", missing");
    else if (value.isNull()) info += QStringLiteral(", empty");
    if (PictureArea) Pages->setCurrentWidget(PictureArea);
    connect(Pages, &QTabWidget::currentChanged, this,
            [this] { FitButton->setVisible(PictureArea && Pages->currentWidget() == PictureArea); });

    Message = new QLabel(this);
    Message->setObjectName(QStringLiteral("Message"));
    Message->setWordWrap(true);
    Message->hide();
    column->addWidget(Message);
    if (missing_) showMessage(QStringLiteral("The file that holds this value is missing."));
    else if (Pages->count() == 0) showMessage(QStringLiteral("The field holds no value in this record."));
    if (Pages->count() == 0) Pages->hide();

    auto* row = new QHBoxLayout;
    FitButton = new QCheckBox(QStringLiteral("Fit"), this);
    FitButton->setObjectName(QStringLiteral("FitButton"));
    FitButton->setToolTip(QStringLiteral("Fit the picture to the window"));
    FitButton->setVisible(PictureArea != nullptr);
    connect(FitButton, &QCheckBox::toggled, this, [this] { showPicture(); });
    row->addWidget(FitButton);
    Info = new QLabel(info, this);
    Info->setObjectName(QStringLiteral("Info"));
    row->addWidget(Info, 1);
    buttons_ = new QDialogButtonBox(this);
    SaveButton = buttons_->addButton(QStringLiteral("Save to file..."), QDialogButtonBox::ActionRole);
    SaveButton->setObjectName(QStringLiteral("SaveButton"));
    SaveButton->setAutoDefault(false);
    SaveButton->setEnabled(TextView || !bytes_.isEmpty());
    CloseButton = buttons_->addButton(QDialogButtonBox::Close);
    CloseButton->setObjectName(QStringLiteral("CloseButton"));
    CloseButton->setDefault(true);
    connect(SaveButton, &QPushButton::clicked, this, &TBlobViewer::saveClicked);
    connect(CloseButton, &QPushButton::clicked, this, &TBlobViewer::reject);
    row->addWidget(buttons_);
    column->addLayout(row);

    // Big enough for the picture at 100 % where the screen allows, else a text page's size.
    QSize size(640, 440);
    if (!image_.isNull()) size = size.expandedTo(image_.size() + QSize(60, 120));
    if (const QScreen* screen = parent ? parent->screen() : nullptr)
        size = size.boundedTo(screen->availableGeometry().size() * 9 / 10);
    resize(size);
    showPicture();
}

void TBlobViewer::SetEditing(const QString& refusal, std::function<QString(const QString&)> commit) {
    if (!memo_ || missing_) return;
    if (!refusal.isEmpty()) {
        showMessage(QStringLiteral("This memo cannot be changed: %1.").arg(refusal));
        return;
    }
    if (!bytes_.isEmpty()) {
        showMessage(QStringLiteral("A formatted memo cannot be changed here."));
        return;
    }
    editable_ = true;
    commit_ = std::move(commit);
    TextView->setReadOnly(false);
    TextView->setFocus();
    // Enter makes a new line in the text: OK is clicked, never pressed by Enter.
    OkButton = buttons_->addButton(QDialogButtonBox::Ok);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    OkButton->setAutoDefault(false);
    connect(OkButton, &QPushButton::clicked, this, &TBlobViewer::accept);
    CloseButton->setText(QStringLiteral("Cancel"));
    CloseButton->setDefault(false);
}

QString TBlobViewer::Text() const {
    QString text = TextView ? TextView->toPlainText() : QString();
    if (lineBreak_ != QLatin1String("\n")) text.replace(QLatin1String("\n"), lineBreak_);
    return text;
}

bool TBlobViewer::TextChanged() const { return TextView && TextView->toPlainText() != original_; }

void TBlobViewer::showMessage(const QString& text) {
    Message->setText(text);
    Message->setVisible(!text.isEmpty());
}

void TBlobViewer::accept() {
    if (editable_ && TextChanged() && commit_) {
        const QString refused = commit_(Text());
        if (!refused.isEmpty()) {
            // The text stays as typed: the user can change it again, save it to a file or cancel.
            showMessage(QStringLiteral("The memo was not written: %1").arg(refused));
            return;
        }
    }
    QDialog::accept();
}

void TBlobViewer::reject() {
    if (editable_ && TextChanged()) {
        QMessageBox box(QMessageBox::Question, windowTitle(), QStringLiteral("Discard the changes to the memo?"),
                        QMessageBox::Discard | QMessageBox::Cancel, this);
        box.setDefaultButton(QMessageBox::Cancel);
        if (box.exec() != QMessageBox::Discard) return;
    }
    QDialog::reject();
}

bool TBlobViewer::eventFilter(QObject* watched, QEvent* event) {
    if (PictureArea && watched == PictureArea->viewport() && event->type() == QEvent::Resize && FitButton->isChecked())
        showPicture();
    return QDialog::eventFilter(watched, event);
}

void TBlobViewer::showPicture() {
    if (!PictureArea) return;
    if (FitButton->isChecked()) {
        // The picture as large as the window allows; pixels are kept sharp when it grows.
        PictureArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        PictureArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        PictureLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        PictureArea->setWidgetResizable(true);
        const QSize room = PictureArea->viewport()->size();
        const QSize fitted = image_.size().scaled(room, Qt::KeepAspectRatio);
        if (fitted.isEmpty()) return;
        const bool grows = fitted.width() > image_.width();
        PictureLabel->setPixmap(QPixmap::fromImage(
            image_.scaled(fitted, Qt::KeepAspectRatio, grows ? Qt::FastTransformation : Qt::SmoothTransformation)));
    } else {
        PictureArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        PictureArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        PictureLabel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        PictureArea->setWidgetResizable(false);
        PictureLabel->setPixmap(QPixmap::fromImage(image_));
        PictureLabel->adjustSize();
    }
}

QString TBlobViewer::ProposedFileName() const {
    QString stem = fieldName_;
    for (QChar& c : stem)
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_')) c = QLatin1Char('_');
    QString ext = QStringLiteral("bin");
    if (memo_ && bytes_.isEmpty()) ext = QStringLiteral("txt");
    else if (!imageFormat_.isEmpty()) ext = imageFormat_ == QLatin1String("jpeg") ? QStringLiteral("jpg") : imageFormat_;
    else if (bytes_.startsWith("%PDF-")) ext = QStringLiteral("pdf");
    else if (bytes_.startsWith("{\\rtf")) ext = QStringLiteral("rtf");
    else if (bytes_.startsWith("PK\x03\x04")) ext = QStringLiteral("zip");
    return QStringLiteral("%1-%2.%3").arg(stem).arg(recNo_).arg(ext);
}

bool TBlobViewer::SaveTo(const QString& path, QString& error) const {
    const QByteArray data = memo_ && bytes_.isEmpty() ? Text().toUtf8() : bytes_;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        error = QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    return true;
}

void TBlobViewer::saveClicked() {
    QFileDialog dialog(this, QStringLiteral("Save %1 to file").arg(fieldName_), QDir::homePath());
    dialog.setObjectName(QStringLiteral("BlobSaveDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(ProposedFileName());
    if (dialog.exec() != QDialog::Accepted) return;
    const QString path = dialog.selectedFiles().value(0);
    if (path.isEmpty()) return;
    QString error;
    if (!SaveTo(path, error)) QMessageBox::critical(this, windowTitle(), error);
}

// --- The window's handler -----------------------------------------------------------------------

void TfmMain::ShowBlobViewer(const QModelIndex& index) {
    const int field = dExport->FieldIndex(index.column());
    if (field < 0 || !Table.Active() || !dExport->IsBlobColumn(index.column())) return;
    if (dExport->RowDeleted(index.row()))
        throw EDatabaseError("The record is marked deleted: its memo and BLOB values are not shown");
    // The viewer shows the table's current record: the grid's row becomes it.
    dExport->SetCurrentRow(index.row());
    if (Table.Position() != dExport->PositionOfRow(index.row())) return;
    TField& f = Table.Fields(field);
    TBlobViewer viewer(f.Def(), f.Value(), Table.RecNo(), &Table.File().codePage(), this);
    if (!DBGrid->ReadOnly()) {
        viewer.SetEditing(QString::fromStdString(f.ReadOnlyReason()), [this, index](const QString& text) {
            // The grid's own way of changing a value, and the record written at once.
            QString refused;
            const QMetaObject::Connection c =
                connect(dExport, &TdExport::engineError, this, [&refused](const QString& message) { refused = message; });
            FieldValue value;
            if (!text.isEmpty()) value = textValue(text.toStdString());
            if (dExport->SetCellValue(index, value)) dExport->SubmitPending();
            disconnect(c);
            return refused;
        });
    }
    RunDialog(&viewer);
}

}  // namespace tavrinth
