#include "platform/clock.h"

#include <windows.h>

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

}  // namespace kel::platform
