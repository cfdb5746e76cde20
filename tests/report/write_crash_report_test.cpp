// The report driver run inside the test process, with the end of the process
// and the script host replaced by recorders.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/crash_run.h"
#include "lifecycle/lifecycle.h"
#include "report/report.h"
#include "report/report_places.h"

namespace ruxtrap {
namespace {

using ruxtrap_test::kLogPathW;
using ruxtrap_test::kScriptPathW;
using ruxtrap_test::ReadWholeFile;
using ruxtrap_test::UserLogPath;

struct Finished {
  std::string commandLine;
  const char* applicationName = "unset";
  int exitCode = 0;
  int launches = 0;
} finished;

class WriteCrashReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    finished = Finished();
    ResolveReportPlaces();
    ruxtrap_test::ClearDriveC();
    TheReportFinish().launchProcess = [](const char* app, const char* line) {
      finished.applicationName = app;
      finished.commandLine = line;
      ++finished.launches;
    };
    TheReportFinish().exitProcess = [](int code, bool) { finished.exitCode = code; };
  }
  void TearDown() override {
    TheReportFinish() = RealReportFinish();
    ruxtrap_test::ClearDriveC();
  }
  LONG Report() {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    CONTEXT context = {};
    EXCEPTION_POINTERS pointers = {&record, &context};
    ReportSession session;
    return WriteCrashReport(&pointers, session);
  }
};

// One report in log, and c:\~tmp.vbs naming that log for the message box.
void ExpectReportIn(const std::wstring& log) {
  std::string bytes, script;
  EXPECT_TRUE(ReadWholeFile(log, &bytes)) << "the report was lost";
  EXPECT_EQ(1, ruxtrap_test::CountOf(bytes, "\t\t\tCall Stack\r\n"));
  EXPECT_TRUE(ReadWholeFile(kScriptPathW, &script));
  EXPECT_EQ("s=MsgBox(\"" + ruxtrap_test::Narrow(log) + "\", vbCritical, \"Exception\")", script);
}

TEST_F(WriteCrashReportTest, AppendsAReportWritesTheScriptLaunchesAndEnds) {
  ASSERT_TRUE(ruxtrap_test::WriteWholeFile(kLogPathW, "earlier report\r\n"));
  ASSERT_TRUE(ruxtrap_test::WriteWholeFile(kScriptPathW, std::string(300, 'x') + "\r\nold line\r\n"));
  Report();
  Report();
  std::string log, script;
  ASSERT_TRUE(ReadWholeFile(kLogPathW, &log));
  EXPECT_EQ(0u, log.find("earlier report\r\n"));
  EXPECT_EQ(2, ruxtrap_test::CountOf(log, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ("\r\n\r\n\r\n", log.substr(log.size() - 6));
  ASSERT_TRUE(ReadWholeFile(kScriptPathW, &script));
  EXPECT_EQ("s=MsgBox(\"C:\\CrashEvent.log\", vbCritical, \"Exception\")", script);
  EXPECT_EQ(2, finished.launches);
  ASSERT_NE(nullptr, finished.applicationName) << "the script host would be found by search";
  EXPECT_EQ(0, lstrcmpiA(ruxtrap_test::Narrow(ruxtrap_test::SystemScriptHostPath()).c_str(), finished.applicationName))
      << finished.applicationName;
  EXPECT_EQ("WScript.exe c:\\~tmp.vbs", finished.commandLine);
  EXPECT_EQ(-9876, finished.exitCode);
  EXPECT_FALSE(TheCrashLock().IsLocked());
}

TEST_F(WriteCrashReportTest, UnopenableLogGoesToTheUsersOwnLog) {
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  Report();
  ExpectReportIn(UserLogPath());
  EXPECT_EQ(1, finished.launches);
  EXPECT_EQ(-9876, finished.exitCode);
}

// InitRuxtrap called again on one thread while another thread crashes: the
// report, which opens its log under the report lock, always finds a whole
// place for it (here the user's log, C:\CrashEvent.log being unopenable).
DWORD WINAPI ResolvePlacesUntilStopped(void* stop) {
  while (!*static_cast<volatile bool*>(stop)) ResolveReportPlaces();
  return 0;
}

TEST_F(WriteCrashReportTest, PlacesResolvedAgainMeanwhileAreWholeForEveryReport) {
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  const std::string expectedShown = ruxtrap_test::Narrow(UserLogPath());
  volatile bool stop = false;
  HANDLE resolver = CreateThread(nullptr, 0, &ResolvePlacesUntilStopped, const_cast<bool*>(&stop), 0, nullptr);
  int lost = 0;
  for (int round = 0; round < 300; ++round) {
    CrashLockGuard lock(TheCrashLock());
    const CrashLog log = OpenCrashLog();
    if (log.file == INVALID_HANDLE_VALUE || log.shownPath == nullptr || expectedShown != log.shownPath) ++lost;
    if (log.file != INVALID_HANDLE_VALUE) CloseHandle(log.file);
  }
  stop = true;
  WaitForSingleObject(resolver, INFINITE);
  CloseHandle(resolver);
  EXPECT_EQ(0, lost) << "reports that found no whole place for their log";
}

TEST_F(WriteCrashReportTest, UnopenableLogReturnsOneAndLeavesTheLock) {
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  ASSERT_TRUE(CreateDirectoryW(UserLogPath().c_str(), nullptr));
  EXPECT_EQ(EXCEPTION_EXECUTE_HANDLER, Report());
  EXPECT_EQ(0, finished.launches);
  EXPECT_EQ(0, finished.exitCode);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kScriptPathW));
  EXPECT_FALSE(TheCrashLock().IsLocked());
}

