#include "export_pipeline.h"

#include <cstring>
#include <vector>

#include "chunk_pipeline.h"
#include "date_time_text.h"
#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "export_output.h"
#include "export_value_text.h"
#include "stored_text.h"
#include "table.h"
#include "table_file.h"

namespace tavrinth {

namespace {

using stored::kSlack;
using stored::StoredCharText;

// The records are decoded by the calling thread and turned into text by a second one, a chunk
// of records at a time: the two halves of the work take about as long as each other. Only the
// calling thread uses the table; the second one only formats decoded values and writes the file.
// A few chunks are in flight at once, so memory stays flat whatever the number of records.
//
// The fields of a dBase table whose values are text in the record (character, number, date and
// logical fields, "Stored" columns) are not decoded by the calling thread: it copies the records'
// bytes, and their text is written straight from those, decoding only the values whose bytes are
// not of a usual form (with the engine's decoding of a field's bytes, which needs nothing else).
// When every column read is Stored, that writing is quick enough for the calling thread to take
// every second chunk of it; the second thread writes the other chunks, and the file in order.
class RecordPipeline {
public:
    static constexpr std::uint32_t kChunkRecords = 1024;
    static constexpr int kChunks = 4;

    // How a column's text is written from the bytes of a dBase record.
    enum class Stored : std::uint8_t { No, Char, Number, WholeNumber, Date, Logical };

    struct Column {
        std::size_t field;
        TFieldType type;
        bool read;  // false: always an empty value (a left-out kind, or a memo left out)
        Stored stored = Stored::No;
        char letter = 0;  // the dBase field type
        std::uint32_t offset = 0, length = 0;  // where the field lies in the record
        std::size_t bound = 0;  // the most bytes its stored text takes
    };
    struct Chunk {
        std::vector<FieldValue> values;  // record by record, one per read column not Stored
        std::vector<std::uint8_t> bytes;  // the records' bytes, when some columns are Stored
        std::uint32_t records = 0;
        // When every column read is Stored, either thread may write the chunk's lines: here.
        std::string text;
        bool formatted = false;
        int failures = 0;
    };

    // `dbf` and `chars`: the table and its code page's character table, when some columns are
    // Stored.
    RecordPipeline(const std::vector<Column>& columns, const std::string& delimiter, bool includeMemo,
                   const ExportValueText& text, ExportOutput& out, const dbase::DBaseTable* dbf = nullptr,
                   const StoredCharText* chars = nullptr)
        : columns_(columns), delimiter_(delimiter), includeMemo_(includeMemo), text_(text), out_(out),
          dbf_(dbf), chars_(chars) {
        for (const Column& c : columns_) {
            if (!c.read) continue;
            if (c.stored == Stored::No)
                ++decodedColumns_;
            else
                ++storedColumns_;
        }
        if (storedColumns_ > 0) recordSize_ = dbf_->recordSize();
        shareFormatting_ = storedColumns_ > 0 && decodedColumns_ == 0;
        // boundFrom_[k]: the most bytes the stored columns k.. take, with the delimiters before
        // them and the line end.
        boundFrom_.assign(columns_.size() + 1, 2);
        for (std::size_t k = columns_.size(); k-- > 0;)
            boundFrom_[k] = boundFrom_[k + 1] + (k > 0 ? delimiter_.size() : 0) + columns_[k].bound;
    }

    // Writes the lines of the records of `chunk`.
    void format(Chunk& chunk) {
        if (shareFormatting_) {
            if (!chunk.formatted) formatText(chunk);
            failures_ += chunk.failures;
            out_.write(chunk.text);
            return;
        }
        if (storedColumns_ > 0) {
            failures_ += formatStored(chunk, out_.buffer(), true);
            return;
        }
        std::string& line = out_.buffer();
        const FieldValue* v = chunk.values.data();
        const bool oneChar = delimiter_.size() == 1;
        const char delimiter = oneChar ? delimiter_[0] : 0;
        for (std::uint32_t r = 0; r < chunk.records; ++r) {
            for (std::size_t k = 0; k < columns_.size(); ++k) {
                if (k > 0) {
                    if (oneChar)
                        line.push_back(delimiter);
                    else
                        line += delimiter_;
                }
                const Column& c = columns_[k];
                if (!c.read) continue;
                if (!text_.append(line, c.type, *v++, includeMemo_)) ++failures_;
            }
            line += "\r\n";
            out_.flushIfFull();
        }
    }

