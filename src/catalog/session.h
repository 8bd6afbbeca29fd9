#pragma once
// The engine session: the aliases (named folders of tables), the tables of a folder, and the
// passwords entered for encrypted tables.
//
// Aliases come from an INI-style file: $TAVRINTH_ALIASES if set, else
// $XDG_CONFIG_HOME/Kelvora/aliases.conf (default ~/.config/Kelvora/aliases.conf), section
// [Aliases], one "Name=/folder/path" a line. The built-in alias "Samples" names the sample tables
// that come with the program.

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tavrinth {

class TSession {
public:
    using PasswordPrompt = std::function<bool(const std::string& tableName, std::string& password)>;

    static constexpr const char* kSamplesAlias = "Samples";
    static constexpr std::size_t kMaxAliasLength = 31;
    // The layer's message when the engine cannot be started (the alias file cannot be read).
    static constexpr const char* kStartUpMessage =
        "An error occurred while attempting to initialize the Borland Database Engine (error $%.4x)";
    static constexpr unsigned kStartUpErrorCode = 0x2108;

    // The program's one session.
    static TSession& Default();

    TSession() = default;

    // Fills `list` (emptied first) with the names of all aliases, sorted ignoring case.
    // Throws EDBEngineError (StartUp) when the alias file exists but cannot be read.
    void GetAliasNames(std::vector<std::string>& list);
    // Fills `list` (emptied first) with the names of the tables of an alias or a folder: the .db
    // and .dbf files, without extension (or with it when `extensions` is set), sorted ignoring
    // case. `pattern` "*.*" or "*" takes all; system tables are never listed.
    void GetTableNames(const std::string& databaseName, const std::string& pattern, bool extensions,
                       bool systemTables, std::vector<std::string>& list);

    // True when name is a known alias (exact case first, then ignoring case).
    bool IsAlias(const std::string& name);
    // The folder of an alias or a folder path given as database name (a trailing "/" is allowed).
    // Throws EDBEngineError (NotFound) for an unknown alias that is no folder either.
    std::string DatabaseFolder(const std::string& databaseName);

    // Changing the alias file: an alias added (or its folder changed), renamed, removed. The file
    // keeps its other lines (comments, other sections) as they are and is replaced whole through
    // the atomic file writer (made, with its folder, when there is none). Throws EDBEngineError
    // (InvalidValue) with the file unchanged for a name that is empty, longer than
    // kMaxAliasLength, holds '=', '[', ']' or a line break, or has blanks at its ends; a folder
    // that does not exist; renaming or removing an alias the file does not hold; a new name
    // another alias has (ignoring case); and for the built-in Samples.
    void SetAlias(const std::string& name, const std::string& folder);
    void RenameAlias(const std::string& from, const std::string& to);
    void RemoveAlias(const std::string& name);

    // Passwords entered in this run, tried first when an encrypted table opens.
    const std::vector<std::string>& Passwords() const { return passwords_; }
    void AddPassword(const std::string& password);
    // Asked when no remembered password opens an encrypted table.
    void SetPasswordPrompt(PasswordPrompt prompt) { prompt_ = std::move(prompt); }
    const PasswordPrompt& Prompt() const { return prompt_; }

    // Where the alias file is looked for, and where "Samples" points.
    static std::string AliasFilePath();
    static std::string SamplesFolder();

private:
    void loadAliases();
    // An alias line of the file: its name, its folder, its line (-1 for one the edit adds).
    struct AliasLine {
        std::string name, folder;
        std::size_t line;
    };
    // Rewrites the alias file: `edit` gets the lines of its [Aliases] sections and changes,
    // removes or adds them; every other line stays as it is.
    void rewriteAliases(const std::function<void(std::vector<AliasLine>&)>& edit);

    bool loaded_ = false;
    std::string loadedFrom_;
    std::map<std::string, std::string> aliases_;  // name -> folder
    std::vector<std::string> passwords_;
    PasswordPrompt prompt_;
};

}  // namespace tavrinth
