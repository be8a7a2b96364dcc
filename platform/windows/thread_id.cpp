#include "platform/thread_id.h"

#include <windows.h>

namespace kel::platform {

unsigned long CurrentThreadId() {
    return GetCurrentThreadId();
}

}  // namespace kel::platform
