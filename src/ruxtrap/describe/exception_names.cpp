#include "describe/describe.h"
#include "support/runtime_end_record.h"

namespace ruxtrap {

namespace {

struct CodeName {
  DWORD code;
  const wchar_t* name;
};
const CodeName kCodeNames[] = {
    {0x80000001, L"EXCEPTION_GUARD_PAGE"},
    {0x80000002, L"EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003, L"EXCEPTION_BREAKPOINT"},
    {0x80000004, L"EXCEPTION_SINGLE_STEP"},
    {0xC0000005, L"EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006, L"EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000008, L"EXCEPTION_INVALID_HANDLE"},
    {0xC000001D, L"EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, L"EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008C, L"EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, L"EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, L"EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, L"EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, L"EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, L"EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, L"EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094, L"EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"EXCEPTION_INT_OVERFLOW"},
    {0xC0000096, L"EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FD, L"EXCEPTION_STACK_OVERFLOW"},
    {0xE06D7363, L"Microsoft C++ Exception"},
};

}  // namespace

const wchar_t* ExceptionCodeName(DWORD code) {
  for (const CodeName& row : kCodeNames)
    if (row.code == code) return row.name;
  return nullptr;
}

const wchar_t* RuntimeEndName(const EXCEPTION_RECORD& record) {
  if (record.NumberParameters != kRuntimeEndParameters || record.ExceptionInformation[0] != kRuntimeEndMark)
    return nullptr;
  if (record.ExceptionCode == kFatalAppExitCode && record.ExceptionInformation[1] == kAbort)
    return L"STATUS_FATAL_APP_EXIT (abort)";
  if (record.ExceptionCode == kFatalAppExitCode && record.ExceptionInformation[1] == kPureCall)
    return L"STATUS_FATAL_APP_EXIT (pure virtual call)";
  if (record.ExceptionCode == kInvalidRuntimeParameterCode && record.ExceptionInformation[1] == kInvalidParameter)
    return L"STATUS_INVALID_CRUNTIME_PARAMETER";
  return nullptr;
}

}  // namespace ruxtrap
