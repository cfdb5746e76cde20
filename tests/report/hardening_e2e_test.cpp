// Crashes that break naive reporters: little stack left, many threads at
// once, names the log's code page cannot hold, a heap already corrupt.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

const std::string kSep90 = std::string(90, '=') + "\r\n";

// One report, whole: the section, the summary, the registers, the call stack
// heading, at least one frame, and the three closing blank lines.
TEST(HardeningEndToEnd, ReportWithOnlyAFewKilobytesOfStackLeft) {
  CrashRun run = RunCrashHost(L"low-stack");
  ExpectWholeReports(run, 1);
  DWORD stackLeft = 0;  // the host puts it in ESI
  ASSERT_TRUE(ReadHexAfter(run.log, "ESI", &stackLeft));
  EXPECT_GT(stackLeft, 0u);
  EXPECT_LE(stackLeft, 6u * 1024);
  EXPECT_NE(std::string::npos, run.log.find(" caused an EXCEPTION_STACK_OVERFLOW in module crash_host.exe"));
  EXPECT_NE(std::string::npos, run.log.find(", ReportWithLittleStackLeft()+"));
}

TEST(HardeningEndToEnd, SixteenThreadsCrashingAtOnceGiveOneWholeReport) {
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE(run);
    CrashHostOptions options;
    options.timeoutMs = 60000;
    ExpectWholeReports(RunCrashHost(L"threads 16", options), 1);
  }
}

TEST(HardeningEndToEnd, NamesOutsideTheCodePageKeepEveryLineWhole) {
  const std::wstring folder = BinFolder() + L"\\\u041f\u0430\u043f\u043a\u0430_\u6587\u4ef6\u5939";
  const std::wstring library = L"\u0431\u0438\u0431\u043b\u0438\u043e\u0442\u0435\u043a\u0430_\u5e93.dll";
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const wchar_t* file : {L"crash_host.exe", L"Ruxtrap.dll", L"WScript.exe"})
    ASSERT_TRUE(CopyFileW((BinFolder() + L"\\" + file).c_str(), (folder + L"\\" + file).c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((BinFolder() + L"\\crashlib.dll").c_str(), (folder + L"\\" + library).c_str(), FALSE));
  CrashHostOptions options;
  options.folder = folder;
  CrashRun run = RunCrashHost(L"dll-named " + library, options);
  ExpectWholeReports(run, 1);
  const std::string folderText = Narrow(folder);  // the code page's "?" for each character it lacks
  ASSERT_NE(std::string::npos, folderText.find("?????_???"));
  EXPECT_NE(std::string::npos, run.log.find("\t" + folderText + "\\crash_host.exe\r\n"));
  EXPECT_NE(std::string::npos, run.log.find("\t" + folderText + "\\" + Narrow(library) + "\r\n"));
  EXPECT_NE(std::string::npos, run.log.find(" in module ??????????_?.dll at 0023:"));
  EXPECT_NE(std::string::npos, run.log.find("??????????_?.dll, CrashInLibrary()+"));
}

// With the heap damaged, queries that need it fail one by one; each costs
// only its own line, and the report keeps its frame, the summary line and
// the registers.
TEST(HardeningEndToEnd, CorruptHeapStillGivesAReport) {
  CrashRun run = RunCrashHost(L"corrupt-heap");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(0u, run.log.find(kSep90 + "[Started Time]:\t"));
  EXPECT_EQ(2, CountOf(run.log, kSep90));
  EXPECT_NE(std::string::npos, run.log.find("\t\t\tAll Modules\r\n"));
  EXPECT_NE(std::string::npos, run.log.find(kSep90 + "crash_host.exe caused an EXCEPTION_ACCESS_VIOLATION in module "));
  EXPECT_NE(std::string::npos, run.log.find("\r\nEAX="));
  EXPECT_NE(std::string::npos, run.log.find("\t\t\tCall Stack\r\n"));
  EXPECT_EQ("\r\n\r\n\r\n", run.log.substr(run.log.size() - 6));
}

}  // namespace
}  // namespace ruxtrap_test
