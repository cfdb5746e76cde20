#include <stdlib.h>

#include "describe/describe.h"
#include "dumps/dumps.h"
#include "lifecycle/lifecycle.h"
#include "probes/loader_lock.h"
#include "report/report.h"
#include "report/report_places.h"
#include "support/log_text.h"
#include "support/step_times.h"
#include "sysinfo/sysinfo.h"

namespace ruxtrap {

namespace {

// The log stream's buffer: the runtime would take it from the heap at the
// first write, and the heap may be what the crash has damaged.
char logBuffer[BUFSIZ];

// _exit detaches the DLLs, which takes the loader lock: while another thread
// holds it for good, the process is ended without detaching instead.
void ExitNow(int code) {
  RUXTRAP_WRITE_STEP_TIMES();
  if (!LoaderCallsAllowed()) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  _exit(code);
}

const ReportFinish kRealFinish = {&LaunchProcess, &ExitNow};
ReportFinish finish = kRealFinish;

// A describe routine that has no line leaves no trace, not even a blank line.
void WriteLineIfAny(FILE* log, const wchar_t* line) {
  if (line != nullptr) WriteWide(log, L"%s\n", line);
}

void WriteCallStackHeading(FILE* log) {
  WriteWide(log, kSep40);
  WriteWide(log, L"\t\t\tCall Stack\n");
  WriteWide(log, kSep40);
}

// Each line is flushed as it comes: whatever the walk meets further down,
// the lines above it are on disk. A first frame without a line does not end
// the listing; any later one does.
void WriteCallStack(FILE* log, EXCEPTION_POINTERS* pointers) {
  const wchar_t* line = FirstStackFrame(kAllFrameDetails, pointers);
  WriteLineIfAny(log, line);
  fflush(log);
  while ((line = NextStackFrame(kAllFrameDetails, pointers)) != nullptr) {
    WriteLineIfAny(log, line);
    fflush(log);
    RUXTRAP_STEP("frame: write and flush");
  }
}

// A section that faults loses only what it had still to write: its line is
// ended and the report goes on.
template <class Section>
void WriteSectionGuarded(FILE* log, Section&& section) {
  if (!RunGuarded(section)) WriteWide(log, L"\n");
}

// The message box names the log the report went to. Only a script the
// library has just written is handed to the system's script host.
void ShowMessageBox(const char* logShownPath) {
  MessageScript script;
  if (!WriteMessageScript(logShownPath, &script) || TheReportPlaces().scriptHost[0] == 0) return;
  RUXTRAP_STEP("script written");
  // Closed before the launch: Wine's script host opens the script without
  // sharing, so it could not read a file the library still holds open.
  script.Close();
  finish.launchProcess(TheReportPlaces().scriptHost, script.commandLine);
}

}  // namespace

ReportFinish& TheReportFinish() { return finish; }
const ReportFinish& RealReportFinish() { return kRealFinish; }

LONG WINAPI WriteCrashReport(EXCEPTION_POINTERS* pointers) {
  CrashLockGuard lock(TheCrashLock());
  const CrashLog opened = OpenCrashLog();
  LogFileHolder log(opened.file);
  if (log.Get() == nullptr) return EXCEPTION_EXECUTE_HANDLER;
  FILE* out = log.Get();
  setvbuf(out, logBuffer, _IOFBF, sizeof(logBuffer));
  RUXTRAP_STEP("log open");

  WriteSectionGuarded(out, [out] { WriteSystemInfo(out); });
  RUXTRAP_STEP("system section written");
  WriteLineIfAny(out, DescribeException(pointers));
  RUXTRAP_STEP("summary line");
  WriteLineIfAny(out, DescribeRegisters(pointers));
  WriteCallStackHeading(out);
  RUXTRAP_STEP("registers, call stack heading");
  WriteCallStack(out, pointers);

  // Every flush puts what was written on disk: the process ends without
  // closing the log.
  WriteWide(out, L"\n\n\n");
  fflush(out);
  RUXTRAP_STEP("closing lines");

  // The report is on disk: whatever the notice meets, the process still ends
  // with the report's exit code.
  RunGuarded([&opened] { ShowMessageBox(opened.shownPath); });
  WriteCrashDump(pointers);
  finish.exitProcess(kCrashExitCode);
  return EXCEPTION_EXECUTE_HANDLER;  // reached only when a test keeps the process alive
}

}  // namespace ruxtrap
