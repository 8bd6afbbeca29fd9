// tavrinth-cli rebuild-indexes: every index file of a table written again from its records.

#include <string>
#include <vector>

#include "cli_common.h"
#include "engine_error.h"
#include "index_rebuild.h"
#include "table_change.h"
#include "table_file.h"

namespace tavrinth::cli {

int cmdRebuildIndexes(const std::vector<std::string>& args) {
    OpenOptions options;
    std::string path;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--password") {
            if (i + 1 >= args.size()) throw UsageError("--password needs a value");
            options.knownPasswords.push_back(args[++i]);
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            throw UsageError("unknown option " + args[i]);
        } else if (path.empty()) {
            path = args[i];
        } else {
            throw UsageError("rebuild-indexes takes one table file");
        }
    }
    if (path.empty()) throw UsageError("rebuild-indexes needs a table file");
    {
        // Refusals that have nothing to do with the index files come first, with no lock taken.
        auto table = openTableFile(path, options);
        if (const std::string why = table->writeRefusal(false); !why.empty())
            throw EDBEngineError(EDBEngineError::Code::Locked, "Cannot rebuild the indexes of " + table->fileName() + ": " + why);
    }
    // Under the lock (a crashed change is undone first), the records as they are now.
    FamilyChange change(path);
    auto table = openTableFile(path, options);
    printWarnings(table->warnings());
    const std::vector<RebuiltIndexFile> files = rebuildIndexFiles(*table);
    for (const RebuiltIndexFile& f : files) {
        if (isRegularFile(f.path)) change.preserveWhole(f.path);
        else change.willCreate(f.path);
    }
    for (const RebuiltIndexFile& f : files) writeRebuilt(change, f);
    change.commit();
    return 0;
}

}  // namespace tavrinth::cli
