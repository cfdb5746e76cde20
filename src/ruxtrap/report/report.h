// The crash report driver: lock, log file, the order of the report's
// sections, the message-box script, the script host and the end of the process.
#pragma once

#include <windows.h>

#include "report/report_session.h"
#include "support/fault_guard.h"
#include "support/scoped.h"

namespace ruxtrap {

constexpr char kLogPath[] = "C:\\CrashEvent.log";
constexpr char kScriptPath[] = "c:\\~tmp.vbs";
constexpr int kCrashExitCode = -9876;

// The crash handler: appends one report to the log, shows the message box
// through the script host and ends the process with kCrashExitCode. Returns
// only when neither C:\CrashEvent.log nor the user's own log can be opened,
// and then returns 1. Where reports and scripts go: report_places.h.
LONG WriteCrashReport(EXCEPTION_POINTERS* pointers, ReportSession& session);

// Starts a process and waits (boundedly) until it waits for input. Nothing is
// reported when the process cannot be started.
void LaunchProcess(const char* applicationName, const char* commandLine);

// Owns the open log. Closes it when the scope ends and also when a fault
// under a guard unwinds the scope.
class LogFileHolder {
 public:
  explicit LogFileHolder(HANDLE file);
  LogFileHolder(const LogFileHolder&) = delete;
  LogFileHolder& operator=(const LogFileHolder&) = delete;
  HANDLE Get() const { return file_.Get(); }
  bool IsOpen() const { return file_.IsValid(); }
  void Close() { file_.Reset(); }

 private:
  static void CloseOnFault(void* self);
  ScopedFileHandle file_;
  FaultRelease onFault_;
};

// Keeps other processes' reports out of the log until this one is written:
// an exclusive lock on a byte far beyond any log's end, taken on the open
// log and released when it is closed or the process ends. Other processes
// wait for it while the log grows, at most kLogLockWaitMs after it last grew
// (then they queue on the next byte, up to kLogLockBytes of them) and
// kLogLockWaitLimitMs in all (a program that keeps appending while it holds
// the whole log locked would hold the crash up for ever); after that the
// report is written all the same, since losing it would be worse than mixing
// it with another.
constexpr DWORD kLogLockWaitMs = 15000;
constexpr DWORD kLogLockBytes = 4;
constexpr DWORD kLogLockWaitLimitMs = 120000;
void LockLogForReport(HANDLE log);

// Whether an open log can take a report: a file on a disk (not a pipe or a
// device), where no other process holds a lock on the bytes a report would
// be appended to. Windows fails writes into bytes another process has
// locked, so such a log would lose the report: it goes elsewhere instead.
// The probe's own lock, taken and given back at once, would fail the writes
// of another report in that moment: it is probed while this process holds
// the log, or after the wait for a report that stopped growing.
bool IsUsableLog(HANDLE log);

// What the crash path does after the report is written, so a test can run
// the report without ending its own process (see support/seam.h). The real
// entries start the script host and end the process: with the DLLs
// detached where loaderCallsAllowed (detaching takes the loader lock),
// else at once.
struct ReportFinish {
  void (*launchProcess)(const char* applicationName, const char* commandLine);
  void (*exitProcess)(int code, bool loaderCallsAllowed);
};
const ReportFinish& RealReportFinish();
#ifdef RUXTRAP_TEST_SEAMS
ReportFinish& TheReportFinish();
#endif

}  // namespace ruxtrap
