#include "support/crash_lock.h"

#include "support/process_ending.h"

namespace ruxtrap {

CrashLock::CrashLock() : section_(&storage_) {
  InitializeCriticalSection(section_);
}

// When the process is ending the section is left as it is: deleting it
// frees its debug data from the process heap, which the crash may have
// damaged, and the report that ends the process still holds it.
CrashLock::~CrashLock() {
  if (ProcessIsEnding()) return;
  if (section_ != nullptr) DeleteCriticalSection(section_);
  section_ = nullptr;
}

// After destruction (a crash during unload) there is no section to serialise
// with; the report then runs unserialised rather than faulting.
void CrashLock::Enter() {
  if (section_ == nullptr) return;
  EnterCriticalSection(section_);
}

bool CrashLock::TryEnter() { return section_ == nullptr || TryEnterCriticalSection(section_) != FALSE; }

void CrashLock::Leave() {
  if (section_ == nullptr) return;
  LeaveCriticalSection(section_);
}

// LockCount is -1 while no thread holds the section.
bool CrashLock::IsLocked() const {
  return section_ != nullptr && section_->LockCount != -1;
}

namespace {
CrashLock crashLock;
}  // namespace

CrashLock& TheCrashLock() { return crashLock; }

CrashLockGuard::CrashLockGuard(CrashLock& lock)
    : lock_(lock), held_(false), onFault_(&CrashLockGuard::LeaveOnFault, this) {
  lock_.Enter();
  held_ = true;
}

CrashLockGuard::~CrashLockGuard() { LeaveOnce(); }

void CrashLockGuard::LeaveOnFault(void* self) { static_cast<CrashLockGuard*>(self)->LeaveOnce(); }

void CrashLockGuard::LeaveOnce() {
  if (!held_) return;
  held_ = false;
  lock_.Leave();
}

}  // namespace ruxtrap
