#pragma once
// Rebuilding the index files of a table from its records: the complete new bytes of every index
// file of the family, each index defined exactly as before. Nothing is written here; the caller
// puts the files in place (through the table's journal, writeRebuilt).
//
// Memory does not grow with the table: the records are read one at a time, the keys of the .MDX
// tags and the records of the secondary indexes are sorted in runs on disk and merged, and the
// big files (.MDX, .X) are written to a spool file (spool.h). What is held is one key per block
// of a tree's lowest level (about 1 per 60 records) and the small trees (.PX, .Y).
//
// What is rebuilt:
// * Paradox: the primary index (.PX) of a keyed table, over the data blocks as they are (in
//   their chain order; the records must already be in key order), and every secondary index
//   (.Xnn/.Ynn, .XGn/.YGn) with its fields, options (case-insensitive, descending, unique) and
//   maintained or not as its file says. The header of each existing file is kept as it is but
//   for the record count, the block counts and, in a tree, the root and levels; a tree file
//   (.PX, .Y) that is missing or does not match the table gets the header the table writer
//   gives a new one. Blocks are scrambled like the file's own (an encrypted table's).
// * FoxPro: the structural .CDX with every tag on a field or a text expression, keys of records
//   marked deleted included, a unique tag the first record of each key (dbf_cdx_writer.h).
// * dBase: the production .MDX with every tag, keys of deleted records included (as dBase and
//   the table writer keep them), its header and each tag's header kept but for what the keys
//   decide (root, pages; the first and last node words are cleared, as in a new file).
// * A dBase or FoxPro tag with a FOR clause holds the records the clause admits (deleted ones
//   too, when it admits them), and no other; a unique tag is unique among those. The clause's
//   text stays in the tag header as it was.
//
// What is refused (EDBEngineError naming the file and the reason, before anything is returned):
// * A table whose block chain is damaged; a keyed Paradox table whose records are not in key
//   order (the table itself needs sorting); an index file that does not belong to the table or
//   whose header is damaged (its definition is lost).
// * Text keys under a sort order or language driver that does not collate in byte order (the
//   only order compared here; a table of fewer than two records orders nothing), and
//   case-insensitive (or UPPER()) keys with letters outside ASCII.
// * Secondary indexes of an unkeyed Paradox table that holds records (their record addresses,
//   "Tup No" and "Tup Offset", are not known well enough); a unique index the records violate
//   (Paradox option 0x20; a dBase tag with byte 23 set: key flag 0x40 alone does not make a tag
//   unique, the engine's own files hold equal keys in such tags).
// * dBase tags with a FOR clause or a key expression dbf_expression.h does not evaluate (a
//   field; texts of fields, quoted texts, UPPER, LOWER, LEFT, RIGHT, SUBSTR, TRIM, RTRIM, LTRIM,
//   ALLTRIM, STR, DTOS and DTOC joined by "+" are keys; the clause, the tag and why are named),
//   a FOR clause that cannot be evaluated on a record, a date tag meeting a blank date, and tag
//   layouts other than the one written here; a .cdx that is not a FoxPro table's structural
//   index, dBase III .ndx and Clipper .ntx files (no writer for them); a .cdx tag whose keys in
//   the file are not the ones computed from the records (a collation of its own).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "table_file.h"

namespace tavrinth {

class FamilyChange;
class SpoolFile;

class RebuiltIndexFile {
public:
    RebuiltIndexFile(std::string path, std::vector<std::uint8_t> bytes) : path(std::move(path)), bytes_(std::move(bytes)) {}
    RebuiltIndexFile(std::string path, std::shared_ptr<SpoolFile> spool) : path(std::move(path)), spool_(std::move(spool)) {}

    std::string path;  // the index file: an existing one, or a missing one of the family

    std::uint64_t size() const;
    // Reads n bytes at offset (the caller keeps within size()).
    void read(std::uint64_t offset, void* buf, std::size_t n) const;
    // The whole contents (tests, small files).
    std::vector<std::uint8_t> contents() const;

private:
    friend void writeRebuilt(FamilyChange& change, const RebuiltIndexFile& file);
    std::vector<std::uint8_t> bytes_;  // the contents, when held in memory
    std::shared_ptr<SpoolFile> spool_; // else in a temporary file (a big index)
};

// Writes a rebuilt file into place through the change (a piece at a time) and cuts it to its size.
// The file's old bytes must be saved in the change (preserveWhole, or willCreate) beforehand.
void writeRebuilt(FamilyChange& change, const RebuiltIndexFile& file);

// The index files of the open table (on disk) rebuilt from its current records: the primary
// index first, then the secondary indexes each followed by its tree (Paradox), or the production
// .MDX (dBase). A table without index files gives an empty list. Throws EDBEngineError
// (Unsupported or InvalidValue) naming the index file and the reason when an index cannot be
// rebuilt exactly, and whatever reading the files throws.
std::vector<RebuiltIndexFile> rebuildIndexFiles(TableFile& table);

// Computes the keys of a FoxPro table's structural .cdx from its records and compares them with
// the file's; throws EDBEngineError naming the tag when one differs (a collation whose weights
// this program does not compute, a key form it does not know). Nothing for other tables. A
// change calls it before it writes, so that it never writes an index it would get wrong.
void verifyIndexKeys(TableFile& table);

// The paths rebuildIndexFiles(table) gives bytes for, found without reading a record: the index
// files the family has, and the ones it lacks that a rebuild creates (a keyed Paradox table's
// .PX, the tree of a secondary index). A change that rebuilds the indexes saves the first and
// names the second before its first write. Throws EDBEngineError for a table not on disk.
std::vector<std::string> indexFilePaths(TableFile& table);

}  // namespace tavrinth
