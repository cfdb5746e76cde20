// Crashes that break naive reporters: little stack left, names the log's
// code page cannot hold.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

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

}  // namespace
}  // namespace ruxtrap_test
