#include "report/report_places.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "report/append_open.h"
#include "report/report.h"
#include "support/log_text.h"

namespace ruxtrap {

namespace {

const wchar_t kScriptPathW[] = L"c:\\~tmp.vbs";
const wchar_t kLogPathW[] = L"C:\\CrashEvent.log";
const char kScriptHostCall[] = "WScript.exe ";
const char kScriptFormat[] = "s=MsgBox(\"%s\", vbCritical, \"Exception\")";
// A name that is taken is tried again with the next number; other errors end
// the search.
constexpr unsigned kTempNameTries = 100;

ReportPlaces places = {};
// The two logs' names for opening them without the process heap.
AppendName systemLogName;
AppendName userLogName;

size_t Length(const char* text) { return strlen(text); }
size_t Length(const wchar_t* text) { return wcslen(text); }

// Appends tail to the string in out (capacity size). False, and out unchanged,
// when the whole of it does not fit.
template <class Char>
bool Append(Char* out, size_t size, const Char* tail) {
  size_t used = Length(out);
  size_t more = Length(tail);
  if (used + more >= size) return false;
  memcpy(out + used, tail, (more + 1) * sizeof(Char));
  return true;
}

template <class Char, size_t N>
bool Join(Char (&out)[N], const Char* head, const Char* tail) {
  out[0] = 0;
  if (Append(out, N, head) && Append(out, N, tail)) return true;
  out[0] = 0;
  return false;
}

// text in the ANSI code page, only if no character is lost on the way.
bool ToAnsiExactly(const wchar_t* text, char* out, int size) {
  BOOL lossy = FALSE;
  // UTF-8 as the ANSI code page holds every character, and takes no flags.
  bool utf8 = GetACP() == CP_UTF8;
  int n = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, text, -1, out, size, nullptr,
                              utf8 ? nullptr : &lossy);
  return n > 0 && !lossy;
}

// A folder's name in the ANSI code page: the name itself, else its short
// (8.3) name, which the file system makes of plain characters. False when
// neither fits, or the volume keeps no short names.
bool AnsiFolderName(const wchar_t* folder, char* out, int size) {
  if (ToAnsiExactly(folder, out, size)) return true;
  wchar_t shortName[MAX_PATH];
  DWORD n = GetShortPathNameW(folder, shortName, MAX_PATH);
  return n > 0 && n < MAX_PATH && ToAnsiExactly(shortName, out, size);
}

bool ReadVariable(const wchar_t* name, wchar_t (&out)[MAX_PATH]) {
  DWORD n = GetEnvironmentVariableW(name, out, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  if (out[n - 1] == L'\\') out[n - 1] = 0;
  return true;
}

bool IsFolder(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The per-user folder that is kept (unlike the temp folder, which gets
// cleaned). Windows before Vista has no LOCALAPPDATA variable; its folder of
// that role sits in the profile under an older name.
bool LocalAppDataFolder(wchar_t (&out)[MAX_PATH]) {
  if (ReadVariable(L"LOCALAPPDATA", out)) return true;
  wchar_t profile[MAX_PATH];
  if (!ReadVariable(L"USERPROFILE", profile)) return false;
  for (const wchar_t* tail : {L"\\AppData\\Local", L"\\Local Settings\\Application Data"})
    if (Join(out, profile, tail) && IsFolder(out)) return true;
  return false;
}

void ResolveUserLog() {
  places.userLog[0] = 0;
  places.userLogShown[0] = 0;
  wchar_t folder[MAX_PATH];
  if (!LocalAppDataFolder(folder) || !Join(places.userLog, folder, L"\\CrashEvent.log")) return;
  // The message names the log as well as the code page can; a name that
  // loses characters still shows where the log is.
  char shownFolder[MAX_PATH];
  if (!AnsiFolderName(folder, shownFolder, MAX_PATH))
    WideToLogText(folder, static_cast<int>(wcslen(folder)), shownFolder, MAX_PATH);
  Join(places.userLogShown, static_cast<const char*>(shownFolder), "\\CrashEvent.log");
}

void ResolveTempFolder() {
  DWORD n = GetTempPathW(MAX_PATH, places.tempFolder);
  if (n == 0 || n >= MAX_PATH || !AnsiFolderName(places.tempFolder, places.tempFolderAnsi, MAX_PATH)) {
    places.tempFolder[0] = 0;
    places.tempFolderAnsi[0] = 0;
  }
}

void ResolveScriptHost() {
  wchar_t system[MAX_PATH];
  char systemAnsi[MAX_PATH];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !AnsiFolderName(system, systemAnsi, MAX_PATH) ||
      !Join(places.scriptHost, static_cast<const char*>(systemAnsi), "\\WScript.exe"))
    places.scriptHost[0] = 0;
}

bool WriteWhole(HANDLE file, const char* text, DWORD length) {
  DWORD written = 0;
  return WriteFile(file, text, length, &written, nullptr) && written == length;
}

// Creates path (disposition CREATE_ALWAYS or CREATE_NEW) and writes text.
// While the handle is open, nobody else can write or delete the file.
ScopedSnapshot CreateScript(const wchar_t* path, DWORD disposition, const char* text) {
  ScopedSnapshot file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.IsValid() && !WriteWhole(file.Get(), text, static_cast<DWORD>(strlen(text)))) file.Reset();
  return file;
}

// "WScript.exe " and the script's path, quoted when it holds a blank (a
// profile folder such as "C:\Users\John Smith" would split it otherwise).
void SetCommandLine(MessageScript* script, const char* path) {
  bool quote = strchr(path, ' ') != nullptr;
  Join(script->commandLine, kScriptHostCall, quote ? "\"" : "");
  Append(script->commandLine, sizeof(script->commandLine), path);
  if (quote) Append(script->commandLine, sizeof(script->commandLine), "\"");
}

// A new file in the user's temp folder: CREATE_NEW never opens a file that
// was already there, whoever put it there.
bool WriteTempScript(const char* text, MessageScript* script) {
  if (places.tempFolder[0] == 0) return false;
  for (unsigned n = 0; n < kTempNameTries; ++n) {
    char name[48] = {};
    _snprintf(name, sizeof(name) - 1, "~ruxtrap-%lu-%u.vbs", GetCurrentProcessId(), n);
    wchar_t wideName[48] = {};  // the name is plain ASCII
    for (size_t i = 0; name[i] != 0; ++i) wideName[i] = name[i];
    wchar_t path[MAX_PATH];
    char pathAnsi[MAX_PATH];
    if (!Join(path, places.tempFolder, static_cast<const wchar_t*>(wideName)) ||
        !Join(pathAnsi, static_cast<const char*>(places.tempFolderAnsi), static_cast<const char*>(name)))
      return false;
    SetLastError(0);
    script->file = CreateScript(path, CREATE_NEW, text);
    if (script->file.IsValid()) {
      SetCommandLine(script, pathAnsi);
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

}  // namespace

const ReportPlaces& TheReportPlaces() { return places; }

void ResolveReportPlaces() {
  ResolveUserLog();
  ResolveTempFolder();
  ResolveScriptHost();
  PrepareAppendName(kLogPathW, &systemLogName);
  PrepareAppendName(places.userLog, &userLogName);
  SetUpStreamsForCrash();
}

CrashLog OpenCrashLog() {
  bool answered = false;
  FILE* file = OpenForAppending(systemLogName, &answered);
  if (!answered) file = fopen(kLogPath, "a+");
  if (file != nullptr) return {file, kLogPath};
  if (places.userLog[0] == 0) return {nullptr, places.userLogShown};
  file = OpenForAppending(userLogName, &answered);
  if (!answered) file = _wfopen(places.userLog, L"a+");
  return {file, places.userLogShown};
}

bool WriteMessageScript(const char* logShownPath, MessageScript* script) {
  char text[MAX_PATH + 64];
  if (_snprintf(text, sizeof(text), kScriptFormat, logShownPath) < 0) return false;
  text[sizeof(text) - 1] = 0;
  // CREATE_ALWAYS, as before: a file of the library's own from an earlier
  // crash is overwritten. One it may not write (read-only, another owner, a
  // folder) is left alone and never handed to the script host.
  script->file = CreateScript(kScriptPathW, CREATE_ALWAYS, text);
  if (script->file.IsValid()) {
    Join(script->commandLine, kScriptHostCall, kScriptPath);
    return true;
  }
  return WriteTempScript(text, script);
}

}  // namespace ruxtrap
