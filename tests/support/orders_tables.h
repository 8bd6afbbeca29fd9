#pragma once
// Three small Paradox tables, each named Orders.DB, that the structure reports are checked on:
// written with the engine's own writer into a folder of the caller's.
//
//   Shipping  OrderNo (+), Customer (A30, required), Shipped (D, default today, minimum
//             1 January 1990); 38-byte records.
//   Amounts   OrderNo (+), Customer (A30, required), Amount ($, default 0), Shipped (D).
//   Quantity  OrderNo (+), Customer (A30, required), Qty (S, default 1).
//
// Each has its primary index on OrderNo and a secondary index named ByCustomer: on
// Customer;Shipped for the first two, on Customer alone for the third.

#include <string>

namespace tavrinth::test {

enum class OrdersTable { Shipping, Amounts, Quantity };

// Writes Orders.DB (with .PX, the ByCustomer index files and .VAL) into `folder`, which must not
// hold one yet; returns the path of the .DB. A non-empty `customerDefault` gives the required
// Customer field that default as well.
std::string writeOrdersTable(const std::string& folder, OrdersTable which, const std::string& customerDefault = {});

}  // namespace tavrinth::test
