#include "export_locale.h"

namespace tavrinth {

QString timeFormatWithoutZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (int i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == '\'') quoted = !quoted;
        if (!quoted && c == 't') {
            while (!out.isEmpty() && out.back() == ' ') out.chop(1);
            while (i + 1 < format.size() && format[i + 1] == 't') ++i;
            continue;
        }
        out += c;
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
