// The local wall-clock time.
#pragma once

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

}  // namespace kel::platform
