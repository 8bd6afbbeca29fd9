#pragma once
// The structure reports: the four generators that turn the structure of one open table into lines
// of report text (the Data definition report, the InterBase and MS SQL scripts and the Delphi
// unit), and the report run that writes the header, every chosen table's part and the Delphi tail.
// Plain C++: the window and the command line both call it.

#include <string>
#include <vector>

#include "field_types.h"

namespace tavrinth {

class TTable;

// The report text: whole lines, UTF-8, without line ends. Lines may hold tabs.
using ReportText = std::vector<std::string>;

// The state of a Delphi unit while a report run writes it: the calls of the table procedures, in
// order ("CreateOrders;" ...), and whether any AddVal call was written.
struct DelphiUnitState {
    std::vector<std::string> lbProcedure;
    bool AddValUsed = false;

    void reset() {
        lbProcedure.clear();
        AddValUsed = false;
    }
};

// What a report run writes.
struct ReportOptions {
    bool sqlScript = false;          // false: the Data definition report
    std::string dialect;             // "InterBase", "MS SQL" or "Delphi" (used when sqlScript)
    std::string databaseShortName;   // the alias name or the last folder name
    std::string dateText;            // today in the user's short date format
    std::string decimalSeparator = ".";  // the user's, for floating-point check values
};

// Type texts of the four report kinds; values above ftDataSet give their ft name (the Data
// definition report without the "ft" prefix).
std::string FieldTypeText(TFieldType type);
std::string InterBaseTypeText(TFieldType type);
std::string MSSQLTypeText(TFieldType type);
std::string DelphiTypeText(TFieldType type);

// The table name as the scripts write it: a final ".DB" removed, then every "dbo." removed.
std::string ScriptTableName(const std::string& tableName);

// The generators: each appends the part of the open `table` to `lines`. Engine errors pass
// through; lines already appended stay.
void ShowDataDefinition(TTable& table, ReportText& lines, const std::string& decimalSeparator);
void ShowInterBaseScript(TTable& table, ReportText& lines, const std::string& decimalSeparator);
void ShowMSSQLScript(TTable& table, ReportText& lines, const std::string& decimalSeparator);
void ShowDelphiScript(TTable& table, ReportText& lines, DelphiUnitState& unit, const std::string& decimalSeparator);

// The Delphi unit's head (16 lines after the first " ") and its tail; the tail also puts the
// AddVal declaration into the head when an AddVal call was written.
void WriteDelphiHead(ReportText& lines, const std::string& databaseShortName, const std::string& dateText);
void WriteDelphiFooter(ReportText& lines, const DelphiUnitState& unit, const std::string& databaseShortName);

// The 71 lines of the AddVal procedure the Delphi unit carries when it sets default values.
const std::vector<std::string>& AddValProcedureText();

// One report run. Begin empties the text and writes " " and the header lines; ReportTable writes
// the part of one open table with the generator the options choose (nothing for an unknown
// dialect); Finish writes the Delphi tail. The window drives these steps itself (it opens each
// table and keeps its buttons and caption in step); Run does the whole run for a list of tables.
class StructureReportRun {
public:
    StructureReportRun(ReportText& lines, ReportOptions options);

    const ReportOptions& options() const { return options_; }
    bool isDelphi() const { return options_.sqlScript && options_.dialect == "Delphi"; }
    DelphiUnitState& unit() { return unit_; }

    void Begin();
    void ReportTable(TTable& table);  // TestFunk
    void Finish();

    // Closes `table`, then for each name in order sets TableName, opens the table and reports it;
    // then Finish. An engine error ends the run where it happened (lines already written stay, no
    // Delphi tail) and reaches the caller. DatabaseName is left as the caller set it.
    void Run(TTable& table, const std::vector<std::string>& tableNames);

private:
    ReportText& lines_;
    ReportOptions options_;
    DelphiUnitState unit_;
};

}  // namespace tavrinth
