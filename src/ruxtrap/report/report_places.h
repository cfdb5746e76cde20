// Where a report and its message box go, and which script host shows the box.
//
// The fixed places are C:\CrashEvent.log and c:\~tmp.vbs. A standard user
// since Vista, and most services, cannot write C:\, and c:\~tmp.vbs may be a
// file another account planted: then the report goes to CrashEvent.log in the
// user's local application data folder, and the script to a new file in the
// user's temp folder (message_script.h). The script host is always the
// system folder's WScript.exe, never one found by search. Where the system
// cannot run VBScript, the script is JScript, c:\~tmp.js by the same rules.
//
// The folders are resolved by InitRuxtrap while the process is sound; at
// crash time only these buffers are read (no environment, no loader).
#pragma once

#include <windows.h>

namespace ruxtrap {

// Room for the temp script's name, "~ruxtrap-<pid>-<counter>-<n>.vbs" (or .js).
constexpr DWORD kTempScriptNameRoom = 48;

// The user's logs, tried in turn when C:\CrashEvent.log cannot take the
// report: LOCALAPPDATA's, then the profile's folder of that role when it is
// another (LOCALAPPDATA may name a folder the user cannot write, handed down
// from another account).
constexpr int kUserLogCount = 2;

struct ReportPlaces {
  // <folder>\CrashEvent.log; empty where no folder is known.
  wchar_t userLog[kUserLogCount][MAX_PATH];
  // The same names as the message box shows them, in the ANSI code page.
  char userLogShown[kUserLogCount][MAX_PATH];
  // The user's temp folder, ending in a backslash, and its ANSI name for the
  // script host's command line; both empty when the ANSI name would lose
  // characters (the script host could not find the file).
  wchar_t tempFolder[MAX_PATH];
  char tempFolderAnsi[MAX_PATH];
  // <system folder>\WScript.exe; empty: no script host is ever started.
  char scriptHost[MAX_PATH];
  // The system folder holds no VBScript engine, vbscript.dll, that is an
  // image: WScript.exe cannot run a .vbs there (VBScript is an optional
  // feature from Windows 11 24H2 on), and the box's script is JScript.
  // Under WOW64 the 32-bit engine counts, the one the 32-bit script host
  // loads: the system folder is redirected to SysWOW64 for this process.
  bool withoutVBScript;
};

// Fills the places from the environment (LOCALAPPDATA when it names a usable
// folder, and the profile's folder of that role), GetTempPathW and
// GetSystemDirectoryW (the script host and the VBScript engine), and notes
// the process's account, whose own c:\~tmp.vbs (or .js) alone is written
// into. Runs at every InitRuxtrap: with the same environment and system
// folder it writes the same bytes again.
void ResolveReportPlaces();
const ReportPlaces& TheReportPlaces();

// The log a report is appended to.
struct CrashLog {
  HANDLE file;             // INVALID_HANDLE_VALUE: no log could be opened
  const char* shownPath;   // the log's name for the message box
};

// Opens C:\CrashEvent.log for appending, else the first of the user's logs
// that opens, and holds it against other processes' reports (see LockLogForReport).
CrashLog OpenCrashLog();

}  // namespace ruxtrap
