#include "toolkit/datetime.h"

#include "toolkit/exceptions.h"

#include <windows.h>

namespace {

bool IsLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days from 1 January of year 1 to the given date (proleptic Gregorian).
long long DaysFromYearOne(int y, int m, int d) {
    static const int before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    long long py = y - 1;
    long long days = py * 365 + py / 4 - py / 100 + py / 400;
    days += before[m - 1] + (m > 2 && IsLeapYear(y) ? 1 : 0);
    return days + d - 1;
}

} // namespace

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result) {
    static const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1)
        return false;
    int length = lengths[Month - 1] + (Month == 2 && IsLeapYear(Year) ? 1 : 0);
    if (Day > length)
        return false;
    Result = static_cast<double>(DaysFromYearOne(Year, Month, Day) - DaysFromYearOne(1899, 12, 30));
    return true;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result) {
    if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 ||
        MSec > 999)
        return false;
    Result = (((Hour * 60.0 + Min) * 60.0 + Sec) * 1000.0 + MSec) / 86400000.0;
    return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
    TDateTime r;
    if (!TryEncodeDate(Year, Month, Day, r))
        throw EConvertError(L"Invalid argument to date encode");
    return r;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
    TDateTime r;
    if (!TryEncodeTime(Hour, Min, Sec, MSec, r))
        throw EConvertError(L"Invalid argument to time encode");
    return r;
}

double ClockMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMs;
}
