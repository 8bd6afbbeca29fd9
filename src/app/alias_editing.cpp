// TfmMain: adding, renaming and removing aliases from the alias box's context menu. The engine
// writes the alias file; the box and the table list follow.

#include <QComboBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>

#include "engine_error.h"
#include "main_window.h"
#include "session.h"

namespace tavrinth {

namespace {

// The alias named in the box, or an error when the box names none of the alias file's.
std::string aliasInBox(const QComboBox* box) {
    const std::string name = box->currentText().trimmed().toStdString();
    if (name.empty() || !TSession::Default().IsAlias(name))
        throw EDBEngineError(EDBEngineError::Code::NotFound, "Choose an alias in the box first");
    return name;
}

}  // namespace

void TfmMain::AliasMenu(const QPoint& where) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("AliasMenu"));
    menu.addAction(QStringLiteral("New alias..."), this, [this] { Guard([&] { NewAlias(); }); });
    menu.addAction(QStringLiteral("Rename alias..."), this, [this] { Guard([&] { RenameAliasInBox(); }); });
    menu.addAction(QStringLiteral("Remove alias"), this, [this] { Guard([&] { RemoveAliasInBox(); }); });
    menu.exec(where);
}

bool TfmMain::AskAliasName(const QString& title, const QString& proposed, QString& name) {
    QInputDialog dialog(this);
    dialog.setObjectName(QStringLiteral("AliasNameDialog"));
    dialog.setWindowTitle(title);
    dialog.setLabelText(QStringLiteral("Name of the alias:"));
    dialog.setTextValue(proposed);
    if (RunDialog(&dialog) != QDialog::Accepted) return false;
    name = dialog.textValue().trimmed();
    return true;
}

void TfmMain::RefreshAliases(const QString& choose) {
    lbAlias->clear();
    GetAliasInfo();
    if (choose.isEmpty()) return;
    const int index = lbAlias->findText(choose, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0) return;
    lbAlias->setCurrentIndex(index);
    lbAliasChange(choose);
}

void TfmMain::NewAlias() {
    QString name;
    if (!AskAliasName(QStringLiteral("New alias"), QString(), name)) return;
    QFileDialog folder(this, QStringLiteral("Folder of alias %1").arg(name));
    folder.setObjectName(QStringLiteral("AliasFolderDialog"));
    folder.setFileMode(QFileDialog::Directory);
    folder.setOption(QFileDialog::ShowDirsOnly, true);
    if (RunDialog(&folder) != QDialog::Accepted || folder.selectedFiles().isEmpty()) return;
    TSession::Default().SetAlias(name.toStdString(), folder.selectedFiles().first().toStdString());
    RefreshAliases(name);
}

void TfmMain::RenameAliasInBox() {
    const std::string from = aliasInBox(lbAlias);
    QString to;
    if (!AskAliasName(QStringLiteral("Rename alias %1").arg(QString::fromStdString(from)), QString::fromStdString(from), to) ||
        to.toStdString() == from)
        return;
    TSession::Default().RenameAlias(from, to.toStdString());
    RefreshAliases(to);
}

void TfmMain::RemoveAliasInBox() {
    const std::string name = aliasInBox(lbAlias);
    if (MessageBox(QStringLiteral("Remove the alias %1? Its tables stay where they are.").arg(QString::fromStdString(name)),
                   QStringLiteral("Tavrinth"), QMessageBox::Yes | QMessageBox::No, QMessageBox::No,
                   QMessageBox::Question) != QMessageBox::Yes)
        return;
    TSession::Default().RemoveAlias(name);
    if (Table.DatabaseName() == name) {
        CloseTable();
        ShowNoTable();
        ListBox->clear();
        SetDatabaseName(std::string());
        CaptionBase = QStringLiteral("Tavrinth");
        setWindowTitle(CaptionBase);
    }
    RefreshAliases(QString());
    lbAlias->setEditText(QString());
}

}  // namespace tavrinth
