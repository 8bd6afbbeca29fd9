// tavrinth: the program entry. Creates the main window and runs the event loop until it closes.
//
//   tavrinth [--alias NAME]
//
// --alias chooses an alias once start-up is over, as if the user had chosen it in the alias box.

#include <QApplication>
#include <QCommandLineParser>

#include "main_window.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrinth"));
    QApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QApplication::setApplicationVersion(QStringLiteral("1.3"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Looks into Paradox and dBase tables."));
    parser.addHelpOption();
    const QCommandLineOption aliasOption(QStringLiteral("alias"), QStringLiteral("Chooses the alias NAME at start."),
                                         QStringLiteral("NAME"));
    parser.addOption(aliasOption);
    parser.process(app);

    tavrinth::TfmMain window;
    if (parser.isSet(aliasOption)) window.SetStartAlias(parser.value(aliasOption));
    window.show();
    window.activateWindow();
    return app.exec();
}
