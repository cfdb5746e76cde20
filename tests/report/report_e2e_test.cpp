// Real crashes of the crash host in a child process: exit code, log, script
// file and what reached the script host (the stand-in at the system folder's
// wscript.exe: which program ran, its command line, the script it read).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/crash_run.h"

namespace ruxtrap_test {
namespace {

const char kScript[] = "s=MsgBox(\"C:\\CrashEvent.log\", vbCritical, \"Exception\")";
const char kScriptHostLine[] = "WScript.exe c:\\~tmp.vbs";

std::string ScriptNaming(const std::wstring& log) {
  return "s=MsgBox(\"" + Narrow(log) + "\", vbCritical, \"Exception\")";
}

bool SamePath(const std::string& a, const std::wstring& b) { return lstrcmpiA(a.c_str(), Narrow(b).c_str()) == 0; }

// The system's script host started once, on a script of exactly these bytes.
void ExpectOneLaunchOf(const CrashRun& run, const std::string& script) {
  EXPECT_EQ(1, run.scriptHostLaunches);
  EXPECT_TRUE(SamePath(run.scriptHostProgram, SystemScriptHostPath())) << run.scriptHostProgram;
  EXPECT_EQ(script, run.scriptHostScript);
}

// "WScript.exe " and a script in the temp folder, named by the library
// ("~ruxtrap-..."), the path quoted when it holds a blank.
void ExpectTempScriptOnCommandLine(const CrashRun& run) {
  const std::string& line = run.scriptHostCommandLine;
  bool quoted = line.size() > 14 && line[12] == '"' && line.back() == '"';
  std::string path = line.size() > 12 ? line.substr(quoted ? 13 : 12, line.size() - (quoted ? 14 : 12)) : "";
  EXPECT_EQ(0u, line.find("WScript.exe ")) << line;
  EXPECT_EQ(quoted, path.find(' ') != std::string::npos) << line;
  std::wstring wide(path.begin(), path.end());
  wchar_t folder[MAX_PATH] = {}, temp[MAX_PATH] = {};
  GetLongPathNameW(wide.substr(0, wide.rfind(L"\\~ruxtrap-") + 1).c_str(), folder, MAX_PATH);
  GetLongPathNameW(TempFolder().c_str(), temp, MAX_PATH);
  EXPECT_EQ(0, lstrcmpiW(temp, folder)) << line;
}

void ExpectOneCompleteReport(const CrashRun& run) {
  ASSERT_TRUE(run.finished) << "the crashed host did not end";
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  ASSERT_TRUE(run.logExists);
  EXPECT_EQ(1, CountOf(run.log, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ("\r\n\r\n\r\n", run.log.substr(run.log.size() - 6)) << "a report ends with three empty lines";
  EXPECT_EQ(kScript, run.script);
  EXPECT_EQ(kScriptHostLine, run.scriptHostCommandLine);
  ExpectOneLaunchOf(run, kScript);
}

// Each kind of crash ends with one report and one message box; the summary
// line names the exception and the function that faulted.
TEST(ReportEndToEnd, EveryCrashKindEndsWithOneReportThatNamesIt) {
  struct Kind {
    const wchar_t* arguments;
    const char* name;
    const char* function;
  } kinds[] = {
      {L"av", "EXCEPTION_ACCESS_VIOLATION", "WriteThroughNullPointer()"},
      {L"div0", "EXCEPTION_INT_DIVIDE_BY_ZERO", "DivideByZero()"},
      {L"cpp", "Microsoft C++ Exception", "RaiseException()"},
      {L"thread", "EXCEPTION_ACCESS_VIOLATION", "WriteThroughNullPointer()"},
      {L"stack-overflow-code", "EXCEPTION_STACK_OVERFLOW", "RaiseException()"},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(testing::Message() << "crash kind " << k.arguments);
    CrashRun run = RunCrashHost(k.arguments);
    ExpectOneCompleteReport(run);
    const std::string summary = SummaryLine(run.log);
    EXPECT_NE(std::string::npos, summary.find(std::string(" caused an ") + k.name + " in module ")) << summary;
    EXPECT_NE(std::string::npos, summary.find(std::string(", ") + k.function)) << summary;
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

TEST(ReportEndToEnd, UnwritableLogGoesToTheUsersOwnLog) {
  ClearDriveC();
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  CrashHostOptions options;
  options.clearDriveC = false;
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  ASSERT_TRUE(run.userLogExists) << "no report in " << Narrow(UserLogPath());
  EXPECT_EQ(1, CountOf(run.userLog, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ("\r\n\r\n\r\n", run.userLog.substr(run.userLog.size() - 6));
  EXPECT_EQ(ScriptNaming(UserLogPath()), run.script);
  EXPECT_EQ(kScriptHostLine, run.scriptHostCommandLine);
  ExpectOneLaunchOf(run, ScriptNaming(UserLogPath()));
  ClearDriveC();
}

// Windows fails writes into bytes another process has locked: a
// C:\CrashEvent.log that another process holds locked would swallow the
// report, so it goes to the user's log. (Wine lets the writes through, so the
// test checks where the report went.) A lock on the whole file covers the
// reports' own lock byte too: the report waits for it as for another
// report's, then still goes elsewhere.
TEST(ReportEndToEnd, LogLockedByAnotherProcessGoesToTheUsersOwnLog) {
  struct Lock {
    DWORD lengthHigh;
    DWORD flags;
    const char* what;
  };
  for (const Lock& lock : {Lock{0x3FFFFFFF, LOCKFILE_EXCLUSIVE_LOCK, "the bytes up to the reports' lock byte"},
                           Lock{MAXDWORD, LOCKFILE_EXCLUSIVE_LOCK, "the whole file"},
                           Lock{MAXDWORD, 0, "the whole file, shared"}}) {
    SCOPED_TRACE(lock.what);
    ClearDriveC();
    ASSERT_TRUE(WriteWholeFile(kLogPathW, "kept\r\n"));
    HANDLE held = CreateFileW(kLogPathW, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    OVERLAPPED whole = {};
    ASSERT_TRUE(LockFileEx(held, lock.flags, 0, MAXDWORD, lock.lengthHigh, &whole));
    CrashHostOptions options;
    options.clearDriveC = false;
    CrashRun run = RunCrashHost(L"av", options);
    CloseHandle(held);
    EXPECT_EQ(kCrashExitCode, run.exitCode);
    EXPECT_EQ("kept\r\n", run.log);
    ASSERT_TRUE(run.userLogExists) << "no report in " << Narrow(UserLogPath());
    EXPECT_EQ(1, CountOf(run.userLog, "\t\t\tCall Stack\r\n"));
    ExpectOneLaunchOf(run, ScriptNaming(UserLogPath()));
  }
  ClearDriveC();
}

TEST(ReportEndToEnd, UnopenableLogEndsTheProcessWithoutReport) {
  ClearDriveC();
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  ASSERT_TRUE(CreateDirectoryW(UserLogPath().c_str(), nullptr));
  CrashHostOptions options;
  options.clearDriveC = false;
  CrashRun run = RunCrashHost(L"av", options);
  ASSERT_TRUE(run.finished) << "the host hung";
  EXPECT_NE(kCrashExitCode, run.exitCode);
  EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
  EXPECT_FALSE(run.scriptExists);
  EXPECT_FALSE(run.scriptHostStarted);
  ClearDriveC();
}

// The temp folder of the crash host, through the variables it inherits.
class TempFolderOfTheHost {
 public:
  explicit TempFolderOfTheHost(const std::wstring& folder) : folder_(folder) {
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* name : {L"TMP", L"TEMP"}) {
      wchar_t value[MAX_PATH] = {};
      GetEnvironmentVariableW(name, value, MAX_PATH);
      saved_.push_back(value);
      SetEnvironmentVariableW(name, folder.c_str());
    }
  }
  ~TempFolderOfTheHost() {
    ClearDriveC();
    SetEnvironmentVariableW(L"TMP", saved_[0].c_str());
    SetEnvironmentVariableW(L"TEMP", saved_[1].c_str());
    RemoveDirectoryW(folder_.c_str());
  }

 private:
  std::wstring folder_;
  std::vector<std::wstring> saved_;
};

// A temp folder with a blank (a profile such as "C:\Users\John Smith") and
// one whose name the code page cannot hold, reached through its short name.
TEST(ReportEndToEnd, ScriptPathThatIsAFolderGetsTheScriptWrittenElsewhere) {
  for (const wchar_t* temp : {L"C:\\ruxtrap temp", L"C:\\ruxtrap-\u041f\u0430\u043f\u043a\u0430"}) {
    SCOPED_TRACE(Narrow(temp));
    TempFolderOfTheHost hostTemp(temp);
    ClearDriveC();
    ASSERT_TRUE(CreateDirectoryW(kScriptPathW, nullptr));
    CrashHostOptions options;
    options.clearDriveC = false;
    CrashRun run = RunCrashHost(L"av", options);
    EXPECT_EQ(kCrashExitCode, run.exitCode);
    EXPECT_EQ(1, CountOf(run.log, "\t\t\tCall Stack\r\n"));
    ExpectTempScriptOnCommandLine(run);
    ExpectOneLaunchOf(run, kScript);
  }
}

// A c:\~tmp.vbs that another process holds open, denying writers: the library
// cannot write it, and must not hand it to the script host.
TEST(ReportEndToEnd, PlantedScriptThatCannotBeOverwrittenIsNeverHandedOn) {
  const std::string planted = "CreateObject(\"WScript.Shell\").Run \"calc\"\r\n";
  ClearDriveC();
  ASSERT_TRUE(WriteWholeFile(kScriptPathW, planted));
  HANDLE holder = CreateFileW(kScriptPathW, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, holder);
  CrashHostOptions options;
  options.clearDriveC = false;
  CrashRun run = RunCrashHost(L"av", options);
  CloseHandle(holder);
  std::string after;
  ReadWholeFile(kScriptPathW, &after);
  EXPECT_EQ(planted, after);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  ExpectTempScriptOnCommandLine(run);
  ExpectOneLaunchOf(run, kScript);
  ClearDriveC();
}

// A folder with the crash host, the library and a WScript.exe of its own.
std::wstring FolderWithPlantedScriptHost(const std::wstring& name, const std::string& scriptHost) {
  std::wstring folder = BinFolder() + L"\\" + name;
  CreateDirectoryW(folder.c_str(), nullptr);
  CopyFileW((BinFolder() + L"\\crash_host.exe").c_str(), (folder + L"\\crash_host.exe").c_str(), FALSE);
  CopyFileW((BinFolder() + L"\\Ruxtrap.dll").c_str(), (folder + L"\\Ruxtrap.dll").c_str(), FALSE);
  WriteWholeFile(folder + L"\\WScript.exe", scriptHost);
  return folder;
}

std::string StandInBytes() {
  std::string bytes;
  ReadWholeFile(BinFolder() + L"\\WScript.exe", &bytes);
  return bytes;
}

// Recording stand-ins beside the host and in its current directory: a search
// for the bare name would find either before the system folder.
TEST(ReportEndToEnd, OnlyTheSystemsScriptHostIsStarted) {
  CrashHostOptions options;
  options.folder = FolderWithPlantedScriptHost(L"planted-wscript", StandInBytes());
  options.currentDirectory = FolderWithPlantedScriptHost(L"planted-wscript-cwd", StandInBytes());
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(kScriptHostLine, run.scriptHostCommandLine);
  ExpectOneLaunchOf(run, kScript);
}

TEST(ReportEndToEnd, ScriptHostThatCannotStartStillExitsWithTheCode) {
  ASSERT_TRUE(ReplaceSystemScriptHost("this is not a program"));
  CrashHostOptions options;
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_TRUE(InstallScriptHostStandIn());
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(1, CountOf(run.log, "\t\t\tCall Stack\r\n"));
  EXPECT_FALSE(run.scriptHostStarted);
}

// Run without the stand-in's override (see tests/CMakeLists.txt): Wine starts
// its own script host, which cannot show a box without a display.
TEST(RealScriptHost, RealScriptHostWithoutDisplay) {
  CrashHostOptions options;
  options.folder = BinFolder() + L"\\real-wscript";
  CrashRun run = RunCrashHost(L"av", options);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(kScript, run.script);
}

// Sixteen threads released at the same moment each fault: one whole report
// and one message box, run after run.
TEST(ReportEndToEnd, ManyThreadsCrashingAtOnceGiveOneReport) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    CrashRun run = RunCrashHost(L"threads 16");
    ExpectWholeReports(run, 1);
    ExpectOneCompleteReport(run);
  }
}

TEST(ReportEndToEnd, WithoutInitTheSystemHandlesTheCrash) {
  CrashHostOptions options;
  CrashRun run = RunCrashHost(L"--no-init av", options);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), run.exitCode);
  EXPECT_FALSE(run.logExists);
}

}  // namespace
}  // namespace ruxtrap_test
