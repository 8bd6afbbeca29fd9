// TfmMain: searching. One search panel drives three searches: the rows of the open table, the rows
// of the marked tables one after the other, and the report text in the Structure view. Every start
// goes on where the previous one stopped, so pressing Start again finds the next occurrence.

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTextCursor>
#include <QTextDocument>
#include <QToolButton>

#include <vector>

#include "db_grid.h"
#include "main_window.h"
#include "tdexport.h"

namespace tavrinth {

namespace {

const QString kNotFound = QStringLiteral("Text not found !");
const QString kSearchCaption = QStringLiteral("Search");

// The table's linked controls stay detached while the search runs through its records; they are
// attached again when the search ends, also by an error.
class DetachedControls {
public:
    explicit DetachedControls(TTable& table) : table_(table) { table_.DisableControls(); }
    ~DetachedControls() { Attach(); }
    DetachedControls(const DetachedControls&) = delete;
    DetachedControls& operator=(const DetachedControls&) = delete;

    void Attach() {
        if (!attached_) table_.EnableControls();
        attached_ = true;
    }

private:
    TTable& table_;
    bool attached_ = false;
};

// Does `value` hold `pattern`? Case-insensitive: both upper-cased by the user's locale (the
// pattern already is).
class TextMatch {
public:
    TextMatch(const QString& pattern, bool caseSensitive)
        : caseSensitive_(caseSensitive),
          locale_(QLocale::system()),
          pattern_(caseSensitive ? pattern : locale_.toUpper(pattern)),
          patternUtf8_(pattern_.toStdString()) {}

    bool operator()(const std::string& value) const {
        // UTF-8 texts: a run of bytes matches exactly where the run of characters does.
        if (caseSensitive_) return value.find(patternUtf8_) != std::string::npos;
        return locale_.toUpper(QString::fromStdString(value)).contains(pattern_);
    }

private:
    bool caseSensitive_;
    QLocale locale_;
    QString pattern_;
    std::string patternUtf8_;
};

}  // namespace

void TfmMain::HourglassCursor() {
    if (hourglass_) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    hourglass_ = true;
}

void TfmMain::NormalCursor() {
    if (!hourglass_) return;
    hourglass_ = false;
    QApplication::restoreOverrideCursor();
}

void TfmMain::btSearchClick() {
    cbAllFiles->show();
    SogPanel->setVisible(btSearch->isChecked());
}

void TfmMain::btSearchDefinitionClick() {
    cbAllFiles->hide();
    SogPanel->setVisible(btSearchDefinition->isChecked());
}

void TfmMain::SearchFiles() {
    if (rbStruct->isChecked()) {
        RichSearch();
        return;
    }
    const bool anyChecked = AnyChecked();
    HourglassCursor();
    struct Normal {
        TfmMain* window;
        ~Normal() { window->NormalCursor(); }
    } normal{this};
    DBGrid->setFocus();
    // A change typed into the grid is written before the search moves the cursor.
    dExport->SubmitPending();
    // The match the last search ended on is gone with its table (closed by a change of database):
    // there is nothing to step past.
    if (LastSearchFound && !Table.Active()) LastSearchFound = false;
    if (LastSearchFound) Table.Next();

    if (!cbAllFiles->isChecked()) {
        LastSearchFound = SearchGrid();
        NormalCursor();
        return;
    }

    // Over several tables: a progress dialog with Cancel (a cancelled search finds nothing and
    // says nothing).
    int searched = 0, toSearch = 0;
    for (int i = 0; i < ListBox->count(); ++i)
        if (anyChecked ? ListBox->item(i)->checkState() == Qt::Checked : ListBox->item(i)->isSelected()) ++toSearch;
    std::unique_ptr<WorkProgress> progress;
    if (toSearch > 1) progress = std::make_unique<WorkProgress>(this, QStringLiteral("Searching ..."), toSearch);
    for (int i = 0; i < ListBox->count(); ++i) {
        const QListWidgetItem* item = ListBox->item(i);
        const bool takesPart = anyChecked ? item->checkState() == Qt::Checked : item->isSelected();
        if (!takesPart) continue;
        if (progress && !progress->step(searched++)) {
            NormalCursor();
            LastSearchFound = false;
            return;
        }
        const std::string name = item->text().toStdString();
        if (LastSearchFound) {
            // Continuing after a match: the tables before the one that held it are passed over;
            // that one goes on after the matching record.
            if (name != Table.TableName()) continue;
            LastSearchFound = false;
        } else {
            CloseTable();
            SetTableName(name);
        }
        ListBox->setCurrentRow(i);
        if (!Table.Active()) OpenTable();
        setWindowTitle(CaptionBase + QStringLiteral(" - ") + QString::fromStdString(Table.TableName()));
        ShowRecordCount();
        if (SearchGrid()) {
            NormalCursor();
            LastSearchFound = true;
            return;
        }
    }
    NormalCursor();
    LastSearchFound = false;
    MessageBox(kNotFound, kSearchCaption);
}

bool TfmMain::SearchGrid() {
    const TextMatch matches(SearchText->text(), cbCase->isChecked());
    std::vector<int> textFields;
    for (int i = 0; i < Table.FieldCount(); ++i)
        if (Table.Fields(i).DataType() == ftString) textFields.push_back(i);

    {
        // The grid does not follow the cursor while the search runs: the records are read through
        // the table's cursor, one at a time, and nothing is drawn until the search ends.
        DetachedControls detached(Table);
        while (!Table.Eof()) {
            for (const int i : textFields) {
                const TField& field = Table.Fields(i);
                const FieldValue& value = field.Value();
                // A text value as it is (NULL is empty); other kinds as the field shows them.
                const bool found = value.kind == ValueKind::String || value.isNull() ? matches(value.text)
                                                                                      : matches(field.AsString());
                if (!found) continue;
                detached.Attach();
                GridFollowsTable(i);
                StatusPanels[3]->setText(QStringLiteral(" Line no. %1").arg(Table.RecNo()));
                return true;
            }
            Table.Next();
        }
    }
    // The table stands at its end; the grid shows where.
    GridFollowsTable(-1);
    if (!cbAllFiles->isChecked()) {
        NormalCursor();
        MessageBox(kNotFound, kSearchCaption);
    }
    return false;
}

void TfmMain::RichSearch() {
    const QTextCursor selection = Editor->textCursor();
    // After the selection; without one from the top (not from the caret).
    const int start = selection.hasSelection() ? selection.selectionEnd() : 0;
    QTextDocument::FindFlags flags;
    if (cbCase->isChecked()) flags |= QTextDocument::FindCaseSensitively;
    const QString text = SearchText->text();
    const QTextCursor hit = Editor->document()->find(text, start, flags);
    if (hit.isNull()) return;
    Editor->setFocus();
    QTextCursor found(Editor->document());
    found.setPosition(hit.selectionStart());
    found.setPosition(hit.selectionStart() + static_cast<int>(text.size()), QTextCursor::KeepAnchor);
    Editor->setTextCursor(found);
}

}  // namespace tavrinth
