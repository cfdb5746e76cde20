// What deployed programs do around their crashes, each for real in
// hostile_host: a damaged process heap, a thread that takes the loader lock
// for good once the report is written, a crash in the multi-threaded COM
// apartment under the loader lock, a second thread's fault during the report
// while it holds the heap's lock, several deep reports at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

CrashRun RunHostileHost(const std::wstring& arguments) {
  CrashHostOptions options;
  options.program = L"hostile_host.exe";
  return RunCrashHost(arguments, options);
}

void ExpectOneWholeReport(const CrashRun& run) {
  ExpectWholeReports(run, 1);
  EXPECT_EQ(0u, SummaryLine(run.log).find("hostile_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module "));
}

// A heap damaged before the fault: one block overrun into the header of its
// freed neighbour (crash_host), or every other block of a run overrun into
// the next (hostile_host), after which the heap's next allocation of that
// size faults. The log is still opened and the report written; queries that
// need the heap fail one by one, each costing only its own line (the module
// table's among them, at times), and the report keeps its frame, the summary
// line and the registers. Starting the script host needs the heap too.
TEST(DamagedProcessHeap, TheReportIsStillWritten) {
  const std::string sep90 = std::string(90, '=') + "\r\n";
  CrashRun corrupt = RunCrashHost(L"corrupt-heap");
  ASSERT_TRUE(corrupt.finished);
  EXPECT_EQ(kCrashExitCode, corrupt.exitCode);
  EXPECT_EQ(0u, corrupt.log.find(sep90 + "[Started Time]:\t"));
  EXPECT_EQ(2, CountOf(corrupt.log, sep90));
  EXPECT_NE(std::string::npos, corrupt.log.find("\t\t\tAll Modules\r\n"));
  EXPECT_NE(std::string::npos,
            corrupt.log.find(sep90 + "crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module "));
  EXPECT_NE(std::string::npos, corrupt.log.find("\r\nEAX="));
  EXPECT_NE(std::string::npos, corrupt.log.find("\t\t\tCall Stack\r\n"));
  EXPECT_EQ("\r\n\r\n\r\n", corrupt.log.substr(corrupt.log.size() - 6));

  CrashRun damaged = RunHostileHost(L"damaged-heap");
  ExpectOneWholeReport(damaged);
  EXPECT_NE(std::string::npos, damaged.log.find("\r\nEAX=00000000  "));
}

// Once the report is on disk, another thread takes the loader lock and keeps
// it (a DllMain that waits for the crashed thread): ending the process must
// not wait for it.
TEST(LoaderLockTakenLater, AfterTheReportTheProcessStillEnds) {
  CrashRun run = RunHostileHost(L"loader-taken-after-report");
  ExpectOneWholeReport(run);
}

// The faulting thread holds the loader lock and belongs to the
// multi-threaded apartment: the DirectX query would need a thread of COM's
// own, which cannot start while the lock is held.
TEST(LoaderLockHeldInTheMultiThreadedApartment, TheReportIsWholeAndTheProcessEnds) {
  CrashRun run = RunHostileHost(L"mta-holding-loader-lock");
  ExpectOneWholeReport(run);
  EXPECT_NE(std::string::npos, run.log.find("hostile_host.exe, WriteThroughNullPointer()+"));
}

// Once the report has written to its log, a second thread faults while it
// holds the heap's lock (as a fault inside the allocator leaves it) and waits
// for the report, whose next heap call waits for that lock in turn: the
// waiting thread sees the report stall and ends the process with the
// report's code, keeping what the report wrote.
TEST(HeapFaultDuringTheReport, TheProcessStillEnds) {
  CrashHostOptions options;
  options.program = L"hostile_host.exe";
  options.timeoutMs = 120000;
  CrashRun run = RunCrashHost(L"heap-fault-during-report", options);
  ASSERT_TRUE(run.finished) << "the crashed host hung";
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  ASSERT_TRUE(run.logExists);
  EXPECT_EQ(0u, run.log.find(std::string(90, '=') + "\r\n")) << "the report's opening line";
}

// Four processes overflow their stacks at the same moment: reports of
// some 10000 frames each, written one after the other however long the
// queue takes, never into each other.
TEST(SeveralDeepReports, FourAtOnceStayWholeAndApart) {
  std::vector<DWORD> codes = RunCrashHostsTogether(4, std::wstring(L"overflow-on-signal ") + kStartTogetherEvent,
                                                   600000, L"hostile_host.exe");
  ASSERT_EQ(4u, codes.size());
  for (DWORD code : codes) EXPECT_EQ(kCrashExitCode, code);
  std::string log;
  ASSERT_TRUE(ReadWholeFile(kLogPathW, &log));
  std::string problem;
  EXPECT_EQ(4, CountWholeReports(log, &problem)) << problem;
  EXPECT_EQ("", problem);
  EXPECT_EQ(4, CountOf(log, "hostile_host.exe caused an EXCEPTION_STACK_OVERFLOW"));
}

}  // namespace
}  // namespace ruxtrap_test
