#include "manifest.h"

#include <stdexcept>

#include "test_files.h"

namespace tavrinth::test {

const std::string& ManifestRow::operator[](const std::string& column) const {
    const auto it = cells_.find(column);
    if (it == cells_.end()) throw std::out_of_range("the manifest has no column " + column);
    return it->second;
}

std::vector<std::string> splitString(const std::string& s, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = s.find(separator, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

std::vector<ManifestRow> readManifest(const std::string& path) {
    const std::string text = readFile(path);
    std::vector<std::string> lines = splitString(text, '\n');
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.empty()) throw std::runtime_error("empty manifest " + path);
    for (std::string& line : lines)
        if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> header = splitString(lines[0], '\t');
    std::vector<ManifestRow> rows;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> cells = splitString(lines[i], '\t');
        if (cells.size() != header.size())
            throw std::runtime_error(path + " line " + std::to_string(i + 1) + " has " + std::to_string(cells.size()) +
                                     " cells, the header " + std::to_string(header.size()));
        std::map<std::string, std::string> m;
        for (std::size_t c = 0; c < header.size(); ++c) m[header[c]] = cells[c];
        rows.emplace_back(std::move(m));
    }
    return rows;
}

}  // namespace tavrinth::test
