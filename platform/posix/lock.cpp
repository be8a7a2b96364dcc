#include "platform/lock.h"

namespace kel::platform {

void Lock::lock() {
    mutex_.lock();
}

void Lock::unlock() {
    mutex_.unlock();
}

bool Lock::try_lock() {
    return mutex_.try_lock();
}

}  // namespace kel::platform
