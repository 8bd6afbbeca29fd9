// TfmMain: the code page box below the table list. The table is read with the code page its
// header names ("Table's own") or with one the user chooses there; the choice is remembered per
// table file and applied whenever the window opens that table. When the table names no code page
// and its text does not read cleanly with the one the engine guessed, status panel 0 says so.

#include <QBoxLayout>
#include <QComboBox>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QSettings>
#include <QStatusTipEvent>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QUrl>

#include <algorithm>
#include <functional>
#include <vector>

#include "settings_store.h"
#include "codepage.h"
#include "db_grid.h"
#include "main_window.h"
#include "tdexport.h"

namespace tavrinth {

namespace {

// The settings group of the chosen code pages: one value per table file, keyed by its full path.
const QString kCodePagesGroup = QStringLiteral("CodePages");

// The item data: the code page's engine name; empty for the table's own.
constexpr int kCodePageRole = Qt::UserRole;
// What the closed box shows (the list is wider than the box).
constexpr int kShortTextRole = Qt::UserRole + 1;

// The code pages offered, in the order listed: a number or name userCodePage takes, and what
// the code page is for. Those this system's iconv cannot decode are left out.
struct Offered {
    const char* name;
    const char* use;
};
const Offered kOffered[] = {
    {"437", "DOS US"},
    {"850", "DOS Western Europe"},
    {"852", "DOS Central Europe"},
    {"857", "DOS Turkish"},
    {"860", "DOS Portuguese"},
    {"861", "DOS Icelandic"},
    {"863", "DOS French Canadian"},
    {"865", "DOS Nordic"},
    {"866", "DOS Cyrillic"},
    {"MAZOVIA", "DOS Polish"},
    {"1250", "Windows Central Europe"},
    {"1251", "Windows Cyrillic"},
    {"1252", "Windows Western"},
    {"1253", "Windows Greek"},
    {"1254", "Windows Turkish"},
    {"1255", "Windows Hebrew"},
    {"1256", "Windows Arabic"},
    {"1257", "Windows Baltic"},
    {"1258", "Windows Vietnamese"},
    {"932", "Japanese (Shift-JIS)"},
    {"936", "Chinese Simplified (GBK)"},
    {"949", "Korean"},
    {"950", "Chinese Traditional"},
    {"UTF-8", "Unicode"},
};

// The name the window shows for an engine code page name ("MAZOVIA" reads better as "Mazovia").
QString shownName(const std::string& engineName) {
    if (engineName == "MAZOVIA") return QStringLiteral("Mazovia");
    if (engineName == "BIG5") return QStringLiteral("Big5");
    return QString::fromStdString(engineName);
}

// The box paints its current entry's short text, cut with an ellipsis to fit.
class CodePageBox : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        painter.setPen(palette().color(QPalette::Text));
        QStyleOptionComboBox option;
        initStyleOption(&option);
        const QString shortText = currentData(kShortTextRole).toString();
        if (!shortText.isEmpty()) option.currentText = shortText;
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
        option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight, field.width());
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

// Keeps a message in status panel 0 while the hints come and go: when the mouse leaves a control
// (the window gets an empty status tip) `restore` may show the message again instead of nothing;
// it returns whether it did.
class HintPanelKeeper : public QObject {
public:
    HintPanelKeeper(QObject* parent, std::function<bool()> restore) : QObject(parent), restore_(std::move(restore)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::StatusTip && static_cast<QStatusTipEvent*>(event)->tip().isEmpty() && restore_())
            return true;
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<bool()> restore_;
};

// --- Does the text read cleanly? ----------------------------------------------------------------
//
// A text value looks decoded with the wrong code page when it holds any of:
//  1. U+FFFD (a byte the code page leaves undefined) or a C1 control character U+0080-U+009F;
//  2. a box-drawing, block or geometric-shape character, U+2500-U+25FF (DOS line graphics: in a
//     text field they are nearly always the letters of another code page);
//  3. a word (a run of letters and marks) holding letters of two scripts, such as Latin and Greek
//     ("ÅÑΓα", Cyrillic DOS text read as code page 437);
//  4. a symbol or punctuation mark outside ASCII, other than the middle dot, with a letter
//     directly on both sides ("ê¡ó");
//  5. three or more Latin letters outside ASCII in a row ("Èâàí", Cyrillic Windows text read as
//     a Western code page; Western European words hardly ever have more than two).
// The sample is the string fields (not memos) of the first kSampleRecords records in table order.
// The text does not read cleanly when at least one value in four of the sampled values that hold
// any character outside ASCII looks wrongly decoded. Values of ASCII alone say nothing either way.

constexpr int kSampleRecords = 200;

bool isLatinBeyondAscii(QChar c) { return c.unicode() >= 0x80 && c.isLetter() && c.script() == QChar::Script_Latin; }

bool looksWronglyDecoded(const QString& text) {
    int latinRun = 0;
    QChar::Script wordScript = QChar::Script_Unknown;  // of the letters in the word so far
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (u == 0xFFFD || (u >= 0x80 && u <= 0x9F)) return true;
        if (u >= 0x2500 && u <= 0x25FF) return true;
        latinRun = isLatinBeyondAscii(c) ? latinRun + 1 : 0;
        if (latinRun >= 3) return true;
        if (c.isLetter() || c.isMark()) {
            const QChar::Script script = c.script();
            if (script != QChar::Script_Common && script != QChar::Script_Inherited) {
                if (wordScript != QChar::Script_Unknown && wordScript != script) return true;
                wordScript = script;
            }
            continue;
        }
        wordScript = QChar::Script_Unknown;
        if (u >= 0x80 && u != 0xB7 && !c.isSpace() && !c.isNumber() && i > 0 && i + 1 < text.size() &&
            text.at(i - 1).isLetter() && text.at(i + 1).isLetter())
            return true;
    }
    return false;
}

