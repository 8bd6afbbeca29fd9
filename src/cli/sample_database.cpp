#include "sample_database.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "byte_order.h"
#include "engine_error.h"
#include "file_io.h"

namespace tavrinth {

namespace {

// --- values -------------------------------------------------------------------------------------

FieldValue S(const std::string& text) { return textValue(text); }
FieldValue I(std::int64_t i) { return integerValue(i); }
FieldValue F(double d) { return floatValue(d); }
FieldValue B(bool b) { return booleanValue(b); }
FieldValue D(int y, int m, int d) { return dateValue(y, m, d); }
FieldValue T(int h, int m, int s = 0) { return timeValue(h, m, s); }
FieldValue TS(int y, int mo, int d, int h, int mi, int s = 0) { return dateTimeValue(y, mo, d, h, mi, s); }
FieldValue Bcd(const std::string& text) { return bcdValue(text); }
FieldValue Bin(const std::string& bytes) { return binaryValue(bytes); }
FieldValue Null() { return FieldValue(); }

IndexSpec index(const std::string& name, std::vector<std::string> fields, bool caseInsensitive = false,
                bool descending = false) {
    IndexSpec i;
    i.name = name;
    i.fields = std::move(fields);
    i.caseInsensitive = caseInsensitive;
    i.descending = descending;
    return i;
}

CheckSpec check(const std::string& field) {
    CheckSpec c;
    c.field = field;
    return c;
}
CheckSpec required(const std::string& field) {
    CheckSpec c = check(field);
    c.required = true;
    return c;
}
CheckSpec withDefault(CheckSpec c, const FieldValue& v) {
    c.defaultKind = BoundKind::Value;
    c.defaultValue = v;
    return c;
}
CheckSpec withToday(CheckSpec c) {
    c.defaultKind = BoundKind::Today;
    return c;
}
CheckSpec withRange(CheckSpec c, const FieldValue& min, const FieldValue& max) {
    if (!min.isNull()) {
        c.minKind = BoundKind::Value;
        c.minValue = min;
    }
    if (!max.isNull()) {
        c.maxKind = BoundKind::Value;
        c.maxValue = max;
    }
    return c;
}

// A small picture for the graphic field: a 24-bit Windows bitmap, width x height, bottom-up rows
// of blue-green-red pixels padded to four bytes.
std::string bitmap(int width, int height, std::uint8_t hue) {
    const int rowBytes = (width * 3 + 3) / 4 * 4;
    const int imageBytes = rowBytes * height;
    std::string bmp(static_cast<std::size_t>(54 + imageBytes), '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(bmp.data());
    p[0] = 'B';
    p[1] = 'M';
    storeLE32(p + 2, static_cast<std::uint32_t>(bmp.size()));
    storeLE32(p + 10, 54);
    storeLE32(p + 14, 40);
    storeLE32(p + 18, static_cast<std::uint32_t>(width));
    storeLE32(p + 22, static_cast<std::uint32_t>(height));
    storeLE16(p + 26, 1);
    storeLE16(p + 28, 24);
    storeLE32(p + 34, static_cast<std::uint32_t>(imageBytes));
    storeLE32(p + 38, 2835);
    storeLE32(p + 42, 2835);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = p + 54 + y * rowBytes + x * 3;
            const bool frame = x < 2 || y < 2 || x >= width - 2 || y >= height - 2;
            const bool mark = (x - width / 2) * (x - width / 2) + (y - height / 2) * (y - height / 2) < height * height / 9;
            px[0] = frame ? 40 : static_cast<std::uint8_t>(hue + x * 3);
            px[1] = frame ? 40 : static_cast<std::uint8_t>(mark ? 220 : 120 + y * 2);
            px[2] = frame ? 40 : static_cast<std::uint8_t>(mark ? 60 : 255 - hue);
        }
    return bmp;
}

// --- the Paradox tables -------------------------------------------------------------------------

SampleTable customers() {
    SampleTable t{"CUSTOMER.DB", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.codePage = "CP1252";
    s.fields = {columnSpec("CustNo", '+'),         columnSpec("Company", 'A', 40),  columnSpec("Contact", 'A', 30),
                columnSpec("Street", 'A', 40),     columnSpec("City", 'A', 25),     columnSpec("Country", 'A', 20),
                columnSpec("Phone", 'A', 20),      columnSpec("Since", 'D'),        columnSpec("Credit Limit", '$'),
                columnSpec("Notes", 'M', 30)};
    s.keyFields = 1;
    s.indexes = {index("Company", {"Company"}), index("ByCountryCity", {"Country", "City"}, true)};
    s.checks = {required("Company"), withToday(check("Since")),
                withRange(withDefault(check("Credit Limit"), F(5000)), F(0), F(250000))};
    const std::string longNote =
        "Prefers delivery before noon.\r\nInvoices go to the head office in Hamburg; the warehouse in "
        "Harburg takes the goods. Call ahead for deliveries over 500 kg: the loading bay is shared with "
        "the neighbouring printer and is booked by the hour.\r\nPayment: 30 days net, 2 % discount within 10 days.";
    s.records = {
        {Null(), S("Müller & Söhne GmbH"), S("Jürgen Müller"), S("Große Elbstraße 14"), S("Hamburg"), S("Germany"),
         S("+49 40 3190 220"), D(1994, 3, 14), F(50000), S(longNote)},
        {Null(), S("Café Olé"), S("Inès Laurent"), S("12, rue de la Pépinière"), S("Lyon"), S("France"),
         S("+33 4 72 10 55 01"), D(1997, 11, 2), F(8000), S("Small orders, every week.")},
        {Null(), S("Åbo Bokhandel"), S("Åsa Lindqvist"), S("Slottsgatan 31"), S("Turku"), S("Finland"),
         S("+358 2 274 1100"), D(2001, 6, 30), F(12500), Null()},
        {Null(), S("Northwind Outfitters"), S("Dana Whitfield"), S("400 Harbor Way"), S("Seattle"), S("USA"),
         S("+1 206 555 0134"), D(1999, 1, 18), F(100000), S("Key account since the 1999 trade fair.")},
        {Null(), S("Ferretería El Puño"), S("José Ibáñez"), S("Calle Mayor 8"), S("Zaragoza"), S("Spain"),
         S("+34 976 30 12 45"), D(2003, 9, 9), F(3000), Null()},
        {Null(), S("Kowalski Hurt"), S("Tomasz Kowalski"), S("ul. Mariacka 5"), S("Gdansk"), S("Poland"),
         S("+48 58 301 22 10"), D(2005, 4, 21), F(15000), S("Pays in EUR.")},
        {Null(), S("Sørensen Marine"), S("Bjørn Sørensen"), S("Havnegade 3"), S("Aarhus"), S("Denmark"),
         S("+45 86 12 34 56"), D(1996, 8, 5), F(40000), S("Needs stainless steel only.")},
        {Null(), S("Outback Supplies Pty"), S("Kylie O'Brien"), S("77 Stuart Hwy"), S("Darwin"), S("Australia"),
         S("+61 8 8981 0001"), D(2008, 2, 29), F(0), Null()},
    };
    return t;
}

SampleTable parts() {
    SampleTable t{"PARTS.DB", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.codePage = "CP1252";
    s.fields = {columnSpec("PartNo", 'A', 10),  columnSpec("Description", 'A', 40), columnSpec("Category", 'A', 15),
                columnSpec("Unit Price", '$'),  columnSpec("In Stock", 'S'),        columnSpec("Weight kg", 'N'),
                columnSpec("Discontinued", 'L'), columnSpec("Picture", 'G', 10),    columnSpec("Datasheet", 'B', 10)};
    s.keyFields = 1;
    s.indexes = {index("Category", {"Category"})};
    s.checks = {required("Description"), withRange(check("Unit Price"), F(0), Null()),
                withRange(withDefault(check("In Stock"), I(0)), I(0), I(30000)),
                withDefault(check("Discontinued"), B(false))};
    const std::string sheet = std::string("%PDF-1.1\n% sample datasheet\n") + std::string(700, '\x17');
    s.records = {
        {S("A-100"), S("Anchor shackle, galvanised, 10 mm"), S("Marine"), F(4.95), I(340), F(0.21), B(false),
         Bin(bitmap(48, 32, 30)), Null()},
        {S("A-120"), S("Anchor shackle, stainless, 12 mm"), S("Marine"), F(12.4), I(85), F(0.33), B(false),
         Bin(bitmap(48, 32, 90)), Bin(sheet)},
        {S("B-200"), S("Brass hinge 75 mm (pair)"), S("Hardware"), F(6.5), I(1200), F(0.12), B(false), Null(), Null()},
        {S("C-310"), S("Cable tie 300 mm, black (100)"), S("Electrical"), F(3.2), I(4000), F(0.4), B(false), Null(),
         Null()},
        {S("D-050"), S("Drill bit set HSS, 19 pieces"), S("Tools"), F(18.75), I(60), F(0.9), B(false),
         Bin(bitmap(64, 48, 150)), Null()},
        {S("E-777"), S("Extension lead 10 m, 3 sockets"), S("Electrical"), F(14.99), I(0), F(1.6), B(true), Null(),
         Null()},
        {S("G-410"), S("Garden hose ½\", 25 m"), S("Garden"), F(22.5), I(150), F(3.1), B(false), Null(), Null()},
        {S("H-001"), S("Hammer, claw, 450 g"), S("Tools"), F(9.9), I(210), F(0.62), B(false), Null(), Null()},
    };
    return t;
}

SampleTable orders() {
    SampleTable t{"ORDERS.DB", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.codePage = "CP1252";
    s.fields = {columnSpec("OrderNo", 'I'),  columnSpec("CustNo", 'I'),    columnSpec("Order Date", 'D'), columnSpec("Ship Date", 'D'),
                columnSpec("Ship Time", 'T'), columnSpec("Status", 'A', 12), columnSpec("Total", '$'),      columnSpec("Paid At", '@')};
    s.keyFields = 1;
    s.indexes = {index("CustNo", {"CustNo"}), index("ByCustomerDate", {"CustNo", "Order Date"}, false, true)};
    s.checks = {required("CustNo"), withToday(required("Order Date")), withDefault(check("Status"), S("Open")),
                withRange(check("Total"), F(0), Null())};
    s.records = {
        {I(1001), I(1), D(2024, 1, 8), D(2024, 1, 10), T(9, 30), S("Shipped"), F(1288.5), TS(2024, 2, 6, 14, 2, 11)},
        {I(1002), I(2), D(2024, 1, 9), D(2024, 1, 9), T(16, 45), S("Shipped"), F(96.0), TS(2024, 1, 20, 10, 0)},
        {I(1003), I(4), D(2024, 1, 15), D(2024, 1, 22), T(8, 0), S("Shipped"), F(15420.75), Null()},
        {I(1004), I(1), D(2024, 2, 1), Null(), Null(), S("Open"), F(412.0), Null()},
        {I(1005), I(7), D(2024, 2, 3), D(2024, 2, 5), T(11, 15, 30), S("Shipped"), F(2760.0), TS(2024, 3, 1, 9, 41, 5)},
        {I(1006), I(3), D(2024, 2, 14), Null(), Null(), S("Back order"), F(58.4), Null()},
        {I(1007), I(5), D(2024, 2, 20), D(2024, 2, 27), T(13, 0), S("Shipped"), F(330.0), TS(2024, 3, 28, 17, 30)},
        {I(1008), I(6), D(2024, 3, 2), Null(), Null(), S("Cancelled"), F(0), Null()},
    };
    return t;
}

SampleTable items() {
    SampleTable t{"ITEMS.DB", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.codePage = "CP1252";
    s.fields = {columnSpec("OrderNo", 'I'), columnSpec("ItemNo", 'S'), columnSpec("PartNo", 'A', 10), columnSpec("Qty", 'S'),
                columnSpec("Unit Price", '$'), columnSpec("Discount %", '#', 0, 2)};
    s.keyFields = 2;
    s.indexes = {index("PartNo", {"PartNo"})};
    s.checks = {required("PartNo"), withRange(withDefault(check("Qty"), I(1)), I(1), I(9999))};
    s.records = {
        {I(1001), I(1), S("A-120"), I(50), F(12.4), Bcd("5.00")},  {I(1001), I(2), S("B-200"), I(100), F(6.5), Bcd("0.00")},
        {I(1002), I(1), S("C-310"), I(30), F(3.2), Bcd("0.00")},   {I(1003), I(1), S("A-100"), I(2000), F(4.95), Bcd("12.50")},
        {I(1003), I(2), S("D-050"), I(300), F(18.75), Bcd("10.00")}, {I(1004), I(1), S("H-001"), I(40), F(9.9), Bcd("0.00")},
        {I(1005), I(1), S("A-120"), I(200), F(12.4), Bcd("7.50")}, {I(1006), I(1), S("E-777"), I(4), F(14.6), Bcd("0.00")},
        {I(1007), I(1), S("G-410"), I(12), F(22.5), Bcd("0.00")},  {I(1007), I(2), S("H-001"), I(6), F(9.9), Bcd("0.00")},
    };
    return t;
}

// A table of a Russian branch, in the DOS Cyrillic code page, at level 5.
SampleTable branches() {
    SampleTable t{"BRANCHES.DB", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::Paradox;
    s.level = 5;
    s.codePage = "CP866";
    s.blockSizeKB = 2;
    s.fields = {columnSpec("BranchNo", 'S'), columnSpec("Name", 'A', 30), columnSpec("City", 'A', 20), columnSpec("Opened", 'D'),
                columnSpec("Staff", 'S')};
    s.keyFields = 1;
    s.records = {
        {I(1), S("Главный склад"), S("Москва"), D(1995, 5, 15), I(42)},
        {I(2), S("Северо-Западный филиал"), S("Санкт-Петербург"), D(1998, 9, 1), I(17)},
        {I(3), S("Уральский филиал"), S("Екатеринбург"), D(2002, 3, 11), I(9)},
        {I(4), S("Сибирский филиал"), S("Новосибирск"), D(2006, 10, 2), I(6)},
    };
    return t;
}

// Salaries are kept in an encrypted table (password: kSamplePassword).
SampleTable salaries() {
    SampleTable t{"SALARIES.DB", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::Paradox;
    s.level = 7;
    s.codePage = "CP1252";
    s.password = kSamplePassword;
    s.fields = {columnSpec("EmpNo", 'S'), columnSpec("Name", 'A', 30), columnSpec("Monthly", '$'), columnSpec("Since", 'D')};
    s.keyFields = 1;
    s.records = {
        {I(1), S("Renate Vogel"), F(4850), D(1994, 1, 1)},
        {I(2), S("Pierre Dubois"), F(4120.5), D(1999, 4, 15)},
        {I(3), S("Aino Virtanen"), F(3975), D(2004, 8, 1)},
    };
    return t;
}

// --- the dBase tables ----------------------------------------------------------------------------

SampleTable suppliers() {
    SampleTable t{"SUPPLIER.DBF", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::DBase;
    s.level = 3;
    s.codePage = "CP437";
    s.fields = {columnSpec("SUPPNO", 'N', 6), columnSpec("NAME", 'C', 30), columnSpec("CITY", 'C', 20), columnSpec("PHONE", 'C', 16),
                columnSpec("SINCE", 'D'),     columnSpec("ACTIVE", 'L'),   columnSpec("RATING", 'N', 4, 1), columnSpec("NOTES", 'M', 10)};
    s.records = {
        {I(501), S("Eisenwerk Köln AG"), S("Köln"), S("+49 221 400 100"), D(1991, 5, 2), B(true), F(4.5),
         S("Forged parts.\r\nMinimum order 200 pieces.")},
        {I(502), S("Nordic Steel Oy"), S("Oulu"), S("+358 8 551 2000"), D(1996, 2, 19), B(true), F(4.0), Null()},
        {I(503), S("Ärztebedarf Straßmann"), S("Graz"), S("+43 316 82 11"), D(2000, 7, 7), B(false), F(2.5),
         S("No longer used since the merger; kept for the old invoices.")},
        {I(504), S("Pacific Fasteners Inc."), S("Oakland"), S("+1 510 555 0199"), D(2004, 11, 30), B(true), F(3.5),
         S("Ships from Oakland; customs broker: Bay Freight.")},
    };
    return t;
}

SampleTable stock() {
    SampleTable t{"STOCK.DBF", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::DBase;
    s.level = 4;
    s.codePage = "CP1252";
    s.fields = {columnSpec("PARTNO", 'C', 10), columnSpec("WAREHOUSE", 'C', 10), columnSpec("QTY", 'N', 8), columnSpec("VALUE", 'N', 12, 2),
                columnSpec("COUNTED", 'D'),    columnSpec("REMARK", 'M', 10)};
    IndexSpec byPlace = index("PLACE", {});
    byPlace.expression = "WAREHOUSE+PARTNO";
    s.indexes = {index("PARTNO", {"PARTNO"}), index("WAREHOUSE", {"WAREHOUSE"}), byPlace};
    s.records = {
        {S("A-100"), S("HAMBURG"), I(300), F(1485.0), D(2024, 1, 31), Null()},
        {S("A-100"), S("LYON"), I(40), F(198.0), D(2024, 1, 31), Null()},
        {S("A-120"), S("HAMBURG"), I(85), F(1054.0), D(2024, 1, 31), S("Two boxes damaged in transit.")},
        {S("B-200"), S("HAMBURG"), I(1200), F(7800.0), D(2024, 2, 1), Null()},
        {S("D-050"), S("LYON"), I(60), F(1125.0), D(2024, 2, 1), Null()},
        {S("G-410"), S("SEATTLE"), I(150), F(3375.0), D(2024, 2, 2), S("Summer stock.")},
    };
    return t;
}

SampleTable events() {
    SampleTable t{"EVENTS.DBF", {}};
    TableSpec& s = t.spec;
    s.format = TableFormat::DBase;
    s.level = 7;
    s.codePage = "CP1252";
    s.fields = {columnSpec("EVENT_ID", '+'), columnSpec("TITLE", 'C', 40), columnSpec("STARTS", '@'), columnSpec("ATTENDEES", 'I'),
                columnSpec("BUDGET", 'O'),   columnSpec("CONFIRMED", 'L'), columnSpec("NOTES", 'M', 10)};
    s.checks = {required("TITLE"), withRange(withDefault(check("ATTENDEES"), I(0)), I(0), I(100000))};
    s.records = {
        {Null(), S("Spring trade fair, Hannover"), TS(2024, 4, 22, 9, 0), I(12000), F(18500.0), B(true),
         S("Stand B14 in hall 6.")},
        {Null(), S("Customer day, Lyon"), TS(2024, 5, 16, 14, 30), I(85), F(2300.5), B(true), Null()},
        {Null(), S("Stocktaking, all warehouses"), TS(2024, 6, 28, 7, 0), I(0), F(0.0), B(false),
         S("Warehouses closed for deliveries on that day.")},
    };
    return t;
}

void makeFolder(const std::string& folder) {
    if (isDirectory(folder)) return;
    const std::string parent = folderPart(folder);
    if (parent != folder && !parent.empty() && parent != "." && parent != "/") makeFolder(parent);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        throw EDBEngineError(EDBEngineError::Code::Io, "Cannot create folder " + folder + ": " + std::strerror(errno));
}

}  // namespace

std::vector<SampleTable> sampleTables() {
    return {customers(), parts(), orders(), items(), branches(), salaries(), suppliers(), stock(), events()};
}

void writeSampleDatabase(const std::string& folder) {
    makeFolder(folder);
    for (const SampleTable& t : sampleTables()) createTable(joinPath(folder, t.fileName), t.spec);
}

}  // namespace tavrinth
