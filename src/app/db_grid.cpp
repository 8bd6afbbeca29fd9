#include "db_grid.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>
#include <QTimer>

#include "table.h"
#include "tdexport.h"

#include <algorithm>

namespace tavrinth {

namespace {

// Cell editors that take no more characters than the field holds.
class CellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        const auto* source = qobject_cast<const TdExport*>(index.model());
        if (auto* line = qobject_cast<QLineEdit*>(editor); line && source)
            if (const int n = source->MaxTextLength(index.column()); n > 0) line->setMaxLength(n);
        return editor;
    }

protected:
    // A record marked deleted (shown on request) is greyed.
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const auto* source = qobject_cast<const TdExport*>(index.model());
        if (source && source->ShowingDeleted() && source->RowDeleted(index.row())) {
            option->palette.setColor(QPalette::Text, Qt::gray);
            option->palette.setColor(QPalette::HighlightedText, Qt::lightGray);
        }
    }
};

}  // namespace

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent) {
    setObjectName(QStringLiteral("DBGrid"));
    setSelectionBehavior(QAbstractItemView::SelectItems);
    // Cells are selected for copying as a user selects them anywhere (Shift, Ctrl); the current
    // cell's row is the table's current record.
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setItemDelegate(new CellDelegate(this));
    // Every row has the same height: the header needs no per-row work, even for millions of rows.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    verticalHeader()->setMinimumWidth(12);
    connect(this, &QTableView::clicked, this, [this](const QModelIndex& index) {
        if (index.isValid()) emit cellClicked(index.column());
    });
    connect(this, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && source_ && source_->IsBlobColumn(index.column())) emit blobCellOpened(index);
    });
}

void TDBGrid::SetDataSource(TdExport* source) {
    source_ = source;
    setModel(source);
    connect(source, &QAbstractItemModel::modelReset, this, &TDBGrid::sourceReset);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex& previous) {
                if (!current.isValid() || !source_) return;
                source_->SetCurrentRow(current.row());
                // A new record the engine refused to write stays the current row, to be corrected.
                const int newRow = newRecordRow();
                if (newRow >= 0 && current.row() != newRow)
                    setCurrentIndex(source_->index(newRow, previous.isValid() ? previous.column() : current.column()));
                // The grid went elsewhere meanwhile (back to the refused record, or after the
                // record written to its new place): the key or click that moved it selects the
                // cell it was aimed at once this returns, so the selection follows afterwards.
                if (currentIndex() != current)
                    QTimer::singleShot(0, this, [this] {
                        if (currentIndex().isValid())
                            selectionModel()->select(currentIndex(), QItemSelectionModel::ClearAndSelect);
                    });
            });
    sourceReset();
}

void TDBGrid::sourceReset() {
    if (!source_) return;
    // A column as wide as its field's characters (measured with digits, the widest usual ones),
    // and its title readable.
    const QFontMetrics cells = fontMetrics(), titles = horizontalHeader()->fontMetrics();
    for (int c = 0; c < source_->columnCount(); ++c) {
        const int field = cells.horizontalAdvance(QString(source_->DisplayWidth(c), QLatin1Char('0')));
        const int title = titles.horizontalAdvance(source_->headerData(c, Qt::Horizontal).toString()) + 8;
        setColumnWidth(c, std::max(field, title) + 12);
    }
    // The table stands on its first record after opening: the grid starts there too.
    if (source_->rowCount() > 0 && source_->columnCount() > 0)
        selectionModel()->setCurrentIndex(source_->index(0, 0), QItemSelectionModel::ClearAndSelect);
}

void TDBGrid::SetReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    if (readOnly) {
        // An open cell editor has already given its text back: it did so when the focus left it.
        setEditTriggers(QAbstractItemView::NoEditTriggers);
    } else {
        setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                        QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked);
    }
}

QString TDBGrid::SelectedText() const {
    const QModelIndexList selected = selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList();
    if (selected.isEmpty() || !model()) return QString();
    int top = selected.first().row(), bottom = top, left = selected.first().column(), right = left;
    for (const QModelIndex& i : selected) {
        top = std::min(top, i.row());
        bottom = std::max(bottom, i.row());
        left = std::min(left, i.column());
        right = std::max(right, i.column());
    }
    // A tab in a value would start a new column, a line break a new row: both become blanks.
    auto clean = [](QString text) {
        for (QChar& c : text)
            if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')) c = QLatin1Char(' ');
        return text;
    };
    QString out;
    for (int c = left; c <= right; ++c) {
        if (c > left) out += QLatin1Char('\t');
        out += clean(model()->headerData(c, Qt::Horizontal).toString());
    }
    out += QLatin1Char('\n');
    for (int r = top; r <= bottom; ++r) {
        for (int c = left; c <= right; ++c) {
            if (c > left) out += QLatin1Char('\t');
            const QModelIndex i = model()->index(r, c);
            if (selectionModel()->isSelected(i)) out += clean(i.data().toString());
        }
        out += QLatin1Char('\n');
    }
    return out;
}

