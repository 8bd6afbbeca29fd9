#include "orders_tables.h"

#include "field_value.h"
#include "file_io.h"
#include "table_writer.h"

namespace tavrinth::test {
namespace {

ColumnSpec column(const std::string& name, char type, int size = 0) {
    ColumnSpec c;
    c.name = name;
    c.type = type;
    c.size = size;
    return c;
}

CheckSpec requiredCheck(const std::string& field) {
    CheckSpec c;
    c.field = field;
    c.required = true;
    return c;
}

CheckSpec defaultCheck(const std::string& field, const FieldValue& value) {
    CheckSpec c;
    c.field = field;
    c.defaultKind = BoundKind::Value;
    c.defaultValue = value;
    return c;
}

}  // namespace

std::string writeOrdersTable(const std::string& folder, OrdersTable which, const std::string& customerDefault) {
    TableSpec spec;
    spec.format = TableFormat::Paradox;
    spec.level = 7;
    spec.keyFields = 1;
    spec.fields = {column("OrderNo", '+'), column("Customer", 'A', 30)};
    spec.checks = {requiredCheck("Customer")};
    if (!customerDefault.empty()) {
        spec.checks[0].defaultKind = BoundKind::Value;
        spec.checks[0].defaultValue.setText(ValueKind::String);
        spec.checks[0].defaultValue.text = customerDefault;
    }
    IndexSpec byCustomer;
    byCustomer.name = "ByCustomer";
    byCustomer.fields = {"Customer"};

    switch (which) {
        case OrdersTable::Shipping: {
            spec.fields.push_back(column("Shipped", 'D'));
            CheckSpec shipped;
            shipped.field = "Shipped";
            shipped.defaultKind = BoundKind::Today;
            shipped.minKind = BoundKind::Value;
            shipped.minValue.setInteger(dayNumberFromCivil(1990, 1, 1), ValueKind::Date);
            spec.checks.push_back(shipped);
            byCustomer.fields.push_back("Shipped");
            break;
        }
        case OrdersTable::Amounts: {
            spec.fields.push_back(column("Amount", '$'));
            spec.fields.push_back(column("Shipped", 'D'));
            FieldValue zero;
            zero.setReal(0);
            spec.checks.push_back(defaultCheck("Amount", zero));
            byCustomer.fields.push_back("Shipped");
            break;
        }
        case OrdersTable::Quantity: {
            spec.fields.push_back(column("Qty", 'S'));
            FieldValue one;
            one.setInteger(1);
            spec.checks.push_back(defaultCheck("Qty", one));
            break;
        }
    }
    spec.indexes = {byCustomer};
    const std::string path = joinPath(folder, "Orders.DB");
    createTable(path, spec);
    return path;
}

}  // namespace tavrinth::test
