#pragma once
// The migrate dialog: moves the tables the window picked (the checked ones, or the selected one)
// into an SQLite file or a PostgreSQL database through the migrate library (migrate.h).
//
// The target and the options are chosen at the top. Migrate starts the run on a thread of its
// own: the target is opened, written and closed there, and the window stays responsive. The bar
// follows the rows of the table in progress, the label above it tells which table it is; Cancel
// stops the run (the table in progress is rolled back, the tables done stay). When the run ends
// the summary shows in the box at the bottom and Cancel becomes Close; an error that stopped the
// run before anything was written shows there too. Closing the dialog while a run is under way
// cancels it and waits for the thread to end.
//
// The last target (the SQLite file or the PostgreSQL connection string, and which of the two) is
// remembered in the window's settings; a password in the connection string never is.

#include <QDialog>
#include <QString>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "migrate.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace tavrinth {

class TMigrateDialog : public QDialog {
    Q_OBJECT

public:
    // `tables`: the table files, in the order given. `codePages`: the code pages offered, each as
    // the text listed and the engine's name; `codePage` is the one chosen at first (empty: each
    // table's own). `passwords` are tried on encrypted tables.
    TMigrateDialog(std::vector<std::string> tables, const std::vector<std::pair<QString, QString>>& codePages,
                   const QString& codePage, std::vector<std::string> passwords, QWidget* parent = nullptr);
    ~TMigrateDialog() override;

    // "sqlite:PATH" or "postgresql:CONNINFO" as chosen; empty while the chosen one is blank.
    QString TargetText() const;
    migrate::MigrateOptions Options() const;
    // A run is under way (from Migrate until its summary shows).
    bool Running() const { return running_; }
    const std::vector<std::string>& Tables() const { return tables_; }

    // A connection string without its password (key=value form or URI), as it is remembered.
    static QString WithoutPassword(const QString& conninfo);

    // The controls (for tests).
    QLabel* TablesLabel = nullptr;
    QGroupBox* TargetBox = nullptr;
    QRadioButton* rbSqlite = nullptr;
    QLineEdit* SqlitePath = nullptr;
    QPushButton* BrowseButton = nullptr;
    QRadioButton* rbPostgres = nullptr;
    QLineEdit* PostgresConnection = nullptr;
    QGroupBox* OptionsBox = nullptr;
    QCheckBox* cbSchemaOnly = nullptr;
    QCheckBox* cbDataOnly = nullptr;
    QCheckBox* cbReplace = nullptr;
    QCheckBox* cbIncludeDeleted = nullptr;
    QCheckBox* cbLowerCase = nullptr;
    QCheckBox* cbVerify = nullptr;
    QComboBox* cbCodePage = nullptr;
    QLabel* StatusLabel = nullptr;
    QProgressBar* Progress = nullptr;
    QPlainTextEdit* Summary = nullptr;
    QPushButton* MigrateButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QFileDialog* FileDialog = nullptr;

public slots:
    // While a run is under way: cancels it and waits for it to end, then closes.
    void reject() override;

private:
    class Observer;

    void browse();
    void updateButtons();
    void start();
    void cancelClicked();
    // On the window's thread: the progress and the notes the run has posted since the last call.
    void showProgress();
    // On the window's thread: the run has ended (or is made to end): the thread is joined and
    // the summary or the error shown.
    void runEnded();
    void loadSettings();
    void saveSettings() const;

    std::vector<std::string> tables_;
    std::vector<std::string> passwords_;
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    bool running_ = false;

    // Handed from the run's thread to the window's, under mutex_.
    std::mutex mutex_;
    migrate::MigrateProgress latest_;
    bool progressNew_ = false;
    std::vector<std::string> notes_;
    bool posted_ = false;  // a showProgress call is on its way
    bool ok_ = false;      // the run went through (summary_ holds its summary)
    migrate::MigrateSummary summary_;
    std::string error_;    // why the run stopped before it began
};

}  // namespace tavrinth
