#include "report/message_script.h"

#include <stdio.h>
#include <string.h>

#include "report/file_ownership.h"
#include "support/path_text.h"
#include "report/report.h"
#include "report/report_places.h"

namespace ruxtrap {

namespace {

// The files of one script language: the fixed script and the extension of
// the temp folder's script, by which the script host picks the language.
struct ScriptFiles {
  const wchar_t* fixedPathW;
  const wchar_t* fixedFinalPath;  // the fixed path as the system names the file a handle leads to
  const char* fixedPath;
  const char* extension;
};
const ScriptFiles kVBScriptFiles = {L"c:\\~tmp.vbs", L"\\\\?\\c:\\~tmp.vbs", kScriptPath, "vbs"};
const ScriptFiles kJScriptFiles = {L"c:\\~tmp.js", L"\\\\?\\c:\\~tmp.js", kJScriptPath, "js"};

const char kScriptHostCall[] = "WScript.exe ";
const char kScriptFormat[] = "s=MsgBox(\"%s\", vbCritical, \"Exception\")";
// 16: the critical icon and the OK button, as vbCritical's MsgBox has them.
const char kJScriptHead[] = "new ActiveXObject(\"WScript.Shell\").Popup(\"";
const char kJScriptTail[] = "\", 0, \"Exception\", 16);";
// A name of MAX_PATH characters, each escaped as \uXXXX at worst.
constexpr size_t kJScriptRoom = sizeof(kJScriptHead) + MAX_PATH * 6 + sizeof(kJScriptTail);
// A name that is taken is tried again with the next number; other errors end
// the search.
constexpr unsigned kTempNameTries = 100;

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

HANDLE OpenScriptPath(const ScriptFiles& files, DWORD disposition) {
  return CreateFileW(files.fixedPathW, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ,
                     nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// The fixed script file, new or this account's own from an earlier crash
// (emptied first); invalid when it is another's or cannot be written. A
// Windows link at that name is opened itself (not its target), to be
// refused. Created only where no name at all stands, so a dangling link
// never makes its target.
ScopedFileHandle CreateFixedScript(const ScriptFiles& files, const char* text) {
  SetLastError(0);
  ScopedFileHandle file(OpenScriptPath(files, CREATE_NEW));
  bool existed = false;
  if (!file.IsValid()) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return file;
    file.Reset(OpenScriptPath(files, OPEN_EXISTING));
    if (!file.IsValid()) return file;
    existed = true;
  }
  if ((existed && (!IsOwnSoleFileAt(file.Get(), files.fixedFinalPath) || !SetEndOfFile(file.Get()))) ||
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
bool WriteTempScript(const ScriptFiles& files, const char* text, MessageScript* script) {
  const ReportPlaces& places = TheReportPlaces();
  if (places.tempFolder[0] == 0) return false;
  // The counter's low bits make the names hard to guess: another account
  // that shares the temp folder cannot take them all in advance.
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  for (unsigned n = 0; n < kTempNameTries; ++n) {
    char name[kTempScriptNameRoom] = {};
    _snprintf(name, sizeof(name) - 1, "~ruxtrap-%lu-%08lX-%u.%s", GetCurrentProcessId(), now.LowPart, n,
              files.extension);
    wchar_t wideName[kTempScriptNameRoom] = {};  // the name is plain ASCII
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

// The fixed file when the library may write it, else a new one in the temp
// folder. A file of the library's own from an earlier crash is overwritten.
// One it may not write (read-only, another owner, a folder) or that is not
// its own is left alone and never handed to the script host.
bool WriteScriptFile(const ScriptFiles& files, const char* text, MessageScript* script) {
  script->file = CreateFixedScript(files, text);
  if (script->file.IsValid()) {
    Join(script->commandLine, kScriptHostCall, files.fixedPath);
    return true;
  }
  return WriteTempScript(files, text, script);
}

// The log's full name. OpenCrashLog hands out the user logs' shown names
// from the places themselves, whose wide names are kept beside them; any
// other name (C:\CrashEvent.log) is plain text of the code page.
bool WideLogName(const char* logShownPath, wchar_t (&out)[MAX_PATH]) {
  const ReportPlaces& places = TheReportPlaces();
  for (int i = 0; i < kUserLogCount; ++i)
    if (logShownPath == places.userLogShown[i]) return Join(out, places.userLog[i], L"");
  return MultiByteToWideChar(CP_ACP, 0, logShownPath, -1, out, MAX_PATH) > 0;
}

bool WriteVBScript(const char* logShownPath, MessageScript* script) {
  char text[MAX_PATH + 64];
  if (_snprintf(text, sizeof(text), kScriptFormat, logShownPath) < 0) return false;
  text[sizeof(text) - 1] = 0;
  return WriteScriptFile(kVBScriptFiles, text, script);
}

bool WriteJScript(const char* logShownPath, MessageScript* script) {
  wchar_t log[MAX_PATH];
  char text[kJScriptRoom];
  return WideLogName(logShownPath, log) && FormatJScriptMessage(log, text, sizeof(text)) &&
         WriteScriptFile(kJScriptFiles, text, script);
}

// Appends text to out, which holds *used characters; false when it does not
// fit in room.
bool Put(char* out, size_t room, size_t* used, const char* text) {
  size_t n = strlen(text);
  if (*used + n >= room) return false;
  memcpy(out + *used, text, n + 1);
  *used += n;
  return true;
}

// One character of a JScript string literal between double quotes.
void EscapeForJScript(wchar_t c, char (&out)[8]) {
  const char hex[] = "0123456789ABCDEF";
  if (c == L'\\' || c == L'"') {
    out[0] = '\\';
    out[1] = static_cast<char>(c);
    out[2] = 0;
  } else if (c >= 0x20 && c < 0x7F) {
    out[0] = static_cast<char>(c);
    out[1] = 0;
  } else {
    const char escaped[] = {'\\', 'u', hex[(c >> 12) & 15], hex[(c >> 8) & 15], hex[(c >> 4) & 15], hex[c & 15], 0};
    memcpy(out, escaped, sizeof(escaped));
  }
}

}  // namespace

bool FormatJScriptMessage(const wchar_t* log, char* out, size_t room) {
  if (room == 0) return false;
  size_t used = 0;
  out[0] = 0;
  bool fits = Put(out, room, &used, kJScriptHead);
  for (const wchar_t* c = log; fits && *c != 0; ++c) {
    char piece[8];
    EscapeForJScript(*c, piece);
    fits = Put(out, room, &used, piece);
  }
  if (fits && Put(out, room, &used, kJScriptTail)) return true;
  out[0] = 0;
  return false;
}

bool WriteMessageScript(const char* logShownPath, MessageScript* script) {
  return TheReportPlaces().withoutVBScript ? WriteJScript(logShownPath, script)
                                           : WriteVBScript(logShownPath, script);
}

}  // namespace ruxtrap
