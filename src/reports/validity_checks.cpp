#include "validity_checks.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "byte_order.h"
#include "engine_api.h"
#include "table.h"

namespace tavrinth {

namespace {

std::string twelveHourText(std::uint16_t hour, std::uint16_t minute, std::uint16_t milliseconds) {
    const unsigned seconds = milliseconds / 1000u;
    char buf[32];
    if (hour >= 12)
        std::snprintf(buf, sizeof buf, "%u:%u:%u PM", hour - 12u, static_cast<unsigned>(minute), seconds);
    else
        std::snprintf(buf, sizeof buf, "%u:%u:%u AM", static_cast<unsigned>(hour), static_cast<unsigned>(minute), seconds);
    return buf;
}

std::string dateText(DBIDATE date) {
    std::uint16_t month = 0, day = 0;
    std::int16_t year = 0;
    Check(DbiDateDecode(date, month, day, year));
    return std::to_string(month) + "/" + std::to_string(day) + "/" + std::to_string(year);
}

std::string timeText(DBITIME time) {
    std::uint16_t hour = 0, minute = 0, ms = 0;
    Check(DbiTimeDecode(time, hour, minute, ms));
    return twelveHourText(hour, minute, ms);
}

}  // namespace

std::string GeneralFloatText(double value, const std::string& decimalSeparator) {
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return "0";
    // Fifteen significant digits, rounded: d.dddddddddddddde[+-]x
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    std::string s = buf;
    std::string sign;
    if (s[0] == '-') {
        sign = "-";
        s.erase(0, 1);
    }
    const auto e = s.find('e');
    const int exponent = std::atoi(s.c_str() + e + 1);
    std::string digits = s.substr(0, 1) + s.substr(2, e - 2);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int n = static_cast<int>(digits.size());
    std::string out = sign;
    if (exponent <= 14 && exponent >= -5) {
        if (exponent < 0) {
            out += "0" + decimalSeparator + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        } else if (exponent + 1 >= n) {
            out += digits + std::string(static_cast<std::size_t>(exponent + 1 - n), '0');
        } else {
            out += digits.substr(0, static_cast<std::size_t>(exponent + 1)) + decimalSeparator +
                   digits.substr(static_cast<std::size_t>(exponent + 1));
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (n > 1) out += decimalSeparator + digits.substr(1);
    out += "E" + std::to_string(exponent);
    return out;
}

std::string NativeValueText(const std::uint8_t* area, std::uint16_t typeCode, const std::string& decimalSeparator) {
    std::uint8_t v[256];
    std::memcpy(v, area, sizeof v);
    switch (typeCode) {
        case fld::ZSTRING: {
            std::size_t n = 0;
            while (n < sizeof v && v[n] != 0) ++n;
            return std::string(reinterpret_cast<const char*>(v), n);
        }
        case fld::DATE: {
            const auto date = static_cast<std::int32_t>(loadLE32(v));
            if (date < 0) return "TODAY";
            return dateText(date);
        }
        case fld::BOOL: return v[0] != 0 ? "True" : "False";
        case fld::INT16: return std::to_string(static_cast<std::int16_t>(loadLE16(v)));
        case fld::INT32: return std::to_string(static_cast<std::int32_t>(loadLE32(v)));
        case fld::UINT32: return std::to_string(loadLE32(v));
        case fld::FLOAT: return GeneralFloatText(bitsToDouble(loadLE64(v)), decimalSeparator);
        case fld::TIME: {
            const auto time = static_cast<std::int32_t>(loadLE32(v));
            if (time < 0) return "NOW";
            return timeText(time);
        }
        case fld::TIMESTAMP: {
            const double ts = bitsToDouble(loadLE64(v));
            if (ts == 0) return "NOW";
            DBIDATE date = 0;
            DBITIME time = 0;
            Check(DbiTimeStampDecode(ts, date, time));
            std::uint16_t month = 0, day = 0, hour = 0, minute = 0, ms = 0;
            std::int16_t year = 0;
            Check(DbiDateDecode(date, month, day, year));
            Check(DbiTimeDecode(time, hour, minute, ms));
            return std::to_string(month) + "/" + std::to_string(day) + "/" + std::to_string(year) + " @ " +
                   twelveHourText(hour, minute, ms);
        }
        case fld::UINT16: return std::to_string(loadLE16(v));
        default: return std::string();
    }
}

bool GetFieldValCheck(TTable& table, TField& field, TValCheck& check, const std::string& decimalSeparator) {
    bool result = false;
    CURProps props;
    Check(DbiGetCursorProps(table.Handle(), props));
    if (props.iValChecks == 0) return false;

    hDBICur list = nullptr;
    Check(DbiOpenVchkList(table.DBHandle(), table.TableName().c_str(), props.szTableType, list));
    auto descriptors = std::make_unique<FLDDesc[]>(props.iFields);
    std::memset(descriptors.get(), 0, sizeof(FLDDesc) * props.iFields);
    // Releases the descriptors, then closes the list (a failure to close is raised), also when an
    // engine error ends the reading.
    auto cleanUp = [&]() {
        descriptors.reset();
        Check(DbiCloseCursor(list));
    };
    try {
        VCHKDesc desc;
        while (DbiGetNextRecord(list, dbiNOLOCK, &desc, nullptr) == DBIERR_NONE) {
            if (desc.iFldNum != field.Index() + 1) continue;
            result = true;
            check.Required = desc.bRequired != 0;
            check.HasDefault = desc.bHasDefVal != 0;
            check.HasMin = desc.bHasMinVal != 0;
            check.HasMax = desc.bHasMaxVal != 0;
            Check(DbiGetFieldDescs(table.Handle(), descriptors.get()));
            const std::uint16_t type = descriptors[static_cast<std::size_t>(field.Index())].iFldType;
            if (check.HasDefault) check.DefaultValue = NativeValueText(desc.aDefVal, type, decimalSeparator);
            if (check.HasMin) check.MinValue = NativeValueText(desc.aMinVal, type, decimalSeparator);
            if (check.HasMax) check.MaxValue = NativeValueText(desc.aMaxVal, type, decimalSeparator);
        }
    } catch (...) {
        descriptors.reset();
        DbiCloseCursor(list);
        throw;
    }
    cleanUp();
    return result;
}

}  // namespace tavrinth
