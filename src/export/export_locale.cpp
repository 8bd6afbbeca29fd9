#include "export_locale.h"

namespace tavrinth {

QString timeFormatWithoutZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (int i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (quoted || c != QLatin1Char('t')) {
            out += c;
            continue;
        }
        int end = i;
        while (end < format.size() && format[end] == QLatin1Char('t')) ++end;
        // Brackets that hold only the zone go with it: "HH:mm:ss (t)", "Bh:mm:ss [t]".
        if (!out.isEmpty() && end < format.size() &&
            ((out.back() == QLatin1Char('(') && format[end] == QLatin1Char(')')) ||
             (out.back() == QLatin1Char('[') && format[end] == QLatin1Char(']')))) {
            out.chop(1);
            ++end;
        }
        if (format.mid(end).trimmed().isEmpty()) {
            // At the end: the separator before it goes too ("HH:mm:ss t", "HH:mm:ss, t").
            while (!out.isEmpty() && (out.back().isSpace() || out.back() == QLatin1Char(','))) out.chop(1);
        } else {
            // At the start or in the middle: the blanks after it go.
            while (end < format.size() && format[end].isSpace()) ++end;
        }
        i = end - 1;
    }
    return out.trimmed();
}

UserLocale UserLocale::fromLocale(const QLocale& locale) {
    UserLocale l;
    l.locale = locale;
    l.shortDateFormat = locale.dateFormat(QLocale::ShortFormat);
    l.longTimeFormat = timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat));
    l.decimalSeparator = locale.decimalPoint();
    return l;
}

UserLocale UserLocale::system() { return fromLocale(QLocale::system()); }

}  // namespace tavrinth
