#pragma once
// What the commands of tavrinth-cli share.

#include <stdexcept>
#include <string>
#include <vector>

namespace tavrinth::cli {

// A command line the command cannot take: reported with the usage text.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Warnings about odd but readable tables, to standard error.
void printWarnings(const std::vector<std::string>& warnings);

// The commands kept in files of their own.
int cmdReport(const std::vector<std::string>& args);
int cmdExport(const std::vector<std::string>& args);
int cmdCheck(const std::vector<std::string>& args);
int cmdImport(const std::vector<std::string>& args);
int cmdRebuildIndexes(const std::vector<std::string>& args);
int cmdMigrate(const std::vector<std::string>& args);
int cmdInsert(const std::vector<std::string>& args);
int cmdDelete(const std::vector<std::string>& args);
int cmdPack(const std::vector<std::string>& args);

}  // namespace tavrinth::cli
