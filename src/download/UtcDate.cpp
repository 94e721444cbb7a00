#include "download/UtcDate.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<UtcTodayHook> g_hook{nullptr};

// Days from 1970-01-01 to a civil date and back (the proleptic Gregorian calendar's 400-year
// cycle of 146097 days; years counted from March, so that the leap day ends a year).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (month <= 2));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

uint32_t SystemToday() {
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    // FILETIME counts 100 ns from 1601-01-01, 134774 days before 1970-01-01.
    const uint64_t days = ticks / (10000000ull * 86400ull);
    return days < 134774 ? 0 : static_cast<uint32_t>(days - 134774);
}

}  // namespace

bool DayOfDate(int year, int month, int day, uint32_t& out) {
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    out = static_cast<uint32_t>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)));
    return true;
}

bool ParseUtcDate(const char* text, uint32_t& out) {
    if (!text) return false;
    int fields[3] = {};
    const int widths[3] = {4, 2, 2};
    const char* p = text;
    for (int f = 0; f < 3; ++f) {
        if (f > 0 && *p++ != '-') return false;
        for (int i = 0; i < widths[f]; ++i, ++p) {
            if (*p < '0' || *p > '9') return false;
            fields[f] = fields[f] * 10 + (*p - '0');
        }
    }
    if (*p != '\0') return false;
    return DayOfDate(fields[0], fields[1], fields[2], out);
}

std::string FormatUtcDate(uint32_t day) {
    int y = 0, m = 0, d = 0;
    CivilFromDays(day, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d", y, m, d);
    return buf;
}

uint32_t UtcToday() {
    const UtcTodayHook hook = g_hook.load();
    return hook ? hook() : SystemToday();
}

UtcTodayHook SetUtcTodayHook(UtcTodayHook hook) { return g_hook.exchange(hook); }
