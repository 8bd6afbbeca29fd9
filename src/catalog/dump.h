#pragma once
// The interchange dump of a table: every record as CSV (RFC 4180, CR LF line ends), in a fixed,
// locale-free form that other tools compare against.
//
// First record: the field names. Then one record per table record: Paradox in block-chain order;
// dBase every record in the file, deleted ones included, behind an extra first column
// "_deleted" ("*" deleted, empty live, "flag=XX" any other flag byte).
// Values: \N for NULL; dates YYYY-MM-DD; times HH:MM:SS.mmm; timestamps YYYY-MM-DDTHH:MM:SS.mmm;
// logicals T/F; integers in decimal; doubles as the shortest text that reads back the same;
// BCD with the field's decimals; binary values as <binary N bytes sha1=HEX>; values stored in a
// missing companion file as <missing blob>; bytes that are no valid value as <invalid HEX>.

#include <cstdio>
#include <functional>
#include <string>

#include "field_value.h"
#include "table_file.h"
#include "value_text.h"

namespace tavrinth {

// Reads a value of a field written the way the dump writes it: \N for NULL, dates YYYY-MM-DD,
// times HH:MM:SS with optional .mmm, timestamps YYYY-MM-DDTHH:MM:SS with optional .mmm,
// logicals T/F, numbers with a decimal point, texts as they are. Returns false with a message
// in `error` when the text is no value of the field's type.
bool parseDumpValue(const FieldDef& field, const std::string& text, FieldValue& out, std::string& error);

// Appends a CSV field, quoted when it holds a comma, a quote, CR or LF.
void appendCsvField(std::string& line, const std::string& field);

// Writes the dump; `sink` receives the text in pieces of a few kilobytes, in order, from a second
// thread while this one reads the table (one call at a time; this call returns after the last).
// A record that cannot be read ends the dump with the engine's error, after the records before it.
void writeDump(TableFile& table, const std::function<void(const std::string&)>& sink);
// The same into a stdio stream.
void writeDump(TableFile& table, std::FILE* out);

}  // namespace tavrinth
