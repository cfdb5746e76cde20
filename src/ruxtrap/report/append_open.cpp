#include "report/append_open.h"

#include <string.h>

#include "support/optional_calls.h"

namespace ruxtrap {

namespace {

// Append-only access (no FILE_WRITE_DATA): the system puts every write at
// the end of the file.
constexpr ACCESS_MASK kAppendAccess = FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

HANDLE OpenByNtName(const AppendName& name) {
  UNICODE_STRING text = {name.bytes, name.bytes, const_cast<wchar_t*>(name.text)};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK status = {};
  HANDLE file = nullptr;
  NTSTATUS result = Optional().ntCreateFile(&file, kAppendAccess, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  return result >= 0 ? file : INVALID_HANDLE_VALUE;
}

}  // namespace

void PrepareAppendName(const wchar_t* path, AppendName* name) {
  name->text[0] = 0;
  name->bytes = 0;
  const OptionalCalls& calls = Optional();
  auto toNtPath = calls.rtlDosPathNameToNtPathName;
  auto freeText = calls.rtlFreeUnicodeString;
  UNICODE_STRING ntPath = {};
  if (calls.ntCreateFile == nullptr || toNtPath == nullptr || freeText == nullptr || path[0] == 0 ||
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
  if (Optional().ntCreateFile != nullptr && name.bytes != 0) return OpenByNtName(name);
  return CreateFileW(path, kAppendAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace ruxtrap