    // Decodes the records [first, first + count) of `file` into `chunk`. A value whose reading
    // fails is marked invalid: it counts as a value that could not be converted.
    void decode(TableFile& file, std::uint32_t first, std::uint32_t count, Chunk& chunk) const {
        chunk.values.resize(static_cast<std::size_t>(count) * decodedColumns_);
        chunk.bytes.resize(storedColumns_ > 0 ? static_cast<std::size_t>(count) * recordSize_ + kSlack : 0);
        chunk.records = count;
        chunk.formatted = false;
        FieldValue* v = chunk.values.data();
        std::uint8_t* copy = chunk.bytes.data();
        for (std::uint32_t r = 0; r < count; ++r) {
            const std::uint8_t* record = file.record(first + r);
            if (storedColumns_ > 0) {
                std::memcpy(copy, record, recordSize_);
                copy += recordSize_;
            }
            if (decodedColumns_ == 0) continue;
            for (const Column& c : columns_) {
                if (!c.read || c.stored != Stored::No) continue;
                try {
                    file.decode(record, c.field, *v);
                } catch (const EDatabaseError&) {
                    v->setText(ValueKind::Invalid);
                }
                ++v;
            }
        }
    }

    void run(TableFile& file, std::uint32_t count, const std::function<bool(std::uint64_t, std::uint64_t)>& progress) {
        runChunkPipeline(
            count, kChunkRecords, kChunks,
            [&](int slot, std::uint32_t chunk, std::uint32_t first, std::uint32_t records) {
                if (progress && !progress(first, count)) throw EExportCancelled();
                decode(file, first, records, chunks_[slot]);
                // Every second chunk is written out by this thread when the work allows.
                if (shareFormatting_ && chunk % 2 == 0) formatText(chunks_[slot]);
            },
            [&](int slot) { format(chunks_[slot]); });
    }

    int failures() const { return failures_; }

private:
    // The lines of a chunk whose columns are all Stored, into the chunk's text.
    void formatText(Chunk& chunk) const {
        chunk.text.clear();
        chunk.failures = formatStored(chunk, chunk.text, false);
        chunk.formatted = true;
    }

    // The lines of records with Stored columns, appended to `line` (`flush`: the output's buffer,
    // written out when full). The text of those columns is written into room made ahead in
    // `line`, the other values are appended as usual. Returns the number of values that could
    // not be converted.
    int formatStored(const Chunk& chunk, std::string& line, bool flush) const {
        int failures = 0;
        FieldValue decoded;  // a Stored column's value whose bytes are unusual
        const bool oneChar = delimiter_.size() == 1;
        const char delimiter = oneChar ? delimiter_[0] : 0;
        // Written up to p; room (zeros) up to limit.
        char* p = line.data() + line.size();
        char* limit = p;
        auto makeRoom = [&](std::size_t n) {
            if (static_cast<std::size_t>(limit - p) >= n) return;
            const auto used = static_cast<std::size_t>(p - line.data());
            line.resize(used + std::max<std::size_t>(n, 64 * 1024));
            p = line.data() + used;
            limit = line.data() + line.size();
        };
        const FieldValue* v = chunk.values.data();
        const std::uint8_t* record = chunk.bytes.data();
        for (std::uint32_t r = 0; r < chunk.records; ++r, record += recordSize_) {
            makeRoom(boundFrom_[0] + kSlack);
            for (std::size_t k = 0; k < columns_.size(); ++k) {
                if (k > 0) {
                    if (oneChar) {
                        *p++ = delimiter;
                    } else {
                        std::memcpy(p, delimiter_.data(), delimiter_.size());
                        p += delimiter_.size();
                    }
                }
                const Column& c = columns_[k];
                if (!c.read) continue;
                const FieldValue* value;
                if (c.stored != Stored::No) {
                    if (char* end = writeStored(c, record + c.offset, p)) {
                        p = end;
                        continue;
                    }
                    dbase::decodeStoredValue(c.letter, dbf_->header(), dbf_->codePage(), record + c.offset, c.length,
                                             decoded);
                    value = &decoded;
                } else {
                    value = v++;
                }
                line.resize(static_cast<std::size_t>(p - line.data()));
                if (!text_.append(line, c.type, *value, includeMemo_)) ++failures;
                p = limit = line.data() + line.size();
                makeRoom(boundFrom_[k + 1] + kSlack);
            }
            *p++ = '\r';
            *p++ = '\n';
            if (flush && static_cast<std::size_t>(p - line.data()) >= ExportOutput::kFlushSize) {
                line.resize(static_cast<std::size_t>(p - line.data()));
                out_.flush();
                p = limit = line.data();
            }
        }
        line.resize(static_cast<std::size_t>(p - line.data()));
        return failures;
    }

