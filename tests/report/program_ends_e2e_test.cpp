// Every way a program dies leaves its report: the C runtimes' own ends
// (abort, a failed assert, an uncaught C++ exception, a pure virtual call,
// an invalid parameter), another thread ending the process while the report
// runs, a call through a null function pointer, and a process killed from
// outside in the middle of its report.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

CrashRun RunEndsHost(const std::wstring& arguments) {
  CrashHostOptions options;
  options.program = L"ends_host.exe";
  return RunCrashHost(arguments, options);
}

// The index of the first of the first `within` frame lines that names
// function in module, or -1.
int FrameNaming(const std::vector<std::string>& frames, const std::string& module, const std::string& function,
                size_t within) {
  for (size_t i = 0; i < frames.size() && i < within; ++i)
    if (Contains(frames[i], ") " + module + ", " + function + "()+")) return static_cast<int>(i);
  return -1;
}

// A MinGW program's runtime is msvcrt.dll: abort() and the ends that go
// through it (a failed assert, std::terminate for an uncaught exception)
// raise SIGABRT there. The call stack starts in the runtime and names the
// function that gave up within its first frames (an uncaught exception
// passes through the C++ runtime's own unnamed frames first).
TEST(RuntimeEnds, AbortAssertAndUncaughtThrowInAMinGWHost) {
  struct End {
    const wchar_t* mode;
    const char* function;
    size_t within;
  } ends[] = {{L"abort", "CallsAbort", 3}, {L"assert", "FailsAnAssertion", 3}, {L"throw", "ThrowsUncaught", 10}};
  for (const End& end : ends) {
    SCOPED_TRACE(end.mode);
    CrashRun run = RunEndsHost(end.mode);
    ExpectWholeReports(run, 1);
    EXPECT_EQ(0u, SummaryLine(run.log).find("ends_host.exe caused an STATUS_FATAL_APP_EXIT (abort) in module "
                                            "msvcrt.dll at 0023:"))
        << SummaryLine(run.log);
    const std::vector<std::string> frames = CallStackLines(run.log);
    EXPECT_EQ(0, FrameNaming(frames, "msvcrt.dll", "raise", 1)) << run.log;
    EXPECT_GE(FrameNaming(frames, "ends_host.exe", end.function, end.within), 0) << run.log;
  }
}

// Statically linked, MinGW's C++ runtime leaves its pure-call handler out:
// the table entry is a null pointer, and the call faults at address 0. The
// report names the function that made the call.
TEST(RuntimeEnds, PureVirtualCallInAMinGWHost) {
  CrashRun run = RunEndsHost(L"purecall");
  ExpectWholeReports(run, 1);
  EXPECT_EQ(0u, SummaryLine(run.log).find("ends_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module <UNKNOWN> "
                                          "at 0023:00000000"));
  EXPECT_EQ(0, FrameNaming(CallStackLines(run.log), "ends_host.exe", "PureBase::CallPure", 1)) << run.log;
}

// A program of Microsoft's current runtime reaches its ends in ucrtbase.dll.
TEST(RuntimeEnds, AbortPureCallAndInvalidParameterThroughUcrtbase) {
  struct End {
    const wchar_t* mode;
    const char* name;
    const char* runtimeFunction;
    const char* function;
  } ends[] = {
      {L"--load-ucrt ucrt-abort", "STATUS_FATAL_APP_EXIT (abort)", "raise", "CallsUcrtEnd"},
      {L"--load-ucrt ucrt-purecall", "STATUS_FATAL_APP_EXIT (pure virtual call)", "_purecall", "CallsUcrtEnd"},
      {L"--load-ucrt ucrt-invalid-parameter", "STATUS_INVALID_CRUNTIME_PARAMETER", "_invalid_parameter",
       "PassesUcrtInvalidParameter"},
  };
  for (const End& end : ends) {
    SCOPED_TRACE(end.mode);
    CrashRun run = RunEndsHost(end.mode);
    ExpectWholeReports(run, 1);
    EXPECT_EQ(0u, SummaryLine(run.log).find(std::string("ends_host.exe caused an ") + end.name +
                                            " in module ucrtbase.dll at 0023:"))
        << SummaryLine(run.log);
    const std::vector<std::string> frames = CallStackLines(run.log);
    EXPECT_EQ(0, FrameNaming(frames, "ucrtbase.dll", end.runtimeFunction, 1)) << run.log;
    EXPECT_GE(FrameNaming(frames, "ends_host.exe", end.function, 4), 0) << run.log;
  }
}

// A program's own SIGABRT handler, set before InitRuxtrap, stays in force.
TEST(RuntimeEnds, TheProgramsOwnAbortHandlerStays) {
  CrashHostOptions options;
  options.program = L"ends_host.exe";
  CrashRun run = RunCrashHost(L"--own-sigabrt abort", options);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(42u, run.exitCode);
  EXPECT_EQ(1u, run.facts["ownAbortHandler"]);
  EXPECT_FALSE(run.logExists);
}

