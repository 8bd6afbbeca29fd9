#pragma once
// What the window's test programs share: the window with its error box caught, and a run of
// QtTest objects offscreen with a home (settings, aliases) of their own.

#include <QApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "main_window.h"

namespace tavrinth::test {

// The window with its error box caught instead of shown.
class ErrorCatchingWindow : public TfmMain {
public:
    QStringList errors;

protected:
    void ShowErrorBox(const QString& message) override { errors << message; }
};

template <class Test>
int runWindowTest(int argc, char** argv) {
    Test test;
    return QTest::qExec(&test, argc, argv);
}

// Runs the test objects one after the other; never the user's own settings or aliases: a home of
// our own, made before Qt reads it.
template <class... Tests>
int runWindowTests(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int status = 0;
    ((status |= runWindowTest<Tests>(argc, argv)), ...);
    return status;
}

}  // namespace tavrinth::test
