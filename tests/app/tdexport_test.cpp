// TdExport as the grid's data source: the model contract, rows read on demand into a bounded
// cache, the markers of memo and BLOB cells, and cell texts read back as values.

#include "tdexport_test.h"

#include <QAbstractItemModelTester>
#include <QTemporaryDir>
#include <QTest>

#include "table.h"
#include "table_writer.h"
#include "tdexport.h"

using namespace tavrinth;

void TdExportTest::readsOnlyWhatIsShownWithABoundedCache() {
    QTemporaryDir dir;
    const int rows = 20000;
    TableSpec spec;
    spec.format = TableFormat::DBase;
    spec.level = 3;
    spec.fields = {{"N", 'N', 6, 0}};
    for (int i = 0; i < rows; ++i) spec.records.push_back({integerValue(i)});
    createTable(dir.filePath("big.dbf").toStdString(), spec);

    TTable table;
    table.SetTableName(dir.filePath("big.dbf").toStdString());
    table.Open();
    TdExport model;
    model.SetDataSet(&table);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), rows);

    // The last row first: one page is read, not the table.
    const std::uint64_t atStart = model.RecordsRead();
    QCOMPARE(model.index(rows - 1, 0).data().toString(), QString::number(rows - 1));
    QVERIFY(model.RecordsRead() - atStart <= static_cast<std::uint64_t>(TdExport::kPageRows));

    // Row by row through the whole table: every record read once, the cache never above its size.
    const std::uint64_t before = model.RecordsRead();
    for (int r = 0; r < rows; ++r) {
        QCOMPARE(model.index(r, 0).data().toString(), QString::number(r));
        QVERIFY(model.CachedPages() <= TdExport::kMaxPages);
    }
    QVERIFY(model.RecordsRead() - before <= static_cast<std::uint64_t>(rows));
    const std::uint64_t walked = model.RecordsRead();
    QCOMPARE(model.index(rows - 2, 0).data().toString(), QString::number(rows - 2));
    QCOMPARE(model.RecordsRead(), walked);  // still cached

    table.Close();
    model.DataSetChanged();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.CachedPages(), 0);
}

void TdExportTest::memoAndBlobMarkers() {
    QTemporaryDir dir;
    TableSpec spec;
    spec.fields = {{"Name", 'A', 10, 0}, {"Notes", 'M', 20, 0}, {"Photo", 'G', 20, 0}, {"At", '@', 0, 0}};
    spec.records = {{textValue("one"), textValue("a long note"), binaryValue("GIF89a"), dateTimeValue(2002, 7, 15, 8, 5, 9)},
                    {textValue("two"), FieldValue(), FieldValue(), FieldValue()}};
    createTable(dir.filePath("notes.db").toStdString(), spec);
    TTable table;
    table.SetTableName(dir.filePath("notes.db").toStdString());
    table.Open();
    TdExport model;
    model.SetDataSet(&table);
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QString("Notes"));
    QCOMPARE(model.index(0, 1).data().toString(), QString("(MEMO)"));
    QCOMPARE(model.index(0, 2).data().toString(), QString("(GRAPHIC)"));
    QCOMPARE(model.index(0, 3).data().toString(), QString("2002-07-15 08:05:09"));
    QCOMPARE(model.index(1, 1).data().toString(), QString("(Memo)"));
    QCOMPARE(model.index(1, 2).data().toString(), QString("(Graphic)"));
    QCOMPARE(model.index(1, 3).data().toString(), QString());
    QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsEditable));
    QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsEditable);
}

void TdExportTest::cellTextsReadBackAsValues() {
    FieldDef stamp;
    stamp.dataType = ftDateTime;
    FieldValue v;
    std::string error;
    QVERIFY(TdExport::ValueFromCellText(stamp, "2002-07-15 08:05:09", v, error));
    QCOMPARE(TdExport::CellText(stamp, v), QString("2002-07-15 08:05:09"));
    QVERIFY(TdExport::ValueFromCellText(stamp, "  ", v, error));
    QVERIFY(v.isNull());
    QVERIFY(!TdExport::ValueFromCellText(stamp, "yesterday", v, error));
    QVERIFY(!error.empty());

    FieldDef logical;
    logical.dataType = ftBoolean;
    QVERIFY(TdExport::ValueFromCellText(logical, "true", v, error));
    QCOMPARE(TdExport::CellText(logical, v), QString("True"));

    FieldDef text;
    text.dataType = ftString;
    QVERIFY(TdExport::ValueFromCellText(text, "", v, error));
    QVERIFY(!v.isNull());  // an empty text, not NULL
    QVERIFY(TdExport::ValueFromCellText(text, "\\N", v, error));
    QCOMPARE(QString::fromStdString(v.text), QString("\\N"));
}