// A worker faults while the main thread ends the process: 30 ms and 300 ms
// after the fault, and the moment the report has written its display line,
// with the DirectX query still to come. The process ends with the report's
// code after a whole report, DirectX line included.
TEST(ProcessEndDuringTheReport, WaitsForTheReport) {
  for (const wchar_t* delay : {L"exit-race 30", L"exit-race 300", L"exit-race -1"}) {
    SCOPED_TRACE(delay);
    CrashRun run = RunCrashHost(delay);
    ExpectWholeReports(run, 1);
    EXPECT_TRUE(Contains(run.log, "\r\n[DirectX Ver]:  ")) << run.log;
    EXPECT_GE(FrameNaming(CallStackLines(run.log), "crash_host.exe", "WriteThroughNullPointer", 1), 0) << run.log;
  }
}

// A slow DllMain holds the loader lock when a worker faults: the lines that
// need no loader lock are on disk before the report waits for it. (The main
// thread ends the process once they are; whether its ExitProcess or the
// report gets the lock first depends on timing, the head does not.)
TEST(ProcessEndDuringTheReport, TheHeadIsWrittenBeforeTheWaitForTheLoaderLock) {
  CrashHostOptions options;
  CrashRun run = RunCrashHost(L"exit-behind-loader-lock", options);
  ASSERT_TRUE(run.finished);
  EXPECT_TRUE(run.exitCode == 0 || run.exitCode == kCrashExitCode) << run.exitCode;
  const std::vector<std::string> lines = SplitLines(run.log);
  ASSERT_GE(lines.size(), 13u) << run.log;
  EXPECT_EQ(0u, lines[1].find("[Started Time]:\t"));
  EXPECT_EQ(0u, lines[12].find("[Service pack]:")) << run.log;
}

// The call left its return address on the stack; the walk alone would start
// at AboveCallsNull.
TEST(CallThroughANullPointer, NamesTheFunctionThatMadeTheCall) {
  CrashRun run = RunCrashHost(L"call-null");
  ExpectWholeReports(run, 1);
  const std::vector<std::string> frames = CallStackLines(run.log);
  ASSERT_GE(frames.size(), 3u) << run.log;
  // The line of the call, or the next one where the return address starts
  // it: a frame names the line of its return address.
  char callLine[48], nextLine[48];
  sprintf(callLine, "\\hosts\\faults.cpp, line %04lu", run.facts["callsNullLine"]);
  sprintf(nextLine, "\\hosts\\faults.cpp, line %04lu", run.facts["callsNullLine"] + 1);
  EXPECT_EQ(0, FrameNaming(frames, "crash_host.exe", "CallsNull", 1)) << run.log;
  EXPECT_TRUE(Contains(frames[0], callLine) || Contains(frames[0], nextLine)) << frames[0];
  EXPECT_EQ(1, FrameNaming(frames, "crash_host.exe", "AboveCallsNull", 2)) << run.log;
}

// A call into a module's data (a corrupted function pointer): the processor
// stops at the first byte there, and the caller's frame comes first.
TEST(CallThroughANullPointer, ACallIntoDataNamesItsCallerToo) {
  CrashRun run = RunCrashHost(L"call-data");
  ExpectWholeReports(run, 1);
  const std::vector<std::string> frames = CallStackLines(run.log);
  EXPECT_EQ(0, FrameNaming(frames, "crash_host.exe", "CallsIntoData", 1)) << run.log;
  EXPECT_EQ(1, FrameNaming(frames, "crash_host.exe", "Run", 2)) << run.log;
}

// Ended from outside in the middle of its report, a process leaves every
// line it had written, whole: killed as soon as the system section's display
// line is in the log (the DirectX query still to come), the section's head;
// killed while its call stack is written, the system section, the summary,
// the registers and the frames so far.
TEST(KilledDuringTheReport, KeepsTheLinesWrittenBefore) {
  CrashHostOptions options;
  options.timeoutMs = 120000;
  options.killWhen = [](const std::string& log) { return Contains(log, "[Display mode]: "); };
  CrashRun head = RunCrashHost(L"deep 5000", options);
  ASSERT_TRUE(head.finished);
  EXPECT_EQ(1u, head.exitCode) << "ended from outside";
  EXPECT_EQ("\r\n", head.log.substr(head.log.size() - 2)) << "the last line is whole";
  const std::vector<std::string> headLines = SplitLines(head.log);
  ASSERT_GE(headLines.size(), 14u) << head.log;
  EXPECT_EQ(std::string(90, '='), headLines[0]);
  EXPECT_EQ(0u, headLines[13].find("[Display mode]: ")) << head.log;

  options.killWhen = [](const std::string& log) { return CallStackLines(log).size() >= 20; };
  CrashRun frames = RunCrashHost(L"deep 5000", options);
  ASSERT_TRUE(frames.finished);
  EXPECT_EQ(1u, frames.exitCode) << "ended from outside";
  EXPECT_EQ("\r\n", frames.log.substr(frames.log.size() - 2)) << "the last line is whole";
  EXPECT_TRUE(Contains(frames.log, "\t\t\tAll Modules\r\n"));
  EXPECT_EQ(0u, SummaryLine(frames.log).find("crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module "
                                             "crash_host.exe"));
  EXPECT_TRUE(Contains(frames.log, "\r\nCS=0023   DS=002B"));
  const std::vector<std::string> lines = CallStackLines(frames.log);
  ASSERT_GE(lines.size(), 20u);
  EXPECT_LT(lines.size(), 5000u) << "the report was ended before its call stack was";
  for (const std::string& line : lines) EXPECT_EQ(0u, line.find("0023:")) << line;
}

}  // namespace
}  // namespace ruxtrap_test
