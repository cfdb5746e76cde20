#include <stdlib.h>

#include "describe/describe.h"
#include "dumps/dumps.h"
#include "support/crash_lock.h"
#include "report/report.h"
#include "report/message_script.h"
#include "report/report_places.h"
#include "support/log_text.h"
#include "support/report_progress.h"
#include "support/seam.h"
#include "support/step_times.h"
#include "sysinfo/sysinfo.h"

namespace ruxtrap {

namespace {

// _exit detaches the DLLs, which takes the loader lock: while another thread
// holds it for good, the process is ended without detaching instead.
void ExitNow(int code, bool loaderCallsAllowed) {
  RUXTRAP_WRITE_STEP_TIMES();
  if (!loaderCallsAllowed) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  _exit(code);
}

const ReportFinish kRealFinish = {&LaunchProcess, &ExitNow};
RUXTRAP_SEAM(ReportFinish, finish, kRealFinish);

// A describe routine that has no line leaves no trace, not even a blank line.
void WriteLineIfAny(HANDLE log, const wchar_t* line) {
  if (line != nullptr) WriteWide(log, L"%s\n", line);
}

void WriteCallStackHeading(HANDLE log) {
  WriteWide(log, kSep40);
  WriteWide(log, L"\t\t\tCall Stack\n");
  WriteWide(log, kSep40);
}

// Each line is on disk as it comes: whatever the walk meets further down,
// the lines above it stay. A first frame without a line does not end the
// listing; any later one does.
void WriteCallStack(HANDLE log, EXCEPTION_POINTERS* pointers, SymbolEngine& symbols) {
  WriteLineIfAny(log, FirstStackFrame(pointers, symbols));
  while (const wchar_t* line = NextStackFrame(symbols)) {
    WriteLineIfAny(log, line);
    RUXTRAP_STEP("frame: write");
  }
}

// A section that faults loses only what it had still to write: its line is
// ended and the report goes on.
template <class Section>
void WriteSectionGuarded(HANDLE log, Section&& section) {
  if (!RunGuarded(section)) WriteWide(log, L"\n");
}

// The message box names the log the report went to. Only a script the
// library has just written is handed to the system's script host.
void ShowMessageBox(const char* logShownPath) {
  MessageScript script;
  if (!WriteMessageScript(logShownPath, &script) || TheReportPlaces().scriptHost[0] == 0) return;
  NoteReportProgress();
  RUXTRAP_STEP("script written");
  // Closed before the launch: Wine's script host opens the script without
  // sharing, so it could not read a file the library still holds open.
  script.Close();
  finish.launchProcess(TheReportPlaces().scriptHost, script.commandLine);
}

}  // namespace

const ReportFinish& RealReportFinish() { return kRealFinish; }
#ifdef RUXTRAP_TEST_SEAMS
ReportFinish& TheReportFinish() { return finish; }
#endif

LONG WriteCrashReport(EXCEPTION_POINTERS* pointers, ReportSession& session) {
  CrashLockGuard lock(TheCrashLock());
  const CrashLog opened = OpenCrashLog();
  LogFileHolder log(opened.file);
  if (!log.IsOpen()) return EXCEPTION_EXECUTE_HANDLER;
  HANDLE out = log.Get();
  RUXTRAP_STEP("log open");

  WriteSectionGuarded(out, [out, &session] { WriteSystemInfo(out, session.Hold()); });
  RUXTRAP_STEP("system section written");
  WriteLineIfAny(out, DescribeException(pointers, session.Symbols()));
  RUXTRAP_STEP("summary line");
  WriteLineIfAny(out, DescribeRegisters(pointers));
  WriteCallStackHeading(out);
  RUXTRAP_STEP("registers, call stack heading");
  WriteCallStack(out, pointers, session.Symbols());
  WriteWide(out, L"\n\n\n");
  RUXTRAP_STEP("closing lines");
  // The report is whole: the log, and its lock, go to the next process's
  // report now, not after the message box and a dump.
  log.Close();

  // The report is on disk: whatever the notice meets, the process still ends
  // with the report's exit code.
  RunGuarded([&opened] { ShowMessageBox(opened.shownPath); });
  WriteCrashDump(pointers, session.Hold());
  finish.exitProcess(kCrashExitCode, session.Hold().CallsAllowed());
  return EXCEPTION_EXECUTE_HANDLER;  // reached only when a test keeps the process alive
}

}  // namespace ruxtrap
