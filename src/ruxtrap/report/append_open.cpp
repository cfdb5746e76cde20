#include "report/append_open.h"

#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <winternl.h>

#include "support/function_cast.h"

namespace ruxtrap {

namespace {

using NtCreateFileFn = decltype(&::NtCreateFile);
using DosPathToNtPathFn = BOOLEAN(NTAPI*)(PCWSTR dosPath, UNICODE_STRING* ntPath, PWSTR* filePart, void* reserved);
using FreeUnicodeStringFn = VOID(NTAPI*)(UNICODE_STRING* text);

NtCreateFileFn ntCreateFile = nullptr;

// Enough for a host that has a few more files open at the crash than it had
// at InitRuxtrap.
constexpr int kStreamsSetUp = 4;

FARPROC NtdllCall(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
}

// The runtime's appending text stream on handle, from its lowest free
// descriptor and stream. Null, with the handle closed, when there is none.
FILE* AppendingStreamOn(HANDLE handle) {
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
  if (descriptor == -1) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(descriptor, "a+");
  if (stream == nullptr) _close(descriptor);
  return stream;
}

FILE* OpenNullStream() {
  HANDLE device = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  return device != INVALID_HANDLE_VALUE ? AppendingStreamOn(device) : nullptr;
}

}  // namespace

void SetUpStreamsForCrash() {
  FILE* streams[kStreamsSetUp] = {};
  for (FILE*& stream : streams) stream = OpenNullStream();
  for (FILE* stream : streams)
    if (stream != nullptr) fclose(stream);
}

void PrepareAppendName(const wchar_t* path, AppendName* name) {
  name->text[0] = 0;
  name->bytes = 0;
  if (ntCreateFile == nullptr) ntCreateFile = FunctionCast<NtCreateFileFn>(NtdllCall("NtCreateFile"));
  auto toNtPath = FunctionCast<DosPathToNtPathFn>(NtdllCall("RtlDosPathNameToNtPathName_U"));
  auto freeText = FunctionCast<FreeUnicodeStringFn>(NtdllCall("RtlFreeUnicodeString"));
  UNICODE_STRING ntPath = {};
  if (ntCreateFile == nullptr || toNtPath == nullptr || freeText == nullptr || path[0] == 0 ||
      !toNtPath(path, &ntPath, nullptr, nullptr))
    return;
  if (ntPath.Length < sizeof(name->text)) {
    memcpy(name->text, ntPath.Buffer, ntPath.Length);
    name->text[ntPath.Length / sizeof(wchar_t)] = 0;
    name->bytes = ntPath.Length;
  }
  freeText(&ntPath);
}

// The access, sharing and disposition are those CreateFileW is given by
// fopen(path, "a+"); the handle is not inherited, which no child of the
// report needs.
FILE* OpenForAppending(const AppendName& name, bool* answered) {
  *answered = ntCreateFile != nullptr && name.bytes != 0;
  if (!*answered) return nullptr;
  UNICODE_STRING text = {name.bytes, name.bytes, const_cast<wchar_t*>(name.text)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK status = {};
  HANDLE file = nullptr;
  NTSTATUS result = ntCreateFile(&file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes,
                                 &status, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return result >= 0 ? AppendingStreamOn(file) : nullptr;
}

}  // namespace ruxtrap
