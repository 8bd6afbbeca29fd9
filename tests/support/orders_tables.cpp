#include "orders_tables.h"

#include "field_value.h"
#include "file_io.h"
#include "table_writer.h"

namespace tavrinth::test {
namespace {

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
    spec.fields = {{"OrderNo", '+'}, {"Customer", 'A', 30}};
    spec.checks = {requiredCheck("Customer")};
    if (!customerDefault.empty()) {
        spec.checks[0].defaultKind = BoundKind::Value;
        spec.checks[0].defaultValue = textValue(customerDefault);
    }
    IndexSpec byCustomer;
    byCustomer.name = "ByCustomer";
    byCustomer.fields = {"Customer"};

    switch (which) {
        case OrdersTable::Shipping: {
            spec.fields.push_back({"Shipped", 'D'});
            CheckSpec shipped;
            shipped.field = "Shipped";
            shipped.defaultKind = BoundKind::Today;
            shipped.minKind = BoundKind::Value;
            shipped.minValue = dateValue(1990, 1, 1);
            spec.checks.push_back(shipped);
            byCustomer.fields.push_back("Shipped");
            break;
        }
        case OrdersTable::Amounts: {
            spec.fields.push_back({"Amount", '$'});
            spec.fields.push_back({"Shipped", 'D'});
            spec.checks.push_back(defaultCheck("Amount", floatValue(0)));
            byCustomer.fields.push_back("Shipped");
            break;
        }
        case OrdersTable::Quantity: {
            spec.fields.push_back({"Qty", 'S'});
            spec.checks.push_back(defaultCheck("Qty", integerValue(1)));
            break;
        }
    }
    spec.indexes = {byCustomer};
    const std::string path = joinPath(folder, "Orders.DB");
    createTable(path, spec);
    return path;
}

}  // namespace tavrinth::test
