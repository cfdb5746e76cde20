#include "report/append_open.h"

#include <string.h>
#include <winternl.h>

#include "support/function_cast.h"

namespace ruxtrap {

namespace {

using NtCreateFileFn = decltype(&::NtCreateFile);
using DosPathToNtPathFn = BOOLEAN(NTAPI*)(PCWSTR dosPath, UNICODE_STRING* ntPath, PWSTR* filePart, void* reserved);
using FreeUnicodeStringFn = VOID(NTAPI*)(UNICODE_STRING* text);

NtCreateFileFn ntCreateFile = nullptr;

// Append-only access (no FILE_WRITE_DATA): the system puts every write at
// the end of the file.
constexpr ACCESS_MASK kAppendAccess = FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

FARPROC NtdllCall(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
}

HANDLE OpenByNtName(const AppendName& name) {
  UNICODE_STRING text = {name.bytes, name.bytes, const_cast<wchar_t*>(name.text)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK status = {};
  HANDLE file = nullptr;
  NTSTATUS result = ntCreateFile(&file, kAppendAccess, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return result >= 0 ? file : INVALID_HANDLE_VALUE;
}

}  // namespace

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

// The handle is not inherited: no child of the report needs it.
HANDLE OpenForAppending(const AppendName& name, const wchar_t* path) {
  if (ntCreateFile != nullptr && name.bytes != 0) return OpenByNtName(name);
  return CreateFileW(path, kAppendAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace ruxtrap
