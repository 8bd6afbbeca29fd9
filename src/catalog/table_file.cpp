#include "table_file.h"

#include "dbase/dbf_table.h"
#include "engine_error.h"
#include "journal.h"
#include "paradox/px_table.h"

namespace tavrinth {

void TableFile::applyRequiredFlags() {
    for (FieldDef& f : fields_) f.required = false;
    for (const ValidityCheck& c : checks_) {
        if (c.field < 0 || static_cast<std::size_t>(c.field) >= fields_.size()) continue;
        FieldDef& f = fields_[static_cast<std::size_t>(c.field)];
        f.required = c.required && c.defaultKind == BoundKind::None && f.dataType != ftAutoInc;
    }
}

std::unique_ptr<TableFile> openTableFile(std::unique_ptr<ByteSource> source, std::unique_ptr<FileFamily> companions,
                                         TableFormat format, const OpenOptions& options) {
    if (format == TableFormat::Paradox)
        return std::make_unique<paradox::ParadoxTable>(std::move(source), std::move(companions), options);
    return std::make_unique<dbase::DBaseTable>(std::move(source), std::move(companions), options);
}

std::unique_ptr<TableFile> openTableFile(const std::string& path, const OpenOptions& options) {
    if (isDirectory(path))
        throw EDBEngineError(EDBEngineError::Code::NotFound, "Not a table: " + path + " is a folder");
    auto source = std::make_unique<FileSource>(path);
    const std::string ext = toLowerAscii(extensionPart(fileNamePart(path)));
    TableFormat format;
    if (ext == ".db") {
        format = TableFormat::Paradox;
    } else if (ext == ".dbf") {
        format = TableFormat::DBase;
    } else {
        // Decide by the first bytes: a Paradox table has its file type (0 or 2) at byte 4 and a
        // version byte of 3..15 at 0x39; everything else is tried as dBase.
        std::uint8_t head[0x3A] = {};
        source->readZeroFilled(0, head, sizeof head);
        const bool paradox = source->size() >= 0x58 && (head[4] == 0 || head[4] == 2) && head[0x39] >= 3 &&
                             head[0x39] <= 15 && head[5] >= 1 && head[5] <= 32;
        format = paradox ? TableFormat::Paradox : TableFormat::DBase;
    }
    // A journal beside the table: a change that did not finish. Its files are read as they were
    // before that change (the journal's old bytes over the present ones), and the next change
    // puts them back for good. A journal that cannot be applied leaves the table read-only.
    Journal journal;
    std::string problem;
    switch (readJournal(path, journal, problem)) {
        case JournalState::None: break;
        case JournalState::Valid: {
            auto overlay = std::make_shared<const JournalOverlay>(folderPart(path), std::move(journal));
            auto shown = overlay->wrap(fileNamePart(path), std::move(source));
            if (!shown)
                throw EDBEngineError(EDBEngineError::Code::NotFound,
                                     "Table " + fileNamePart(path) + " was being created when its writer stopped");
            auto table = openTableFile(std::move(shown), std::make_unique<JournalFamily>(path, overlay), format, options);
            table->path_ = path;
            table->warn("a change to the table did not finish (" + fileNamePart(journalPathFor(path)) +
                        "); the table is shown as it was before that change, and is put back so on the next change");
            return table;
        }
        case JournalState::Damaged: {
            auto table = openTableFile(std::move(source), std::make_unique<DiskFamily>(path), format, options);
            table->path_ = path;
            table->journalProblem_ = problem + "; the table stays read-only until it is examined";
            table->warn(table->journalProblem_);
            return table;
        }
    }
    auto table = openTableFile(std::move(source), std::make_unique<DiskFamily>(path), format, options);
    table->path_ = path;
    return table;
}

}  // namespace tavrinth