TEST_F(WriteCrashReportTest, UncreatableScriptStillLaunchesAndEnds) {
  ASSERT_TRUE(CreateDirectoryW(kScriptPathW, nullptr));
  Report();
  EXPECT_EQ(1, finished.launches);
  EXPECT_EQ(0u, finished.commandLine.find("WScript.exe " + ruxtrap_test::Narrow(ruxtrap_test::TempFolder()) + "~ruxtrap-"))
      << finished.commandLine;
  EXPECT_EQ(-9876, finished.exitCode);
}

// Without a script of the library's own, the script host is not started;
// the process still ends with the report's code.
TEST_F(WriteCrashReportTest, NoScriptWrittenNoLaunch) {
  ASSERT_TRUE(CreateDirectoryW(kScriptPathW, nullptr));
  wchar_t saved[MAX_PATH] = {};
  GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", L"C:\\ruxtrap-no-such-folder");
  ResolveReportPlaces();
  SetEnvironmentVariableW(L"TMP", saved[0] != 0 ? saved : nullptr);
  Report();
  ResolveReportPlaces();
  EXPECT_EQ(0, finished.launches);
  EXPECT_EQ(-9876, finished.exitCode);
}

// A chain of folders under C:\ whose deepest one has the given length,
// removed again when the test ends.
struct DeepFolder {
  std::wstring path = L"C:\\ruxtrap-long";
  explicit DeepFolder(size_t length) {
    CreateDirectoryW(path.c_str(), nullptr);
    while (path.size() + 11 < length) {
      path += L"\\aaaaaaaaaa";
      CreateDirectoryW(path.c_str(), nullptr);
    }
    path += L"\\" + std::wstring(length - path.size() - 1, L'b');
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~DeepFolder() {
    for (std::wstring folder = path; folder.size() > 3; folder.resize(folder.rfind(L'\\')))
      RemoveDirectoryW(folder.c_str());
  }
};

// LOCALAPPDATA as a process may inherit it: naming a folder that is gone,
// one whose log name would not fit in MAX_PATH, one whose log cannot be
// opened (as a folder the user may not write), or C:\ itself. The profile's
// own folder of that role still takes the report.
TEST_F(WriteCrashReportTest, UnusableLocalAppDataFallsBackToTheProfilesFolder) {
  const std::wstring profileLog = UserLogPath();  // LOCALAPPDATA is the profile's folder here
  DeepFolder overlong(245);  // its log name has 261 characters
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(overlong.path.c_str()));
  const std::wstring blocked = L"C:\\ruxtrap-blocked-local";
  ASSERT_TRUE(CreateDirectoryW(blocked.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((blocked + L"\\CrashEvent.log").c_str(), nullptr));
  wchar_t saved[MAX_PATH] = {};
  GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH);
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  for (const std::wstring& value :
       {std::wstring(L"C:\\ruxtrap-no-such-folder"), overlong.path, blocked, std::wstring(L"C:\\")}) {
    SCOPED_TRACE(ruxtrap_test::Narrow(value));
    DeleteFileW(profileLog.c_str());
    finished = Finished();
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
    ResolveReportPlaces();
    SetEnvironmentVariableW(L"LOCALAPPDATA", saved);
    Report();
    ExpectReportIn(profileLog);
    EXPECT_EQ(-9876, finished.exitCode);
  }
  RemoveDirectoryW((blocked + L"\\CrashEvent.log").c_str());
  RemoveDirectoryW(blocked.c_str());
  ResolveReportPlaces();
}

