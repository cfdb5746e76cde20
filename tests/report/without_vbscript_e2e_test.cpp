// The message box on a system that cannot run VBScript: its engine,
// vbscript.dll, taken out of the prefix's system folder, the crash host's
// script is JScript, by the same rules of place as the .vbs. What the box
// itself shows, from c:\~tmp.js too, is read from its window by
// message_box_window_test.sh.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "common/crash_run.h"
#include "report/message_script.h"

namespace ruxtrap_test {
namespace {

const char kBoxOfTheSystemLog[] =
    "new ActiveXObject(\"WScript.Shell\").Popup(\"C:\\\\CrashEvent.log\", 0, \"Exception\", 16);";

std::string JScriptShowing(const std::string& escapedLog) {
  return "new ActiveXObject(\"WScript.Shell\").Popup(\"" + escapedLog + "\", 0, \"Exception\", 16);";
}

// A name of plain ASCII as a JScript string holds it.
std::string EscapeBackslashes(const std::wstring& path) {
  std::string escaped;
  for (wchar_t c : path) escaped += c == L'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(c));
  return escaped;
}

std::wstring SystemFile(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, n) + L"\\" + name;
}

// The engine is moved aside for each case and back after it; a run that
// ended before it could put it back has it put back first.
class WithoutVBScript : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PutEngineBack());
    ASSERT_TRUE(MoveFileW(engine_.c_str(), away_.c_str()));
  }
  void TearDown() override {
    EXPECT_TRUE(PutEngineBack());
    ClearDriveC();
  }

 private:
  bool PutEngineBack() {
    if (GetFileAttributesW(away_.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    return MoveFileExW(away_.c_str(), engine_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
  }
  const std::wstring engine_ = SystemFile(L"vbscript.dll");
  const std::wstring away_ = SystemFile(L"vbscript.dll.ruxtrap-away");
};

// The user's own log in a folder whose name the ANSI code page cannot hold,
// and a c:\~tmp.js the library may not write: a new .js in the temp folder
// names the log whole, each letter the code page lacks as \uXXXX.
TEST_F(WithoutVBScript, AUsersLogOutsideTheCodePageIsNamedWholeFromTheTempFolder) {
  const std::wstring local = TempFolder() + L"ruxtrap \u0416\u0443\u0440\u043d\u0430\u043b \u65e5\u672c";
  const std::string localEscaped =
      EscapeBackslashes(TempFolder()) + "ruxtrap \\u0416\\u0443\\u0440\\u043D\\u0430\\u043B \\u65E5\\u672C";
  ClearDriveC();
  ASSERT_TRUE(CreateDirectoryW(local.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CreateDirectoryW(kLogPathW, nullptr));
  ASSERT_TRUE(CreateDirectoryW(kJScriptPathW, nullptr));
  wchar_t saved[MAX_PATH] = {};
  GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH);
  SetEnvironmentVariableW(L"LOCALAPPDATA", local.c_str());  // the crash host inherits it
  CrashHostOptions options;
  options.clearDriveC = false;
  CrashRun run = RunCrashHost(L"av", options);
  SetEnvironmentVariableW(L"LOCALAPPDATA", saved);
  RemovePath(local + L"\\CrashEvent.log");
  RemovePath(local);
  RemovePath(kJScriptPathW);
  EXPECT_EQ(kCrashExitCode, run.exitCode);
  EXPECT_EQ(1, CountOf(run.userLog, "\t\t\tCall Stack\r\n"));
  EXPECT_EQ(JScriptShowing(localEscaped + "\\\\CrashEvent.log"), run.scriptHostScript);
  const std::string& line = run.scriptHostCommandLine;
  EXPECT_EQ(0u, line.find("WScript.exe " + Narrow(TempFolder()) + "~ruxtrap-")) << line;
  EXPECT_EQ(line.size() - 3, line.rfind(".js")) << line;
}

TEST(JScriptMessage, NamesAreEscapedForJScriptStrings) {
  char text[512];
  ASSERT_TRUE(ruxtrap::FormatJScriptMessage(L"C:\\CrashEvent.log", text, sizeof(text)));
  EXPECT_EQ(kBoxOfTheSystemLog, std::string(text));
  // Quotes, a letter beyond the basic plane (two UTF-16 units), a tab.
  ASSERT_TRUE(ruxtrap::FormatJScriptMessage(L"C:\\a\"b\u00e9\U0001F600\t.log", text, sizeof(text)));
  EXPECT_EQ(JScriptShowing("C:\\\\a\\\"b\\u00E9\\uD83D\\uDE00\\u0009.log"), std::string(text));
}

TEST(JScriptMessage, ATextThatDoesNotFitIsNoText) {
  char text[80];
  EXPECT_TRUE(ruxtrap::FormatJScriptMessage(L"C:\\x", text, sizeof(text)));
  EXPECT_FALSE(ruxtrap::FormatJScriptMessage(L"C:\\\u0416\u0416\u0416\u0416\u0416", text, sizeof(text)));
  EXPECT_EQ("", std::string(text));
}

}  // namespace
}  // namespace ruxtrap_test
