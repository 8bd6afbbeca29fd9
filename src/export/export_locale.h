#pragma once
// The parts of the user's locale that reports, export and search use, as one small value so that
// tests can fix them.

#include <QLocale>
#include <QString>

namespace tavrinth {

struct UserLocale {
    QLocale locale;
    QString shortDateFormat;  // report headers and exported dates
    QString longTimeFormat;   // exported times, without a time-zone field
    QString decimalSeparator;

    // The system locale (QLocale::system()).
    static UserLocale system();
    // A given locale ("de_DE", "C" ...).
    static UserLocale fromLocale(const QLocale& locale);
};

// A long time format without its time-zone field ("t"), and without the blank, comma or brackets
// that go with it ("HH:mm:ss t", "HH:mm:ss, t", "HH:mm:ss (t)", "t HH:mm:ss" all give "HH:mm:ss").
QString timeFormatWithoutZone(const QString& format);

}  // namespace tavrinth
