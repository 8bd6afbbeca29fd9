// tavrinth: the program entry. Creates the main window and runs the event loop until it closes.
//
//   tavrinth [--alias NAME] [FILE...]
//   tavrinth --help | --version
//
// --alias chooses an alias once start-up is over, as if the user had chosen it in the alias box;
// FILE... opens those table files once start-up is over (the first one shown).

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

#include "main_window.h"

namespace {

const char* const kUsage =
    "usage: tavrinth [--alias NAME] [FILE...]\n"
    "       tavrinth --help | --version\n"
    "\n"
    "Looks into Paradox and dBase tables.\n"
    "\n"
    "  --alias NAME  chooses the alias NAME once start-up is over\n"
    "  FILE...       table files (.db, .dbf) to open\n"
    "  --help        prints this text and exits\n"
    "  --version     prints the version and exits\n";

// --help and --version are answered before the application object exists, so they need no
// display. Returns the exit status, or -1 when the window is to start.
int answerWithoutWindow(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--") == 0) break;
        if (std::strcmp(a, "--alias") == 0) {
            ++i;  // its value, whatever it looks like
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0 || std::strcmp(a, "-?") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(a, "--version") == 0) {
            std::printf("tavrinth %s\n", TAVRINTH_VERSION);
            return 0;
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = answerWithoutWindow(argc, argv); status >= 0) return status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrinth"));
    QApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QApplication::setApplicationVersion(QStringLiteral(TAVRINTH_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Looks into Paradox and dBase tables."));
    parser.addHelpOption();
    const QCommandLineOption aliasOption(QStringLiteral("alias"), QStringLiteral("Chooses the alias NAME at start."),
                                         QStringLiteral("NAME"));
    parser.addOption(aliasOption);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Table files (.db, .dbf) to open."),
                                 QStringLiteral("[FILE...]"));
    parser.process(app);

    tavrinth::TfmMain window;
    if (parser.isSet(aliasOption)) window.SetStartAlias(parser.value(aliasOption));
    if (!parser.positionalArguments().isEmpty()) window.SetStartFiles(parser.positionalArguments());
    window.show();
    window.activateWindow();
    return app.exec();
}
