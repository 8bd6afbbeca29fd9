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
// A new record (InsertRow) has a row of its own after the last one until it is written; once it
// is, and after a record was deleted or moved by a change of its key, the rows show the table
// anew (recordsMoved).
//
// The table object belongs to the window; the window opens and closes it and calls
// DataSetChanged after each opening and closing.

#include <QAbstractTableModel>
#include <QString>

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "delimited_export.h"
#include "field_value.h"
#include "row_order.h"
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
    // engineError was emitted and the record shows its old values again. A new record the
    // engine refuses is dropped with its row, or with `keepRefusedNew` kept in its row, unwritten,
    // to be corrected. A new record left blank is dropped without writing it.
    bool SubmitPending(bool keepRefusedNew = false);
    // Makes `row` the table's current record, writing a changed record first (the grid left it).
    // When that write moved the records (a new record, a changed key), the table stays on the
    // written record and recordsMoved tells where its row is; a refused new record keeps its row
    // and stays the current one.
    void SetCurrentRow(int row);
    // The row that holds an unwritten change, or -1.
    int PendingRow() const { return pendingRow_; }

    // A new record (TTable::Insert): a blank row after the last one, the row being changed
    // (PendingRow). False, with engineError, when the table takes no records from this program.
    bool InsertRow();
    // Whether the table shown takes new records from this program (InsertRow tells why not).
    bool CanInsert() const;
    // The row of the new record not yet written, or -1.
    int InsertingRow() const { return insertRow_; }
    // Drops the new record and its row (TTable::Cancel: the table goes back to the record it was
    // on). Returns the row of that record (-1 when none shows it), for the grid to go back to:
    // when the row that went was the grid's current one, the grid and the table moved to the
    // row above it meanwhile.
    int CancelInsert();
    // Deletes the record a row shows (TTable::Delete; dBase marks it deleted). The table's
    // current record is then the one of the next row (the last row's when it was the last).
    // False, with engineError and nothing deleted, when the engine refused; a row of a record
    // marked deleted is left alone. The new record's row is dropped instead (CancelInsert).
    bool DeleteRow(int row);

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

    // --- Sorted and filtered rows (tdexport_rows.cpp) ----------------------------------------
    // The rows can show the records in the order of a column's values, and only the records that
    // hold a text (RowOrderBuild says how values compare and what the filter looks at). The rows
    // are then a list of table positions, 4 bytes a shown record; in the table's own order without
    // a filter there is no list. Every row number the model is given is a grid row: it goes
    // through the list to the table's record. A sort or a filter reads the table once, in slices
    // of about 20 ms between the window's events (a small table in one go, at once); when the
    // pass is over, rowsAboutToChange is emitted, a pending change is written, and the rows are
    // removed and inserted again. A record changed afterwards keeps its row until the next sort
    // or filter; a record inserted, deleted or moved by its key has the rows worked out again at
    // once (recordsMoved). DataSetChanged (opening, closing) goes back to the table's order,
    // unfiltered.

    // Sorts by a column's values (-1: the table's own order). False, changing nothing, for a
    // column that cannot be sorted by.
    bool SortByColumn(int column, Qt::SortOrder order = Qt::AscendingOrder);
    // Memo, graphic, OLE, BLOB and bytes columns show a marker, not their values: not sortable.
    bool CanSortByColumn(int column) const;
    // The sort asked for last: the column (-1: the table's own order) and the direction.
    int SortColumn() const { return wanted_.column; }
    Qt::SortOrder SortOrder() const { return wanted_.order; }
    // Shows only the records with `text` in the text one of their cells shows, ignoring case;
    // an empty text shows every record.
    void SetFilterText(const QString& text);
    QString FilterText() const { return wanted_.filter; }
    // The rows shown are the records that hold a filter text (the pass for it is over).
    bool Filtered() const { return !shownFilter_.isEmpty(); }
    // A pass over the table is under way; FinishRows runs it to its end at once.
    bool RowsPending() const { return build_ != nullptr; }
    void FinishRows();
    // How long one slice of a pass reads records before the window's events go on (20 ms; the
    // records are read in runs of 256 between looks at the clock).
    void SetRowsSlice(int milliseconds) { rowsSliceMs_ = milliseconds; }
    // The table position a row shows (-1 for no row), and the row that shows a table position
    // (-1 when the filter hides that record).
    int PositionOfRow(int row) const {
        if (row >= 0 && row == insertRow_) return -1;  // the new record is not in the table yet
        if (showDeleted_) return physicalRowPosition(row);
        if (!mapped_) return row >= 0 && row < rows_ ? row : -1;
        return row >= 0 && row < static_cast<int>(order_.size()) ? static_cast<int>(order_[static_cast<std::size_t>(row)]) : -1;
    }
    int RowOfPosition(int position) const;

    // --- Records marked deleted (dBase) -------------------------------------------------------
    // Whether the open table is a dBase table with records marked deleted.
    bool CanShowDeleted() const;
    // The rows show every record of the file, those marked deleted too (greyed and read-only), in
    // the file's order; the sort and the filter are dropped meanwhile (they take the live records
    // only). Off again on every opening. Write a pending change first (SubmitPending).
    void SetShowDeleted(bool on);
    bool ShowingDeleted() const { return showDeleted_; }
    // Whether a row shows a record marked deleted.
    bool RowDeleted(int row) const;

