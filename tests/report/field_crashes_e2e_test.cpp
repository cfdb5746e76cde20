// Crashes deployed programs really have, each made for real by the crash
// host: a stack overflow, floating-point traps, the loader lock held by
// another thread, several processes crashing onto the one log.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

const char kBang[] = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

// Unbounded recursion, on the main thread (1 MB stack) and on a worker with
// 256 KB: the overflow notice on the debug output, then the report, with the
// recursion in the call stack.
TEST(StackOverflow, RealOverflowGivesTheNoticeAndOneReport) {
  for (const wchar_t* mode : {L"overflow", L"overflow-thread"}) {
    SCOPED_TRACE(testing::Message() << "mode " << mode);
    CrashHostOptions options;
    options.captureDebugOutput = true;
    options.timeoutMs = 120000;
    CrashRun run = RunCrashHost(mode, options);
    ExpectWholeReports(run, 1);
    EXPECT_NE(std::string::npos,
              run.log.find("crash_host.exe caused an EXCEPTION_STACK_OVERFLOW in module crash_host.exe at 0023:"));
    EXPECT_GT(CountOf(run.log, "crash_host.exe, RecurseForever()+"), 1000);
    const std::vector<std::string> notice = {kBang, "EXCEPTION_STACK_OVERFLOW occurred\n", kBang};
    std::vector<std::string> received = run.debugOutput;
    if (!received.empty() && received[0] == "Ruxtrap Set Handler OK!\r\n") received.erase(received.begin());
    EXPECT_EQ(notice, received);
  }
}

// A host that unmasks x87 zero-divide, invalid and overflow traps divides by
// zero: the report names the floating-point exception, and its registers are
// those of the fault.
TEST(FloatingPointTraps, DivideByZeroWithTrapsOnGivesOneReport) {
  CrashRun run = RunCrashHost(L"fpu");
  ExpectWholeReports(run, 1);
  EXPECT_NE(std::string::npos,
            run.log.find("crash_host.exe caused an EXCEPTION_FLT_DIVIDE_BY_ZERO in module crash_host.exe at 0023:"));
  EXPECT_NE(std::string::npos, run.log.find(", DivideWithTrapsOn()+"));
  DWORD eip = 0;
  ASSERT_TRUE(ReadHexAfter(run.log, "EIP", &eip));
  DWORD function = run.facts["DivideWithTrapsOn"];
  EXPECT_GE(eip, function);
  EXPECT_LT(eip, function + 0x100);
}

// The main thread sits for ever in a DllMain, holding the loader lock, while
// a worker faults: the report leaves out what waits for the lock (symbols,
// the call stack, the display, DirectX) and the process still ends.
TEST(LoaderLock, HeldByAnotherThreadForEverStillGivesAReport) {
  CrashRun run = RunCrashHost(L"dllmain-waits");
  ExpectWholeReports(run, 1);
  EXPECT_NE(std::string::npos,
            run.log.find("crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module <UNKNOWN> at 0023:"));
  EXPECT_NE(std::string::npos, run.log.find("[Display mode]: 0 x 0, 0 bit\r\n"));
  EXPECT_EQ(std::string::npos, run.log.find("[DirectX Ver]:"));
  EXPECT_EQ(0, CountOf(run.log, "\r\n0023:"));
  // The module table comes whole, the DLL whose DllMain waits included.
  EXPECT_NE(std::string::npos, run.log.find("\\crash_host.exe\r\n"));
  EXPECT_NE(std::string::npos, run.log.find("\\loader_lock_lib.dll\r\n"));
  EXPECT_EQ(std::string::npos, run.log.find("<UNKNOWN>\r\n"));
}

// A DLL that InitRuxtrap's binding of system functions loads calls
// InitRuxtrap from its start-up code, on the binding thread (which holds the
// loader lock already): that call leaves the binding to the first, the host
// goes on, and its crash gets its report. Wine takes the DLL beside the host
// for the system's oleaut32.dll by an override for this program alone.
TEST(LoaderLock, InitRuxtrapFromADllTheBindingLoadsLeavesTheBindingWhole) {
  const wchar_t kOverrides[] = L"Software\\Wine\\AppDefaults\\reentrant_host.exe\\DllOverrides";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kOverrides, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                           nullptr));
  const wchar_t kNative[] = L"native";
  RegSetValueExW(key, L"oleaut32", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNative), sizeof(kNative));
  RegCloseKey(key);
  CrashHostOptions options;
  options.folder = BinFolder() + L"\\reentrant";
  options.program = L"reentrant_host.exe";
  CrashRun run = RunCrashHost(L"av", options);
  RegDeleteKeyW(HKEY_CURRENT_USER, kOverrides);
  ExpectWholeReports(run, 1);
  EXPECT_NE(std::string::npos,
            run.log.find("reentrant_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module reentrant_host.exe at 0023:"));
  EXPECT_NE(std::string::npos, run.log.find("reentrant_host.exe, WriteThroughNullPointer()+"));
  EXPECT_NE(std::string::npos, run.log.find("\\reentrant\\oleaut32.dll\r\n")) << "the planted DLL was loaded";
}

