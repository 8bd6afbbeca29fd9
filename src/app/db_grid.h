#pragma once
// The data grid of the main window: a table view on the table model TdExport with a read-only
// flag, and the three events the window's record-number panel follows (a left click released on
// a data cell, a key released in the grid, the grid losing the focus).
//
// Not read-only (the window's edit mode), the grid also adds and deletes records: the Insert key,
// or Down on the last row, begins a new record in a row after the last one, on its first
// editable cell; Enter there goes on to the next editable cell and, past the last one, writes the
// record, as leaving the row does; Esc drops it. Ctrl+Delete asks the window to delete the
// current record (deleteRequested).

#include <QTableView>

namespace tavrinth {

class TdExport;

class TDBGrid : public QTableView {
    Q_OBJECT

public:
    explicit TDBGrid(QWidget* parent = nullptr);

    // The grid's data source; the grid follows its resets (column widths, current record) and
    // tells it which record is the current one.
    void SetDataSource(TdExport* source);
    TdExport* DataSource() const { return source_; }

    // Read-only: cells cannot be edited (the start state).
    void SetReadOnly(bool readOnly);
    bool ReadOnly() const { return readOnly_; }

    // The selected cells as tab-separated text: a line of the columns' field names, then a line
    // per row from the first selected row to the last (cells not selected left empty); what
    // Ctrl+C and the context menu's Copy put on the clipboard.
    QString SelectedText() const;
    void CopySelection();

    // A new record in a row after the last one, its first editable cell current (nothing while
    // read-only).
    void InsertRecord();
    // Drops the new record not yet written; the grid goes back to the record it was on.
    void CancelNewRecord();

signals:
    // A left-button click released on a data cell (not on the titles or the indicator column).
    void cellClicked(int column);
    // A key released in the grid itself (not in a cell's editor); auto-repeats are left out.
    void keyReleased(int key);
    // The focus went to a widget outside the grid (a cell's editor is part of the grid).
    void exited();
    // A memo, graphic or BLOB cell was double-clicked, or Enter was pressed on it: its viewer.
    void blobCellOpened(const QModelIndex& index);
    // Ctrl+Delete while not read-only: the current record is to be deleted (once confirmed).
    void deleteRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;

private:
    void sourceReset();
    // Enter in the new record's row: the next editable cell, or past the last one the record is
    // written.
    void nextCellOfNewRecord();
    // The row of the new record not yet written, or -1.
    int newRecordRow() const;

    TdExport* source_ = nullptr;
    bool readOnly_ = true;
};

}  // namespace tavrinth