// A relative LOCALAPPDATA is taken from the current folder of InitRuxtrap;
// the host may have moved on by the crash. The message box names the log
// where it was written.
TEST_F(WriteCrashReportTest, RelativeLocalAppDataIsTakenWhereItWasSet) {
  const std::wstring folder = L"C:\\ruxtrap-relative-local";
  const std::wstring log = folder + L"\\CrashEvent.log";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  wchar_t savedVariable[MAX_PATH] = {}, savedFolder[MAX_PATH] = {};
  GetEnvironmentVariableW(L"LOCALAPPDATA", savedVariable, MAX_PATH);
  GetCurrentDirectoryW(MAX_PATH, savedFolder);
  SetCurrentDirectoryW(L"C:\\");
  SetEnvironmentVariableW(L"LOCALAPPDATA", L"ruxtrap-relative-local");
  ResolveReportPlaces();
  SetEnvironmentVariableW(L"LOCALAPPDATA", savedVariable);
  SetCurrentDirectoryW(savedFolder);
  Report();
  ResolveReportPlaces();
  ExpectReportIn(log);
  DeleteFileW(log.c_str());
  RemoveDirectoryW(folder.c_str());
}

// A temp folder too long for the script's name beside it is named by its
// short form: the user still gets the message box.
TEST_F(WriteCrashReportTest, LongTempFolderStillTakesTheScript) {
  DeepFolder overlong(240);
  ASSERT_TRUE(CreateDirectoryW(kScriptPathW, nullptr));
  wchar_t saved[MAX_PATH] = {};
  GetEnvironmentVariableW(L"TMP", saved, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", overlong.path.c_str());
  ResolveReportPlaces();
  SetEnvironmentVariableW(L"TMP", saved[0] != 0 ? saved : nullptr);
  Report();
  ResolveReportPlaces();
  EXPECT_EQ(1, finished.launches);
  const std::string line = finished.commandLine;
  ASSERT_EQ(0u, line.find("WScript.exe ")) << line;
  std::wstring script(line.begin() + 12, line.end());
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile(script, &bytes)) << line;
  EXPECT_EQ("s=MsgBox(\"C:\\CrashEvent.log\", vbCritical, \"Exception\")", bytes);
  wchar_t folder[MAX_PATH] = {};  // the script's own long name would not fit in MAX_PATH
  GetLongPathNameW(script.substr(0, script.rfind(L"\\~ruxtrap-") + 1).c_str(), folder, MAX_PATH);
  EXPECT_EQ(overlong.path + L"\\", folder) << line;
  DeleteFileW(script.c_str());
}

// c:\~tmp.vbs as a second name of another file: that file is not written
// through it, and the script goes to a new file of the library's own.
TEST_F(WriteCrashReportTest, HardLinkedScriptIsLeftAlone) {
  const wchar_t other[] = L"C:\\ruxtrap-other-file.txt";
  ASSERT_TRUE(ruxtrap_test::WriteWholeFile(other, "someone's notes"));
  ASSERT_TRUE(CreateHardLinkW(kScriptPathW, other, nullptr));
  Report();
  std::string otherBytes;
  ASSERT_TRUE(ReadWholeFile(other, &otherBytes));
  DeleteFileW(other);
  EXPECT_EQ("someone's notes", otherBytes);
  EXPECT_EQ(1, finished.launches);
  EXPECT_EQ(0u, finished.commandLine.find("WScript.exe " + ruxtrap_test::Narrow(ruxtrap_test::TempFolder()) + "~ruxtrap-"))
      << finished.commandLine;
  EXPECT_EQ(-9876, finished.exitCode);
}

TEST_F(WriteCrashReportTest, FaultInsideTheReportClosesTheLogAndLeavesTheLock) {
  ASSERT_TRUE(SetCrashHandler(&WriteCrashReport));
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  // The register block reads the context untested: an unreadable one faults.
  EXCEPTION_POINTERS pointers = {&record, reinterpret_cast<CONTEXT*>(0x10)};
  LONG disposition = CrashFilter(&pointers);
  RestorePreviousFilter();
  EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, disposition);
  EXPECT_EQ(0, finished.launches) << "the report did not go on after the fault";
  EXPECT_FALSE(TheCrashLock().IsLocked());
  HANDLE exclusive = CreateFileW(kLogPathW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, exclusive) << "the log is still open";
  CloseHandle(exclusive);
  // The next report takes the lock and appends as usual.
  Report();
  EXPECT_EQ(1, finished.launches);
}

}  // namespace
}  // namespace ruxtrap
