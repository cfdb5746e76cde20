// Real crashes of the crash host in a child process: exit code, log, script
// file and the command line that reached the script host.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

const char kScript[] = "s=MsgBox(\"C:\\CrashEvent.log\", vbCritical, \"Exception\")";
const char kScriptHostLine[] = "WScript.exe c:\\~tmp.vbs";

void ExpectOneCompleteReport(const CrashRun& run) {
  ASSERT_TRUE(run.finished) << "the crashed host did not end";
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  ASSERT_TRUE(run.logExists);
  EXPECT_EQ(1, CountOf(run.log, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ("\r\n\r\n\r\n", run.log.substr(run.log.size() - 6)) << "a report ends with three empty lines";
  EXPECT_EQ(kScript, run.script);
  EXPECT_EQ(kScriptHostLine, run.scriptHostCommandLine);
}

TEST(ReportEndToEnd, EveryCrashKindEndsWithOneReport) {
  for (const wchar_t* kind : {L"av", L"div0", L"cpp", L"thread", L"stack-overflow-code"}) {
    SCOPED_TRACE(testing::Message() << "crash kind " << kind);
    ExpectOneCompleteReport(RunCrashHost(kind));
  }
}

TEST(ReportEndToEnd, ReportsAreAppendedOneAfterAnother) {
  ClearDriveC();
  ASSERT_TRUE(WriteWholeFile(kLogPathW, "kept from before\r\n"));
  CrashHostOptions keep;
  keep.clearDriveC = false;
  RunCrashHost(L"av", keep);
  CrashRun run = RunCrashHost(L"div0", keep);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(0u, run.log.find("kept from before\r\n"));
  EXPECT_EQ(2, CountOf(run.log, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ(2, CountOf(run.log, "\r\n\r\n\r\n\r\n"));
}

TEST(ReportEndToEnd, UnopenableLogEndsTheProcessWithoutReport) {
  ClearDriveC();
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  CrashHostOptions options;
  options.clearDriveC = false;
  options.waitForScriptHost = false;
  CrashRun run = RunCrashHost(L"av", options);
  ASSERT_TRUE(run.finished) << "the host hung";
  EXPECT_NE(kCrashExitCode, run.exitCode);
  EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
  EXPECT_FALSE(run.scriptExists);
  EXPECT_FALSE(run.scriptHostStarted);
  ClearDriveC();
}

TEST(ReportEndToEnd, UncreatableScriptStillLaunchesAndExits) {
  ClearDriveC();
  ASSERT_TRUE(CreateDirectoryW(kScriptPathW, nullptr));
  CrashHostOptions options;
  options.clearDriveC = false;
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(1, CountOf(run.log, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ(kScriptHostLine, run.scriptHostCommandLine);
  ClearDriveC();
}

// A folder with the crash host, the library and a WScript.exe that is no program.
std::wstring FolderWithBrokenScriptHost() {
  std::wstring folder = BinFolder() + L"\\broken-wscript";
  CreateDirectoryW(folder.c_str(), nullptr);
  CopyFileW((BinFolder() + L"\\crash_host.exe").c_str(), (folder + L"\\crash_host.exe").c_str(), FALSE);
  CopyFileW((BinFolder() + L"\\Ruxtrap.dll").c_str(), (folder + L"\\Ruxtrap.dll").c_str(), FALSE);
  WriteWholeFile(folder + L"\\WScript.exe", "this is not a program");
  return folder;
}

TEST(ReportEndToEnd, ScriptHostThatCannotStartStillExitsWithTheCode) {
  CrashHostOptions options;
  options.folder = FolderWithBrokenScriptHost();
  options.waitForScriptHost = false;
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(1, CountOf(run.log, "\t\t\tCall Stack\r\n"));
  EXPECT_FALSE(run.scriptHostStarted);
}

TEST(ReportEndToEnd, RealScriptHostWithoutDisplay) {
  CrashHostOptions options;
  options.folder = BinFolder() + L"\\real-wscript";
  options.waitForScriptHost = false;
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(kScript, run.script);
}

TEST(ReportEndToEnd, ManyThreadsCrashingAtOnceGiveOneReport) {
  for (int round = 0; round < 3; ++round) {
    CrashRun run = RunCrashHost(L"threads 8");
    ExpectOneCompleteReport(run);
  }
}

TEST(ReportEndToEnd, WithoutInitTheSystemHandlesTheCrash) {
  CrashHostOptions options;
  options.waitForScriptHost = false;
  CrashRun run = RunCrashHost(L"--no-init av", options);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
  EXPECT_FALSE(run.logExists);
}

}  // namespace
}  // namespace ruxtrap_test
