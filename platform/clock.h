// The local wall-clock time.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace kel::platform {

struct LocalTime {
    int year = 0;
    int month = 0;    // 1 to 12
    int day = 0;      // 1 to 31
    int weekday = 0;  // 0 (Sunday) to 6
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Now, in the local time zone; all zero when the system cannot tell.
LocalTime LocalTimeNow();

// Seconds since 1970 UTC of a wall-clock time in the local time zone (year, month, day, hour,
// minute, second; weekday and millisecond are not used). Fields out of their range are carried
// over as the calendar does (month 0 is December of the year before), and daylight time is as
// the calendar has it on that day. Every time from 1970 to 3000 converts, also in a 32-bit
// build; nullopt for what the system cannot represent.
std::optional<std::int64_t> SecondsOfLocalTime(const LocalTime& time);

// The calendar fields of time for the C library's conversions, daylight time left to them.
inline std::tm CalendarFields(const LocalTime& time) {
    std::tm fields{};
    fields.tm_year = time.year - 1900;
    fields.tm_mon = time.month - 1;
    fields.tm_mday = time.day;
    fields.tm_hour = time.hour;
    fields.tm_min = time.minute;
    fields.tm_sec = time.second;
    fields.tm_isdst = -1;
    return fields;
}

}  // namespace kel::platform