// The faulting thread holds the loader lock itself: it can take it again,
// so the report is as whole as any.
TEST(LoaderLock, HeldByTheFaultingThreadGivesAWholeReport) {
  CrashRun run = RunCrashHost(L"holding-loader-lock");
  ExpectWholeReports(run, 1);
  EXPECT_NE(std::string::npos, run.log.find("in module crash_host.exe at 0023:"));
  EXPECT_NE(std::string::npos, run.log.find("[DirectX Ver]:"));
  EXPECT_NE(std::string::npos, run.log.find("crash_host.exe, WriteThroughNullPointer()+"));
  EXPECT_NE(std::string::npos, run.log.find("crash_host.exe, CrashHoldingTheLoaderLock()+"));
}

// Another thread loads 300 modules one after another: the lock is free only
// for moments between two loads, and the report waits while the loading
// goes on, so it gets the lock in a gap or at the end: as whole as any.
TEST(LoaderLock, TakenBetweenTheLoadsOfABusyLoaderGivesAWholeReport) {
  CrashRun run = RunCrashHost(L"fault-while-loading 300");
  ExpectWholeReports(run, 1);
  EXPECT_NE(std::string::npos, run.log.find("in module crash_host.exe at 0023:"));
  EXPECT_EQ(std::string::npos, run.log.find("[Display mode]: 0 x 0, 0 bit\r\n"));
  EXPECT_NE(std::string::npos, run.log.find("crash_host.exe, WriteThroughNullPointer()+"));
}

// count crash hosts released by one event crash onto the one log at once:
// each ends with the report's code, and the log holds count whole reports,
// one after another.
void ExpectWholeReportsOfHostsTogether(int count) {
  std::vector<DWORD> codes = RunCrashHostsTogether(count, std::wstring(L"on-signal ") + kStartTogetherEvent);
  ASSERT_EQ(static_cast<size_t>(count), codes.size());
  for (DWORD code : codes) EXPECT_EQ(kCrashExitCode, code);
  CrashRun run;
  run.finished = true;
  run.exitCode = kCrashExitCode;
  ASSERT_TRUE(ReadWholeFile(kLogPathW, &run.log));
  ExpectWholeReports(run, count);
  EXPECT_EQ(count, CountOf(run.log, "crash_host.exe, FaultOnSignal()+"));
}

TEST(SeveralProcesses, SixCrashingAtOnceWriteSixWholeReports) { ExpectWholeReportsOfHostsTogether(6); }

// A report that stopped while it held the log (its process hangs): the
// reports that wait for it stop waiting together, then still write one
// after the other.
TEST(SeveralProcesses, AfterAHungReportTheWaitingOnesStayWhole) {
  ClearDriveC();
  HANDLE hung = CreateFileW(kLogPathW, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, hung);
  OVERLAPPED reportsLockByte = {};
  reportsLockByte.OffsetHigh = 0x40000000;  // 2^62
  ASSERT_TRUE(LockFileEx(hung, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &reportsLockByte));
  ExpectWholeReportsOfHostsTogether(3);
  CloseHandle(hung);
}

// Windows checks the exception chain before it dispatches an exception (and
// Wine does not): on the reserve stack the chain must lie within its bounds
// and end at the thread's own final handler. A host whose handler checks
// the rule from inside a real report, at its entry and inside a guard.
TEST(ExceptionChain, InsideTheReportItPassesWindowsValidation) {
  CrashHostOptions options;
  options.program = L"chain_check_host.exe";
  CrashRun run = RunCrashHost(L"", options);
  ExpectWholeReports(run, 1);
  EXPECT_EQ(1u, run.facts["handlerValid"]) << run.facts["handlerRecords"] << " records followed";
  EXPECT_EQ(1u, run.facts["guardedValid"]) << run.facts["guardedRecords"] << " records followed";
  EXPECT_EQ(run.facts["handlerRecords"] + 1, run.facts["guardedRecords"]);
}

}  // namespace
}  // namespace ruxtrap_test
