// The system's number for the calling thread.
#pragma once

namespace kel::platform {

// The identifier the system shows for this thread (the kernel's thread id).
unsigned long CurrentThreadId();

}  // namespace kel::platform
