// TdExport: the grid's rows sorted by a column and filtered by a text (see tdexport.h).

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <exception>

#include "dbase/dbf_table.h"
#include "table.h"
#include "tdexport.h"

namespace tavrinth {

namespace {

bool showsNoValue(TFieldType t) {
    switch (t) {
        case ftMemo: case ftFmtMemo: case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
        case ftTypedBinary: case ftBytes: case ftVarBytes:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool TdExport::CanSortByColumn(int column) const {
    const int field = FieldIndex(column);
    return field >= 0 && table_ && table_->Active() && !showsNoValue(table_->Fields(field).DataType());
}

bool TdExport::SortByColumn(int column, Qt::SortOrder order) {
    if (showDeleted_ || (column >= 0 && !CanSortByColumn(column))) return false;
    if (column < 0) order = Qt::AscendingOrder;
    if (column == wanted_.column && order == wanted_.order) return true;
    wanted_.column = column;
    wanted_.order = order;
    startRows();
    return true;
}

void TdExport::SetFilterText(const QString& text) {
    if (showDeleted_ || text == wanted_.filter) return;
    wanted_.filter = text;
    startRows();
}

int TdExport::RowOfPosition(int position) const {
    if (showDeleted_) {
        // The row of a live record is its physical record number less one.
        if (!table_ || !table_->Active() || position < 0) return -1;
        return static_cast<int>(table_->File().recNo(static_cast<std::uint32_t>(position))) - 1;
    }
    if (!mapped_) return position >= 0 && position < rows_ ? position : -1;
    if (position < 0) return -1;
    const auto p = static_cast<std::uint32_t>(position);
    if (rowHint_ >= 0 && rowHint_ < rows_ && order_[static_cast<std::size_t>(rowHint_)] == p) return rowHint_;
    const auto it = std::find(order_.begin(), order_.end(), p);
    if (it == order_.end()) return -1;
    rowHint_ = static_cast<int>(it - order_.begin());
    return rowHint_;
}

void TdExport::dropRows() {
    ++rowsGeneration_;
    const bool wasBusy = build_ != nullptr;
    build_.reset();
    wanted_ = RowsWanted();
    shownFilter_.clear();
    order_ = {};
    mapped_ = false;
    rowHint_ = -1;
    if (wasBusy) emit rowsBusy(false);
}

void TdExport::startRows() {
    const unsigned generation = ++rowsGeneration_;
    const bool wasBusy = build_ != nullptr;
    build_.reset();
    if (!table_ || !table_->Active()) {
        if (wasBusy) emit rowsBusy(false);
        return;
    }
    RowOrderBuild::Request request;
    request.sortField = FieldIndex(wanted_.column);
    request.descending = wanted_.order == Qt::DescendingOrder;
    request.filter = wanted_.filter;
    request.filterFields = columns_;
    if (request.sortField < 0 && request.filter.isEmpty()) {
        if (wasBusy) emit rowsBusy(false);
        if (mapped_ || !shownFilter_.isEmpty()) showRows({}, false, QString());  // else shown already
        return;
    }
    build_ = std::make_unique<RowOrderBuild>(table_->File(), static_cast<std::uint32_t>(table_->RecordCount()),
                                             std::move(request));
    if (!wasBusy) emit rowsBusy(true);
    // The first slice at once: a small table is sorted or filtered before this returns.
    if (generation == rowsGeneration_) rowsSlice(generation);
}

void TdExport::rowsSlice(unsigned generation, bool wait) {
    if (generation != rowsGeneration_ || !build_) return;
    std::vector<std::uint32_t> rows;
    bool identity = false;
    try {
        if (wait) build_->run();
        // A slice short enough that typing and scrolling go on while a large table is read.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(rowsSliceMs_);
        if (!build_->allRead() && !build_->step(deadline)) {
            QTimer::singleShot(0, this, [this, generation] { rowsSlice(generation); });
            return;
        }
        // Many keys are sorted in a thread of their own; the window looks every few milliseconds.
        // (Once the thread runs, only sorting() and sorted() are asked: the keys are its own.)
        if (!wait && !build_->sorted() && (build_->sorting() || build_->sortsInBackground())) {
            build_->startSorting();
            QTimer::singleShot(5, this, [this, generation] { rowsSlice(generation); });
            return;
        }
        rows = build_->finish(identity);
    } catch (const std::exception& e) {
        // The rows stay as they were.
        build_.reset();
        emit rowsBusy(false);
        emit engineError(QString::fromStdString(e.what()));
        return;
    }
    const QString filter = build_->request().filter;
    build_.reset();
    emit rowsBusy(false);
    showRows(std::move(rows), !identity, filter);
}

void TdExport::FinishRows() {
    if (build_) rowsSlice(rowsGeneration_, true);
}

void TdExport::showRows(std::vector<std::uint32_t> rows, bool mapped, const QString& filter) {
    const unsigned generation = rowsGeneration_;
    // An editor still open gives its text back, and a changed record is written, while the rows
    // are still the ones the change was made on. Either may show an error box, during which a
    // newer request can come: then this result is dropped.
    emit rowsAboutToChange();
    if (generation != rowsGeneration_) return;
    const unsigned refreshes = refreshes_;
    SubmitPending();
    // A write that moved records worked the rows out again, for this very request: these,
    // read before it, are stale.
    if (refreshes != refreshes_) {
        emit rowsChanged();
        return;
    }
    if (generation != rowsGeneration_ || !table_ || !table_->Active()) return;

    if (rows_ > 0) {
        beginRemoveRows(QModelIndex(), 0, rows_ - 1);
        rows_ = 0;
        order_ = {};
        mapped_ = false;
        pages_.clear();
        pageIndex_.clear();
        endRemoveRows();
    }
    order_ = std::move(rows);
    mapped_ = mapped;
    shownFilter_ = filter;
    rowHint_ = -1;
    pages_.clear();
    pageIndex_.clear();
    const int count = mapped_ ? static_cast<int>(order_.size()) : table_->RecordCount();
    if (count > 0) {
        beginInsertRows(QModelIndex(), 0, count - 1);
        rows_ = count;
        endInsertRows();
    }
    emit rowsChanged();
}

void TdExport::refreshRows() {
    // Never while a new record has its row: it is written or dropped first.
    ++refreshes_;
    pages_.clear();
    pageIndex_.clear();
    rowHint_ = -1;
    if (!table_ || !table_->Active()) return;
    int count = 0;
    if (showDeleted_) {
        count = static_cast<int>(dynamic_cast<const dbase::DBaseTable&>(table_->File()).physicalCount());
    } else {
        if (mapped_ || build_ || !shownFilter_.isEmpty() || wanted_.column >= 0 || !wanted_.filter.isEmpty()) {
            // The sort and filter asked for (a pass under way is overtaken), at once: the positions
            // the rows held are stale.
            ++rowsGeneration_;
            const bool wasBusy = build_ != nullptr;
            build_.reset();
            RowOrderBuild::Request request;
            request.sortField = FieldIndex(wanted_.column);
            request.descending = wanted_.order == Qt::DescendingOrder;
            request.filter = wanted_.filter;
            request.filterFields = columns_;
            std::vector<std::uint32_t> rows;
            bool identity = true;
            QString filter;
            if (request.sortField >= 0 || !request.filter.isEmpty()) {
                try {
                    RowOrderBuild build(table_->File(), static_cast<std::uint32_t>(table_->RecordCount()), request);
                    build.run();
                    rows = build.finish(identity);
                    filter = request.filter;
                } catch (const std::exception& e) {
                    // The table's own order, unfiltered, rather than rows that are wrong.
                    rows.clear();
                    identity = true;
                    emit engineError(QString::fromStdString(e.what()));
                }
            }
            order_ = identity ? std::vector<std::uint32_t>() : std::move(rows);
            mapped_ = !identity;
            shownFilter_ = filter;
            if (wasBusy) emit rowsBusy(false);
        }
        count = mapped_ ? static_cast<int>(order_.size()) : table_->RecordCount();
    }
    // The rows that remain show other records now; rows come or go at the end.
    if (count < rows_) {
        beginRemoveRows(QModelIndex(), count, rows_ - 1);
        rows_ = count;
        endRemoveRows();
    } else if (count > rows_) {
        beginInsertRows(QModelIndex(), rows_, count - 1);
        rows_ = count;
        endInsertRows();
    }
    if (rows_ > 0 && !columns_.empty()) emit dataChanged(index(0, 0), index(rows_ - 1, columnCount() - 1));
    if (rows_ > 0) emit headerDataChanged(Qt::Vertical, 0, rows_ - 1);
    emit recordsMoved();
}

}  // namespace tavrinth
