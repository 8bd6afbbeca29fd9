#include "table_check.h"

#include <sys/stat.h>

#include "check_report.h"
#include "dbase/dbf_check.h"
#include "dbase/dbf_table.h"
#include "journal.h"
#include "paradox/px_check.h"
#include "paradox/px_table.h"

namespace tavrinth {

std::vector<std::string> checkTableFamily(const std::string& tablePath, const OpenOptions& options) {
    // The table as the engine shows it: beside a journal that can be applied, as it was before the
    // unfinished change (openTableFile reads it so too).
    std::unique_ptr<TableFile> table = openTableFile(tablePath, options);
    std::unique_ptr<ByteSource> bytes = std::make_unique<FileSource>(tablePath);
    CheckReport report;

    const std::string journalPath = journalPathFor(tablePath);
    struct stat st {};
    if (::stat(journalPath.c_str(), &st) == 0) {
        Journal journal;
        std::string problem;
        if (readJournal(tablePath, journal, problem) == JournalState::Valid) {
            const JournalOverlay overlay(folderPart(tablePath), std::move(journal));
            if (auto shown = overlay.wrap(fileNamePart(tablePath), std::move(bytes)))
                bytes = std::move(shown);
            else
                bytes = std::make_unique<FileSource>(tablePath);
            report.add(fileNamePart(journalPath),
                       "a change to the table did not finish and left its journal; the files "
                       "are checked as they were before that change");
        } else {
            report.add(fileNamePart(journalPath),
                       "a change to the table did not finish and left a journal that cannot "
                       "be applied (" +
                           problem + ")");
        }
    }

    if (auto* px = dynamic_cast<paradox::ParadoxTable*>(table.get()))
        paradox::checkFamily(*px, *bytes, report);
    else if (auto* dbf = dynamic_cast<dbase::DBaseTable*>(table.get()))
        dbase::checkFamily(*dbf, *bytes, report);
    return report.lines();
}

}  // namespace tavrinth
