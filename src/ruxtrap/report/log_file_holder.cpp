#include <io.h>

#include "report/report.h"
#include "support/report_progress.h"

namespace ruxtrap {

namespace {
// Locks at 2^62 lie beyond the end of any log, so they never block the
// writes of a process that does not hold them.
constexpr DWORD kLockOffsetHigh = 0x40000000;
constexpr DWORD kLockPollMs = 10;

HANDLE OsHandleOf(FILE* log) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(log))); }

// The bytes of the log so far; -1 when they cannot be read.
LONGLONG LogSize(HANDLE file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}
}  // namespace

// A report ahead of this one writes line by line (a deep stack takes many
// seconds): the wait goes on while the log grows, and ends when it has not
// grown for kLogLockWaitMs, as when its writer hangs, or after
// kLogLockWaitLimitMs in all.
void LockLogForReport(FILE* log) {
  HANDLE file = OsHandleOf(log);
  if (file == INVALID_HANDLE_VALUE) return;
  LONGLONG seenSize = LogSize(file);
  const DWORD start = GetTickCount();
  DWORD quietSince = start;
  for (;;) {
    OVERLAPPED at = {};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) return;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return;
    const DWORD now = GetTickCount();
    const LONGLONG size = LogSize(file);
    if (size != seenSize) {
      seenSize = size;
      quietSince = now;
    }
    if (now - quietSince >= kLogLockWaitMs || now - start >= kLogLockWaitLimitMs) return;
    NoteReportProgress();  // a wait with its own bound
    Sleep(kLockPollMs);
  }
}

// The bytes from the log's end up to the reports' own lock byte: a lock of
// another process there (or one on the whole file) would fail the report's
// writes. Taken and given back at once.
bool IsUsableLog(FILE* log) {
  HANDLE file = OsHandleOf(log);
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) return false;
  const LONGLONG size = LogSize(file);
  if (size < 0) return false;
  const ULONGLONG end = static_cast<ULONGLONG>(size);
  const ULONGLONG reportLock = ULONGLONG{kLockOffsetHigh} << 32;
  if (end >= reportLock) return true;
  const ULONGLONG span = reportLock - end;
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(end);
  at.OffsetHigh = static_cast<DWORD>(end >> 32);
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, static_cast<DWORD>(span),
                  static_cast<DWORD>(span >> 32), &at))
    return GetLastError() != ERROR_LOCK_VIOLATION;
  UnlockFileEx(file, 0, static_cast<DWORD>(span), static_cast<DWORD>(span >> 32), &at);
  return true;
}

LogFileHolder::LogFileHolder(FILE* file) : file_(file), onFault_(&LogFileHolder::CloseOnFault, this) {}

LogFileHolder::~LogFileHolder() { Close(); }

void LogFileHolder::Close() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
}

void LogFileHolder::CloseOnFault(void* self) { static_cast<LogFileHolder*>(self)->Close(); }

}  // namespace ruxtrap
