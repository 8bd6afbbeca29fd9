#pragma once
// Dates and times in a format of the user's locale (Qt's format letters: d, dd, MMM, yyyy, HH, mm,
// ss, AP ...), written as UTF-8 without going through Qt for every value.
//
// The format is taken apart once; month and day names, AM/PM texts and the locale's digits are
// asked from Qt once. The parts are then checked against QLocale::toString on a set of sample
// values: a format this class would write differently from Qt is left to Qt for every value.

#include <cstdint>
#include <string>
#include <vector>

#include <QLocale>
#include <QString>

namespace tavrinth {

class DateTimeText {
public:
    enum class Kind { Date, Time };

    // `format` is a date format (Kind::Date: only date letters count) or a time format
    // (Kind::Time: only time letters count); other letters are written as they are.
    DateTimeText(const QLocale& locale, const QString& format, Kind kind);

    // Appends the date of a day number (1 January 0001 = 1, proleptic Gregorian).
    void appendDate(std::string& out, std::int64_t dayNumber) const;
    // Appends the time of `ms` milliseconds after midnight (0 <= ms < 86 400 000).
    void appendTime(std::string& out, std::int64_t ms) const;

    // The room writeDate needs at `out` (it may write past the end of the date, within this
    // room); 0 when it cannot write this format (the values go through Qt, or the locale's
    // digits are not 0 to 9, or a name or text is long): then dates go through appendDate only.
    std::size_t writeDateBound() const { return writeDateBound_; }
    // Writes the date year-month-day (a valid date of the years 1 to 9999) at `out` as appendDate
    // writes it, and returns its end. Only when writeDateBound() is not 0.
    char* writeDate(char* out, int year, int month, int day) const;

    // True when the values go through QLocale::toString (the format has parts this class does
    // not write the way Qt does).
    bool usesQt() const { return useQt_; }

private:
    enum class Part : std::uint8_t {
        Literal, Year4, Year2, Day, Day2, DayName, Month, Month2, MonthName,
        Hour, Hour2, Hour24, Hour24_2, Minute, Minute2, Second, Second2, Millis, Millis3, AmPm,
    };
    struct Piece {
        Part part;
        std::string text;                // Literal
        std::vector<std::string> names;  // DayName (Monday first), MonthName (January first), AmPm
    };

    // A text of a date piece for writeDate, copied as 16 bytes.
    struct ShortText {
        char text[16];
        std::uint8_t length;
    };
    struct WritePiece {
        Part part;
        std::vector<ShortText> texts;  // Literal: its text; DayName, MonthName: the names
    };

    void parse(const QString& format);
    void prepareWriteDate();
    void appendNumber(std::string& out, std::int64_t value, int minDigits) const;
    void appendDateParts(std::string& out, std::int64_t dayNumber) const;
    void appendTimeParts(std::string& out, std::int64_t ms) const;
    bool agreesWithQt() const;

    QLocale locale_;
    QString format_;
    Kind kind_;
    bool twelveHour_ = false;
    bool useQt_ = false;
    std::vector<Piece> pieces_;
    std::string digits_[10];
    bool asciiDigits_ = true;  // the locale writes 0 to 9
    std::size_t writeDateBound_ = 0;
    std::vector<WritePiece> writePieces_;
};

}  // namespace tavrinth
