// libFuzzer target: the texts a table's values become in the window's grid and in the delimited
// export, over damaged Paradox and dBase tables.
//
// Input: one option byte, then a table as fuzz_input.h describes (the table's bytes, optionally
// "\n#COMPANION#\n" and its .MB or memo file). The option byte's lowest bit chooses the format
// (0 dBase, 1 Paradox); the next two the delimiter; the next the memo option; the next two the
// locale (C, de_DE, en_US, ar_EG: a point, a comma, a 12-hour clock, other digits).
//
// The table is written to a folder of this process and opened through the table object, as the
// window opens it. Every cell of the grid's data source is asked for its text (the first 4 096
// rows), then the table is exported twice: with dBase values written from their stored text and
// with every value decoded. The two files must be the same byte for byte, with the same count of
// values that could not be converted; a difference aborts (a finding). A damaged table may end in
// the engine's errors; anything else (another exception, a crash, a sanitizer report) is a bug.

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <QCoreApplication>

#include "delimited_export.h"
#include "engine_error.h"
#include "fuzz_input.h"
#include "session.h"
#include "table.h"
#include "tdexport.h"

namespace {

std::string folder;

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    folder = std::string(base) + "/tavrinth-fuzz-grid-" + std::to_string(::getpid());
    if (std::system(("mkdir -p '" + folder + "'").c_str()) != 0) std::abort();
    // The encrypted tables of the corpus use this password.
    tavrinth::TSession::Default().AddPassword("123");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrinth;
    if (size < 2) return 0;
    const std::uint8_t options = data[0];
    fuzz::SplitInput in = fuzz::splitInput(data + 1, size - 1);
    const bool paradox = options & 1;
    const std::string table = folder + (paradox ? "/T.DB" : "/T.DBF");
    for (const char* name : {"/T.DB", "/T.DBF", "/T.MB", "/T.DBT", "/T.FPT"}) ::unlink((folder + name).c_str());
    writeFile(table, in.table);
    if (in.hasCompanion) {
        if (paradox) {
            writeFile(folder + "/T.MB", in.companion);
        } else {
            writeFile(folder + "/T.DBT", in.companion);
            writeFile(folder + "/T.FPT", in.companion);
        }
    }

    static const char* const kLocales[] = {"C", "de_DE", "en_US", "ar_EG"};
    const UserLocale locale = UserLocale::fromLocale(QLocale(QString::fromLatin1(kLocales[(options >> 4) & 3])));
    TTable t;
    t.SetTableName(table);
    try {
        t.Open();
    } catch (const EDatabaseError&) {
        return 0;  // a clear refusal of a damaged table
    }

    TdExport grid;
    grid.SetDataSet(&t);
    std::size_t chars = 0;
    const int rows = std::min(grid.rowCount(), 4096);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < grid.columnCount(); ++c) chars += grid.data(grid.index(r, c)).toString().size();
    volatile std::size_t keep = chars;
    (void)keep;

    std::string texts[2];
    int failures[2] = {0, 0};
    bool refused[2] = {false, false};
    for (int pass = 0; pass < 2; ++pass) {
        TDelimitedExport exporter;
        exporter.SetDelimiter(static_cast<TDelimiter>((options >> 1) & 3));
        exporter.SetIncludeMemo(options & 8);
        exporter.SetStoredText(pass == 0);
        exporter.SetFilename(folder + "/out.txt");
        try {
            exporter.Execute(t, locale);
            texts[pass] = readFile(folder + "/out.txt");
        } catch (const EDatabaseError&) {
            refused[pass] = true;
        }
        failures[pass] = exporter.ConversionFailures();
    }
    if (refused[0] != refused[1] || (!refused[0] && (texts[0] != texts[1] || failures[0] != failures[1]))) {
        std::fprintf(stderr, "the export from stored text differs from the export of decoded values\n");
        std::abort();
    }
    return 0;
}
