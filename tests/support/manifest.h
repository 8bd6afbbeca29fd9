#pragma once
// The manifests of the table corpus: tab-separated UTF-8 with a header line.

#include <map>
#include <string>
#include <vector>

namespace tavrinth::test {

class ManifestRow {
public:
    explicit ManifestRow(std::map<std::string, std::string> cells) : cells_(std::move(cells)) {}
    // The cell of a column; throws std::out_of_range naming the column when the manifest has none.
    const std::string& operator[](const std::string& column) const;
    bool has(const std::string& column) const { return cells_.count(column) != 0; }

private:
    std::map<std::string, std::string> cells_;
};

// Reads a manifest; throws std::runtime_error when it is missing, empty, or a line has another
// number of cells than the header.
std::vector<ManifestRow> readManifest(const std::string& path);

// Splits at every occurrence of the separator.
std::vector<std::string> splitString(const std::string& s, char separator);

}  // namespace tavrinth::test
