#include <io.h>

#include "report/report.h"

namespace ruxtrap {

namespace {
// Locks at 2^62 lie beyond the end of any log, so they never block the
// writes of a process that does not hold them.
constexpr DWORD kLockOffsetHigh = 0x40000000;
constexpr DWORD kLockPollMs = 10;
}  // namespace

bool LockLogForReport(FILE* log) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(log)));
  if (file == INVALID_HANDLE_VALUE) return false;
  const DWORD start = GetTickCount();
  for (;;) {
    OVERLAPPED at = {};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount() - start >= kLogLockWaitMs) return false;
    Sleep(kLockPollMs);
  }
}

LogFileHolder::LogFileHolder(FILE* file) : file_(file), onFault_(&LogFileHolder::CloseOnFault, this) {}

LogFileHolder::~LogFileHolder() { Close(); }

void LogFileHolder::Close() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
}

void LogFileHolder::CloseOnFault(void* self) { static_cast<LogFileHolder*>(self)->Close(); }

}  // namespace ruxtrap
