#pragma once
// The viewer of one memo, graphic, OLE or BLOB value of the grid (double-click or Enter on the
// cell). A memo shows as text in an editor, a picture the image decoders can read as a picture at
// 100 % or fitted to the window, any other bytes as a hex dump. "Save to file" writes the value:
// a memo's text as UTF-8 (with the memo's own line breaks), anything else as its bytes.
//
// A memo can be changed when the grid is in edit mode and the engine lets the field change; OK
// then hands the text to the commit function. When the engine refuses the field, the text stays
// read-only and the reason shows; when it refuses the change, the dialog stays open with the
// text as typed and the message.

#include <QAbstractTableModel>
#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QString>

#include <functional>

#include "field_value.h"
#include "table_file.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QTabWidget;
class QTableView;

namespace tavrinth {

class CodePage;

// Bytes as a hex dump, 16 bytes a row: the offset, the bytes in hex, the bytes as ASCII (a dot
// for anything else). A row's text is made when the view asks for it, so a BLOB of many
// megabytes shows at once.
class THexDumpModel : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int kBytesPerRow = 16;
    enum Column { OffsetColumn, HexColumn, TextColumn };

    explicit THexDumpModel(QByteArray bytes, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // "00000010", "25 50 44 46 2D 31 2E 31  0A 25 20 73 61 6D 70 6C", "%PDF-1.1.% sampl".
    QString OffsetText(int row) const;
    QString HexText(int row) const;
    QString AsciiText(int row) const;

private:
    QByteArray bytes_;
};

class TBlobViewer : public QDialog {
    Q_OBJECT

public:
    // The value `value` of field `field` in record `recNo`. `codePage` decodes a formatted memo
    // the engine gives as bytes (null: Latin-1).
    TBlobViewer(const FieldDef& field, const FieldValue& value, int recNo, const CodePage* codePage = nullptr,
                QWidget* parent = nullptr);

    // Edit mode for a memo: `refusal` empty lets the user change the text; otherwise the text
    // stays read-only and the reason shows. `commit` writes a changed text and returns an empty
    // string, or the message of the refusal.
    void SetEditing(const QString& refusal, std::function<QString(const QString& text)> commit);

    // What the dialog shows.
    bool IsMemo() const { return memo_; }
    bool HasPicture() const { return !image_.isNull(); }
    const QImage& Picture() const { return image_; }
    const QByteArray& Bytes() const { return bytes_; }
    // The memo's text as it would be written (the table's line breaks); changed by the user?
    QString Text() const;
    bool TextChanged() const;

    // Writes the value to `path` (a memo's text as UTF-8, anything else as its bytes); false
    // with the reason in `error`.
    bool SaveTo(const QString& path, QString& error) const;
    // A file name for the save dialog: field name, record number and an extension for the content.
    QString ProposedFileName() const;

    // The controls (for tests).
    QTabWidget* Pages = nullptr;
    QPlainTextEdit* TextView = nullptr;
    QScrollArea* PictureArea = nullptr;
    QLabel* PictureLabel = nullptr;
    QCheckBox* FitButton = nullptr;
    QTableView* HexView = nullptr;
    THexDumpModel* HexModel = nullptr;
    QLabel* Info = nullptr;     // size and type of the value
    QLabel* Message = nullptr;  // why the memo cannot be changed, or why the change was refused
    QPushButton* SaveButton = nullptr;
    QPushButton* OkButton = nullptr;  // only while the memo can be changed
    QPushButton* CloseButton = nullptr;

public slots:
    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void saveClicked();
    void showPicture();
    void showMessage(const QString& text);

    QDialogButtonBox* buttons_ = nullptr;
    QString fieldName_;
    int recNo_ = 0;
    TFieldType type_ = ftUnknown;
    bool memo_ = false;
    bool missing_ = false;
    bool editable_ = false;
    QString original_;           // the memo's text as shown ("\n" line breaks)
    QString lineBreak_ = QStringLiteral("\n");  // the memo's own line break
    QByteArray bytes_;
    QImage image_;
    QString imageFormat_;        // "bmp", "png" ... when the bytes are a picture
    std::function<QString(const QString&)> commit_;
};

}  // namespace tavrinth
