#include "platform/clock.h"

#include <time.h>

namespace kel::platform {

LocalTime LocalTimeNow() {
    timespec now{};
    tm local{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || localtime_r(&now.tv_sec, &local) == nullptr) {
        return {};
    }
    LocalTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.weekday = local.tm_wday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    time.millisecond = static_cast<int>(now.tv_nsec / 1000000L);
    return time;
}

std::optional<std::int64_t> SecondsOfLocalTime(const LocalTime& time) {
    static_assert(sizeof(time_t) >= 8, "a 32-bit time_t ends in 2038");
    tm fields = CalendarFields(time);
    const time_t seconds = mktime(&fields);
    if (seconds == static_cast<time_t>(-1)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(seconds);
}

}  // namespace kel::platform
