#include "platform/thread_id.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kel::platform {

unsigned long CurrentThreadId() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

}  // namespace kel::platform
