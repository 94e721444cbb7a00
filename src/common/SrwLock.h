// A slim reader/writer lock used as a plain mutex (std::lock_guard takes it): under Wine it
// stays in user space when uncontended, unlike the runtime's pthread emulation.
#pragma once
#include <windows.h>

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }
    bool try_lock() { return ::TryAcquireSRWLockExclusive(&m_lock) != 0; }
    // For SleepConditionVariableSRW, with the lock held.
    SRWLOCK* native() { return &m_lock; }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};
