#include "structure_report.h"

#include <array>
#include <utility>

#include "table.h"
#include "validity_checks.h"

namespace tavrinth {

namespace {

// Type texts indexed by TFieldType, values 0 to 29.
constexpr int kMappedTypes = 30;

const std::array<const char*, kMappedTypes> kDefinitionTypes = {
    "Unknown", "String",   "Smallint", "Integer",   "Word",      "Boolean",     "Float",   "Currency",
    "BCD",     "Date",     "Time",     "DateTime",  "Bytes",     "VarBytes",    "AutoInc", "Blob",
    "Memo",    "Graphic",  "FmtMemo",  "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor",  "FixedChar",
    "WideString", "LargeInt", "ADT",   "Array",     "Reference", "DataSet"};

const std::array<const char*, kMappedTypes> kInterBaseTypes = {
    "Unknown",
    "CHAR",
    "SMALLINT",
    "INTEGER",
    "INTEGER",
    "CHAR(1)/* Boolean */",
    "FLOAT",
    "NUMERIC [15,2] /* Currency */",
    "BCD",
    "DATE",
    "DATE",
    "DATE",
    "CHAR(1) /* Bytes */",
    "VARCHAR",
    "AUTOINC",
    "BLOB SUB_TYPE 0 SEGMENT SIZE 1024 /* Blob */",
    "BLOB SUB_TYPE 1 SEGMENT SIZE 1024 /* Memo */",
    "BLOB SUB_TYPE 0 SEGMENT SIZE 1024 /* Graphis */",
    "FmtMemo",
    "ParadoxOle",
    "DBaseOle",
    "TypedBinary",
    "Cursor",
    "CHAR",
    "WideString",
    "INTEGER",
    "ADT",
    "Array",
    "Reference",
    "DataSet"};

const std::array<const char*, kMappedTypes> kMSSQLTypes = {
    "Unknown",
    "CHAR",
    "SMALLINT",
    "INTEGER",
    "INTEGER",
    "BIT",
    "FLOAT",
    "MONEY",
    "BCD",
    "DATETIME",
    "DATETIME",
    "DATETIME",
    "CHAR(1) /* Bytes */",
    "VARCHAR",
    "INTEGER IDENTITY(1,1)",
    "IMAGE /* Blob */",
    "TEXT",
    "IMAGE",
    "FmtMemo",
    "ParadoxOle",
    "DBaseOle",
    "TypedBinary",
    "Cursor",
    "CHAR",
    "WideString",
    "INTEGER",
    "ADT",
    "Array",
    "Reference",
    "DataSet"};

std::string ftName(TFieldType type) { return fieldTypeName(type); }

// The number of characters of a UTF-8 text.
std::size_t characterCount(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

// "\t" + name, padded with spaces to 21 characters after the tab.
std::string paddedName(const std::string& name) {
    std::string line = "\t" + name;
    const std::size_t length = characterCount(name);
    if (length < 21) line.append(21 - length, ' ');
    return line;
}

std::string replaced(std::string text, char from, char to) {
    for (char& c : text)
        if (c == from) c = to;
    return text;
}

// The column lines, the primary-key constraint and the further indexes shared by the two SQL
// scripts. Returns the name of the last auto-increment field (empty when there is none).
std::string writeSqlTable(TTable& table, ReportText& lines, const std::string& decimalSeparator,
                          const std::string& tableName, bool interBase) {
    std::string autoIncColumn;
    lines.push_back(" ");
    lines.push_back("\tCREATE TABLE " + tableName + "(");
    lines.push_back(" ");

    TValCheck check;
    for (int i = 0; i < table.FieldCount(); ++i) {
        TField& field = table.Fields(i);
        std::string line = paddedName(field.FieldName());
        const std::string type = interBase ? InterBaseTypeText(field.DataType()) : MSSQLTypeText(field.DataType());
        if (interBase && type == "AUTOINC") {
            line += "\tINTEGER";
            autoIncColumn = field.FieldName();
        } else {
            line += "\t" + type;
        }
        if (type == "CHAR" || type == "VARCHAR") line += "(" + std::to_string(field.DataSize() - 1) + ")";
        if (field.Required()) line += " NOT NULL";
        if (GetFieldValCheck(table, field, check, decimalSeparator) && check.HasDefault)
            line += " DEFAULT " + check.DefaultValue;
        line += ",";
        lines.push_back(std::move(line));
    }

    TIndexDefs& indexes = table.IndexDefs();
    indexes.Update();
    if (indexes.Count() > 0) {
        const std::string& fields = indexes[0].Fields;
        lines.push_back("\tCONSTRAINT ix" + tableName + replaced(fields, ';', '_') + " PRIMARY KEY (" +
                        replaced(fields, ';', ',') + ")");
    }
    lines.push_back(interBase ? ");" : ")");
    lines.push_back("/*\tIndex */");

    indexes.Update();
    const char* end = interBase ? ");" : ")";
    for (int i = 1; i < indexes.Count(); ++i) {
        lines.push_back("\tCREATE INDEX " + indexes[i].Name + " ON " + tableName + "(" +
                        replaced(indexes[i].Fields, ';', ',') + end);
    }
    lines.push_back(" ");
    return autoIncColumn;
}

}  // namespace

std::string FieldTypeText(TFieldType type) {
    if (type < kMappedTypes) return kDefinitionTypes[type];
    return ftName(type).substr(2);
}

std::string InterBaseTypeText(TFieldType type) {
    return type < kMappedTypes ? std::string(kInterBaseTypes[type]) : ftName(type);
}

std::string MSSQLTypeText(TFieldType type) {
    return type < kMappedTypes ? std::string(kMSSQLTypes[type]) : ftName(type);
}

std::string DelphiTypeText(TFieldType type) {
    if (type == ftUnknown) return "Unknown";
    if (type == ftLargeint) return "ftLargeInt";
    return ftName(type);
}

std::string ScriptTableName(const std::string& tableName) {
    std::string name = tableName;
    if (name.size() >= 3 && name.compare(name.size() - 3, 3, ".DB") == 0) name.erase(name.size() - 3);
    // Scan from the last character back to the first; a "." at position p (from 1) ends a
    // "dbo." when the four characters p-3..p spell it.
    for (std::size_t p = name.size(); p >= 1; --p) {
        if (p > name.size()) continue;
        if (name[p - 1] == '.' && p >= 4 && name.compare(p - 4, 4, "dbo.") == 0) name.erase(p - 4, 4);
    }
    return name;
}

void ShowDataDefinition(TTable& table, ReportText& lines, const std::string& decimalSeparator) {
    lines.push_back(" ");
    lines.push_back("\t" + table.TableName() + "\tRecord Size: " + std::to_string(table.RecordSize()));
    lines.push_back(" ");

    TValCheck check;
    for (int i = 0; i < table.FieldCount(); ++i) {
        TField& field = table.Fields(i);
        std::string line = paddedName(field.FieldName());
        const std::string type = FieldTypeText(field.DataType());
        line += "\t" + type;
        if (type == "String") line += "(" + std::to_string(field.Size()) + ")";
        if (field.Required()) line += " Required";
        if (GetFieldValCheck(table, field, check, decimalSeparator)) {
            if (check.HasDefault) line += " Default:" + check.DefaultValue;
            if (check.HasMin) line += " Min:" + check.MinValue;
            if (check.HasMax) line += " Max:" + check.MaxValue;
        }
        lines.push_back(std::move(line));
    }
    lines.push_back(" ");

    TIndexDefs& indexes = table.IndexDefs();
    indexes.Update();
    std::string start = "\tIndex";
    for (int i = 0; i < indexes.Count(); ++i) {
        lines.push_back(start + "\t\t" + indexes[i].Name + "   " + indexes[i].Fields);
        start = "\t";
    }
    lines.push_back(" ");
}

void ShowInterBaseScript(TTable& table, ReportText& lines, const std::string& decimalSeparator) {
    const std::string name = ScriptTableName(table.TableName());
    const std::string autoInc = writeSqlTable(table, lines, decimalSeparator, name, true);
    if (autoInc.empty()) return;
    lines.push_back("\tCREATE GENERATOR " + name + "_Gen;");
    lines.push_back("\tSET GENERATOR " + name + "_Gen TO 0;");
    lines.push_back(" ");
    lines.push_back("\tSET TERM !! ;");
    lines.push_back("\tCREATE TRIGGER Set_" + autoInc + " FOR " + name + " BEFORE INSERT");
    lines.push_back("\tAS");
    lines.push_back("\tBEGIN");
    lines.push_back("\t\tNEW." + autoInc + " = GEN_ID(" + name + "_Gen, 1);");
    lines.push_back("\tEND");
    lines.push_back("\tSET TERM ; !!");
}

void ShowMSSQLScript(TTable& table, ReportText& lines, const std::string& decimalSeparator) {
    writeSqlTable(table, lines, decimalSeparator, ScriptTableName(table.TableName()), false);
}

void WriteDelphiHead(ReportText& lines, const std::string& db, const std::string& dateText) {
    lines.push_back("unit Cr" + db + ";");
    lines.push_back(" ");
    lines.push_back("{\tDatabase       : \t" + db + "\t\t\tDate: " + dateText + "\t}");
    lines.push_back("{\tParadox Version: \tDelphi\t\t\t\t\t\t}");
    lines.push_back("{\tCall: Create" + db + "(<Alias>);\t\t\t\t\t}");
    lines.push_back("{\tIf <Alias> isn't specified, \"" + db + "\" will be used.\t\t}");
    lines.push_back(" ");
    lines.push_back("interface");
    lines.push_back(" ");
    lines.push_back("uses    BDE,DB, DBTables, SysUtils, Forms, Controls;");
    lines.push_back(" ");
    lines.push_back("procedure Create" + db + "(AliasName:String);");
    lines.push_back(" ");
    lines.push_back("implementation");
    lines.push_back(" ");
    lines.push_back("procedure Create" + db + "(AliasName:String);");
}

void ShowDelphiScript(TTable& table, ReportText& lines, DelphiUnitState& unit, const std::string& decimalSeparator) {
    lines.push_back(" ");
    const std::string n = ScriptTableName(table.TableName());
    unit.lbProcedure.push_back("Create" + n + ";");

    lines.push_back("procedure Create" + n + "();");
    lines.push_back("var");
    lines.push_back("  ta" + n + ":TTable;");
    lines.push_back("begin");
    lines.push_back("  ta" + n + ":=TTable.Create(Application);");
    lines.push_back("  with ta" + n + " do");
    lines.push_back("  begin");
    lines.push_back("    Active:=False;");
    lines.push_back("    DatabaseName:=AliasName;");
    lines.push_back("    TableType:=ttParadox;");
    lines.push_back("    TableName:='" + n + "';");

    lines.push_back(" ");
    lines.push_back("{\tFields\t }");
    lines.push_back("    with FieldDefs do");
    lines.push_back("    begin");
    lines.push_back("      Clear;");
    for (int i = 0; i < table.FieldCount(); ++i) {
        TField& field = table.Fields(i);
        const std::string type = DelphiTypeText(field.DataType());
        const std::string size = type == "ftString" ? std::to_string(field.Size()) + ", " : "0, ";
        const std::string required = field.Required() ? " True" : " False";
        lines.push_back("      Add('" + field.FieldName() + "', " + type + "," + size + required + ");");
    }
    lines.push_back("    end;");

    TIndexDefs& indexes = table.IndexDefs();
    indexes.Update();
    if (indexes.Count() > 0) {
        lines.push_back(" ");
        lines.push_back("{\tIndex\t }");
        lines.push_back("    with IndexDefs do");
        lines.push_back("    begin");
        lines.push_back("      Clear;");
        lines.push_back("      Add('','" + indexes[0].Fields + "',[ixPrimary, ixUnique]);");
        indexes.Update();
        for (int i = 1; i < indexes.Count(); ++i)
            lines.push_back("      Add('" + indexes[i].Name + "','" + indexes[i].Fields + "',[ixCaseInsensitive]);");
        lines.push_back("    end;");
    }

    lines.push_back(" ");
    lines.push_back("    CreateTable;");

    TValCheck check;
    bool anyDefault = false;
    for (int i = 0; i < table.FieldCount(); ++i) {
        TField& field = table.Fields(i);
        if (!GetFieldValCheck(table, field, check, decimalSeparator) || !check.HasDefault) continue;
        unit.AddValUsed = true;
        if (!anyDefault) lines.push_back("    Active:=True;");
        anyDefault = true;
        lines.push_back("    AddVal(ta" + n + ",'" + field.FieldName() + "','" + check.DefaultValue +
                        (field.Required() ? "', True" : "', False") + ");");
    }
    if (anyDefault) lines.push_back("    Active:=False;");

    lines.push_back("    Free;");
    lines.push_back("  end;");
    lines.push_back("end;");
}

const std::vector<std::string>& AddValProcedureText() {
    static const std::vector<std::string> text = {
        "procedure AddVal(Tbl:TTable; Felt:string; DefVal:string; Required:Boolean);",
        "var",
        "  hDb: hDbiDb;",
        "  TblDesc: CRTblDesc;",
        "  VChk: pVChkDesc;",
        "  Dir: string;",
        "  NumVChks: Word;",
        "  OpType: CROpType;",
        "  Field:TField;",
        "  ConvStr:array[0..255] of Byte;",
        "  Tal,I:Integer;",
        "  Bool:Boolean;",
        "begin",
        "  VChk:=nil;",
        "  FillChar(ConvStr, sizeof(ConvStr), #0);",
        "  Field:=Tbl.FieldByName(Felt);",
        "  if Field.DataType=ftString then",
        "  begin",
        "    for I:=0 to Length(DefVal)-1 do",
        "      ConvStr[I]:=Byte(DefVal[I+1]);",
        "  end else",
        "    if Field.DataType=ftBoolean then",
        "      Bool:=DefVal='True'",
        "    else",
        "      Tal:=StrToInt(DefVal);",
        "",
        "  NumVChks := 0;",
        "  SetLength(Dir, dbiMaxNameLen + 1);",
        "  Check(DbiGetDirectory(Tbl.DBHandle, False, PChar(Dir)));",
        "  SetLength(Dir, Length(PChar(Dir)));",
        "  ReallocMem(VChk,SizeOf(VChkDesc));",
        "  try",
        "    FillChar(TblDesc, sizeof(CRTblDesc), #0);",
        "    VChk.iFldNum := Field.Index + 1;",
        "    Tbl.DisableControls;",
        "    Tbl.Close;",
        "    Check(DbiOpenDatabase(nil, nil, dbiReadWrite, dbiOpenExcl, nil, 0, nil, nil,       hDb));",
        "    Check(DbiSetDirectory(hDb, PChar(Dir)));",
        "    with VChk^ do begin",
        "      bRequired:=Required;",
        "      bHasMinVal := False;",
        "      bHasMaxVal := False;",
        "      elkupType:=lkupNone;",
        "      szLkupTblName:='';",
        "      if (DefVal <>'') then begin",
        "        Inc(NumVChks);",
        "        bHasDefVal:=True;",
        "        if Field.DataType=ftString then",
        "          move(ConvStr, aDefVal, sizeof(ConvStr))",
        "        else",
        "          if Field.DataType=ftBoolean then",
        "            move(Bool, aDefVal, sizeof(Bool))",
        "          else",
        "            move(Tal, aDefVal, sizeof(Tal));",
        "      end else",
        "        bHasDefVal := False;",
        "    end;",
        "    TblDesc.iValChkCount := NumVChks;",
        "    TblDesc.pVChkDesc := VChk;",
        "    OpType := crADD;",
        "    TblDesc.pecrValChkOp := @OpType;",
        "    StrPCopy(TblDesc.szTblName, Tbl.TableName);",
        "    StrCopy(TblDesc.szTblType, szParadox);",
        "    Check(DbiDoRestructure(hDb, 1, @TblDesc, nil, nil, nil, False));",
        "  finally",
        "    Check(DbiCloseDatabase(hDb));",
        "    FreeMem(VChk, sizeof(VChkDesc));",
        "    Tbl.EnableControls;",
        "    Tbl.Open;",
        "  end;",
        "end;",
    };
    return text;
}

void WriteDelphiFooter(ReportText& lines, const DelphiUnitState& unit, const std::string& db) {
    lines.push_back(" ");
    lines.push_back("begin");
    lines.push_back("  Screen.Cursor:=crHourGlass;");
    lines.push_back("  If AliasName='' then");
    lines.push_back("    AliasName:='" + db + "';");
    for (const std::string& call : unit.lbProcedure) lines.push_back("  " + call);
    lines.push_back("  Screen.Cursor:=crDefault;");
    lines.push_back("end;");
    lines.push_back(" ");
    if (unit.AddValUsed) {
        const auto& procedure = AddValProcedureText();
        lines.insert(lines.end(), procedure.begin(), procedure.end());
        lines.push_back("");  // the procedure text is added as one block ending in a line break
    }
    lines.push_back("end.");
    if (unit.AddValUsed) {
        // The declaration goes into the head, between its line 13 (" ") and "implementation".
        const std::size_t at = lines.size() < 14 ? lines.size() : 14;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at),
                     {"procedure AddVal(Tbl:TTable; Felt:string; DefVal:string; Required:Boolean);", " "});
    }
}