void TDBGrid::CopySelection() {
    const QString text = SelectedText();
    if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
}

void TDBGrid::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("GridMenu"));
    QAction* copy = menu.addAction(QStringLiteral("Copy"), this, &TDBGrid::CopySelection);
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(selectionModel() && selectionModel()->hasSelection());
    const QModelIndex at = indexAt(event->pos());
    if (at.isValid() && source_ && source_->IsBlobColumn(at.column()))
        menu.addAction(QStringLiteral("Open value..."), this, [this, at] { emit blobCellOpened(at); });
    menu.exec(event->globalPos());
}

int TDBGrid::newRecordRow() const { return source_ ? source_->InsertingRow() : -1; }

void TDBGrid::InsertRecord() {
    if (readOnly_ || !source_) return;
    if (newRecordRow() < 0 && !source_->InsertRow()) return;
    const int row = newRecordRow();
    if (row < 0) return;
    int column = 0;
    for (int c = 0; c < source_->columnCount(); ++c) {
        if (source_->flags(source_->index(row, c)) & Qt::ItemIsEditable) {
            column = c;
            break;
        }
    }
    const QModelIndex at = source_->index(row, column);
    setCurrentIndex(at);
    scrollTo(at);
}

void TDBGrid::CancelNewRecord() {
    if (!source_ || newRecordRow() < 0) return;
    const int column = std::max(0, currentIndex().column());
    const int back = source_->CancelInsert();
    if (back >= 0 && back < source_->rowCount()) {
        const QModelIndex at = source_->index(back, std::min(column, source_->columnCount() - 1));
        setCurrentIndex(at);
        scrollTo(at);
    }
    verticalHeader()->viewport()->update();
}

void TDBGrid::nextCellOfNewRecord() {
    const QModelIndex current = currentIndex();
    const int row = newRecordRow();
    if (!source_ || row < 0 || current.row() != row) return;
    for (int c = current.column() + 1; c < source_->columnCount(); ++c) {
        const QModelIndex at = source_->index(row, c);
        if (source_->flags(at) & Qt::ItemIsEditable) {
            setCurrentIndex(at);
            scrollTo(at);
            return;
        }
    }
    // Past the last cell: the record is written (a refused one stays to be corrected).
    source_->SubmitPending(true);
}

void TDBGrid::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    // Enter in a cell of the new record goes on to its next cell rather than staying.
    const bool next = hint == QAbstractItemDelegate::SubmitModelCache && newRecordRow() >= 0 &&
                      currentIndex().row() == newRecordRow();
    QTableView::closeEditor(editor, next ? QAbstractItemDelegate::NoHint : hint);
    if (next) nextCellOfNewRecord();
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy) && state() != EditingState) {
        CopySelection();
        event->accept();
        return;
    }
    const QModelIndex current = currentIndex();
    if (!readOnly_ && source_ && state() != EditingState) {
        const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
        const int newRow = newRecordRow();
        const bool onNew = newRow >= 0 && current.row() == newRow;
        bool handled = true;
        if (event->key() == Qt::Key_Insert && modifiers == Qt::NoModifier) {
            InsertRecord();
        } else if (event->key() == Qt::Key_Delete && modifiers == Qt::ControlModifier) {
            if (onNew) CancelNewRecord();
            else emit deleteRequested();
        } else if (event->key() == Qt::Key_Escape && modifiers == Qt::NoModifier && onNew) {
            CancelNewRecord();
        } else if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && onNew) {
            nextCellOfNewRecord();
        } else if (event->key() == Qt::Key_Down && modifiers == Qt::NoModifier && onNew) {
            // Below the new record: it is written once something was typed into it.
            if (source_->DataSet() && source_->DataSet()->Modified()) source_->SubmitPending(true);
        } else if (event->key() == Qt::Key_Down && modifiers == Qt::NoModifier && newRow < 0 && current.isValid() &&
                   current.row() == source_->rowCount() - 1 && source_->CanInsert()) {
            InsertRecord();
        } else {
            handled = false;
        }
        if (handled) {
            event->accept();
            return;
        }
    }
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat() && state() != EditingState &&
        current.isValid() && source_ && source_->IsBlobColumn(current.column())) {
        event->accept();
        emit blobCellOpened(current);
        return;
    }
    QTableView::keyPressEvent(event);
}

void TDBGrid::keyReleaseEvent(QKeyEvent* event) {
    QTableView::keyReleaseEvent(event);
    if (!event->isAutoRepeat()) emit keyReleased(event->key());
}

void TDBGrid::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason) return;
    const QWidget* now = QApplication::focusWidget();
    if (now && isAncestorOf(now)) return;
    emit exited();
}

}  // namespace tavrinth
