#pragma once
// Date-time values: a day count since 30 December 1899, the fraction the time of day.

using TDateTime = double;

// Year 1..9999, month 1..12, day 1..days of the month; else EConvertError.
TDateTime EncodeDate(int Year, int Month, int Day);
// Hour 0..23, minute and second 0..59, millisecond 0..999; else EConvertError.
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result);

// Milliseconds on the performance counter: for measuring spans, not a time of day.
double ClockMs();
