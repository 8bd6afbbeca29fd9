#pragma once
// Verifying a whole table family without changing a byte of it.
//
// Every file is opened read-only (FileSource, DiskFamily; beside a journal, the journal's overlay)
// and read in pieces: the table's records stream past once per check that needs them. Memory does
// not grow with the records beyond what verifying one index at a time needs: the entries of the
// index being verified (Paradox: the secondary index records keyed by the table's key; dBase: the
// record numbers and keys of one tag, and a bit per record for the records seen and deleted) are
// held while the table's records are compared with them, then dropped before the next index.
// Besides that only per-block facts are kept (the first key of each Paradox data block, a bit per
// 4 KB unit of the .MB).
//
// What is verified:
//   Paradox  the header's counts against the block chain (records, blocks in use, last block,
//            blocks past the end of the file); the chain itself (every block once, links forward
//            and back agreeing, record counts within a block's capacity) and the free-block list;
//            a keyed table's records in key order; every BLOB pointer (the .MB block it names,
//            the entry and length there) and the .MB's block structure; the .PX (each level-1
//            entry names the next data block of the chain, holds its first key and record count,
//            higher levels hold the first key and the sum of the level below, the header's entry
//            count); every secondary index (.Xnn/.XGn: its own block chain, its records in index
//            order, and for a maintained index one entry per table record holding that record's
//            index fields and key and naming a block of the table; its .Ynn/.YGn tree like the
//            .PX); the .VAL's change counter against the table's (the verdict of the
//            validity-check reader).
//   dBase    the header's record count against the file size, header and record length against
//            the field descriptors, the deletion flags; every memo pointer (inside the .DBT/.FPT,
//            the block's signature and length within the file); the production index (.MDX, or
//            .CDX for FoxPro) and an .NDX named like the table: every live record once (in a tag
//            with a FOR clause every live record the clause admits, and no record it leaves
//            out), keys in the tag's order, and for a tag on one character, numeric or date field the key of
//            each entry equal to the record's value.
//   Both     a leftover journal (journalPathFor(tablePath)) of a change that did not finish.
//
// What is not verified: key order of text under a sort order that does not collate by byte
// value (Paradox 'intl', 'ANSII850' ...; dBase language drivers other than the US ones), key
// values of expression tags (their expressions are not evaluated), non-maintained Paradox indexes
// against the records (the engine brings those up to date before it uses them), whether a
// secondary index's "Blk Num" is the block that holds the record now (the engine's hint where to
// look first), unique dBase tags covering every record, dBase tags whose FOR clause is not
// evaluated here (dbf_expression.h) holding what it admits, an .MDX or .CDX the
// header does not flag and index files named otherwise than the table, the contents of BLOBs
// and memos, and the values of fields.

#include <string>
#include <vector>

#include "table_file.h"

namespace tavrinth {

// The problems found in the family of the table at `tablePath`, one line each, starting with the
// name of the file the problem is in; empty when the family is sound. Throws EDBEngineError when
// the table cannot be opened at all (missing, no table, damaged beyond reading its header, a
// password that does not fit).
std::vector<std::string> checkTableFamily(const std::string& tablePath, const OpenOptions& options = {});

}  // namespace tavrinth
