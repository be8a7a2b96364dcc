#include "platform/lock.h"

#include <windows.h>

namespace kel::platform {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRW lock is one pointer-sized word");

PSRWLOCK Srw(void** word) {
    return reinterpret_cast<PSRWLOCK>(word);
}

}  // namespace

void Lock::lock() {
    AcquireSRWLockExclusive(Srw(&srw_));
}

void Lock::unlock() {
    ReleaseSRWLockExclusive(Srw(&srw_));
}

bool Lock::try_lock() {
    return TryAcquireSRWLockExclusive(Srw(&srw_)) != 0;
}

}  // namespace kel::platform