bool isStringField(TFieldType type) { return type == ftString || type == ftFixedChar || type == ftWideString; }

// Applies the rule above to the open table, read with the code page it was opened with. A record
// the engine cannot read ends the sample.
bool readsCleanly(TableFile& file) {
    std::vector<std::size_t> fields;
    for (std::size_t i = 0; i < file.fields().size(); ++i)
        if (isStringField(file.fields()[i].dataType)) fields.push_back(i);
    if (fields.empty()) return true;
    int beyondAscii = 0, wrong = 0;
    const std::uint32_t records = std::min<std::uint32_t>(file.recordCount(), kSampleRecords);
    FieldValue value;
    try {
        for (std::uint32_t r = 0; r < records; ++r) {
            const std::uint8_t* record = file.record(r);
            for (std::size_t f : fields) {
                file.decode(record, f, value);
                if (value.kind != ValueKind::String) continue;
                bool ascii = true;
                for (char ch : value.text) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
                if (ascii) continue;
                ++beyondAscii;
                if (looksWronglyDecoded(QString::fromStdString(value.text))) ++wrong;
            }
        }
    } catch (const std::exception&) {
        // What was read so far is the sample.
    }
    return wrong == 0 || wrong * 4 < beyondAscii;
}

}  // namespace

std::vector<std::pair<QString, QString>> TfmMain::OfferedCodePages() {
    std::vector<std::pair<QString, QString>> offered;
    for (const Offered& o : kOffered) {
        const CodePageChoice choice = userCodePage(o.name);
        if (choice.name.empty()) continue;
        offered.emplace_back(shownName(choice.name) + QStringLiteral(" \u2013 ") + QString::fromLatin1(o.use),
                             QString::fromStdString(choice.name));
    }
    return offered;
}

void TfmMain::CreateCodePageBox(QWidget* parent, QBoxLayout* layout) {
    auto* label = new QLabel(QStringLiteral("Code page:"), parent);
    label->setObjectName(QStringLiteral("lbCodePage"));
    label->setContentsMargins(2, 4, 2, 0);
    layout->addWidget(label);
    cbCodePage = new CodePageBox(parent);
    cbCodePage->setObjectName(QStringLiteral("cbCodePage"));
    label->setBuddy(cbCodePage);
    SetHint(cbCodePage, QStringLiteral("Code page|The code page the table's text is read with"));
    cbCodePage->addItem(QStringLiteral("Table's own"), QString());
    for (const auto& [listed, engineName] : OfferedCodePages()) {
        cbCodePage->addItem(listed, engineName);
        cbCodePage->setItemData(cbCodePage->count() - 1, shownName(engineName.toStdString()), kShortTextRole);
    }
    cbCodePage->setMaxVisibleItems(cbCodePage->count());
    cbCodePage->setEnabled(false);
    layout->addWidget(cbCodePage);

    connect(cbCodePage, &QComboBox::activated, this, [this](int index) { Guard([&] { cbCodePageActivated(index); }); });
    // The box serves the grid: in the Structure view it rests.
    connect(rbVis, &QRadioButton::toggled, this, [this] { Guard([&] { ShowCodePage(); }); });
    installEventFilter(new HintPanelKeeper(this, [this] {
        if (codePageWarning_.isEmpty()) return false;
        StatusPanels[0]->setText(codePageWarning_);
        return true;
    }));
}

