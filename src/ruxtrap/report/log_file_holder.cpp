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

// The position of the log's byte 2^62 + byte.
OVERLAPPED LockByte(DWORD byte) {
  OVERLAPPED at = {};
  at.Offset = byte;
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}

bool LockAt(HANDLE file, DWORD byte, DWORD flags) {
  OVERLAPPED at = LockByte(byte);
  return LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

// Whether a lock covers the byte after the reports' bytes, which no report
// holds: another program's on the whole file, shared or exclusive, or, for
// a moment, this same probe of another waiting report.
bool SentinelLocked(HANDLE file) {
  if (!LockAt(file, kLogLockBytes, LOCKFILE_EXCLUSIVE_LOCK)) return GetLastError() == ERROR_LOCK_VIOLATION;
  OVERLAPPED at = LockByte(kLogLockBytes);
  UnlockFileEx(file, 0, 1, 0, &at);
  return false;
}

// Polls in a row that must find the byte after the reports' bytes locked
// before another program's lock is taken to hold it: waiting reports probe
// it too, each for a moment, and meet only by chance.
constexpr int kSentinelPolls = 5;

enum class LockWait { kTaken, kGiveUp, kNextByte };

// Waits for the lock byte at 2^62 + byte while the log grows (see
// LockLogForReport); start is when the whole wait began.
LockWait WaitForLockByte(HANDLE file, DWORD byte, DWORD start) {
  LONGLONG seenSize = LogSize(file);
  DWORD quietSince = GetTickCount();
  int sentinelFound = 0;
  for (;;) {
    if (LockAt(file, byte, LOCKFILE_EXCLUSIVE_LOCK)) return LockWait::kTaken;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return LockWait::kGiveUp;
    sentinelFound = SentinelLocked(file) ? sentinelFound + 1 : 0;
    if (sentinelFound == kSentinelPolls) return LockWait::kGiveUp;
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
void LockLogForReport(FILE* log) {
  HANDLE file = OsHandleOf(log);
  if (file == INVALID_HANDLE_VALUE) return;
  const DWORD start = GetTickCount();
  for (DWORD byte = 0; byte < kLogLockBytes; ++byte)
    if (WaitForLockByte(file, byte, start) != LockWait::kNextByte) return;
}

bool IsUsableLog(FILE* log) {
  HANDLE file = OsHandleOf(log);
  return file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK && AppendRangeIsFree(file);
}

LogFileHolder::LogFileHolder(FILE* file) : file_(file), onFault_(&LogFileHolder::CloseOnFault, this) {}

LogFileHolder::~LogFileHolder() { Close(); }

void LogFileHolder::Close() {
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
}

void LogFileHolder::CloseOnFault(void* self) { static_cast<LogFileHolder*>(self)->Close(); }

}  // namespace ruxtrap
