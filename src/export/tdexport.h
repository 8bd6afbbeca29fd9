#pragma once
// TdExport: the grid's data source, a table model over the window's one open table.
//
// The model reports the table's record count at once and reads rows only when the grid asks for
// them, a page of rows at a time, into a cache of a fixed number of pages (least recently used
// pages go first), so a table of millions of records opens and scrolls at once with flat memory.
// Memo and BLOB cells show a short marker instead of their contents.
//
// Editing: a changed value goes into the table's record being edited (TTable::Edit and
// TField::SetValue); the record is written (TTable::Post) when the grid leaves the record
// (SetCurrentRow to another row) or when SubmitPending is called. A value the engine refuses is
// reported through engineError and the old value stays. The model never shows a window itself.
//
// The table object belongs to the window; the window opens and closes it and calls
// DataSetChanged after each opening and closing.

#include <QAbstractTableModel>
#include <QString>

#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "delimited_export.h"
#include "field_value.h"
#include "table_file.h"

namespace tavrinth {

class TTable;

// It is also the exporter: the delimited export's properties (Delimiter, Filename,
// IncludeFieldNames, IncludeMemo, with their defaults) and Execute over the shown table.
class TdExport : public QAbstractTableModel, public TDelimitedExport {
    Q_OBJECT

public:
    // Writes the shown table to Filename with the user's locale (TDelimitedExport::Execute):
    // false when Filename is empty or some values could not be converted (ConversionFailures).
    // Raises the layer's error when no table is shown.
    bool Execute();
    using TDelimitedExport::Execute;

    // The cache: kMaxPages pages of kPageRows rows.
    static constexpr int kPageRows = 64;
    static constexpr int kMaxPages = 32;

    explicit TdExport(QObject* parent = nullptr);

    // The table the model shows (not owned); null shows nothing.
    void SetDataSet(TTable* table);
    TTable* DataSet() const { return table_; }

    // The table was opened or closed: the model starts afresh (record count, fields, cache).
    // Drops an unwritten change without writing it: call SubmitPending before closing.
    void DataSetChanged();

    // Writes the record changed in the grid, if any. False when the engine refused the change:
    // engineError was emitted and the record shows its old values again.
    bool SubmitPending();
    // Makes `row` the table's current record, writing a changed record first (the grid left it).
    void SetCurrentRow(int row);
    // The row that holds an unwritten change, or -1.
    int PendingRow() const { return pendingRow_; }

    // The field shown in a column, and its width for the grid in characters.
    int FieldIndex(int column) const;
    // The column shows a memo, graphic, OLE or BLOB field (its cells show a marker).
    bool IsBlobColumn(int column) const;
    int DisplayWidth(int column) const;
    // Why the column's field cannot be changed in the grid (the engine refuses it: a key or
    // indexed field, an auto-increment field, a table another program holds ...); empty when it
    // can. Its cells are not editable then.
    QString ReadOnlyReason(int column) const;
    // The most characters a text typed into the column's cells can have (its field's length);
    // 0 when the column takes no typed text of a limited length.
    int MaxTextLength(int column) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    // Gives a cell a new value the way setData does with a typed text (also memo and BLOB cells,
    // which the grid does not edit itself). False when the engine refused it (engineError).
    bool SetCellValue(const QModelIndex& index, const FieldValue& value);

    // Records read from the file since the model was made (for tests and benchmarks), and the
    // pages now in the cache.
    std::uint64_t RecordsRead() const { return recordsRead_; }
    int CachedPages() const { return static_cast<int>(pages_.size()); }

    // The text a cell shows for a value of a field: memo and BLOB fields "(MEMO)", "(BLOB)",
    // "(GRAPHIC)", "(OLE)", "(BINARY)" when they hold a value and "(Memo)", "(Blob)" ... when
    // empty; any other value as people read it (displayValueText: empty for NULL, dates
    // YYYY-MM-DD, times HH:MM:SS with .mmm when there are milliseconds, logicals True/False,
    // "(invalid value)" for a value no valid value of its field).
    static QString CellText(const FieldDef& field, const FieldValue& value);
    // Reads a cell text typed in the grid as a value of the field (the forms CellText writes; an
    // empty text is NULL except for text fields, where it is the empty text). False with the
    // reason in `error` when the text is no value of the field's type.
    static bool ValueFromCellText(const FieldDef& field, const QString& text, FieldValue& out, std::string& error);

signals:
    // The engine refused to read or to write: the message for the error box.
    void engineError(const QString& message) const;

private:
    struct Page {
        int index = 0;
        std::vector<QString> cells;  // rows x columns, row by row
    };

    const Page& page(int pageIndex) const;
    void dropPage(int pageIndex);
    void reportReadError(const QString& message) const;

    TTable* table_ = nullptr;
    int rows_ = 0;
    std::vector<int> columns_;  // field index of each column (the visible fields)
    std::vector<QString> readOnly_;  // why each column cannot be changed (empty: it can)
    int pendingRow_ = -1;

    // The cache is filled from data(), which Qt declares const: it is state of the model's
    // reading, not of the data it shows.
    mutable std::list<Page> pages_;  // most recently used first
    mutable std::unordered_map<int, std::list<Page>::iterator> pageIndex_;
    mutable std::uint64_t recordsRead_ = 0;
    mutable bool readErrorReported_ = false;
};

}  // namespace tavrinth
