#include "platform/clock.h"

#include <windows.h>

#include <time.h>

namespace kel::platform {

LocalTime LocalTimeNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    LocalTime time;
    time.year = now.wYear;
    time.month = now.wMonth;
    time.day = now.wDay;
    time.weekday = now.wDayOfWeek;
    time.hour = now.wHour;
    time.minute = now.wMinute;
    time.second = now.wSecond;
    time.millisecond = now.wMilliseconds;
    return time;
}

std::optional<std::int64_t> SecondsOfLocalTime(const LocalTime& time) {
    // The 64-bit form: the runtime's mktime of a 32-bit build ends on 2038-01-19.
    tm fields = CalendarFields(time);
    const __time64_t seconds = _mktime64(&fields);
    if (seconds == -1) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds);
}

}  // namespace kel::platform