StructureReportRun::StructureReportRun(ReportText& lines, ReportOptions options)
    : lines_(lines), options_(std::move(options)) {}

void StructureReportRun::Begin() {
    unit_.lbProcedure.clear();
    lines_.clear();
    lines_.push_back(" ");
    const std::string& db = options_.databaseShortName;
    const std::string& date = options_.dateText;
    if (!options_.sqlScript) {
        lines_.push_back("\tDatabase   : \t" + db + "\t\t\tDate: " + date);
    } else if (options_.dialect != "Delphi") {
        lines_.push_back("/*\tDatabase       : \t" + db + "\t\t\tDate: " + date + "\t*/");
        lines_.push_back("/*\tSQL Version: \t" + options_.dialect + "\t\t\t\t\t\t*/");
    } else {
        WriteDelphiHead(lines_, db, date);
    }
    unit_.AddValUsed = false;
}

void StructureReportRun::ReportTable(TTable& table) {
    const std::string& decimal = options_.decimalSeparator;
    if (!options_.sqlScript) {
        ShowDataDefinition(table, lines_, decimal);
    } else if (options_.dialect == "InterBase") {
        ShowInterBaseScript(table, lines_, decimal);
    } else if (options_.dialect == "MS SQL") {
        ShowMSSQLScript(table, lines_, decimal);
    } else if (options_.dialect == "Delphi") {
        ShowDelphiScript(table, lines_, unit_, decimal);
    }
}

void StructureReportRun::Finish() {
    if (isDelphi()) WriteDelphiFooter(lines_, unit_, options_.databaseShortName);
}

void StructureReportRun::Run(TTable& table, const std::vector<std::string>& tableNames) {
    Begin();
    for (const std::string& name : tableNames) {
        if (table.Active()) table.Close();
        table.SetTableName(name);
        table.Open();
        ReportTable(table);
    }
    Finish();
}

}  // namespace tavrinth
