// What deployed programs do around their crashes, each for real in
// hostile_host: a damaged process heap.
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

}  // namespace
}  // namespace ruxtrap_test
