#include "report/report_places.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "report/append_open.h"
#include "report/report.h"
#include "support/function_cast.h"
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
// The logs' names, for opening them without the process heap.
AppendName systemLogName;
AppendName userLogNames[kUserLogCount];

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
void AddUserLog(const wchar_t* folder, int* count) {
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
void ResolveUserLogs() {
  memset(places.userLog, 0, sizeof(places.userLog));
  memset(places.userLogShown, 0, sizeof(places.userLogShown));
  int count = 0;
  wchar_t fromVariable[MAX_PATH] = {};
  if (ReadFolderVariable(L"LOCALAPPDATA", fromVariable) && IsUsableLogFolder(fromVariable))
    AddUserLog(fromVariable, &count);
  else
    fromVariable[0] = 0;
  wchar_t fromProfile[MAX_PATH];
  if (ProfileLocalFolder(fromProfile) && _wcsicmp(fromProfile, fromVariable) != 0) AddUserLog(fromProfile, &count);
}

// Room for the temp script's name, "~ruxtrap-<pid>-<counter>-<n>.vbs".
constexpr DWORD kTempNameRoom = 48;

// A temp folder too long to hold the script's name is named by its short
// (8.3) form, where the volume keeps one.
bool ShortenTempFolder() {
  wchar_t shortName[MAX_PATH];
  DWORD n = GetShortPathNameW(places.tempFolder, shortName, MAX_PATH);
  if (n == 0 || n + kTempNameRoom >= MAX_PATH) return false;
  memcpy(places.tempFolder, shortName, (n + 1) * sizeof(wchar_t));
  return true;
}

void ResolveTempFolder() {
  DWORD n = GetTempPathW(MAX_PATH, places.tempFolder);
  if (n == 0 || n >= MAX_PATH || (n + kTempNameRoom >= MAX_PATH && !ShortenTempFolder()) ||
      !AnsiFolderName(places.tempFolder, places.tempFolderAnsi, MAX_PATH)) {
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

// Creates path, which must not exist yet, and writes text. While the handle
// is open, nobody else can write or delete the file.
ScopedFileHandle CreateNewScript(const wchar_t* path, const char* text) {
  ScopedFileHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.IsValid() && !WriteWhole(file.Get(), text, static_cast<DWORD>(strlen(text)))) file.Reset();
  return file;
}

// The accounts whose files this process may take as its own: the token's
// user, and its default owner (an elevated administrator's new files belong
// to the Administrators group). Empty entries match nothing.
BYTE accountSids[2][SECURITY_MAX_SID_SIZE];

void ReadTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, BYTE (&out)[SECURITY_MAX_SID_SIZE]) {
  memset(out, 0, sizeof(out));
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  if (!GetTokenInformation(token, kind, &info, sizeof(info), &size)) return;
  PSID sid = kind == TokenUser ? info.user.User.Sid : info.owner.Owner;
  if (IsValidSid(sid)) CopySid(sizeof(out), out, sid);
}

void ResolveAccount() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    memset(accountSids, 0, sizeof(accountSids));
    return;
  }
  ScopedKernelHandle owned(token);
  ReadTokenSid(owned.Get(), TokenUser, accountSids[0]);
  ReadTokenSid(owned.Get(), TokenOwner, accountSids[1]);
}

bool IsOwnAccount(PSID owner) {
  for (BYTE* sid : {accountSids[0], accountSids[1]})
    if (IsValidSid(sid) && EqualSid(owner, sid)) return true;
  return false;
}

// GetFinalPathNameByHandleW, where the system has it (Vista and later);
// bound at InitRuxtrap.
using FinalPathFn = DWORD(WINAPI*)(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
FinalPathFn finalPathOf = nullptr;

// Whether the open file is c:\~tmp.vbs itself. Under Wine a Unix symbolic
// link opens as its target, without the reparse attribute that marks a
// Windows link; the name the system ends at tells it apart. Without the call
// the name is taken as it is.
bool IsAtScriptPath(HANDLE file) {
  if (finalPathOf == nullptr) return true;
  wchar_t path[MAX_PATH];
  DWORD n = finalPathOf(file, path, MAX_PATH, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  return n > 0 && n < MAX_PATH && _wcsicmp(path, L"\\\\?\\c:\\~tmp.vbs") == 0;
}

// An existing file the script may be written into: this account's own, with
// no other name, and no link. A file of another account may be rewritten by
// its owner between the write and the script host's read; a second name or a
// link makes it some other file, which would be overwritten.
// Reads the owner into a buffer of its own: the heap may be damaged.
bool IsOwnSoleFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !IsAtScriptPath(file))
    return false;
  alignas(8) BYTE descriptor[512];
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, descriptor, sizeof(descriptor), &needed))
    return false;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  return GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr && IsOwnAccount(owner);
}

