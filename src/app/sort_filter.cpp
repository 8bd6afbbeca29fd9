// TfmMain: sorting and filtering the grid's rows. A click on a column's title sorts the rows by
// the column's values, a second click turns the order round and a third goes back to the table's
// own order (the titles' context menu does the same); the filter bar above the grid shows only
// the rows that hold the text typed there, 200 ms after the last key (Enter at once). The data
// source keeps the rows (TdExport::SortByColumn, SetFilterText); opening a table starts without
// either.

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "db_grid.h"
#include "main_window.h"
#include "tdexport.h"

namespace tavrinth {

namespace {

constexpr int kFilterDelayMs = 200;

// Shows and hides a widget whenever another one is shown or hidden (the grid's panel, with its
// filter bar, goes with the grid when the view changes).
class ShownWith : public QObject {
public:
    ShownWith(QWidget* follower, QWidget* leader) : QObject(follower), follower_(follower) {
        leader->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::ShowToParent) follower_->show();
        else if (event->type() == QEvent::HideToParent) follower_->hide();
        return false;
    }

private:
    QWidget* follower_;
};

}  // namespace

QWidget* TfmMain::CreateFilterBar(QWidget* parent) {
    auto* area = new QWidget(parent);
    area->setObjectName(QStringLiteral("GridPanel"));
    auto* column = new QVBoxLayout(area);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    FilterPanel = new QFrame(area);
    FilterPanel->setObjectName(QStringLiteral("FilterPanel"));
    FilterPanel->setFrameShape(QFrame::NoFrame);
    auto* line = new QHBoxLayout(FilterPanel);
    line->setContentsMargins(6, 2, 6, 2);
    line->setSpacing(6);
    auto* label = new QLabel(QStringLiteral("&Filter:"), FilterPanel);
    label->setObjectName(QStringLiteral("FilterLabel"));
    FilterText = new QLineEdit(FilterPanel);
    FilterText->setObjectName(QStringLiteral("FilterText"));
    FilterText->setPlaceholderText(QStringLiteral("Filter rows"));
    FilterText->setClearButtonEnabled(true);
    FilterText->setFixedWidth(220);
    SetHint(FilterText, QStringLiteral("Filter|Show only the rows that hold this text in a column (ignoring case)"));
    label->setBuddy(FilterText);
    line->addWidget(label);
    line->addWidget(FilterText);
    cbShowDeleted = new QCheckBox(QStringLiteral("Show deleted records"), FilterPanel);
    cbShowDeleted->setObjectName(QStringLiteral("cbShowDeleted"));
    cbShowDeleted->setEnabled(false);
    SetHint(cbShowDeleted, QStringLiteral("Deleted records|Show the records of a dBase table that are marked deleted (greyed, read-only)"));
    line->addWidget(cbShowDeleted);
    line->addStretch(1);
    column->addWidget(FilterPanel);
    column->addWidget(DBGrid, 1);
    new ShownWith(area, DBGrid);

    FilterTimer = new QTimer(this);
    FilterTimer->setObjectName(QStringLiteral("FilterTimer"));
    FilterTimer->setInterval(kFilterDelayMs);
    FilterTimer->setSingleShot(true);
    return area;
}

void TfmMain::ConnectSortFilter() {
    QHeaderView* titles = DBGrid->horizontalHeader();
    titles->setSortIndicatorShown(true);
    titles->setSortIndicatorClearable(true);  // ascending, descending, the table's order
    titles->setSortIndicator(-1, Qt::AscendingOrder);
    // A click on a title sorts; it does not also select the column (the rows are laid out anew).
    disconnect(titles, SIGNAL(sectionPressed(int)), DBGrid, SLOT(selectColumn(int)));
    disconnect(titles, SIGNAL(sectionEntered(int)), DBGrid, SLOT(_q_selectColumn(int)));
    connect(titles, &QHeaderView::sortIndicatorChanged, this,
            [this](int column, Qt::SortOrder order) { Guard([&] { SortGrid(column, order); }); });
    titles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(titles, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { Guard([&] { TitleMenu(at); }); });

    connect(cbShowDeleted, &QCheckBox::toggled, this, [this](bool) { Guard([&] { ShowDeletedRecords(); }); });
    connect(FilterText, &QLineEdit::textChanged, FilterTimer, qOverload<>(&QTimer::start));
    connect(FilterText, &QLineEdit::returnPressed, this, [this] { Guard([&] { FilterGrid(); }); });
    connect(FilterTimer, &QTimer::timeout, this, [this] { Guard([&] { FilterGrid(); }); });

    // A table opened or closed: its rows in its own order, unfiltered.
    connect(dExport, &QAbstractItemModel::modelReset, this, [this] { Guard([&] { ResetSortFilter(); }); });
    connect(dExport, &TdExport::rowsAboutToChange, this, [this] {
        // A cell's editor still open gives its text back before its row goes.
        const QModelIndex current = DBGrid->currentIndex();
        gridColumnBeforeRows_ = std::max(0, current.column());
        if (QWidget* editor = DBGrid->indexWidget(current)) {
            QAbstractItemDelegate* delegate = DBGrid->itemDelegateForIndex(current);
            emit delegate->commitData(editor);
            emit delegate->closeEditor(editor, QAbstractItemDelegate::NoHint);
        }
    });
    connect(dExport, &TdExport::rowsChanged, this, [this] { Guard([&] { GridRowsChanged(); }); });
    connect(dExport, &TdExport::rowsBusy, this, [this](bool busy) {
        if (busy) DBGrid->viewport()->setCursor(Qt::BusyCursor);
        else DBGrid->viewport()->unsetCursor();
    });
}

