// Runs the crash host in a child process and collects what a crash leaves:
// the full 32-bit exit code, the log, the script file and what reached the
// stand-in script host. A run ends once the host and every process it started
// (the script host) have ended. All runs share the fixed C:\ paths, the
// user's own log and the temp folder of the prefix.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/report_reader.h"

namespace ruxtrap_test {

constexpr DWORD kCrashExitCode = static_cast<DWORD>(-9876);

struct CrashRun {
  bool finished = false;     // false: the host did not end within the time limit
  DWORD exitCode = 0;
  bool logExists = false;
  std::string log;           // bytes of C:\CrashEvent.log
  bool scriptExists = false;
  std::string script;        // bytes of c:\~tmp.vbs
  bool userLogExists = false;
  std::string userLog;       // bytes of CrashEvent.log in the local application data folder
  bool scriptHostStarted = false;
  int scriptHostLaunches = 0;
  // What the stand-in recorded of its first start: command line, its own
  // path, and the script it read ("<unreadable>" when it could not).
  std::string scriptHostCommandLine;
  std::string scriptHostProgram;
  std::string scriptHostScript;
  std::map<std::string, DWORD> facts;  // what the crash host recorded about itself
  std::vector<std::string> debugOutput;  // with captureDebugOutput: the host's debug strings
};

struct CrashHostOptions {
  std::wstring folder;       // where the host runs from; empty: the tests' own folder
  std::wstring program = L"crash_host.exe";
  std::wstring currentDirectory;  // empty: the host's folder
  bool clearDriveC = true;   // remove the log, script and record first
  bool captureDebugOutput = false;  // collect the host's OutputDebugString text
  DWORD timeoutMs = 60000;
  // When set, the host is ended from outside (TerminateProcess, exit code 1)
  // as soon as the log, read as it grows, satisfies it.
  std::function<bool(const std::string& log)> killWhen;
};

// The folder of the running test program (where the tools are built).
std::wstring BinFolder();
// drive_c paths of the prefix.
extern const wchar_t kLogPathW[];
extern const wchar_t kScriptPathW[];
extern const wchar_t kJScriptPathW[];  // the script where the system has no VBScript
extern const wchar_t kScriptHostRecordW[];
extern const wchar_t kHostFactsW[];

// The user's own log, <LOCALAPPDATA>\CrashEvent.log, and the temp folder
// (with its trailing backslash) as this process sees them.
std::wstring UserLogPath();
std::wstring TempFolder();
// The script host the library starts, and the system folder's stand-in.
std::wstring SystemScriptHostPath();
// Puts program at the system folder's wscript.exe. The file there is removed
// first: a prefix's system files may be hard links to Wine's own, which must
// not be written through.
bool ReplaceSystemScriptHost(const std::string& program);
// Puts the stand-in (WScript.exe of the tests' folder) there.
bool InstallScriptHostStandIn();

// Removes what crashes leave: the fixed C:\ files, the user's own log and the
// library's scripts (.vbs and .js) in the temp folder.
void ClearDriveC();
bool ReadWholeFile(const std::wstring& path, std::string* bytes);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// Removes a file or an empty folder; true when nothing is left at path.
bool RemovePath(const std::wstring& path);

CrashRun RunCrashHost(const std::wstring& arguments, const CrashHostOptions& options = {});

// Several crash hosts started together, each with the same arguments; each
// counts itself in on the semaphore "ruxtrap-start-together-ready", then
// waits for the named event "ruxtrap-start-together", which is set once all
// have counted in. Returns the exit codes (STILL_ACTIVE for a host that did
// not end).
std::vector<DWORD> RunCrashHostsTogether(int count, const std::wstring& arguments, DWORD timeoutMs = 120000,
                                         const std::wstring& program = L"crash_host.exe");
extern const wchar_t kStartTogetherEvent[];

}  // namespace ruxtrap_test
