#pragma once
// Field values as text. Every text form of a value is built here or from the pieces here: the
// dump's locale-free form, the form people read (the grid's cells, TField::AsString), and the
// calendar checks and splits the export's locale form uses.
//
// Dates, times and timestamps come out of damaged files as numbers no calendar holds (a
// timestamp of 1e300 milliseconds, a day number of two billion). One range decides, for every
// form alike, which values are dates: the years -999 999 to 999 999 (the years the dump can
// write and read back). A value outside it is written as the form's marker for a value that is
// no valid value of its field, never converted.

#include <cstdint>
#include <string>

#include "field_value.h"

namespace tavrinth {

// True when a day number (1 January 0001 = 1) lies in the years -999 999 to 999 999.
bool dayNumberInRange(std::int64_t dayNumber);
// True when `ms` is a time of day: 0 <= ms < 86 400 000.
bool timeOfDayInRange(std::int64_t ms);
// Splits a timestamp (milliseconds since 31 December 0000 00:00) into its day number and the
// milliseconds of that day, rounded to the nearest millisecond. False, leaving both as they
// were, when the timestamp is not finite or its day is not in range.
bool splitTimestamp(double timestamp, std::int64_t& dayNumber, std::int64_t& msOfDay);

// --- the dump's form ------------------------------------------------------------------------------
// \N for NULL; dates YYYY-MM-DD; times HH:MM:SS.mmm; timestamps YYYY-MM-DDTHH:MM:SS.mmm; logicals
// T/F; integers in decimal; doubles as the shortest text that reads back the same; currency and
// BCD as exact decimals; binary values as <binary N bytes sha1=HEX>; <missing blob>; stored bytes
// that are no valid value as <invalid HEX>, and dates, times and timestamps out of range as
// <invalid date N>, <invalid time N>, <invalid timestamp>.

// The most bytes writeDumpValueText writes for `value`, quoted or not.
std::size_t dumpValueTextBound(const FieldValue& value);
// Writes the text of one value in the dump form at `out` (room for dumpValueTextBound bytes) and
// returns its end; with `csv`, a text holding a comma, a quote, CR or LF is quoted as a CSV field.
char* writeDumpValueText(char* out, const FieldValue& value, bool csv);
// The text of one value in the dump form (not quoted for CSV).
std::string dumpValueText(const FieldValue& value);

// --- the form people read -------------------------------------------------------------------------
// Empty for NULL; strings, memos and BCD as they are; integers in decimal; floats with at most 15
// significant digits and a decimal point; currency as an exact decimal; logicals True/False;
// dates YYYY-MM-DD; times HH:MM:SS (.mmm when there are milliseconds); timestamps
// "YYYY-MM-DD HH:MM:SS" likewise; binary values "(Bytes)"; "(missing)" for a value kept in a
// missing file; "(invalid value)" for stored bytes that are no valid value and for dates, times
// and timestamps out of range.
std::string displayValueText(const FieldValue& value);

}  // namespace tavrinth
