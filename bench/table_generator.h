#pragma once
// Large tables for the benchmarks, written by the benchmarks themselves.
//
// Both tables hold the same kind of made-up customer records (about 100 bytes each) whose values
// follow from the record number alone, so that a reader can be checked against them without
// keeping anything in memory. Files are written in one pass through a small buffer: writing a
// table of any size takes a few hundred kilobytes.
//
// dBase: a dBase III table (version 0x03, language driver 0x57, cp1252) with C, N, D and L
// fields; about one record in 97 is marked deleted.
// Paradox: an unkeyed level 7 (or level 5) table with 16 KB blocks in one chain, code page 1252,
// fields A, N, D, S, I, L, $, T and @.
// Every field type gets blanks now and then, and the text uses accented letters of cp1252.

#include <cstdint>
#include <string>

namespace tavrinth::bench {

// Writes `records` records to a new dBase table at `path` (replacing any file there).
// Throws std::runtime_error when the file cannot be written.
void writeDBaseTable(const std::string& path, std::uint32_t records);

// Writes `records` records to a new Paradox table at `path`; `level` is 5 or 7.
// Throws std::runtime_error when the file cannot be written or the records do not fit.
void writeParadoxTable(const std::string& path, std::uint32_t records, int level = 7);

// Opens a table written above with the engine and checks its record count, its fields and the
// values of a sample of records (the first, the last and about `samples` records between).
// Returns an empty string when all is right, otherwise what is wrong.
std::string verifyDBaseTable(const std::string& path, std::uint32_t records, std::uint32_t samples = 2000);
std::string verifyParadoxTable(const std::string& path, std::uint32_t records, std::uint32_t samples = 2000);

// Records of the dBase table written with `records` records that are not marked deleted.
std::uint32_t dbaseLiveRecords(std::uint32_t records);

}  // namespace tavrinth::bench
