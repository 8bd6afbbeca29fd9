#pragma once
// Shared pieces of changing records in place.

#include <string>

#include "field_value.h"
#include "file_io.h"

namespace tavrinth {

// Whether another process holds a lock on any byte of the file (the old engines lock records and
// the header with byte-range locks); the reason, or empty.
std::string foreignLockReason(const std::string& path);

// Compares two values of the same field: <0, 0, >0; `comparable` is false when they cannot be
// compared (different kinds, NULL).
int compareValues(const FieldValue& a, const FieldValue& b, bool& comparable);

// Today's date as a day number, and the current time of day in milliseconds (local time).
std::int64_t todayDayNumber();
std::int64_t nowMilliseconds();

namespace testing {
// Called at the stages of writing a change ("before-write", "after-write"), for the tests that
// kill a process in the middle of a change. Null (the default) does nothing.
void setUpdateHook(void (*hook)(const char* stage));
void runUpdateHook(const char* stage);
}  // namespace testing

}  // namespace tavrinth
