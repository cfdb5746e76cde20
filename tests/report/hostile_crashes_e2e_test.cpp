// What deployed programs do around their crashes, each for real in
// hostile_host: a damaged process heap, a thread that takes the loader lock
// for good once the report is written, a crash in the multi-threaded COM
// apartment under the loader lock.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

CrashRun RunHostileHost(const std::wstring& arguments, DWORD timeoutMs = 60000) {
  CrashHostOptions options;
  options.program = L"hostile_host.exe";
  options.timeoutMs = timeoutMs;
  return RunCrashHost(arguments, options);
}

void ExpectOneWholeReport(const CrashRun& run) {
  ASSERT_TRUE(run.finished) << "the crashed host did not end";
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  std::string problem;
  EXPECT_EQ(1, CountWholeReports(run.log, &problem)) << problem;
  EXPECT_EQ("", problem);
  EXPECT_NE(std::string::npos,
            run.log.find("hostile_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module "));
}

// Blocks of the process heap overrun into their freed neighbours: the
// heap's next allocation faults. The log is still opened and the report
// written; what needs the heap loses its own lines only.
TEST(DamagedProcessHeap, TheReportIsStillWritten) {
  CrashRun run = RunHostileHost(L"damaged-heap");
  ExpectOneWholeReport(run);
  EXPECT_NE(std::string::npos, run.log.find("\r\nEAX=00000000  "));
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

}  // namespace
}  // namespace ruxtrap_test