void TfmMain::SortGrid(int column, Qt::SortOrder order) {
    if (dExport->SortByColumn(column, order)) return;
    // A column that shows only markers (memo, BLOB, bytes), or no table: the title shows the
    // order the rows have.
    QHeaderView* titles = DBGrid->horizontalHeader();
    const QSignalBlocker quiet(titles);
    titles->setSortIndicator(dExport->SortColumn(), dExport->SortOrder());
}

void TfmMain::FilterGrid() {
    FilterTimer->stop();
    dExport->SetFilterText(FilterText->text());
}

void TfmMain::ShowDeletedRecords() {
    // The toggle stays as the user left it; it applies to every dBase table with deleted records.
    cbShowDeleted->setEnabled(dExport->CanShowDeleted());
    const bool on = cbShowDeleted->isChecked() && dExport->CanShowDeleted();
    if (on != dExport->ShowingDeleted()) {
        dExport->SubmitPending();
        dExport->SetShowDeleted(on);
        GridFollowsTable(-1);
    }
    FilterText->setEnabled(!dExport->ShowingDeleted());
}

void TfmMain::ResetSortFilter() {
    FilterTimer->stop();
    {
        const QSignalBlocker quiet(FilterText);
        FilterText->clear();
    }
    QHeaderView* titles = DBGrid->horizontalHeader();
    const QSignalBlocker quiet(titles);
    titles->setSortIndicator(-1, Qt::AscendingOrder);
}

void TfmMain::GridRowsChanged() {
    // The grid starts again at its first row, in the column it was in; not while a search runs
    // through the table's records (a progress dialog lets the rows change meanwhile): the search
    // places the grid when it ends.
    const bool searching = hourglass_ || Table.ControlsDisabled();
    if (!searching && dExport->rowCount() > 0 && dExport->columnCount() > 0) {
        const QModelIndex first = dExport->index(0, std::min(gridColumnBeforeRows_, dExport->columnCount() - 1));
        DBGrid->selectionModel()->setCurrentIndex(first, QItemSelectionModel::ClearAndSelect);
        DBGrid->scrollTo(first);
    }
    DBGrid->verticalHeader()->viewport()->update();
    if (!Table.Active()) return;
    if (!StatusPanels[3]->text().isEmpty()) VisLineNo();
    ShowRecordCount();
}

void TfmMain::TitleMenu(const QPoint& at) {
    QHeaderView* titles = DBGrid->horizontalHeader();
    const int column = titles->logicalIndexAt(at);
    const bool sortable = column >= 0 && dExport->CanSortByColumn(column);
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("TitleMenu"));
    QAction* up = menu.addAction(QStringLiteral("Sort ascending"));
    QAction* down = menu.addAction(QStringLiteral("Sort descending"));
    up->setEnabled(sortable);
    down->setEnabled(sortable);
    menu.addSeparator();
    QAction* own = menu.addAction(QStringLiteral("Table order"));
    own->setEnabled(dExport->SortColumn() >= 0);
    const QAction* chosen = menu.exec(titles->mapToGlobal(at));
    if (chosen == up) titles->setSortIndicator(column, Qt::AscendingOrder);
    else if (chosen == down) titles->setSortIndicator(column, Qt::DescendingOrder);
    else if (chosen == own) titles->setSortIndicator(-1, Qt::AscendingOrder);
}

}  // namespace tavrinth
