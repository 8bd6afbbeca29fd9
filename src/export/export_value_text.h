#pragma once
// The text of one value in the delimited export: the typed path, from a decoded FieldValue.
//
//   strings             in double quotes, a quote inside doubled ("Say ""hi""")
//   whole numbers       in decimal, 64 bits
//   floats, currency    at most 15 significant digits, the locale's decimal separator
//   logicals            True / False
//   dates, times        the locale's short date format, then, unless the time of day is
//                       00:00:00, a blank and the locale's long time format (a time field shows
//                       the date 30 December 1899 before its time)
//   bytes               as hexadecimal digits; a NULL value cannot be converted
//   memos               empty, or quoted like strings
//   BLOB, graphic, OLE, BCD and the other kinds without a text form: empty
// A NULL value is empty (for strings: ""). Stored bytes that are no valid value, a memo in a
// missing file, and dates, times and timestamps out of the calendar's range (value_text.h)
// cannot be converted.

#include <memory>
#include <string>

#include "export_locale.h"
#include "field_types.h"
#include "field_value.h"

namespace tavrinth {

class DateTimeText;

// The text of one value in the export, formatted with a fixed locale.
class ExportValueText {
public:
    explicit ExportValueText(const UserLocale& locale);
    ~ExportValueText();
    ExportValueText(const ExportValueText&) = delete;
    ExportValueText& operator=(const ExportValueText&) = delete;

    // Appends the text of `value`, read from a field of type `type`, to `out`. Returns false,
    // appending nothing, when the value cannot be converted.
    bool append(std::string& out, TFieldType type, const FieldValue& value, bool includeMemo) const;

    // The locale's decimal separator (UTF-8) and short date format, for text written without a
    // FieldValue in between.
    const std::string& decimalSeparator() const { return decimalSeparator_; }
    const DateTimeText& dateText() const { return *date_; }

private:
    bool appendFloat(std::string& out, double value) const;
    void appendDateTime(std::string& out, std::int64_t dayNumber, std::int64_t ms) const;

    std::string decimalSeparator_;
    bool decimalIsPoint_ = true;
    std::unique_ptr<DateTimeText> date_;
    std::unique_ptr<DateTimeText> time_;
    std::string timeDate_;  // the date a time field shows: 30 December 1899
};

}  // namespace tavrinth
