// The process-wide lock that lets one crash report run at a time. What a
// report reads that InitRuxtrap may read again (where the report goes, the
// dump settings, the account that owns the process) is read by the report
// only while it holds the lock, and changed only under it.
#pragma once

#include <windows.h>

#include "support/fault_guard.h"

namespace ruxtrap {

// Its critical section lives inside the object, so it can never be missing.
class CrashLock {
 public:
  CrashLock();
  ~CrashLock();
  CrashLock(const CrashLock&) = delete;
  CrashLock& operator=(const CrashLock&) = delete;
  void Enter();
  // Enters only when no other thread holds the lock; true when entered.
  bool TryEnter();
  void Leave();
  // Whether any thread holds the lock.
  bool IsLocked() const;

 private:
  CRITICAL_SECTION storage_;
  CRITICAL_SECTION* section_;  // null once destroyed
};

CrashLock& TheCrashLock();

// Runs publish, the copy of values gathered beforehand into the place a
// report reads them from, under the report lock, unless a report holds it:
// a report in progress keeps what it found. Publish must not wait for
// anything (no heap, no other lock): nothing then keeps a report from the
// lock, not even a thread that waits in the heap the crash damaged.
template <class Publish>
bool PublishUnlessReporting(Publish&& publish) {
  CrashLock& lock = TheCrashLock();
  if (!lock.TryEnter()) return false;
  publish();
  lock.Leave();
  return true;
}

// Holds the lock for a scope. A fault that unwinds the scope under a guard
// leaves the lock too.
class CrashLockGuard {
 public:
  explicit CrashLockGuard(CrashLock& lock);
  ~CrashLockGuard();
  CrashLockGuard(const CrashLockGuard&) = delete;
  CrashLockGuard& operator=(const CrashLockGuard&) = delete;

 private:
  static void LeaveOnFault(void* self);
  void LeaveOnce();
  CrashLock& lock_;
  bool held_;
  FaultRelease onFault_;
};

}  // namespace ruxtrap
