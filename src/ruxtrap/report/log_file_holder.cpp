#include "report/report.h"
#include "support/report_progress.h"

namespace ruxtrap {

namespace {
// Locks at 2^62 lie beyond the end of any log, so they never block the
// writes of a process that does not hold them.
constexpr DWORD kLockOffsetHigh = 0x40000000;
constexpr DWORD kLockPollMs = 10;

// The bytes of the log so far; -1 when they cannot be read.
LONGLONG LogSize(HANDLE file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

// The position of the log's byte 2^62 + byte.
OVERLAPPED LockByte(ULONGLONG byte) {
  const ULONGLONG at = (ULONGLONG{kLockOffsetHigh} << 32) + byte;
  OVERLAPPED position = {};
  position.Offset = static_cast<DWORD>(at);
  position.OffsetHigh = static_cast<DWORD>(at >> 32);
  return position;
}

bool LockAt(HANDLE file, ULONGLONG byte, DWORD flags) {
  OVERLAPPED at = LockByte(byte);
  return LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

// Whether another program holds a lock that covers more than the reports'
// bytes (the whole file, shared or exclusive): a byte that no report ever
// holds, this process's own past them, so that reports that wait together
// never find each other's probes there.
bool LockedByOtherThanReports(HANDLE file) {
  const ULONGLONG own = kLogLockBytes + ULONGLONG{GetCurrentProcessId()};
  if (!LockAt(file, own, LOCKFILE_EXCLUSIVE_LOCK)) return GetLastError() == ERROR_LOCK_VIOLATION;
  OVERLAPPED at = LockByte(own);
  UnlockFileEx(file, 0, 1, 0, &at);
  return false;
}

enum class LockWait { kTaken, kGiveUp, kNextByte };

// Waits for the lock byte at 2^62 + byte while the log grows (see
// LockLogForReport); start is when the whole wait began.
LockWait WaitForLockByte(HANDLE file, DWORD byte, DWORD start) {
  LONGLONG seenSize = LogSize(file);
  DWORD quietSince = GetTickCount();
  for (;;) {
    if (LockAt(file, byte, LOCKFILE_EXCLUSIVE_LOCK)) return LockWait::kTaken;
    if (GetLastError() != ERROR_LOCK_VIOLATION || LockedByOtherThanReports(file)) return LockWait::kGiveUp;
    const DWORD now = GetTickCount();
    const LONGLONG size = LogSize(file);
    if (size != seenSize) {
      seenSize = size;
      quietSince = now;
    }
    if (now - start >= kLogLockWaitLimitMs) return LockWait::kGiveUp;
    if (now - quietSince >= kLogLockWaitMs) return LockWait::kNextByte;
    NoteReportProgress();  // a wait with its own bound
    Sleep(kLockPollMs);
  }
}

// The bytes from the log's end up to the reports' own lock byte: a lock of
// another process there (or one on the whole file) would fail the report's
// writes. Taken and given back at once.
bool AppendRangeIsFree(HANDLE file) {
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

}  // namespace

// A report ahead of this one writes line by line (a deep stack takes many
// seconds): the wait goes on while the log grows. When it has not grown for
// kLogLockWaitMs, its writer is taken to hang, and the wait moves on to the
// next lock byte: the reports that waited together still queue there one
// after the other instead of all writing at once. After kLogLockBytes moves,
// or kLogLockWaitLimitMs in all, the report goes on unlocked. A lock that no
// report holds (another program's on the whole file) ends the wait at once:
// it does not end with a report.
void LockLogForReport(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return;
  const DWORD start = GetTickCount();
  for (DWORD byte = 0; byte < kLogLockBytes; ++byte)
    if (WaitForLockByte(file, byte, start) != LockWait::kNextByte) return;
}

bool IsUsableLog(HANDLE file) {
  return file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK && AppendRangeIsFree(file);
}

LogFileHolder::LogFileHolder(HANDLE file) : file_(file), onFault_(&LogFileHolder::CloseOnFault, this) {}

void LogFileHolder::CloseOnFault(void* self) { static_cast<LogFileHolder*>(self)->Close(); }

}  // namespace ruxtrap
