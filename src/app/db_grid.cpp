#include "db_grid.h"

#include <QApplication>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyledItemDelegate>

#include "tdexport.h"

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
};

}  // namespace

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent) {
    setObjectName(QStringLiteral("DBGrid"));
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
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
            [this](const QModelIndex& current) {
                if (current.isValid() && source_) source_->SetCurrentRow(current.row());
            });
    sourceReset();
}

void TDBGrid::sourceReset() {
    if (!source_) return;
    const int charWidth = fontMetrics().averageCharWidth();
    for (int c = 0; c < source_->columnCount(); ++c)
        setColumnWidth(c, source_->DisplayWidth(c) * charWidth + 12);
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

void TDBGrid::keyPressEvent(QKeyEvent* event) {
    const QModelIndex current = currentIndex();
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
