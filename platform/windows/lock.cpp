#include "platform/lock.h"

#include <windows.h>

namespace kel::platform {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "an SRW lock is one pointer-sized word");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "a condition variable is one pointer-sized word");

PSRWLOCK Srw(void** word) {
    return reinterpret_cast<PSRWLOCK>(word);
}

PCONDITION_VARIABLE Variable(void** word) {
    return reinterpret_cast<PCONDITION_VARIABLE>(word);
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

void Condition::Wait(Lock& lock) {
    // Fails only with a time-out, and none is given.
    SleepConditionVariableSRW(Variable(&condition_), Srw(&lock.srw_), INFINITE, 0);
}

void Condition::NotifyAll() noexcept {
    WakeAllConditionVariable(Variable(&condition_));
}

}  // namespace kel::platform