signals:
    // The engine refused to read or to write: the message for the error box.
    void engineError(const QString& message) const;
    // The rows are about to change to a new order or filter: a cell editor still open gives its
    // text back now (it is written before the rows change).
    void rowsAboutToChange();
    // The rows show the new order or filter.
    void rowsChanged();
    // A pass over the table started (true) or ended (false).
    void rowsBusy(bool busy);
    // A record was inserted, deleted or moved to its place in key order: the rows show the table
    // as it is now (the same number of rows, or fewer or more at the end), in the sort and filter
    // in force; the table's current record is the one written (after a delete, the next one).
    void recordsMoved();

private:
    struct Page {
        int index = 0;
        std::vector<QString> cells;  // rows x columns, row by row
        std::vector<bool> deleted;   // a record marked deleted, row by row (showing deleted ones)
    };
    // The table position of a record of the file (a row while showing deleted records); -1 for
    // one marked deleted.
    int physicalRowPosition(int row) const;
    bool showDeleted_ = false;

    const Page& page(int pageIndex) const;
    void dropPage(int pageIndex);
    void reportReadError(const QString& message) const;

    // Sorted and filtered rows (tdexport_rows.cpp).
    struct RowsWanted {
        int column = -1;
        Qt::SortOrder order = Qt::AscendingOrder;
        QString filter;
    };
    void startRows();
    // One step of the pass under way; `wait`: all the rest at once.
    void rowsSlice(unsigned generation, bool wait = false);
    void showRows(std::vector<std::uint32_t> rows, bool mapped, const QString& filter);
    // Back to the table's own rows, unfiltered, without a signal (inside DataSetChanged's reset).
    void dropRows();
    // The records moved (inserted, deleted, moved by a key): the rows of the sort and filter
    // asked for are worked out again at once, the cache goes, rows come or go at the end, and
    // every row is reported changed; then recordsMoved.
    void refreshRows();
    unsigned refreshes_ = 0;  // counts refreshRows: a caller sees whether a write moved the rows
    RowsWanted wanted_;
    QString shownFilter_;
    std::vector<std::uint32_t> order_;  // the table position of each row, when mapped_
    bool mapped_ = false;
    std::unique_ptr<RowOrderBuild> build_;
    unsigned rowsGeneration_ = 0;  // counts requests: a pass or a result of an older one is dropped
    int rowsSliceMs_ = 20;
    mutable int rowHint_ = -1;     // the row RowOfPosition found last

    TTable* table_ = nullptr;
    int rows_ = 0;
    std::vector<int> columns_;  // field index of each column (the visible fields)
    std::vector<QString> readOnly_;  // why each column cannot be changed (empty: it can)
    QString tableReadOnly_;          // why the table takes no changes (empty: it does)
    int pendingRow_ = -1;
    int insertRow_ = -1;             // the new record's row (the last), or -1
    // Writes the new record; false when refused (dropped unless `keepRefused`).
    bool postInsert(bool keepRefused);
    // The rows of records in the table (or the file, showing deleted ones): without the new one.
    int recordRows() const { return insertRow_ >= 0 ? rows_ - 1 : rows_; }

    // The cache is filled from data(), which Qt declares const: it is state of the model's
    // reading, not of the data it shows.
    mutable std::list<Page> pages_;  // most recently used first
    mutable std::unordered_map<int, std::list<Page>::iterator> pageIndex_;
    mutable std::uint64_t recordsRead_ = 0;
    mutable bool readErrorReported_ = false;
};

}  // namespace tavrinth