HANDLE OpenScriptPath(DWORD disposition) {
  return CreateFileW(kScriptPathW, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// c:\~tmp.vbs, new or this account's own from an earlier crash (emptied
// first); invalid when it is another's or cannot be written. A Windows link
// at that name is opened itself (not its target), to be refused. Created
// only where no name at all stands, so a dangling link never makes its
// target.
ScopedFileHandle CreateFixedScript(const char* text) {
  SetLastError(0);
  ScopedFileHandle file(OpenScriptPath(CREATE_NEW));
  bool existed = false;
  if (!file.IsValid()) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return file;
    file.Reset(OpenScriptPath(OPEN_EXISTING));
    if (!file.IsValid()) return file;
    existed = true;
  }
  if ((existed && (!IsOwnSoleFile(file.Get()) || !SetEndOfFile(file.Get()))) ||
      !WriteWhole(file.Get(), text, static_cast<DWORD>(strlen(text))))
    file.Reset();
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
  // The counter's low bits make the names hard to guess: another account
  // that shares the temp folder cannot take them all in advance.
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  for (unsigned n = 0; n < kTempNameTries; ++n) {
    char name[kTempNameRoom] = {};
    _snprintf(name, sizeof(name) - 1, "~ruxtrap-%lu-%08lX-%u.vbs", GetCurrentProcessId(), now.LowPart, n);
    wchar_t wideName[kTempNameRoom] = {};  // the name is plain ASCII
    for (size_t i = 0; name[i] != 0; ++i) wideName[i] = name[i];
    wchar_t path[MAX_PATH];
    char pathAnsi[MAX_PATH];
    if (!Join(path, places.tempFolder, static_cast<const wchar_t*>(wideName)) ||
        !Join(pathAnsi, static_cast<const char*>(places.tempFolderAnsi), static_cast<const char*>(name)))
      return false;
    SetLastError(0);
    script->file = CreateNewScript(path, text);
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
  finalPathOf = FunctionCast<FinalPathFn>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW"));
  ResolveUserLogs();
  ResolveTempFolder();
  ResolveScriptHost();
  ResolveAccount();
  PrepareAppendName(kLogPathW, &systemLogName);
  for (int i = 0; i < kUserLogCount; ++i) PrepareAppendName(places.userLog[i], &userLogNames[i]);
}

// A log is held against other processes' reports before anything is
// written; one that opened but cannot take the report is closed again (and
// the lock goes with it).
HANDLE Usable(HANDLE log) {
  if (log == INVALID_HANDLE_VALUE) return log;
  LockLogForReport(log);
  if (IsUsableLog(log)) return log;
  CloseHandle(log);
  return INVALID_HANDLE_VALUE;
}

CrashLog OpenCrashLog() {
  HANDLE file = Usable(OpenForAppending(systemLogName, kLogPathW));
  if (file != INVALID_HANDLE_VALUE) return {file, kLogPath};
  for (int i = 0; i < kUserLogCount && places.userLog[i][0] != 0; ++i) {
    file = Usable(OpenForAppending(userLogNames[i], places.userLog[i]));
    if (file != INVALID_HANDLE_VALUE) return {file, places.userLogShown[i]};
  }
  return {INVALID_HANDLE_VALUE, nullptr};
}

bool WriteMessageScript(const char* logShownPath, MessageScript* script) {
  char text[MAX_PATH + 64];
  if (_snprintf(text, sizeof(text), kScriptFormat, logShownPath) < 0) return false;
  text[sizeof(text) - 1] = 0;
  // A file of the library's own from an earlier crash is overwritten, as
  // before. One it may not write (read-only, another owner, a folder) or
  // that is not its own is left alone and never handed to the script host.
  script->file = CreateFixedScript(text);
  if (script->file.IsValid()) {
    Join(script->commandLine, kScriptHostCall, kScriptPath);
    return true;
  }
  return WriteTempScript(text, script);
}

}  // namespace ruxtrap
