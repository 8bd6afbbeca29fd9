#pragma once
// The problem lines a family check collects (table_check.h): one line per problem, each starting
// with the name of the file it was found in. A damaged file can hold thousands of problems of one
// kind (every key of an index shifted by one byte): after kLinesPerFile lines for one file the
// rest are only counted, and one closing line says how many more that file has.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tavrinth {

class CheckReport {
public:
    static constexpr std::size_t kLinesPerFile = 20;

    // One problem of the file named `file` (its name as the folder shows it).
    void add(const std::string& file, const std::string& what) {
        std::size_t& n = perFile_[file];
        if (++n <= kLinesPerFile) lines_.push_back(file + ": " + what);
    }

    // Whether any problem was found in that file so far.
    bool any(const std::string& file) const { return perFile_.count(file) != 0; }

    // The lines, with a closing line for each file that had more than kLinesPerFile.
    std::vector<std::string> lines() const {
        std::vector<std::string> out = lines_;
        for (const auto& [file, n] : perFile_)
            if (n > kLinesPerFile)
                out.push_back(file + ": " + std::to_string(n - kLinesPerFile) +
                              " more problems of this file are not listed");
        return out;
    }

private:
    std::vector<std::string> lines_;
    std::map<std::string, std::size_t> perFile_;
};

}  // namespace tavrinth