    char* writeStored(const Column& c, const std::uint8_t* bytes, char* out) const {
        switch (c.stored) {
            case Stored::Char: return chars_->write(out, bytes, c.length);
            case Stored::Number: return stored::writeStoredNumber(out, bytes, c.length, false, text_.decimalSeparator());
            case Stored::WholeNumber: return stored::writeStoredNumber(out, bytes, c.length, true, text_.decimalSeparator());
            case Stored::Date: return stored::writeStoredDate(out, bytes, c.length, text_.dateText());
            case Stored::Logical: return stored::writeStoredLogical(out, bytes, c.length);
            case Stored::No: break;
        }
        return nullptr;
    }

    const std::vector<Column>& columns_;
    const std::string& delimiter_;
    bool includeMemo_;
    const ExportValueText& text_;
    ExportOutput& out_;
    const dbase::DBaseTable* dbf_;
    const StoredCharText* chars_;
    std::size_t decodedColumns_ = 0, storedColumns_ = 0;
    std::size_t recordSize_ = 0;
    std::vector<std::size_t> boundFrom_;
    bool shareFormatting_ = false;
    int failures_ = 0;  // counted by the thread that formats

    Chunk chunks_[kChunks];
};

bool leftOut(TFieldType type) {
    switch (type) {
        case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
        case ftADT: case ftArray: case ftReference: case ftDataSet:
            return true;
        default:
            return false;
    }
}

}  // namespace

int writeExportRecords(TTable& dataSet, const ExportRecordsOptions& options, const ExportValueText& text,
                       ExportOutput& out) {
    // The records in the table's order, first to last, read straight from the engine's side of
    // the table.
    TableFile& file = dataSet.File();
    const std::uint32_t count = dataSet.Eof() ? 0 : file.recordCount();
    using Stored = RecordPipeline::Stored;
    const auto* dbf = options.storedText ? dynamic_cast<const dbase::DBaseTable*>(&file) : nullptr;
    StoredCharText chars;
    const bool charsStored = dbf && chars.build(file.codePage());
    std::vector<RecordPipeline::Column> columns;
    for (int i = 0; i < options.fieldCount; ++i) {
        const TField& field = dataSet.Fields(i);
        if (!field.Visible()) continue;
        const TFieldType type = field.DataType();
        const bool memo = type == ftMemo || type == ftFmtMemo;
        RecordPipeline::Column c{static_cast<std::size_t>(i), type, !leftOut(type) && (!memo || options.includeMemo)};
        // A dBase field whose value is its bytes in the record alone: no NULL flag or length
        // kept elsewhere.
        if (dbf && c.read && c.field < file.fields().size() && file.fields()[c.field].dataType == type &&
            dbf->rawFields()[c.field].nullBit < 0 && dbf->rawFields()[c.field].varLengthBit < 0) {
            const FieldDef& f = file.fields()[c.field];
            c.letter = f.typeLetter;
            c.offset = f.offset;
            c.length = f.length;
            switch (f.typeLetter) {
                case 'C':
                    if (charsStored && type == ftString) {
                        c.stored = Stored::Char;
                        c.bound = chars.bound(f.length);
                    }
                    break;
                case 'N': case 'F':
                    if (type == ftFloat || type == ftSmallint) {
                        c.stored = type == ftFloat ? Stored::Number : Stored::WholeNumber;
                        c.bound = f.length + 1 + text.decimalSeparator().size();
                    }
                    break;
                case 'D':
                    if (type == ftDate && text.dateText().writeDateBound() > 0) {
                        c.stored = Stored::Date;
                        c.bound = text.dateText().writeDateBound();
                    }
                    break;
                case 'L':
                    if (type == ftBoolean) {
                        c.stored = Stored::Logical;
                        c.bound = 5;
                    }
                    break;
                default: break;
            }
        }
        columns.push_back(c);
    }
    RecordPipeline pipeline(columns, options.delimiter, options.includeMemo, text, out, dbf, &chars);
    pipeline.run(file, count, options.progress);
    return pipeline.failures();
}

}  // namespace tavrinth
