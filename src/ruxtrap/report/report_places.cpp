#include "report/report_places.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "report/append_open.h"
#include "report/file_ownership.h"
#include "support/path_text.h"
#include "report/report.h"
#include "support/crash_lock.h"
#include "support/log_text.h"
#include "support/scoped.h"

namespace ruxtrap {

namespace {

const wchar_t kLogPathW[] = L"C:\\CrashEvent.log";

// What InitRuxtrap found, with the logs' names for opening them without
// the process heap. A report reads it under the report lock.
struct ResolvedPlaces {
  ReportPlaces places;
  AppendName systemLogName;
  AppendName userLogNames[kUserLogCount];
};
ResolvedPlaces published = {};

// A folder named by an environment variable, made absolute (a relative name
// would be read against the current folder of the crash, and the message
// box could not say where the log went), without a trailing backslash.
bool ReadFolderVariable(const wchar_t* name, wchar_t (&out)[MAX_PATH]) {
  wchar_t value[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  n = GetFullPathNameW(value, MAX_PATH, out, nullptr);
  if (n == 0 || n >= MAX_PATH) return false;
  if (out[n - 1] == L'\\') out[n - 1] = 0;
  return true;
}

const wchar_t kUserLogName[] = L"\\CrashEvent.log";

// A folder that exists and whose log name fits in MAX_PATH. Looked at with
// its backslash: "C:" alone would be drive C's current folder.
bool IsUsableLogFolder(const wchar_t* folder) {
  wchar_t asFolder[MAX_PATH];
  if (!Join(asFolder, folder, L"\\") || wcslen(folder) + wcslen(kUserLogName) >= MAX_PATH) return false;
  DWORD attributes = GetFileAttributesW(asFolder);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The per-user folder that is kept (unlike the temp folder, which gets
// cleaned). Windows before Vista has no LOCALAPPDATA variable; its folder of
// that role sits in the profile under an older name.
bool ProfileLocalFolder(wchar_t (&out)[MAX_PATH]) {
  wchar_t profile[MAX_PATH];
  if (!ReadFolderVariable(L"USERPROFILE", profile)) return false;
  for (const wchar_t* tail : {L"\\AppData\\Local", L"\\Local Settings\\Application Data"})
    if (Join(out, profile, tail) && IsUsableLogFolder(out)) return true;
  return false;
}

// Adds folder's log as the next user log.
void AddUserLog(ReportPlaces& places, const wchar_t* folder, int* count) {
  if (!Join(places.userLog[*count], folder, kUserLogName)) return;
  // The message names the log as well as the code page can; a name that
  // loses characters still shows where the log is.
  char shownFolder[MAX_PATH];
  if (!AnsiFolderName(folder, shownFolder, MAX_PATH))
    WideToLogText(folder, static_cast<int>(wcslen(folder)), shownFolder, MAX_PATH);
  Join(places.userLogShown[*count], static_cast<const char*>(shownFolder), "\\CrashEvent.log");
  ++*count;
}

// LOCALAPPDATA's folder, then the profile's own when it is another: a
// LOCALAPPDATA that names no folder, or one that cannot be written (an
// environment handed down from another account), still leaves a log.
void ResolveUserLogs(ReportPlaces& places) {
  int count = 0;
  wchar_t fromVariable[MAX_PATH] = {};
  if (ReadFolderVariable(L"LOCALAPPDATA", fromVariable) && IsUsableLogFolder(fromVariable))
    AddUserLog(places, fromVariable, &count);
  else
    fromVariable[0] = 0;
  wchar_t fromProfile[MAX_PATH];
  if (ProfileLocalFolder(fromProfile) && _wcsicmp(fromProfile, fromVariable) != 0)
    AddUserLog(places, fromProfile, &count);
}

// A temp folder too long to hold the script's name is named by its short
// (8.3) form, where the volume keeps one.
bool ShortenTempFolder(ReportPlaces& places) {
  wchar_t shortName[MAX_PATH];
  DWORD n = GetShortPathNameW(places.tempFolder, shortName, MAX_PATH);
  if (n == 0 || n + kTempScriptNameRoom >= MAX_PATH) return false;
  memcpy(places.tempFolder, shortName, (n + 1) * sizeof(wchar_t));
  return true;
}

void ResolveTempFolder(ReportPlaces& places) {
  DWORD n = GetTempPathW(MAX_PATH, places.tempFolder);
  if (n == 0 || n >= MAX_PATH || (n + kTempScriptNameRoom >= MAX_PATH && !ShortenTempFolder(places)) ||
      !AnsiFolderName(places.tempFolder, places.tempFolderAnsi, MAX_PATH)) {
    places.tempFolder[0] = 0;
    places.tempFolderAnsi[0] = 0;
  }
}

// Whether path names a file this process can read that begins as every
// executable image does, with "MZ". Read at InitRuxtrap: the crash
// reads only the answer, and no module is loaded to get it.
bool IsReadableImage(const wchar_t* path) {
  ScopedFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char head[2] = {};
  DWORD got = 0;
  return file.IsValid() && ReadFile(file.Get(), head, sizeof(head), &got, nullptr) && got == sizeof(head) &&
         head[0] == 'M' && head[1] == 'Z';
}

// The script host, and whether the engine of its .vbs files is there: the
// script host loads vbscript.dll from the system folder, and without it
// runs but shows nothing.
void ResolveScriptHost(ReportPlaces& places) {
  wchar_t system[MAX_PATH];
  char systemAnsi[MAX_PATH];
  wchar_t engine[MAX_PATH];
  places.withoutVBScript = false;
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !AnsiFolderName(system, systemAnsi, MAX_PATH) ||
      !Join(places.scriptHost, static_cast<const char*>(systemAnsi), "\\WScript.exe")) {
    places.scriptHost[0] = 0;
    return;
  }
  places.withoutVBScript =
      !Join(engine, static_cast<const wchar_t*>(system), L"\\vbscript.dll") || !IsReadableImage(engine);
}

// A log is held against other processes' reports before anything is
// written; one that opened but cannot take the report is closed again (and
// the lock goes with it).
HANDLE Usable(HANDLE opened) {
  ScopedFileHandle log(opened);
  if (!log.IsValid()) return INVALID_HANDLE_VALUE;
  LockLogForReport(log.Get());
  return IsUsableLog(log.Get()) ? log.Release() : INVALID_HANDLE_VALUE;
}

}  // namespace

const ReportPlaces& TheReportPlaces() { return published.places; }

// Resolved aside first: the resolution takes the process heap, which a
// report's crash may hold; publishing is a copy.
void ResolveReportPlaces() {
  ResolvedPlaces fresh = {};
  ResolveUserLogs(fresh.places);
  ResolveTempFolder(fresh.places);
  ResolveScriptHost(fresh.places);
  PrepareAppendName(kLogPathW, &fresh.systemLogName);
  for (int i = 0; i < kUserLogCount; ++i) PrepareAppendName(fresh.places.userLog[i], &fresh.userLogNames[i]);
  PublishUnlessReporting([&fresh] { published = fresh; });
  ResolveFileOwnership();
}


CrashLog OpenCrashLog() {
  const ReportPlaces& places = published.places;
  HANDLE file = Usable(OpenForAppending(published.systemLogName, kLogPathW));
  if (file != INVALID_HANDLE_VALUE) return {file, kLogPath};
  for (int i = 0; i < kUserLogCount && places.userLog[i][0] != 0; ++i) {
    file = Usable(OpenForAppending(published.userLogNames[i], places.userLog[i]));
    if (file != INVALID_HANDLE_VALUE) return {file, places.userLogShown[i]};
  }
  return {INVALID_HANDLE_VALUE, nullptr};
}

}  // namespace ruxtrap