namespace {

// The table file's full path, as one key (its slashes would make groups of it).
QString tableKey(const std::string& path) {
    return QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(QString::fromStdString(path)).absoluteFilePath()));
}

}  // namespace

QString TfmMain::RememberedCodePage(const std::string& path) {
    QSettings settings = openSettings();
    settings.beginGroup(kCodePagesGroup);
    return settings.value(tableKey(path)).toString();
}

void TfmMain::UseRememberedCodePage() {
    if (Table.Active()) return;
    QString chosen;
    try {
        QSettings settings = openSettings();
        settings.beginGroup(kCodePagesGroup);
        chosen = settings.value(tableKey(Table.ResolvedPath())).toString();
    } catch (const std::exception&) {
        // No such table: opening it says so.
    }
    Table.SetCodePageOverride(chosen.toStdString());
}

void TfmMain::ShowCodePage() {
    const bool shown = Table.Active() && rbVis->isChecked();
    const QString oldWarning = codePageWarning_;
    codePageWarning_.clear();
    cbCodePage->setEnabled(shown);
    if (!shown) {
        cbCodePage->setItemText(0, QStringLiteral("Table's own"));
        cbCodePage->setItemData(0, QString(), kShortTextRole);
        cbCodePage->setCurrentIndex(0);
        cbCodePage->setToolTip(QStringLiteral("Code page"));
    } else {
        TableFile& file = Table.File();
        const CodePageChoice& own = file.ownCodePageChoice();
        const CodePageChoice& used = file.codePageChoice();
        cbCodePage->setItemText(0, QStringLiteral("Table's own (%1)").arg(shownName(own.name)));
        cbCodePage->setItemData(0, QStringLiteral("Own (%1)").arg(shownName(own.name)), kShortTextRole);
        // Why this code page: the header's byte or name, the default, or the user's choice.
        cbCodePage->setToolTip(QString::fromStdString(used.reason));
        // A remembered code page this system does not know leaves the table's own in use.
        const bool override = !Table.CodePageOverride().empty() && used.name == Table.CodePageOverride();
        int index = override ? cbCodePage->findData(QString::fromStdString(used.name), kCodePageRole) : 0;
        if (index < 0) {
            // A code page remembered that the list does not offer: it is listed for this table.
            const QString name = shownName(used.name);
            cbCodePage->addItem(name, QString::fromStdString(used.name));
            index = cbCodePage->count() - 1;
            cbCodePage->setItemData(index, name, kShortTextRole);
        }
        cbCodePage->setCurrentIndex(index);
        if (!override && (own.fallback || own.guessed) && !readsCleanly(file))
            codePageWarning_ = QStringLiteral("The table names no code page and its text does not read cleanly as %1; "
                                              "choose its code page in the box below the list")
                                   .arg(shownName(own.name));
    }
    cbCodePage->update();
    // Panel 0 shows the warning, or loses the old one; a hint shown there now stays.
    QLabel* hints = StatusPanels[0];
    if (!codePageWarning_.isEmpty()) {
        hints->setText(codePageWarning_);
        hints->setToolTip(codePageWarning_);
    } else if (!oldWarning.isEmpty()) {
        if (hints->text() == oldWarning) hints->clear();
        hints->setToolTip(QString());
    }
}

void TfmMain::cbCodePageActivated(int index) {
    if (!Table.Active()) return;
    const QString chosen = cbCodePage->itemData(index, kCodePageRole).toString();
    if (chosen.toStdString() == Table.CodePageOverride()) return;  // in use already
    const QString key = tableKey(Table.FilePath());
    // The grid comes back on the record and in the column it was on.
    const int position = Table.Position();
    const int column = DBGrid->currentIndex().column();
    const int field = column >= 0 && column < dExport->columnCount() ? dExport->FieldIndex(column) : -1;
    try {
        CloseTable();
    } catch (...) {
        ShowCodePage();  // the table stays open as it was
        throw;
    }
    QSettings settings = openSettings();
    settings.beginGroup(kCodePagesGroup);
    if (chosen.isEmpty())
        settings.remove(key);
    else
        settings.setValue(key, chosen);
    settings.endGroup();
    settings.sync();
    OpenTable();
    if (position >= 0 && position < Table.RecordCount()) {
        Table.MoveToPosition(position);
        GridFollowsTable(field);
    }
}

}  // namespace tavrinth
