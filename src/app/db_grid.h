#pragma once
// The data grid of the main window: a table view on the table model TdExport with a read-only
// flag, and the three events the window's record-number panel follows (a left click released on
// a data cell, a key released in the grid, the grid losing the focus).

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

signals:
    // A left-button click released on a data cell (not on the titles or the indicator column).
    void cellClicked(int column);
    // A key released in the grid itself (not in a cell's editor); auto-repeats are left out.
    void keyReleased(int key);
    // The focus went to a widget outside the grid (a cell's editor is part of the grid).
    void exited();
    // A memo, graphic or BLOB cell was double-clicked, or Enter was pressed on it: its viewer.
    void blobCellOpened(const QModelIndex& index);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void sourceReset();

    TdExport* source_ = nullptr;
    bool readOnly_ = true;
};

}  // namespace tavrinth
