#pragma once
// Cells of the corpus where the oracle is wrong and our reading is right: the corpus test checks
// each such cell for its reason; the tests that compare other outputs with the oracles accept
// our reading there.

#include <string>
#include <vector>

namespace tavrinth::test {

enum class Why {
    // The stored BCD has nibbles above 9 past its real digits: the oracle writes <invalid bcd HEX>,
    // we give the digits up to the first bad nibble and zeros after it.
    BcdGarbage,
    // Visual FoxPro _NullFlags marks the value NULL; the oracle shows the stored filler.
    VfpNullBit,
    // Visual FoxPro _NullFlags says the last byte of the V/Q field holds the used length; the
    // oracle shows the whole field, length byte included.
    VfpVarLength,
};

struct OracleException {
    const char* table;   // path under the format's corpus folder
    const char* column;
    Why why;
    // BcdGarbage: our value of each differing cell, in row order.
    std::vector<std::string> ours;
};

inline const std::vector<OracleException> kParadoxExceptions = {
    {"leonhad__paradoxdriver/_history/5535a29d/src/test/resources/db/fields.db", "B", Why::BcdGarbage,
     {"0.10000000000000000560000000000000"}},
    {"leonhad__paradoxdriver/src/test/resources/fields/bcd.db", "C", Why::BcdGarbage,
     {"0.12299999999999999800000000000000", "-0.12299999999999999800000000000000",
      "0.99990000000000001180000000000000"}},
};

inline const std::vector<OracleException> kDBaseExceptions = {
    {"Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF", "VARBIN_NIL", Why::VfpVarLength, {}},
    {"Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF", "VAR_NIL", Why::VfpVarLength, {}},
    {"Valentin-Kaiser__go-dbase/examples/test_data/table/TEST.DBF", "VAR", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "KMH", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "KMMC", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "ZKZH", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "KSXM", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "CSMC", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "XQMC", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "KDMC", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "KCMC", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug-56-index-out-of-bounds/56-testdata.dbf", "ZWH", Why::VfpVarLength, {}},
    {"albfernandez__javadbf/src/test/resources/bug93_null_field/testfile.dbf", "D_FLAG", Why::VfpNullBit, {}},
    {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/employees.dbf", "EXTENSION", Why::VfpNullBit, {}},
    {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/payments.dbf", "CREDITCARD", Why::VfpNullBit, {}},
    {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/payments.dbf", "CARDHOLDER", Why::VfpNullBit, {}},
    {"albfernandez__javadbf/src/test/resources/fixtures/foxpro-xsource/payments.dbf", "CREDITCAR3", Why::VfpNullBit, {}},
    {"infused__dbf/spec/fixtures/dbase_32.dbf", "NAME", Why::VfpVarLength, {}},
};

}  // namespace tavrinth::test
