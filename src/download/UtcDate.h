// Calendar dates in UTC as day numbers (days since 1970-01-01), the form a release's expiry
// takes in its signed trailer, and today's day number from the system clock. The clock is read
// through a hook, so that tests can set the day.
#pragma once
#include <cstdint>
#include <string>

// The day number of a date of the proleptic Gregorian calendar. False for a date that does
// not exist (month 13, February 30) or lies outside 1970-01-01 to 9999-12-31.
bool DayOfDate(int year, int month, int day, uint32_t& out);
// "YYYY-MM-DD", exactly ten characters, a date that exists. False (out untouched) otherwise.
bool ParseUtcDate(const char* text, uint32_t& out);
// "YYYY-MM-DD" of a day number.
std::string FormatUtcDate(uint32_t day);

// Today's day number in UTC, from the hook when one is set, otherwise from the system clock.
uint32_t UtcToday();
using UtcTodayHook = uint32_t (*)();
// Sets the hook (null: the system clock again) and gives back the one before.
UtcTodayHook SetUtcTodayHook(UtcTodayHook hook);
