#include "table_file.h"

#include "dbase/dbf_table.h"
#include "engine_error.h"
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
    return openTableFile(std::move(source), std::make_unique<DiskFamily>(path), format, options);
}

}  // namespace tavrinth
